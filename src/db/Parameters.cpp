#include "db/Parameters.h"

#include "platform/Text.h"
#include "platform/TextNumbers.h"

#include <stdexcept>

namespace smtpin::db {
namespace {

using H = Home;
using K = Kind;

Parameter whole(const char* name, std::int32_t lo, std::int32_t hi, const char* range, std::int32_t empty,
                const char* seed, const char* about, const char* emptyLine, const char* setLine)
{
    Parameter p{name, H::ClientRow, name, K::Whole, lo, hi, range, "", seed, about};
    p.emptyNumber = empty;
    p.emptyLine = emptyLine;
    p.setLine = setLine;
    return p;
}

// A whole number the family's older clients read with a fallback.
Parameter legacy(Parameter p, std::int32_t fallback, const char* smallLine, const char* largeLine)
{
    p.fallsBack = true;
    p.fallback = fallback;
    p.smallLine = smallLine;
    p.largeLine = largeLine;
    return p;
}

Parameter text(const char* name, Home home, const char* key, Kind kind, const char* range, const char* whenEmpty,
               const char* seed, const char* about)
{
    return Parameter{name, home, key, kind, 0, 0, range, whenEmpty, seed, about};
}

Parameter testDevice(const char* name, const char* seed, const char* about)
{
    return text(name, H::ClientRow, name, K::Text, "a pager number", "", seed, about);
}

std::vector<Parameter> build()
{
    std::vector<Parameter> all;
    Parameter port = whole("SMTPPORT", 0, 65535, "0 to 65535 (0: any free port)", 25, "2525", "SMTP port",
                           "  IV: PORT not available. Use default {n}", "  IV: PORT found in startup. Using port {v}");
    port.whenEmpty = "25";
    all.push_back(port);
    Parameter ip = text("SMTPIP", H::ClientRow, "SMTPIP", K::Address, "an IP address of this machine (0.0.0.0: all IPv4; \"::\": all IPv6 and IPv4)",
                        "127.0.0.1", "127.0.0.1", "address the SMTP listener binds");
    ip.emptyLine = "  IV: IP not available. Use default {v}";
    ip.setLine = "  IV: IP found in startup. Using IP {v}";
    all.push_back(ip);
    all.push_back(legacy(whole("MAX_SOCKETS", 1, 100, "1 to 100", 10, "50", "SMTP sessions at once; one more gets 421",
                               "  IV: SMTP MAX SOCKETS is empty. Setting to {n}", "  IV: SMTP MAX SOCKETS setting to {n}"),
                         10, "  IV: SMTP MAX SOCKETS is too small. Setting to {n}",
                         "  IV: SMTP MAX SOCKETS is too high. Setting to {n}"));
    all.push_back(whole("MAX_SOCKETS_PER_CLIENT", 0, 100, "0 to 100 (0: no limit)", 20, "20",
                        "SMTP sessions at once from one address; one more gets 421",
                        "  IV: SMTP MAX SOCKETS PER CLIENT is empty. Setting to {n}",
                        "  IV: SMTP MAX SOCKETS PER CLIENT setting to {n}"));
    all.push_back(legacy(whole("TCPTIMEOUT", 1, 20, "1 to 20 seconds", 3, "10",
                               "a session is closed this long after its last complete line",
                               "  IV: SMTP TCP Timeout is empty. Setting to {n} seconds",
                               "  IV: SMTP TCP Timeout is set to {v} seconds"),
                         3, "  IV: SMTP TCP Timeout is set to small [{v}]. Setting to {n} seconds",
                         "  IV: SMTP TCP Timeout is set to large [{v}]. Setting to {n} seconds"));
    all.push_back(whole("SESSION_MAX", 10, 86400, "10 to 86400 seconds", 600, "600",
                        "a session is closed this long after it was accepted",
                        "  IV: SMTP SESSION MAX is empty. Setting to {n} seconds",
                        "  IV: SMTP SESSION MAX is set to {v} seconds"));
    all.push_back(legacy(whole("TCP_HUB_TIMEOUT", 60, 10000, "60 to 10000 seconds", 3, "600",
                               "the listener is reopened after this long without a connection",
                               "  IV: TCP Timeout is empty. Setting to {n} seconds",
                               "  IV: SMTP Listener Socket Timeout is set to {v} seconds"),
                         600, "  IV: SMTP Listener Socket Timeout is set to small [{v}]. Setting to {n} seconds",
                         "  IV: SMTP Listener Socket Timeout is set to large [{v}]. Setting to {n} seconds"));
    all.push_back(text("TLS_REQUIRED", H::ClientRow, "TLS_REQUIRED", K::TrueFalse, "True or False", "False", "False",
                       "True: every sender but TLS_EXEMPT must use STARTTLS before MAIL (530 otherwise)"));
    Parameter exempt = text("TLS_EXEMPT", H::ClientRow, "TLS_EXEMPT", K::Senders,
                            "addresses and CIDR ranges, comma-separated", "nobody", "",
                            "senders TLS_REQUIRED does not apply to");
    exempt.maxLength = 4096;
    all.push_back(exempt);
    Parameter senders = text("ALLOWED_SENDERS", H::ClientRow, "ALLOWED_SENDERS", K::Senders,
                             "addresses and CIDR ranges, comma-separated", "everyone", "",
                             "who may connect; others get 554 Access denied");
    senders.emptyLine = "  IV: ALLOWED_SENDERS is empty. Mail is taken from every sender";
    senders.setLine = "  IV: ALLOWED_SENDERS: mail is taken only from {n}";
    senders.maxLength = 4096;
    all.push_back(senders);
    // Read by the queue reset, which has lines of its own; no default: a
    // client without a queue size has no slots.
    Parameter queue = whole("QUEUE_SIZE", 0, 301, "0 to 301", 0, "300", "input queue slots", nullptr, nullptr);
    queue.whenEmpty = "none: required";
    queue.whenRead = "at start-up and when the queue is reset";
    all.push_back(queue);
    all.push_back(whole("SPOOL_MAX", 1, 1000000, "1 to 1000000", 10000, "10000", "pages the spool may hold",
                        "  IV: SPOOL_MAX is empty. Setting to {n}", "  IV: SPOOL_MAX is set to {v} messages"));
    all.push_back(whole("MESSID_BLOCK", 1, 100000, "1 to 100000", 100, "100", "message ids reserved at a time",
                        "  IV: MESSID_BLOCK is empty. Setting to {n}", "  IV: Message ids are reserved {v} at a time"));
    Parameter codePage = text("SWITCH_CODEPAGE", H::ClientRow, "SWITCH_CODEPAGE", K::CodePage,
                              "a single-byte charset iconv knows", "windows-1252", "windows-1252",
                              "code page of the text sent to the switch");
    codePage.emptyLine = "  IV: SWITCH_CODEPAGE is empty. Setting to {n}";
    codePage.setLine = "  IV: Text goes to the switch in code page {v}";
    all.push_back(codePage);
    Parameter age = whole("HEALTH_MAX_PAGE_AGE", 0, 86400, "0 to 86400 seconds (0: not checked)", 120, "120",
                          "/healthz says 503 when a page answered 250 waits longer for the switch",
                          "  IV: HEALTH_MAX_PAGE_AGE is empty. Setting to {n} seconds",
                          "  IV: /healthz fails when a page waits longer than {v} seconds");
    age.zeroLine = "  IV: HEALTH_MAX_PAGE_AGE is 0. /healthz does not look at the age of pages";
    all.push_back(age);
    Parameter keep = whole("LOG_KEEP_DAYS", 0, 36500, "0 to 36500 days (0: keep for ever)", 90, "90",
                           "log backups older than this are deleted",
                           "  IV: LOG_KEEP_DAYS is empty. Log backups are kept {n} days",
                           "  IV: Log backups are kept {v} days");
    keep.zeroLine = "  IV: LOG_KEEP_DAYS is 0. Log backups are kept for ever";
    all.push_back(keep);
    all.push_back(text("DEBUG", H::ClientRow, "DEBUG", K::OnOff, "ON or OFF", "OFF", "OFF", "debug logging"));
    all.push_back(testDevice("GROUP_TEST_DEVICE_1", "9000001", "test page group, device 1"));
    all.push_back(testDevice("GROUP_TEST_DEVICE_2", "9000002", "test page group, device 2"));
    all.push_back(testDevice("GROUP_TEST_DEVICE_3", "9000003", "test page group, device 3"));
    all.push_back(testDevice("GROUP_TEST_DEVICE_4", "9000004", "test page group, device 4"));
    all.push_back(testDevice("SINGLE_TEST_DEVICE", "9000000", "single test page device"));

    // The switch: rows every client of the catalogue reads.
    Parameter switchAddress = text("SWITCH_ADDRESS", H::SystemRow, "Remote Address", K::Host,
                                   "an IP address or host name", "this machine's address", "127.0.0.1",
                                   "the switch's address");
    switchAddress.setLine = "  IV: The switch is at {v}";
    switchAddress.emptyLine = "  IV: The switch's address is empty. Using this machine's address";
    all.push_back(switchAddress);
    Parameter switchPort{"SWITCH_PORT", H::SystemRow, "Remote Port", K::Whole, 1, 65535, "1 to 65535", "6000", "6000",
                         "the switch's port"};
    switchPort.emptyNumber = 6000;
    switchPort.setLine = "  IV: The switch's port is {v}";
    switchPort.emptyLine = "  IV: The switch's port is not set. Using {n}";
    all.push_back(switchPort);

    // The settings file: where the catalogue, the logs, the spool and the status endpoint are.
    Parameter status = text("STATUS_LISTEN", H::SettingsFile, "Status/Listen", K::HostPort,
                            "host:port ([::1]:9125 for IPv6); empty: no endpoint", "127.0.0.1:9125", nullptr,
                            "the HTTP status endpoint, /healthz and /metrics");
    all.push_back(status);
    Parameter logs = text("LOG_FOLDER", H::SettingsFile, "Logs/Folder", K::Text, "a folder", "<data folder>/logs",
                          nullptr, "folder of the application and SMTP log files");
    logs.maxLength = 1024;
    all.push_back(logs);
    Parameter spool = text("SPOOL_FOLDER", H::SettingsFile, "Spool/Folder", K::Text, "a folder on a local disk",
                           "<data folder>", nullptr, "folder of spool.sqlite, the pages waiting for the switch");
    spool.maxLength = 1024;
    all.push_back(spool);
    Parameter cert = text("TLS_CERT", H::SettingsFile, "TLS/Cert", K::Text, "a PEM file",
                          "none: STARTTLS is not offered", nullptr,
                          "the server's certificate for STARTTLS, its chain after it (read again on SIGHUP)");
    cert.maxLength = 1024;
    all.push_back(cert);
    Parameter key = text("TLS_KEY", H::SettingsFile, "TLS/Key", K::Text, "a PEM file, not encrypted",
                         "none: STARTTLS is not offered", nullptr,
                         "the certificate's private key (read again on SIGHUP)");
    key.maxLength = 1024;
    all.push_back(key);
    all.push_back(text("DB_DRIVER", H::SettingsFile, "Database/Driver", K::Driver, "QSQLITE or QODBC", "QSQLITE",
                       nullptr, "the catalogue's driver"));
    all.push_back(text("DB_DATA_SOURCE", H::SettingsFile, "Database/DataSource", K::Text,
                       "SQLite: a folder; ODBC: the server", "SQLite: <data folder>; ODBC: 192.168.1.10", nullptr,
                       "where the catalogue is"));
    all.push_back(text("DB_INITIAL_CATALOG", H::SettingsFile, "Database/InitialCatalog", K::Text, "a name", "HXSMKII",
                       nullptr, "the catalogue's name (SQLite: <name>.sqlite)"));
    Parameter connection = text("DB_CONNECTION_STRING", H::SettingsFile, "Database/ConnectionString", K::Text,
                                "an ODBC connection string", "FreeTDS on port 1433", nullptr,
                                "ODBC only: the whole connection string");
    connection.maxLength = 4096;
    all.push_back(connection);
    all.push_back(text("DB_SERVER_NOW", H::SettingsFile, "Database/ServerNow", K::Text, "an SQL expression",
                       "SQLite: datetime('now','localtime'); ODBC: GETDATE()", nullptr,
                       "the SQL for the server's local time"));
    all.push_back(text("DB_CREATE_CATALOGUE", H::SettingsFile, "Database/CreateCatalogue", K::YesNo, "yes or no",
                       "SQLite: yes; ODBC: no", nullptr, "create and seed a catalogue that has no client table"));
    for (Parameter& p : all)
        if (p.home == H::SettingsFile)
            p.whenRead = p.kind == K::HostPort                  ? "at start-up"
                         : std::string_view(p.key).starts_with("TLS/") ? "at start-up and on SIGHUP"
                                                                       : "at start-up and at every reconnect";
    return all;
}

}  // namespace

const std::vector<Parameter>& Parameters()
{
    static const std::vector<Parameter> all = build();
    return all;
}

const Parameter* FindParameter(std::string_view name)
{
    const std::string_view wanted = text::Trim(name, text::kSpaceTab);
    for (const Parameter& p : Parameters())
        if (text::EqualsNoCase(wanted, p.name) || text::EqualsNoCase(wanted, p.key))
            return &p;
    return nullptr;
}

const Parameter& ParameterNamed(std::string_view name)
{
    if (const Parameter* p = FindParameter(name))
        return *p;
    throw std::logic_error("no parameter " + std::string(name));
}

std::optional<std::int32_t> WholeNumber(std::string_view value) { return toInt32(value); }

std::string HomeText(const Parameter& p)
{
    switch (p.home) {
    case Home::ClientRow: return "catalogue, HXSClientConfig row of the client";
    case Home::SystemRow: return std::string("catalogue, HXSSystem row '") + p.key + "', shared by every client";
    case Home::SettingsFile: {
        const std::string key = p.key;
        const auto slash = key.find('/');
        return "settings file, [" + key.substr(0, slash) + "] " + key.substr(slash + 1);
    }
    }
    return {};
}

}  // namespace smtpin::db
