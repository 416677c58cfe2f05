#include "StartupSettings.h"

#include "db/CatalogueConnection.h"
#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
#include "db/Parameters.h"
#include "forms/FrmSMTP.h"
#include "log/LogBackup.h"
#include "messages/InputQueue.h"
#include "messages/PageStore.h"
#include "messages/MessageCreation.h"
#include "messages/SwitchWatchdog.h"
#include "platform/Dialogs.h"
#include "platform/FolderLock.h"
#include "platform/Text.h"
#include "platform/TextNumbers.h"
#include "smtp/PagerMessageExtraction.h"
#include "smtp/SmtpListener.h"
#include "spool/Spool.h"

#include "smtp/TlsCredentials.h"

#include <map>
#include <string_view>

namespace smtpin::core {

namespace {

constexpr double kDay = 86400.0;

using Services = StartupSettings::Services;
using Apply = void (*)(Services&, std::int32_t);

// What each whole-number setting sets; its range, default and lines are the
// parameter table's.
const std::map<std::string_view, Apply> kApply = {
    {"SPOOL_MAX", [](Services& s, std::int32_t n) { s.store.setSpoolMax(n); }},
    {"MESSID_BLOCK", [](Services& s, std::int32_t n) { s.registration.setMessIdBlock(n); }},
    {"SMTPPORT", [](Services& s, std::int32_t n) { s.form.txbServerPort.setText(std::to_string(n)); }},
    {"TCP_HUB_TIMEOUT", [](Services& s, std::int32_t n) { s.listener.setListenerIdleTime(n / kDay); }},
    {"TCPTIMEOUT", [](Services& s, std::int32_t n) { s.listener.setSocketTimeout(n / kDay); }},
    {"MAX_SOCKETS", [](Services& s, std::int32_t n) { s.listener.SetMaxSockets(n); }},
    {"MAX_SOCKETS_PER_CLIENT", [](Services& s, std::int32_t n) { s.listener.setMaxPerClient(n); }},
    {"SESSION_MAX", [](Services& s, std::int32_t n) { s.listener.setSessionMax(n / kDay); }},
    {"LOG_KEEP_DAYS", [](Services& s, std::int32_t n) { s.backup.KeepDays = n; }},
    {"HEALTH_MAX_PAGE_AGE", [](Services& s, std::int32_t n) { s.healthMaxPageAge = n; }},
};

// A line of the table with its value and number put in; none for a setting without one.
std::string withValues(const char* pattern, const std::string& v, const std::string& n)
{
    std::string line = pattern ? pattern : "";
    for (auto at = line.find("{v}"); at != std::string::npos; at = line.find("{v}", at + v.size()))
        line.replace(at, 3, v);
    for (auto at = line.find("{n}"); at != std::string::npos; at = line.find("{n}", at + n.size()))
        line.replace(at, 3, n);
    return line;
}

}  // namespace

// The whole number start-up uses for a value, with its line. A value that
// is no number in the setting's range stops start-up, but for the family's
// older settings, which take any 16-bit number and fall back with a line.
StartupSettings::Reading StartupSettings::ReadWhole(const db::Parameter& p, const std::string& v)
{
    if (v.empty())
        return {p.emptyNumber, withValues(p.emptyLine, v, std::to_string(p.emptyNumber))};
    const auto n = db::WholeNumber(v);
    const std::int32_t lo = p.fallsBack ? -32768 : p.lo, hi = p.fallsBack ? 32767 : p.hi;
    if (!n || *n < lo || *n > hi)
        throw StartupFault("setting " + std::string(p.name) + " = \"" + v + "\" is not a number from " +
                           std::to_string(lo) + " to " + std::to_string(hi));
    if (*n < p.lo || *n > p.hi)
        return {p.fallback, withValues(*n < p.lo ? p.smallLine : p.largeLine, v, std::to_string(p.fallback))};
    const char* line = *n == 0 && p.zeroLine ? p.zeroLine : p.setLine;
    return {*n, withValues(line, v, std::to_string(*n))};
}

void StartupSettings::readNumber(const char* name)
{
    const db::Parameter& p = db::ParameterNamed(name);
    const Reading r = ReadWhole(p, config(p.key));
    kApply.at(p.name)(s_, r.number);
    if (!r.line.empty())
        s_.log.ApplicationLine(r.line, true);
}

// A text setting: the value, or the table's value for empty, with its line.
std::string StartupSettings::readText(const char* name, std::string* line)
{
    const db::Parameter& p = db::ParameterNamed(name);
    const std::string v = config(p.key);
    *line = withValues(v.empty() ? p.emptyLine : p.setLine, v.empty() ? p.whenEmpty : v, v.empty() ? p.whenEmpty : v);
    return v.empty() ? p.whenEmpty : v;
}

StartupSettings::StartupSettings(Services services, Files files, SystemLog::Version version)
    : s_(services), files_(std::move(files)), version_(version)
{
}

std::string StartupSettings::config(const char* parameter)
{
    return s_.config.GetClientConfig(parameter, s_.registration.clientId());
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
    s_.log.OpenSystemLogs(files_.logFolder, reg.clientId(), version_);
    s_.form.lbDefaultMessID.setCaption("Default Start MessID = " + std::to_string(s_.creation.GetDefMessId()));
    reg.LoadTCPVariables();
    const std::string switchId = reg.IdentifyTitleModule("SWITCH");
    // Every record is addressed to this code; anything else never flushes.
    if (switchId.size() != 3 || switchId == db::ClientRegistration::kNoClient)
        throw StartupFault("the switch's member code (module SWITCH) is \"" + switchId +
                           "\", not a 3-character member code such as h01");
    s_.queue.setSwitchId(switchId);
    readSwitch();
    if (!s_.queue.ResetInputQueue())
        throw StartupFault("setting QUEUE_SIZE is not a queue size from 0 to 301");
    openSpool();
    const auto ports = reg.GetPortSettings(reg.clientId());
    if (ports.PortClass.empty()) {
        failure_ = "Unable to locate the port class for this user type " + reg.clientId();
        s_.dialogs.MsgBox(failure_, db::ClientRegistration::kDialogTitle);
        reg.SetUserIdInactive();
        return false;
    }
    const auto backup = reg.LoadLastBackUp(reg.clientId());
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
    reg.setClientId(reg.IdentifyTitleModule(kClientType));
    // "<row>\t<stamp>": the row this installation holds and the stamp it left on it.
    const std::string note = s_.dataLock.Recorded();
    const auto tab = note.find('\t');
    const std::string own = note.substr(0, tab);
    const std::string stamp = tab == std::string::npos ? std::string() : note.substr(tab + 1);
    if (!own.empty() && reg.TakeBackOwnRow(own, stamp, reg.clientId()))
        reg.setClientId(own);
    else
        reg.setClientId(reg.LoadWhoAmI());
    if (reg.clientId() == db::ClientRegistration::kNoClient) {
        failure_ = std::string("Unable to locate the user id for this client type ") + kClientType;
        s_.dialogs.MsgBox(failure_, db::ClientRegistration::kDialogTitle);
        return false;
    }
    return true;
}

// The switch's rows of the catalogue, shared by every client. A port
// outside the network's range would quietly wrap to another one.
void StartupSettings::readSwitch()
{
    auto& reg = s_.registration;
    reg.GetSystemSettings();
    const db::Parameter& port = db::ParameterNamed("SWITCH_PORT");
    if (reg.remotePort() < port.lo || reg.remotePort() > port.hi)
        throw StartupFault("the switch's port (" + std::string(port.key) + ") is " + std::to_string(reg.remotePort()) +
                           ", not a port from 1 to 65535");
    const db::Parameter& address = db::ParameterNamed("SWITCH_ADDRESS");
    s_.log.ApplicationLine(withValues(reg.remoteAddress().empty() ? address.emptyLine : address.setLine, reg.remoteAddress(), ""),
                           true);
    s_.log.ApplicationLine(withValues(port.setLine, std::to_string(reg.remotePort()), ""), true);
}

// No spool, no 250: a spool that cannot be opened stops start-up.
void StartupSettings::openSpool()
{
    readNumber("SPOOL_MAX");
    std::string why;
    if (!s_.spool.Open(files_.spool, &why))
        throw StartupFault("the spool cannot be used: " + why);
    s_.log.ApplicationLine(
        "  IV: Spool " + files_.spool + " holds " + std::to_string(s_.spool.Count()) + " messages; its check found nothing wrong", true);
    s_.store.RestoreFromSpool();
}

void StartupSettings::readCodePage()
{
    std::string line;
    const std::string name = readText("SWITCH_CODEPAGE", &line);
    if (const auto why = CodePage::Check(name))
        throw StartupFault("the switch's code page (SWITCH_CODEPAGE) cannot be used: " + *why);
    s_.extraction.SetSwitchCodePage(CodePage(name));
    s_.log.ApplicationLine(line, true);
}

void StartupSettings::readListenerSettings()
{
    readCodePage();
    readNumber("MESSID_BLOCK");
    auto& form = s_.form;
    auto& listener = s_.listener;
    readNumber("SMTPPORT");
    std::string line;
    form.txbServerAddress.setText(readText("SMTPIP", &line));
    s_.log.ApplicationLine(line, true);
    const bool debug = text::EqualsNoCase(config("DEBUG"), "ON");
    s_.log.ApplicationLine(debug ? "  IV: DEBUG logging is ON" : "  IV: DEBUG logging is OFF", true);
    for (const char* name :
         {"TCP_HUB_TIMEOUT", "TCPTIMEOUT", "MAX_SOCKETS", "MAX_SOCKETS_PER_CLIENT", "SESSION_MAX", "LOG_KEEP_DAYS",
          "HEALTH_MAX_PAGE_AGE"})
        readNumber(name);
    if (listener.maxPerClient() > 0 && listener.maxPerClient() >= listener.maxSockets())
        s_.log.ApplicationLine("  IV: SMTP MAX SOCKETS PER CLIENT of " + std::to_string(listener.maxPerClient()) +
                                   " is not below MAX SOCKETS (" + std::to_string(listener.maxSockets()) +
                                   "): one address can take every session",
                               true);
    std::string why;
    const auto allowed = AllowList::Parse(config("ALLOWED_SENDERS"), &why);
    if (!allowed)
        throw StartupFault("the allowed senders (ALLOWED_SENDERS) cannot be used: " + why);
    listener.setAllowed(*allowed);
    const db::Parameter& senders = db::ParameterNamed("ALLOWED_SENDERS");
    s_.log.ApplicationLine(allowed->empty() ? senders.emptyLine : withValues(senders.setLine, "", allowed->Describe()), true);
    readTls();
    form.txbMaxSockets.setText(std::to_string(listener.maxSockets()));
    form.txbMaxSockets.setEnabled(false);
    const char* devices[] = {"GROUP_TEST_DEVICE_1", "GROUP_TEST_DEVICE_2", "GROUP_TEST_DEVICE_3",
                             "GROUP_TEST_DEVICE_4", "SINGLE_TEST_DEVICE"};
    for (int i = 0; i < 5; ++i)
        form.txbPagerNo[static_cast<size_t>(i)].setText(readText(devices[i], &line));
}

// STARTTLS: the certificate and key of the settings file, and who must use it.
void StartupSettings::readTls()
{
    const std::string& cert = files_.tlsCert;
    const std::string& key = files_.tlsKey;
    std::optional<QSslConfiguration> tls;
    if (cert.empty() != key.empty())
        throw StartupFault("TLS needs both [TLS] Cert and Key in the settings file; only one is set");
    if (!cert.empty()) {
        std::string why;
        tls = TlsCredentials::Load(cert, key, &why);
        if (!tls)
            throw StartupFault("the TLS certificate cannot be used: " + why);
        s_.log.ApplicationLine("  IV: STARTTLS offered with the certificate in " + cert, true);
    } else {
        s_.log.ApplicationLine("  IV: No TLS certificate ([TLS] Cert is empty): STARTTLS is not offered", true);
    }
    const bool required = config("TLS_REQUIRED") == "True";
    if (required && !tls)
        throw StartupFault("TLS_REQUIRED is True but no certificate is set ([TLS] Cert and Key)");
    std::string why;
    const auto exempt = AllowList::Parse(config("TLS_EXEMPT"), &why);
    if (!exempt)
        throw StartupFault("the senders exempt from TLS (TLS_EXEMPT) cannot be used: " + why);
    if (required)
        s_.log.ApplicationLine(exempt->empty() ? "  IV: TLS_REQUIRED: every sender must use STARTTLS"
                                               : "  IV: TLS_REQUIRED: every sender but " + exempt->Describe() +
                                                     " must use STARTTLS",
                               true);
    s_.listener.setTls(std::move(tls));
    s_.listener.setTlsRequired(required, *exempt);
}

}  // namespace smtpin::core
