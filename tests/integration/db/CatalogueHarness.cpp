#include "CatalogueHarness.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <fstream>

namespace smtpin::test {

std::string backendName(const ::testing::TestParamInfo<Backend>& info)
{
    return info.param == Backend::SQLite ? "QSQLITE" : "QODBC";
}

CatalogueClient::CatalogueClient(const Clock& clock, const SettingsStore& settings, const std::string& dataFolder)
    : log(clock, {form.lbxSystemLog, form.lbxSMTPLOG, form.cbxErrorLogging}),
      db(clock, log, {form.txbDatabaseHits, form.txbDataSource, form.txbInitialCatalog}, settings, dataFolder),
      reg(db, log, dialogs),
      config(db, log, reg),
      dbLog(db, reg)
{
    log.SetEcho([this](const std::string& text, SystemLog::EchoText) { written.push_back(text); });
    dbLog.attachTo(log);
}

std::vector<std::string> CatalogueClient::drain()
{
    const std::size_t before = written.size();
    while (log.PendingCount() > 0)
        log.ProcessSystemLogQueue();
    return {written.begin() + static_cast<std::ptrdiff_t>(before), written.end()};
}

CatalogueTest::CatalogueTest()
    : sideName_(QStringLiteral("side-%1").arg(reinterpret_cast<quintptr>(this), 0, 16))
{
    writeSettings();
}

CatalogueTest::~CatalogueTest()
{
    if (QSqlDatabase::contains(sideName_)) {
        QSqlDatabase::database(sideName_, false).close();
        QSqlDatabase::removeDatabase(sideName_);
    }
}

void CatalogueTest::writeSettings(const std::string& extra, const std::string& dataSource)
{
    std::ofstream out(settings.fileName(), std::ios::binary | std::ios::trunc);
    out << "[Database]\n";
    out << "DataSource=\"" << (dataSource.empty() ? dir.path() : dataSource) << "\"\n";
    if (GetParam() == Backend::Odbc) {
        out << "Driver=QODBC\n"
            << "ConnectionString=\"Driver=" << SMTPIN_SQLITE_ODBC_DRIVER
            << ";Database=%DataSource%/%InitialCatalog%.sqlite;Timeout=2000\"\n"
            << "ServerNow=datetime('now','localtime')\n"
            << "CreateCatalogue=yes\n";
    }
    out << extra;
}

std::unique_ptr<CatalogueClient> CatalogueTest::client()
{
    if (GetParam() == Backend::Odbc && !QSqlDatabase::isDriverAvailable("QODBC"))
        ADD_FAILURE() << "the Qt ODBC driver is not installed";
    return std::make_unique<CatalogueClient>(clock, settings, dir.path());
}

std::unique_ptr<CatalogueClient> CatalogueTest::openClient(const std::string& clientId)
{
    auto c = client();
    EXPECT_TRUE(c->db.OpenSQLDatabase()) << c->db.lastDatabaseErrorText();
    c->reg.setClientId(clientId);
    c->drain();
    return c;
}

QSqlDatabase CatalogueTest::side()
{
    if (!QSqlDatabase::contains(sideName_)) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", sideName_);
        db.setDatabaseName(QString::fromStdString(catalogueFile()));
    }
    QSqlDatabase db = QSqlDatabase::database(sideName_, true);
    EXPECT_TRUE(db.isOpen()) << db.lastError().text().toStdString();
    return db;
}

void CatalogueTest::exec(const std::string& sql)
{
    QSqlQuery q(side());
    EXPECT_TRUE(q.exec(QString::fromStdString(sql))) << sql << ": " << q.lastError().text().toStdString();
}

std::vector<std::vector<QVariant>> CatalogueTest::rows(const std::string& sql)
{
    QSqlQuery q(side());
    EXPECT_TRUE(q.exec(QString::fromStdString(sql))) << sql << ": " << q.lastError().text().toStdString();
    std::vector<std::vector<QVariant>> out;
    while (q.next()) {
        std::vector<QVariant> row;
        for (int i = 0; i < q.record().count(); ++i)
            row.push_back(q.value(i));
        out.push_back(std::move(row));
    }
    return out;
}

QVariant CatalogueTest::value(const std::string& sql)
{
    const auto r = rows(sql);
    return r.empty() || r.front().empty() ? QVariant() : r.front().front();
}

void CatalogueTest::addClientRow(const std::string& device, const std::string& enable, const std::string& state)
{
    exec("INSERT INTO HXSClient (Device, Enable, State, Available, BackUpPeriod, WPeriod) VALUES ('" + device + "', '" +
         enable + "', '" + state + "', '0', 12, 30)");
}

int countContaining(const std::vector<std::string>& texts, const std::string& part)
{
    int n = 0;
    for (const std::string& t : texts)
        n += t.find(part) != std::string::npos ? 1 : 0;
    return n;
}

int countOccurrences(const std::string& text, const std::string& part)
{
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

}  // namespace smtpin::test
