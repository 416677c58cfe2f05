#include "StartupSettings.h"

#include "db/CatalogueConnection.h"
#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
#include "forms/FrmSMTP.h"
#include "log/LogBackup.h"
#include "messages/InputQueue.h"
#include "messages/MessageCreation.h"
#include "messages/SwitchWatchdog.h"
#include "platform/Dialogs.h"
#include "platform/TextNumbers.h"
#include "platform/FolderLock.h"
#include "smtp/PagerMessageExtraction.h"
#include "smtp/SmtpListener.h"
#include "spool/Spool.h"

#include <QString>

namespace smtpin::core {

namespace {

// A number setting that must convert, as start-up requires.
std::int32_t number(const std::string& parameter, const std::string& value, std::int32_t lo, std::int32_t hi)
{
    const auto n = toInt32(value);
    if (!n || *n < lo || *n > hi)
        throw StartupFault("setting " + parameter + " = \"" + value + "\" is not a number from " +
                           std::to_string(lo) + " to " + std::to_string(hi));
    return *n;
}

constexpr double kDay = 86400.0;

}  // namespace

StartupSettings::StartupSettings(Services services, Files files, SystemLog::Version version)
    : s_(services), files_(std::move(files)), version_(version)
{
}

void StartupSettings::logLine(const std::string& text) { s_.log.UpdateSystemLog(0, s_.log.ApplicationList, "", text); }

std::string StartupSettings::config(const char* parameter)
{
    return s_.config.GetClientConfig(parameter, s_.registration.ClientId);
}

bool StartupSettings::InitialiseSystem()
{
    failure_.clear();
    try {
        const bool ok = run();
        s_.log.ProcessSystemLogQueue();
        return ok;
    } catch (...) {
        s_.log.ProcessSystemLogQueue();
        throw;
    }
}

bool StartupSettings::run()
{
    s_.log.ApplicationList = &s_.form.lbxSystemLog;
    s_.log.StatusList = &s_.form.lbxSystemLog;
    logLine("  IV: Opening database");
    if (!s_.db.OpenSQLDatabase()) {
        failure_ = "the catalogue cannot be opened";
        return false;
    }
    if (!identify())
        return false;
    auto& reg = s_.registration;
    s_.log.OpenSystemLogs(files_.logFolder, reg.ClientId, version_);
    s_.creation.DefaultStartMessId = s_.creation.GetDefMessId();
    s_.form.lbDefaultMessID.setCaption("Default Start MessID = " + std::to_string(s_.creation.DefaultStartMessId));
    reg.LoadTCPVariables();
    const std::string switchId = reg.IdentifyTitleModule("SWITCH");
    // Every record is addressed to this code; anything else never flushes.
    if (switchId.size() != 3 || switchId == db::ClientRegistration::kNoClient)
        throw StartupFault("the switch's member code (module SWITCH) is \"" + switchId +
                           "\", not a 3-character member code such as h01");
    s_.queue.SwitchId = switchId;
    reg.GetSystemSettings();
    // A port outside the network's range would quietly wrap to another one.
    if (reg.RemotePort < 1 || reg.RemotePort > 65535)
        throw StartupFault("the switch's port (Remote Port) is " + std::to_string(reg.RemotePort) +
                           ", not a port from 1 to 65535");
    if (!s_.queue.ResetInputQueue())
        throw StartupFault("setting QUEUE_SIZE is not a queue size from 0 to 301");
    openSpool();
    const auto ports = reg.GetPortSettings(reg.ClientId);
    if (ports.PortClass.empty()) {
        failure_ = "Unable to locate the port class for this user type " + reg.ClientId;
        s_.dialogs.MsgBox(failure_, db::ClientRegistration::kDialogTitle);
        reg.SetUserIdInactive();
        return false;
    }
    const auto backup = reg.LoadLastBackUp(reg.ClientId);
    s_.backup.setSchedule(backup.BackUpPeriod, backup.LastBackUp);
    s_.watchdog.SetWPeriod(backup.WPeriod);
    readListenerSettings();
    if (const std::string warning = s_.config.TakeConfigWarning(); !warning.empty())
        s_.log.UpdateSystemLog(-1, s_.log.ApplicationList, "", warning);
    return true;
}

// The client row: the one this installation held when it last ended without
// its close (the lock is free, so that run is over), else one found free.
bool StartupSettings::identify()
{
    std::string why;
    if (!s_.dataLock.Acquire(files_.lock, &why))
        throw StartupFault(why);
    auto& reg = s_.registration;
    reg.ClientId = reg.IdentifyTitleModule(kClientType);
    // "<row>\t<stamp>": the row this installation holds and the stamp it left on it.
    const std::string note = s_.dataLock.Recorded();
    const auto tab = note.find('\t');
    const std::string own = note.substr(0, tab);
    const std::string stamp = tab == std::string::npos ? std::string() : note.substr(tab + 1);
    if (!own.empty() && reg.TakeBackOwnRow(own, stamp, reg.ClientId))
        reg.ClientId = own;
    else
        reg.ClientId = reg.LoadWhoAmI();
    if (reg.ClientId == db::ClientRegistration::kNoClient) {
        failure_ = std::string("Unable to locate the user id for this client type ") + kClientType;
        s_.dialogs.MsgBox(failure_, db::ClientRegistration::kDialogTitle);
        return false;
    }
    return true;
}

// No spool, no 250: a spool that cannot be opened stops start-up.
void StartupSettings::openSpool()
{
    if (const std::string v = config("SPOOL_MAX"); v.empty()) {
        logLine("  IV: SPOOL_MAX is empty. Setting to " + std::to_string(spool::Spool::kDefaultMax));
        s_.queue.SpoolMax = spool::Spool::kDefaultMax;
    } else {
        s_.queue.SpoolMax = number("SPOOL_MAX", v, 1, 1000000);
        logLine("  IV: SPOOL_MAX is set to " + v + " messages");
    }
    std::string why;
    if (!s_.spool.Open(files_.spool, &why))
        throw StartupFault("the spool cannot be used: " + why);
    logLine("  IV: Spool " + files_.spool + " holds " + std::to_string(s_.spool.Count()) + " messages");
    s_.queue.RestoreFromSpool();
}

void StartupSettings::readCodePage()
{
    const std::string name = config("SWITCH_CODEPAGE");
    if (name.empty()) {
        logLine(std::string("  IV: SWITCH_CODEPAGE is empty. Setting to ") + CodePage::kDefault);
        s_.extraction.SetSwitchCodePage(CodePage());
        return;
    }
    if (const auto why = CodePage::Check(name))
        throw StartupFault("the switch's code page (SWITCH_CODEPAGE) cannot be used: " + *why);
    s_.extraction.SetSwitchCodePage(CodePage(name));
    logLine("  IV: Text goes to the switch in code page " + name);
}

void StartupSettings::readListenerSettings()
{
    readCodePage();
    if (const std::string v = config("MESSID_BLOCK"); v.empty()) {
        logLine("  IV: MESSID_BLOCK is empty. Setting to 100");
        s_.registration.MessIdBlock = 100;
    } else {
        s_.registration.MessIdBlock = number("MESSID_BLOCK", v, 1, db::ClientRegistration::kMaxMessIdBlock);
        logLine("  IV: Message ids are reserved " + v + " at a time");
    }
    auto& form = s_.form;
    auto& listener = s_.listener;
    if (const std::string port = config("SMTPPORT"); !port.empty()) {
        // 0 lets the system choose a free port.
        form.txbServerPort.setText(std::to_string(number("SMTPPORT", port, 0, 65535)));
        logLine("  IV: PORT found in startup. Using port " + port);
    } else {
        logLine("  IV: PORT not available. Use default 25");
        form.txbServerPort.setText("25");
    }
    if (const std::string ip = config("SMTPIP"); !ip.empty()) {
        form.txbServerAddress.setText(ip);
        logLine("  IV: IP found in startup. Using IP " + ip);
    } else {
        logLine(std::string("  IV: IP not available. Use default ") + kDefaultSMTPIP);
        form.txbServerAddress.setText(kDefaultSMTPIP);
    }
    const std::string debug = QString::fromStdString(config("DEBUG")).toUpper().toStdString();
    logLine(debug == "ON" ? "  IV: DEBUG logging is ON" : "  IV: DEBUG logging is OFF");

    if (const std::string v = config("TCP_HUB_TIMEOUT"); v.empty()) {
        logLine("  IV: TCP Timeout is empty. Setting to 3 seconds");
        listener.ListenerIdleTime = 3 / kDay;
    } else {
        const auto n = number("TCP_HUB_TIMEOUT", v, -32768, 32767);
        if (n >= 60 && n <= 10000) {
            logLine("  IV: SMTP Listener Socket Timeout is set to " + v + " seconds");
            listener.ListenerIdleTime = n / kDay;
        } else {
            logLine("  IV: SMTP Listener Socket Timeout is set to " + std::string(n > 10000 ? "large [" : "small [") +
                    v + "]. Setting to 600 seconds");
            listener.ListenerIdleTime = 600 / kDay;
        }
    }
    if (const std::string v = config("TCPTIMEOUT"); v.empty()) {
        logLine("  IV: SMTP TCP Timeout is empty. Setting to 3 seconds");
        listener.SocketTimeout = 3 / kDay;
    } else {
        const auto n = number("TCPTIMEOUT", v, -32768, 32767);
        if (n >= 1 && n <= 20) {
            logLine("  IV: SMTP TCP Timeout is set to " + v + " seconds");
            listener.SocketTimeout = n / kDay;
        } else {
            logLine("  IV: SMTP TCP Timeout is set to " + std::string(n > 20 ? "large [" : "small [") + v +
                    "]. Setting to 3 seconds");
            listener.SocketTimeout = 3 / kDay;
        }
    }
    if (const std::string v = config("MAX_SOCKETS"); v.empty()) {
        logLine("  IV: SMTP MAX SOCKETS is empty. Setting to 10");
        listener.SetMaxSockets(10);
    } else {
        const auto n = number("MAX_SOCKETS", v, -32768, 32767);
        if (n >= 1 && n <= 100) {
            logLine("  IV: SMTP MAX SOCKETS setting to " + std::to_string(n));
            listener.SetMaxSockets(n);
        } else {
            logLine(n > 100 ? "  IV: SMTP MAX SOCKETS is too high. Setting to 10"
                            : "  IV: SMTP MAX SOCKETS is too small. Setting to 10");
            listener.SetMaxSockets(10);
        }
    }
    if (const std::string v = config("SESSION_MAX"); v.empty()) {
        logLine("  IV: SMTP SESSION MAX is empty. Setting to 600 seconds");
        listener.SessionMax = 600 / kDay;
    } else {
        listener.SessionMax = static_cast<double>(number("SESSION_MAX", v, 10, 86400)) / kDay;
        logLine("  IV: SMTP SESSION MAX is set to " + v + " seconds");
    }
    if (const std::string v = config("LOG_KEEP_DAYS"); v.empty()) {
        logLine("  IV: LOG_KEEP_DAYS is empty. Log backups are kept 90 days");
        s_.backup.KeepDays = 90;
    } else {
        s_.backup.KeepDays = number("LOG_KEEP_DAYS", v, 0, 36500);
        logLine(s_.backup.KeepDays == 0 ? "  IV: LOG_KEEP_DAYS is 0. Log backups are kept for ever"
                                        : "  IV: Log backups are kept " + v + " days");
    }
    std::string why;
    const auto allowed = AllowList::Parse(config("ALLOWED_SENDERS"), &why);
    if (!allowed)
        throw StartupFault("the allowed senders (ALLOWED_SENDERS) cannot be used: " + why);
    listener.Allowed = *allowed;
    logLine(allowed->empty() ? "  IV: ALLOWED_SENDERS is empty. Mail is taken from every sender"
                             : "  IV: ALLOWED_SENDERS: mail is taken only from " + allowed->Describe());
    form.txbMaxSockets.setText(std::to_string(listener.MaxSockets));
    form.txbMaxSockets.setEnabled(false);
    listener.LastSocket = 1;
    const char* devices[] = {"GROUP_TEST_DEVICE_1", "GROUP_TEST_DEVICE_2", "GROUP_TEST_DEVICE_3",
                             "GROUP_TEST_DEVICE_4", "SINGLE_TEST_DEVICE"};
    for (int i = 0; i < 5; ++i)
        form.txbPagerNo[static_cast<size_t>(i)].setText(config(devices[i]));
}

}  // namespace smtpin::core
