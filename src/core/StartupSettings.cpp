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
#include "platform/FolderLock.h"
#include "platform/Text.h"
#include "platform/TextNumbers.h"
#include "smtp/PagerMessageExtraction.h"
#include "smtp/SmtpListener.h"
#include "spool/Spool.h"

#include <algorithm>
#include <iterator>
#include <string_view>

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

using Services = StartupSettings::Services;

// A whole-number parameter as start-up reads it. A value that is no number
// from lo to hi stops start-up; empty takes whenEmpty. The older settings
// of the family also take a number outside useLo..useHi, with a line, as
// fallback. Lines: {v} is the value as configured, {n} the number used.
struct NumberSetting {
    const char* name;
    std::int32_t lo, hi;
    std::int32_t whenEmpty;
    const char* emptyLine;
    const char* setLine;
    void (*apply)(Services&, std::int32_t);
    std::int32_t useLo = lo, useHi = hi, fallback = 0;
    const char* smallLine = nullptr;
    const char* largeLine = nullptr;
    const char* zeroLine = nullptr;   // a set line of its own for 0
};

const NumberSetting kNumbers[] = {
    {"SPOOL_MAX", 1, 1000000, spool::Spool::kDefaultMax, "  IV: SPOOL_MAX is empty. Setting to {n}",
     "  IV: SPOOL_MAX is set to {v} messages", [](Services& s, std::int32_t n) { s.queue.setSpoolMax(n); }},
    {"MESSID_BLOCK", 1, db::ClientRegistration::kMaxMessIdBlock, 100, "  IV: MESSID_BLOCK is empty. Setting to {n}",
     "  IV: Message ids are reserved {v} at a time",
     [](Services& s, std::int32_t n) { s.registration.MessIdBlock = n; }},
    // 0 lets the system choose a free port.
    {"SMTPPORT", 0, 65535, 25, "  IV: PORT not available. Use default {n}", "  IV: PORT found in startup. Using port {v}",
     [](Services& s, std::int32_t n) { s.form.txbServerPort.setText(std::to_string(n)); }},
    {"TCP_HUB_TIMEOUT", -32768, 32767, 3, "  IV: TCP Timeout is empty. Setting to {n} seconds",
     "  IV: SMTP Listener Socket Timeout is set to {v} seconds",
     [](Services& s, std::int32_t n) { s.listener.setListenerIdleTime(n / kDay); }, 60, 10000, 600,
     "  IV: SMTP Listener Socket Timeout is set to small [{v}]. Setting to {n} seconds",
     "  IV: SMTP Listener Socket Timeout is set to large [{v}]. Setting to {n} seconds"},
    {"TCPTIMEOUT", -32768, 32767, 3, "  IV: SMTP TCP Timeout is empty. Setting to {n} seconds",
     "  IV: SMTP TCP Timeout is set to {v} seconds",
     [](Services& s, std::int32_t n) { s.listener.setSocketTimeout(n / kDay); }, 1, 20, 3,
     "  IV: SMTP TCP Timeout is set to small [{v}]. Setting to {n} seconds",
     "  IV: SMTP TCP Timeout is set to large [{v}]. Setting to {n} seconds"},
    {"MAX_SOCKETS", -32768, 32767, 10, "  IV: SMTP MAX SOCKETS is empty. Setting to {n}",
     "  IV: SMTP MAX SOCKETS setting to {n}", [](Services& s, std::int32_t n) { s.listener.SetMaxSockets(n); }, 1,
     100, 10, "  IV: SMTP MAX SOCKETS is too small. Setting to {n}", "  IV: SMTP MAX SOCKETS is too high. Setting to {n}"},
    {"SESSION_MAX", 10, 86400, 600, "  IV: SMTP SESSION MAX is empty. Setting to {n} seconds",
     "  IV: SMTP SESSION MAX is set to {v} seconds",
     [](Services& s, std::int32_t n) { s.listener.setSessionMax(n / kDay); }},
    {"LOG_KEEP_DAYS", 0, 36500, 90, "  IV: LOG_KEEP_DAYS is empty. Log backups are kept {n} days",
     "  IV: Log backups are kept {v} days", [](Services& s, std::int32_t n) { s.backup.KeepDays = n; }, 0, 36500, 0,
     nullptr, nullptr, "  IV: LOG_KEEP_DAYS is 0. Log backups are kept for ever"},
};

std::string fill(std::string line, const std::string& v, std::int32_t n)
{
    for (auto at = line.find("{v}"); at != std::string::npos; at = line.find("{v}", at + v.size()))
        line.replace(at, 3, v);
    const std::string number = std::to_string(n);
    for (auto at = line.find("{n}"); at != std::string::npos; at = line.find("{n}", at + number.size()))
        line.replace(at, 3, number);
    return line;
}

}  // namespace

void StartupSettings::readNumber(const char* name)
{
    const auto* setting = std::find_if(std::begin(kNumbers), std::end(kNumbers),
                                       [&](const NumberSetting& n) { return std::string_view(n.name) == name; });
    if (setting == std::end(kNumbers))
        throw StartupFault(std::string("no start-up rule for ") + name);
    const NumberSetting& p = *setting;
    const std::string v = config(p.name);
    std::int32_t n = p.whenEmpty;
    const char* line = p.emptyLine;
    if (!v.empty()) {
        n = number(p.name, v, p.lo, p.hi);
        line = n == 0 && p.zeroLine ? p.zeroLine : p.setLine;
        if (n < p.useLo || n > p.useHi) {
            line = n < p.useLo ? p.smallLine : p.largeLine;
            n = p.fallback;
        }
    }
    p.apply(s_, n);
    s_.log.ApplicationLine(fill(line, v, n), true);
}

StartupSettings::StartupSettings(Services services, Files files, SystemLog::Version version)
    : s_(services), files_(std::move(files)), version_(version)
{
}

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
    s_.log.ApplicationLine("  IV: Opening database", true);
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
    s_.queue.setSwitchId(switchId);
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
        s_.log.ApplicationLine(warning);
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
    readNumber("SPOOL_MAX");
    std::string why;
    if (!s_.spool.Open(files_.spool, &why))
        throw StartupFault("the spool cannot be used: " + why);
    s_.log.ApplicationLine(
        "  IV: Spool " + files_.spool + " holds " + std::to_string(s_.spool.Count()) + " messages", true);
    s_.queue.RestoreFromSpool();
}

void StartupSettings::readCodePage()
{
    const std::string name = config("SWITCH_CODEPAGE");
    if (name.empty()) {
        s_.log.ApplicationLine(std::string("  IV: SWITCH_CODEPAGE is empty. Setting to ") + CodePage::kDefault, true);
        s_.extraction.SetSwitchCodePage(CodePage());
        return;
    }
    if (const auto why = CodePage::Check(name))
        throw StartupFault("the switch's code page (SWITCH_CODEPAGE) cannot be used: " + *why);
    s_.extraction.SetSwitchCodePage(CodePage(name));
    s_.log.ApplicationLine("  IV: Text goes to the switch in code page " + name, true);
}

void StartupSettings::readListenerSettings()
{
    readCodePage();
    readNumber("MESSID_BLOCK");
    auto& form = s_.form;
    auto& listener = s_.listener;
    readNumber("SMTPPORT");
    if (const std::string ip = config("SMTPIP"); !ip.empty()) {
        form.txbServerAddress.setText(ip);
        s_.log.ApplicationLine("  IV: IP found in startup. Using IP " + ip, true);
    } else {
        s_.log.ApplicationLine(std::string("  IV: IP not available. Use default ") + kDefaultSMTPIP, true);
        form.txbServerAddress.setText(kDefaultSMTPIP);
    }
    const bool debug = text::EqualsNoCase(config("DEBUG"), "ON");
    s_.log.ApplicationLine(debug ? "  IV: DEBUG logging is ON" : "  IV: DEBUG logging is OFF", true);
    for (const char* name : {"TCP_HUB_TIMEOUT", "TCPTIMEOUT", "MAX_SOCKETS", "SESSION_MAX", "LOG_KEEP_DAYS"})
        readNumber(name);
    std::string why;
    const auto allowed = AllowList::Parse(config("ALLOWED_SENDERS"), &why);
    if (!allowed)
        throw StartupFault("the allowed senders (ALLOWED_SENDERS) cannot be used: " + why);
    listener.setAllowed(*allowed);
    s_.log.ApplicationLine(allowed->empty() ? "  IV: ALLOWED_SENDERS is empty. Mail is taken from every sender"
                                            : "  IV: ALLOWED_SENDERS: mail is taken only from " + allowed->Describe(),
                           true);
    form.txbMaxSockets.setText(std::to_string(listener.maxSockets()));
    form.txbMaxSockets.setEnabled(false);
    const char* devices[] = {"GROUP_TEST_DEVICE_1", "GROUP_TEST_DEVICE_2", "GROUP_TEST_DEVICE_3",
                             "GROUP_TEST_DEVICE_4", "SINGLE_TEST_DEVICE"};
    for (int i = 0; i < 5; ++i)
        form.txbPagerNo[static_cast<size_t>(i)].setText(config(devices[i]));
}

}  // namespace smtpin::core
