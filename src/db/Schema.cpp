#include "db/Schema.h"

#include "db/CatalogueConnection.h"
#include "db/Parameters.h"

#include <QSqlDatabase>
#include <QStringList>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace smtpin::db::Schema {
namespace {

// Identifier columns compare without letter case, as SQL Server's default
// collation does.
constexpr const char* kTables[] = {
    "CREATE TABLE HXSClient ("
    "[Device] TEXT COLLATE NOCASE NOT NULL PRIMARY KEY, [Enable] TEXT, [State] TEXT, [Available] TEXT,"
    " [Watchdog] DATETIME, [LastBackUp] DATETIME, [BackUpPeriod] INTEGER, [WPeriod] INTEGER,"
    " [SerialPort] INTEGER, [PortType] TEXT, [PortClass] TEXT, [OutputMethod] TEXT, [HostAddress] TEXT,"
    " [HostPort] TEXT, [PrependDialString] TEXT, [InitString] TEXT)",
    "CREATE TABLE HXSSystem ([Description] TEXT COLLATE NOCASE NOT NULL PRIMARY KEY, [Value] TEXT)",
    "CREATE TABLE HXSModule ([Title] TEXT COLLATE NOCASE NOT NULL PRIMARY KEY, [Group] TEXT COLLATE NOCASE)",
    "CREATE TABLE HXSTCPClient ([Device] TEXT COLLATE NOCASE NOT NULL PRIMARY KEY, [HubAttempts] INTEGER,"
    " [HubWait] INTEGER, [HubMaxBuffer] INTEGER, [RemoteBuffer] INTEGER, [CCWatchdog] INTEGER)",
    // Duplicate parameters are tolerated (and warned about), so no key here.
    "CREATE TABLE HXSClientConfig ([Device] TEXT COLLATE NOCASE, [Parameter] TEXT COLLATE NOCASE, [Value] TEXT)",
    "CREATE INDEX HXSClientConfigDevice ON HXSClientConfig ([Device], [Parameter])",
    "CREATE TABLE HXSLog ([logtime] DATETIME, [source] TEXT, [messid] TEXT, [log data] TEXT)",
    "CREATE TABLE HXSSirenSites ([PAGER_ID] TEXT COLLATE NOCASE, [MESS_ID] TEXT)",
};

// The message number counters; the settings' seeds come from the parameter table.
constexpr std::pair<const char*, const char*> kCounters[] = {
    {"MessIdSystem", "1000000"},
    {"DefMessIdSystem", "1000000"},
};

}  // namespace

bool HasCatalogue(CatalogueConnection& db)
{
    const QStringList tables = QSqlDatabase::database(db.connectionName(), false).tables();
    return tables.contains(QStringLiteral("HXSClient"), Qt::CaseInsensitive);
}

void CreateCatalogue(CatalogueConnection& db)
{
    const QString device = QStringLiteral("S01");
    CatalogueConnection::Transaction transaction(db);
    for (const char* statement : kTables)
        db.Execute(statement);
    db.Execute("INSERT INTO HXSModule ([Title], [Group]) VALUES (?, ?)", {QStringLiteral("SMTPIN"), QStringLiteral("S**")});
    db.Execute("INSERT INTO HXSModule ([Title], [Group]) VALUES (?, ?)", {QStringLiteral("SWITCH"), QStringLiteral("h01")});
    db.Execute("INSERT INTO HXSClient ([Device], [Enable], [State], [Available], [BackUpPeriod], [WPeriod],"
               " [PortClass], [LastBackUp]) VALUES (?, '1', '0', '0', 24, 60, 'TCP', ?)",
               {device, db.timeValue(db.clock().now())});
    // HubAttempts 0: a paging client keeps trying to reach its switch.
    db.Execute("INSERT INTO HXSTCPClient ([Device], [HubAttempts], [HubWait], [HubMaxBuffer], [RemoteBuffer],"
               " [CCWatchdog]) VALUES (?, 0, 10, 100, 250, 300)",
               {device});
    for (const auto& [description, value] : kCounters)
        db.Execute("INSERT INTO HXSSystem ([Description], [Value]) VALUES (?, ?)",
                   {QString::fromLatin1(description), QString::fromLatin1(value)});
    db.Execute("INSERT INTO HXSSystem ([Description], [Value]) VALUES ('SchemaVersion', ?)", {QString::number(kVersion)});
    for (const Parameter& p : Parameters()) {
        if (!p.seed || p.home == Home::SettingsFile)
            continue;
        if (p.home == Home::SystemRow)
            db.Execute("INSERT INTO HXSSystem ([Description], [Value]) VALUES (?, ?)",
                       {QString::fromLatin1(p.key), QString::fromLatin1(p.seed)});
        else
            db.Execute("INSERT INTO HXSClientConfig ([Device], [Parameter], [Value]) VALUES (?, ?, ?)",
                       {device, QString::fromLatin1(p.key), QString::fromLatin1(p.seed)});
    }
    transaction.commit();
}

namespace {

// 1 to 2: the client configuration parameters added since (the switch's
// code page, the session limit, the backups kept, the allowed senders),
// with their seeds, for every client that has none of its own.
void upgradeTo2(CatalogueConnection& db)
{
    std::vector<std::string> devices;
    {
        Recordset rs = db.OpenRecordset("SELECT [Device] FROM HXSClient");
        while (rs.next())
            devices.push_back(rs.text("Device"));
    }
    for (const std::string& device : devices) {
        for (const char* name : {"SWITCH_CODEPAGE", "SESSION_MAX", "LOG_KEEP_DAYS", "ALLOWED_SENDERS"}) {
            const char* seed = ParameterNamed(name).seed;
            Recordset rs = db.OpenRecordset("SELECT COUNT(*) AS n FROM HXSClientConfig WHERE [Device] = ? AND "
                                            "[Parameter] = ?",
                                            {qs(device), QString::fromLatin1(name)});
            const bool present = rs.next() && rs.text("n") != "0";
            rs.close();
            if (!present)
                db.Execute("INSERT INTO HXSClientConfig ([Device], [Parameter], [Value]) VALUES (?, ?, ?)",
                           {qs(device), QString::fromLatin1(name), QString::fromLatin1(seed)});
        }
    }
}

}  // namespace

int Version(CatalogueConnection& db)
{
    Recordset rs = db.OpenRecordset("SELECT [Value] FROM HXSSystem WHERE [Description] = 'SchemaVersion'");
    const int version = rs.next() ? std::atoi(rs.text("Value").c_str()) : 1;
    rs.close();
    return version;
}

int Upgrade(CatalogueConnection& db)
{
    const int found = Version(db);
    if (found >= kVersion)
        return found;
    CatalogueConnection::Transaction transaction(db);
    if (found < 2)
        upgradeTo2(db);
    db.Execute("DELETE FROM HXSSystem WHERE [Description] = 'SchemaVersion'");
    db.Execute("INSERT INTO HXSSystem ([Description], [Value]) VALUES ('SchemaVersion', ?)", {QString::number(kVersion)});
    transaction.commit();
    return found;
}

}  // namespace smtpin::db::Schema
