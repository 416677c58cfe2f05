#include "db/CatalogueConnection.h"
#include "platform/Text.h"

#include "db/Schema.h"
#include "log/SystemLog.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cctype>
#include <utility>

namespace smtpin::db {
namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

QString errorText(const QSqlError& e)
{
    QString t = e.text().trimmed();
    return t.isEmpty() ? QStringLiteral("Unknown database error") : t;
}

}  // namespace

CatalogueConnection::CatalogueConnection(const Clock& clock, SystemLog& log, Controls controls,
                                         const SettingsStore& settings, std::string dataFolder)
    : clock_(clock),
      log_(log),
      view_(controls),
      settings_(settings),
      dataFolder_(std::move(dataFolder)),
      // Unique while this object lives, so two clients in one process
      // never share a connection.
      name_(QStringLiteral("smtpin-catalogue-%1").arg(reinterpret_cast<quintptr>(this), 0, 16))
{
}

CatalogueConnection::~CatalogueConnection() { release(); }

void CatalogueConnection::release()
{
    if (!QSqlDatabase::contains(name_))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(name_, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name_);
}

bool CatalogueConnection::isOpen() const
{
    return QSqlDatabase::contains(name_) && QSqlDatabase::database(name_, false).isOpen();
}

std::string CatalogueConnection::ReadDatabaseSetting(const std::string& name, const std::string& defaultValue) const
{
    std::string v = settings_.ReadRegistryValue(kDatabaseKey, name);
    return v.empty() ? defaultValue : v;
}

CatalogueConnection::Location CatalogueConnection::ReadLocation() const
{
    Location loc;
    // Read afresh at every open: a file broken since start-up must not
    // send the connection to the defaults' catalogue.
    if (const auto problem = settings_.Problem())
        loc.problem = "The settings file " + settings_.fileName() + " " + *problem;
    const std::string named = std::string(text::Trim(ReadDatabaseSetting("Driver", "QSQLITE")));
    const std::string driver = text::Lower(named);
    if (driver == "qodbc" || driver == "odbc")
        loc.driver = Driver::Odbc;
    else if (driver != "qsqlite" && driver != "sqlite" && loc.problem.empty())
        loc.problem = "Unknown database driver " + named;

    const bool odbc = loc.driver == Driver::Odbc;
    loc.dataSource = ReadDatabaseSetting("DataSource", odbc ? kDefaultDataSource : dataFolder_);
    loc.initialCatalog = ReadDatabaseSetting("InitialCatalog", kDefaultInitialCatalog);
    loc.serverNow = ReadDatabaseSetting("ServerNow", odbc ? "GETDATE()" : "datetime('now','localtime')");
    const std::string create = text::Lower(std::string(text::Trim(ReadDatabaseSetting("CreateCatalogue", odbc ? "no" : "yes"))));
    loc.createCatalogue = create == "yes" || create == "1" || create == "true" || create == "on";
    if (odbc) {
        std::string cs = settings_.ReadValue(kDatabaseKey, "ConnectionString", kMaxConnectionString);
        if (cs.empty())
            cs = kDefaultOdbcConnection;
        replaceAll(cs, "%DataSource%", loc.dataSource);
        replaceAll(cs, "%InitialCatalog%", loc.initialCatalog);
        loc.databaseName = cs;
    } else {
        loc.databaseName = QDir(qs(loc.dataSource)).filePath(qs(loc.initialCatalog + ".sqlite")).toStdString();
    }
    return loc;
}

// One disk sync per commit instead of a journal made, synced and removed
// each time; commits stay durable (synchronous FULL), and readers in other
// programs do not block the writer.
void CatalogueConnection::useWriteAheadLog(QSqlDatabase& db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.exec(QStringLiteral("PRAGMA synchronous=FULL")))
        log_.ApplicationLine(" OSD: The catalogue keeps its rollback journal: " +
                             errorText(q.lastError()).toStdString());
}

bool CatalogueConnection::EnsureSQLDatabase()
{
    if (isOpen())
        return true;
    return OpenSQLDatabase();
}

// Creates the embedded catalogue on its first open, upgrades an older one;
// what stops the open, or nothing.
QString CatalogueConnection::checkSchema(bool mayCreate)
{
    const bool odbc = location_.driver == Driver::Odbc;
    try {
        if (!Schema::HasCatalogue(*this)) {
            if (mayCreate)
                Schema::CreateCatalogue(*this);
            else
                return QStringLiteral("The catalogue %1 has no client table; it is not created again while the "
                                      "client runs")
                    .arg(qs(location_.databaseName));
        } else if (!odbc && !connectedBefore_) {
            // The embedded catalogue is this program's own: an older one is brought up to date.
            if (const int was = Schema::Upgrade(*this); was < Schema::kVersion)
                log_.ApplicationLine(" OSD: Catalogue brought from schema version " + std::to_string(was) + " to " +
                                     std::to_string(Schema::kVersion));
        }
    } catch (const DatabaseFault& f) {
        return qs(f.description);
    }
    return {};
}

bool CatalogueConnection::OpenSQLDatabase()
{
    // A new connection object every time; the old one goes without a word.
    release();
    location_ = ReadLocation();
    view_.txbDataSource.setText(location_.dataSource);
    view_.txbInitialCatalog.setText(location_.initialCatalog);

    QString problem = qs(location_.problem);
    const bool odbc = location_.driver == Driver::Odbc;
    const bool mayCreate = location_.createCatalogue && !connectedBefore_;
    // SQLite makes an empty file of a name it opens: a reconnect must not.
    if (problem.isEmpty() && !odbc && !mayCreate && !QFileInfo::exists(qs(location_.databaseName)))
        problem = QStringLiteral("The catalogue %1 is missing; it is not created again while the client runs")
                      .arg(qs(location_.databaseName));
    if (problem.isEmpty()) {
        QSqlDatabase db = QSqlDatabase::addDatabase(odbc ? "QODBC" : "QSQLITE", name_);
        if (!db.isValid()) {
            problem = QStringLiteral("Database driver %1 is not available").arg(odbc ? "QODBC" : "QSQLITE");
        } else {
            if (!odbc && !location_.dataSource.empty())
                QDir().mkpath(qs(location_.dataSource));
            db.setDatabaseName(qs(location_.databaseName));
            // A catalogue another program holds locked fails a statement in a
            // tenth of a second instead of holding every socket and timer up.
            if (!odbc)
                db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
            if (!db.open())
                problem = errorText(db.lastError());
            else if (!odbc)
                useWriteAheadLog(db);
        }
    }
    if (problem.isEmpty() && (mayCreate || connectedBefore_))
        problem = checkSchema(mayCreate);
    if (!problem.isEmpty()) {
        release();
        const std::string description = problem.toLatin1().toStdString();
        ReportDatabaseError("Fatal Error has occured opening database.\r" + description, description);
        return false;
    }
    connectedBefore_ = true;
    log_.ApplicationLine(" OSD: SQL Database Connected");
    return true;
}

bool CatalogueConnection::begin(const Call& call)
{
    if (!EnsureSQLDatabase()) {
        if (call.closed)
            log_.ApplicationLine(call.closed);
        return false;
    }
    if (call.counted)
        CountDatabaseHit();
    return true;
}

void CatalogueConnection::CheckWhileIdle()
{
    const DateSerial now = clock_.now();
    const auto secondsSince = [&](DateSerial t) { return (now.days() - t.days()) * 86400.0; };
    if (!lastCheck_.isZero() && secondsSince(lastCheck_) < kReopenHoldOffSeconds && now >= lastCheck_)
        return;
    if (!isOpen()) {
        lastCheck_ = now;
        OpenSQLDatabase();
        return;
    }
    if (secondsSince(lastUse_) < kIdleCheckSeconds && now >= lastUse_)
        return;
    lastCheck_ = now;
    try {
        prepared("SELECT COUNT(*) FROM HXSModule", {}).finish();
    } catch (const DatabaseFault& f) {
        ReportDatabaseError(" OSD: Catalogue connection check failed.", f);
    }
}

void CatalogueConnection::CloseSQLDatabase()
{
    if (!isOpen())
        return;
    CountDatabaseHit();
    release();
    log_.ApplicationLine(" OSD: ODBC Database closed");
}

void CatalogueConnection::fail(const QString& description)
{
    throw DatabaseFault{description.toLatin1().toStdString()};
}

QString CatalogueConnection::statementText(const std::string& sql) const
{
    const QSqlDatabase db = QSqlDatabase::database(name_, false);
    const QSqlDriver* driver = db.driver();
    std::string text = sql;
    replaceAll(text, "GETDATE()", location_.serverNow);
    QString out;
    out.reserve(static_cast<qsizetype>(text.size()));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto close = text[i] == '[' ? text.find(']', i) : std::string::npos;
        if (close == std::string::npos) {
            out += QChar::fromLatin1(text[i]);
            continue;
        }
        const QString ident = qs(text.substr(i + 1, close - i - 1));
        out += driver ? driver->escapeIdentifier(ident, QSqlDriver::FieldName) : ident;
        i = close;
    }
    return out;
}

QSqlQuery CatalogueConnection::prepared(const std::string& sql, const std::vector<QVariant>& values)
{
    if (!isOpen())
        fail(QStringLiteral("Operation is not allowed when the object is closed."));
    lastUse_ = clock_.now();
    QSqlQuery q(QSqlDatabase::database(name_, false));
    q.setForwardOnly(true);
    if (!q.prepare(statementText(sql)))
        fail(errorText(q.lastError()));
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec())
        fail(errorText(q.lastError()));
    return q;
}

Recordset CatalogueConnection::OpenRecordset(const std::string& sql, const std::vector<QVariant>& values)
{
    return Recordset(prepared(sql, values));
}

int CatalogueConnection::Execute(const std::string& sql, const std::vector<QVariant>& values)
{
    QSqlQuery q = prepared(sql, values);
    const int n = q.numRowsAffected();
    q.finish();
    return n;
}

CatalogueConnection::Transaction::Transaction(CatalogueConnection& db) : db_(db)
{
    QSqlDatabase c = QSqlDatabase::database(db_.name_, false);
    if (!c.isOpen())
        db_.fail(QStringLiteral("Operation is not allowed when the object is closed."));
    if (!c.transaction())
        db_.fail(errorText(c.lastError()));
    open_ = true;
}

CatalogueConnection::Transaction::~Transaction()
{
    if (open_)
        QSqlDatabase::database(db_.name_, false).rollback();
}

void CatalogueConnection::Transaction::commit()
{
    QSqlDatabase c = QSqlDatabase::database(db_.name_, false);
    if (!c.commit()) {
        const QString why = errorText(c.lastError());
        c.rollback();
        open_ = false;
        db_.fail(why);
    }
    open_ = false;
}

QVariant CatalogueConnection::timeValue(DateSerial t) const
{
    // SQLite keeps date-times as text in the form its own datetime() writes.
    if (location_.driver == Driver::SQLite)
        return QString::fromStdString(t.format("yyyy-mm-dd hh:nn:ss"));
    return t.toDateTime();
}

void CatalogueConnection::CountDatabaseHit()
{
    if (!EnsureSQLDatabase())
        return;
    DatabaseHits = NextHitCount(DatabaseHits);
    view_.txbDatabaseHits.setText(std::to_string(DatabaseHits));
}

std::string CatalogueConnection::QuoteSQL(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out;
}

void CatalogueConnection::appendErrorText(const std::string& text)
{
    LastDatabaseErrorText += text;
    // Keep the newest part; a failing catalogue must not grow memory forever.
    if (LastDatabaseErrorText.size() > kMaxErrorText)
        LastDatabaseErrorText.erase(0, LastDatabaseErrorText.size() - kMaxErrorText);
}

void CatalogueConnection::ReportDatabaseError(const std::string& message, const std::string& description)
{
    ++errorsReported_;
    const DateSerial now = clock_.now();
    if (now > LastDatabaseErrorTime.addDays(kErrorHoldOffDays)) {
        LastDatabaseErrorTime = now;
        if (message != LastDatabaseErrorText) {
            appendErrorText(message);
            log_.ApplicationLine(message + "Windows reports: " + description);
        }
        CloseSQLDatabase();
        OpenSQLDatabase();
    } else {
        appendErrorText("\r" + message + "Windows reports: " + description);
    }
}

}  // namespace smtpin::db
