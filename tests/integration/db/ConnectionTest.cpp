#include "CatalogueHarness.h"

#include "db/Schema.h"

#include <fstream>

using namespace smtpin;
using namespace smtpin::test;
using db::CatalogueConnection;

namespace {

using Connection = CatalogueTest;

TEST_P(Connection, FirstOpenCreatesAndSeedsTheCatalogueASecondOpenKeepsIt)
{
    auto c = client();
    ASSERT_TRUE(c->db.OpenSQLDatabase()) << c->db.lastDatabaseErrorText();
    EXPECT_EQ(c->drain(), std::vector<std::string>{" OSD: SQL Database Connected"});
    EXPECT_EQ(c->form.txbDataSource.text(), dir.path());
    EXPECT_EQ(c->form.txbInitialCatalog.text(), "HXSMKII");
    ASSERT_TRUE(std::ifstream(catalogueFile()).good());

    EXPECT_EQ(rows("SELECT Title, \"Group\" FROM HXSModule ORDER BY Title"),
              (std::vector<std::vector<QVariant>>{{"SMTPIN", "S**"}, {"SWITCH", "h01"}}));
    const auto client = rows("SELECT Device, Enable, State, Available, BackUpPeriod, WPeriod, PortClass, LastBackUp "
                             "FROM HXSClient");
    ASSERT_EQ(client.size(), 1u);
    EXPECT_EQ(client[0][0], "S01");
    EXPECT_EQ(client[0][1], "1");
    EXPECT_EQ(client[0][2], "0");
    EXPECT_EQ(client[0][3], "0");
    EXPECT_EQ(client[0][4].toInt(), 24);
    EXPECT_EQ(client[0][5].toInt(), 60);
    EXPECT_EQ(client[0][6], "TCP");
    EXPECT_EQ(db::toDateSerial(client[0][7]), clock.now());
    EXPECT_EQ(rows("SELECT HubAttempts, HubWait, HubMaxBuffer, RemoteBuffer, CCWatchdog FROM HXSTCPClient "
                   "WHERE Device = 'S01'"),
              (std::vector<std::vector<QVariant>>{{0, 10, 100, 250, 300}}));
    EXPECT_EQ(rows("SELECT Description, Value FROM HXSSystem ORDER BY Description"),
              (std::vector<std::vector<QVariant>>{{"DefMessIdSystem", "1000000"},
                                                  {"MessIdSystem", "1000000"},
                                                  {"Remote Address", "127.0.0.1"},
                                                  {"Remote Port", "6000"},
                                                  {"SchemaVersion", "2"}}));
    for (const char* p : {"SMTPPORT", "SMTPIP", "QUEUE_SIZE", "TCPTIMEOUT", "TCP_HUB_TIMEOUT", "MAX_SOCKETS", "DEBUG",
                          "GROUP_TEST_DEVICE_1", "GROUP_TEST_DEVICE_2", "GROUP_TEST_DEVICE_3", "GROUP_TEST_DEVICE_4",
                          "SINGLE_TEST_DEVICE"})
        EXPECT_FALSE(c->config.GetClientConfig(p, "S01").empty()) << p;
    EXPECT_EQ(c->config.GetClientConfig("SMTPPORT", "S01"), "2525");
    EXPECT_EQ(c->config.GetClientConfig("SMTPIP", "S01"), "127.0.0.1");
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClientConfig").toInt(), 22);

    // The operator's changes survive reopening; nothing is seeded twice.
    exec("UPDATE HXSClientConfig SET Value = '2626' WHERE Parameter = 'SMTPPORT'");
    c->db.CloseSQLDatabase();
    EXPECT_FALSE(c->db.isOpen());
    ASSERT_TRUE(c->db.OpenSQLDatabase());
    EXPECT_EQ(c->config.GetClientConfig("SMTPPORT", "S01"), "2626");
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClientConfig").toInt(), 22);
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClient").toInt(), 1);
    EXPECT_EQ(c->drain(), (std::vector<std::string>{" OSD: ODBC Database closed", " OSD: SQL Database Connected"}));
}

// A catalogue made before the schema had a version is brought up to date
// once: the parameters added since get their seeds where a client has none,
// and what an operator set stays.
// One guarded call, its work in one transaction: what a failed statement
// leaves behind is rolled back, the fault reported once; a commit keeps all.
TEST_P(Connection, AGuardedTransactionKeepsAllOrNothing)
{
    auto c = openClient();
    const auto work = [&](const char* second) {
        return c->db.guarded({"T: failed."}, [&] {
            db::CatalogueConnection::Transaction transaction(c->db);
            c->db.Execute("INSERT INTO HXSSystem ([Description], [Value]) VALUES ('T', '1')");
            c->db.Execute(second);
            transaction.commit();
        });
    };
    const auto rows = [&] { return value("SELECT COUNT(*) FROM HXSSystem WHERE Description = 'T'").toInt(); };
    EXPECT_FALSE(work("INSERT INTO NoSuchTable VALUES (1)"));
    EXPECT_EQ(rows(), 0);
    const auto lines = c->drain();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("T: failed.Windows reports: ", 0), 0u) << lines[0];
    EXPECT_TRUE(work("UPDATE HXSSystem SET [Value] = '2' WHERE [Description] = 'T'"));
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(value("SELECT Value FROM HXSSystem WHERE Description = 'T'").toString(), "2");
}

TEST_P(Connection, AnOlderEmbeddedCatalogueIsUpgradedOnceKeepingWhatWasSet)
{
    {
        auto c = openClient();
    }
    exec("DELETE FROM HXSSystem WHERE Description = 'SchemaVersion'");
    exec("DELETE FROM HXSClientConfig WHERE Parameter IN ('SESSION_MAX', 'LOG_KEEP_DAYS', 'ALLOWED_SENDERS')");
    exec("UPDATE HXSClientConfig SET Value = 'iso-8859-15' WHERE Parameter = 'SWITCH_CODEPAGE'");
    exec("INSERT INTO HXSClient (Device, Enable, State) VALUES ('S02', '1', '0')");
    auto c = client();
    ASSERT_TRUE(c->db.OpenSQLDatabase());
    if (GetParam() == Backend::Odbc) {
        // A catalogue reached through ODBC is its administrators': left as it is.
        EXPECT_EQ(countContaining(c->drain(), "brought from schema"), 0);
        EXPECT_TRUE(value("SELECT Value FROM HXSSystem WHERE Description = 'SchemaVersion'").isNull());
        return;
    }
    EXPECT_EQ(countContaining(c->drain(), " OSD: Catalogue brought from schema version 1 to 2"), 1);
    EXPECT_EQ(value("SELECT Value FROM HXSSystem WHERE Description = 'SchemaVersion'").toString(), "2");
    EXPECT_EQ(c->config.GetClientConfig("SESSION_MAX", "S01"), "600");
    EXPECT_EQ(c->config.GetClientConfig("LOG_KEEP_DAYS", "S02"), "90");
    EXPECT_EQ(c->config.GetClientConfig("SWITCH_CODEPAGE", "S01"), "iso-8859-15");
    EXPECT_EQ(c->config.GetClientConfig("SWITCH_CODEPAGE", "S02"), "windows-1252");
    const int rowsAfter = value("SELECT COUNT(*) FROM HXSClientConfig").toInt();
    c->db.CloseSQLDatabase();
    auto again = client();
    ASSERT_TRUE(again->db.OpenSQLDatabase());
    EXPECT_EQ(countContaining(again->drain(), "brought from schema"), 0);
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClientConfig").toInt(), rowsAfter);
}

TEST_P(Connection, AnEmptyFileGetsTheSchemaAFileWithTheSchemaIsLeftAsItIs)
{
    exec("CREATE TABLE Unrelated (x TEXT)");   // the side connection makes the file
    {
        auto c = openClient();
        EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClient").toInt(), 1);
    }
    exec("DELETE FROM HXSClient");
    auto c = openClient();
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClient").toInt(), 0);
}

TEST_P(Connection, HitsAreCountedAndShownAndRestartAfterAThousandMillion)
{
    auto c = openClient();
    const int before = c->db.databaseHits();
    c->reg.IdentifyTitleModule("SMTPIN");
    c->config.GetClientConfig("DEBUG", "S01");
    EXPECT_EQ(c->db.databaseHits(), before + 2);
    EXPECT_EQ(c->form.txbDatabaseHits.text(), std::to_string(before + 2));

    EXPECT_EQ(CatalogueConnection::NextHitCount(CatalogueConnection::kMaxHits - 1), CatalogueConnection::kMaxHits);
    EXPECT_EQ(CatalogueConnection::NextHitCount(CatalogueConnection::kMaxHits), 1);
}

TEST_P(Connection, ClientsInOneProcessHaveTheirOwnConnections)
{
    auto a = openClient();
    auto b = openClient();
    EXPECT_NE(a->db.connectionName(), b->db.connectionName());
    a->db.CloseSQLDatabase();
    EXPECT_TRUE(b->db.isOpen());
    EXPECT_EQ(b->reg.IdentifyTitleModule("SMTPIN"), "S**");
}

// The catalogue becomes unreachable: its folder is now a plain file.
TEST_P(Connection, ErrorsLogAndReconnectAtMostOnceInTenSeconds)
{
    auto c = openClient();
    // Read once while the catalogue works, so the defaults below are a fallback.
    exec("UPDATE HXSTCPClient SET HubAttempts = 3");
    c->reg.LoadTCPVariables();
    ASSERT_EQ(c->reg.tcpVars().HubAttempts, 3);
    c->drain();
    const std::string blocker = dir.file("blocker");
    std::ofstream(blocker) << "not a folder";
    writeSettings("", blocker);
    exec("DROP TABLE HXSTCPClient");

    // First failure: logged once, then close and one reopen, which fails
    // within the hold-off and is only recorded.
    c->reg.LoadTCPVariables();
    auto lines = c->drain();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(" LTV: Unable to access connection to database for TCP variables.Windows reports: ", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find("HXSTCPClient"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], " OSD: ODBC Database closed");
    EXPECT_FALSE(c->db.isOpen());
    EXPECT_EQ(c->db.lastDatabaseErrorTime(), clock.now());
    EXPECT_EQ(countOccurrences(c->db.lastDatabaseErrorText(), "Fatal Error has occured opening database.\r"), 1);

    // Within ten seconds every use tries to open, fails, and is only recorded.
    clock.advanceSeconds(5);
    c->reg.LoadTCPVariables();
    EXPECT_EQ(c->reg.tcpVars().HubAttempts, 10);   // the defaults of a missing catalogue
    EXPECT_EQ(c->reg.tcpVars().HubWait, 10);
    EXPECT_EQ(c->reg.tcpVars().HubMaxBuffer, 100);
    EXPECT_EQ(c->reg.tcpVars().RemoteBuffer, 250);
    EXPECT_DOUBLE_EQ(c->reg.tcpVars().CCWatchdog * 86400.0, 300.0);
    // No id was reserved before: none is handed out.
    EXPECT_EQ(c->reg.GetSystemMessageId(), 0);
    EXPECT_EQ(c->reg.GetSystemMessageId(), 0);
    EXPECT_EQ(c->drain(), (std::vector<std::string>{"GSMI: Unable to access database for next message id.",
                                                    "GSMI: No message id left and none can be drawn: mail is refused "
                                                    "until one can",
                                                    "GSMI: Unable to access database for next message id."}));
    EXPECT_EQ(countOccurrences(c->db.lastDatabaseErrorText(), "Fatal Error has occured opening database.\r"), 4);

    // After ten seconds the next failure is logged and reconnects again.
    clock.advanceSeconds(6);
    EXPECT_EQ(c->reg.GetSystemMessageId(), 0);
    lines = c->drain();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Fatal Error has occured opening database.\r", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("Windows reports: "), std::string::npos);
    EXPECT_EQ(lines[1], "GSMI: Unable to access database for next message id.");
    EXPECT_EQ(countOccurrences(c->db.lastDatabaseErrorText(), "Fatal Error has occured opening database.\r"), 6);

    // Reachable again: the next use after the hold-off opens it.
    writeSettings();
    clock.advanceSeconds(11);
    EXPECT_EQ(c->reg.GetSystemMessageId(), 1000001);
    EXPECT_EQ(c->drain(), (std::vector<std::string>{" OSD: SQL Database Connected",
                                                    "GSMI: Message ids 1000001 to 1000100 reserved"}));
}

// The file is away for a moment: a reconnect fails with its reason instead
// of seeding a new catalogue whose message numbers would start again.
TEST_P(Connection, AReconnectNeverCreatesACatalogue)
{
    auto c = openClient();
    EXPECT_EQ(c->reg.GetSystemMessageId(), 1000001);
    const std::string file = catalogueFile();
    const std::string away = dir.file("away.sqlite");
    c->db.CloseSQLDatabase();
    ASSERT_EQ(std::rename(file.c_str(), away.c_str()), 0);
    c->drain();

    EXPECT_FALSE(c->db.OpenSQLDatabase());
    // The ODBC driver makes an empty file of the name; SQLite's own is not let.
    const char* reason = GetParam() == Backend::SQLite ? "is missing; it is not created again while the client runs"
                                                       : "has no client table; it is not created again";
    EXPECT_NE(c->db.lastDatabaseErrorText().find(reason), std::string::npos) << c->db.lastDatabaseErrorText();
    if (GetParam() == Backend::SQLite) {
        EXPECT_FALSE(std::ifstream(file).good());   // not even an empty file
    }
    // An empty file in its place is no catalogue either.
    std::ofstream(file).flush();
    EXPECT_FALSE(c->db.OpenSQLDatabase());
    EXPECT_NE(c->db.lastDatabaseErrorText().find("has no client table"), std::string::npos);

    ASSERT_EQ(std::rename(away.c_str(), file.c_str()), 0);
    ASSERT_TRUE(c->db.OpenSQLDatabase()) << c->db.lastDatabaseErrorText();
    EXPECT_EQ(c->reg.GetSystemMessageId(), 1000002);   // the counter goes on
}

// A dropped connection is found on the housekeeping tick, not by the next
// mail; a connection in use is left alone, an idle one is checked.
TEST_P(Connection, TheIdleCheckReopensADroppedConnection)
{
    auto c = openClient();
    c->db.CloseSQLDatabase();
    c->drain();
    c->db.CheckWhileIdle();
    EXPECT_TRUE(c->db.isOpen());
    EXPECT_EQ(c->drain(), std::vector<std::string>{" OSD: SQL Database Connected"});

    clock.advanceSeconds(20);
    c->reg.GetSystemMessageId();   // in use
    c->drain();
    exec("DROP TABLE HXSModule");  // what the check reads fails from now on
    clock.advanceSeconds(15);
    c->db.CheckWhileIdle();        // used 15 s ago: not checked
    EXPECT_TRUE(c->drain().empty());
    clock.advanceSeconds(20);
    c->db.CheckWhileIdle();        // idle for 35 s: checked, and the failure reported
    const auto lines = c->drain();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind(" OSD: Catalogue connection check failed.Windows reports: ", 0), 0u) << lines[0];
    EXPECT_EQ(countContaining(lines, " OSD: SQL Database Connected"), 1);   // and the connection opened again
}

TEST_P(Connection, TheSameErrorAgainReconnectsWithoutLoggingAgain)
{
    auto c = openClient();
    c->db.ReportDatabaseError("X: failed.");
    EXPECT_EQ(c->drain(), (std::vector<std::string>{"X: failed.Windows reports: ", " OSD: ODBC Database closed",
                                                     " OSD: SQL Database Connected"}));
    clock.advanceSeconds(10);   // not later than ten seconds: recorded only
    c->db.ReportDatabaseError("X: failed.");
    EXPECT_TRUE(c->drain().empty());
    EXPECT_EQ(c->db.lastDatabaseErrorText(), "X: failed.\rX: failed.Windows reports: ");

    auto d = openClient();
    d->db.ReportDatabaseError("Y: failed.");
    clock.advanceSeconds(11);
    d->db.ReportDatabaseError("Y: failed.");
    EXPECT_EQ(d->drain(), (std::vector<std::string>{"Y: failed.Windows reports: ", " OSD: ODBC Database closed",
                                                     " OSD: SQL Database Connected", " OSD: ODBC Database closed",
                                                     " OSD: SQL Database Connected"}));
}

TEST_P(Connection, TheRecordedErrorTextKeepsItsNewestSixteenKilobytes)
{
    auto c = openClient();
    c->db.ReportDatabaseError("first.");
    for (int i = 0; i < 400; ++i)
        c->db.ReportDatabaseError("error number " + std::to_string(i) + std::string(60, '.'));
    EXPECT_EQ(c->db.lastDatabaseErrorText().size(), CatalogueConnection::kMaxErrorText);
    EXPECT_EQ(c->db.lastDatabaseErrorText().find("first."), std::string::npos);
    const std::string newest = "error number 399" + std::string(60, '.') + "Windows reports: ";
    EXPECT_EQ(c->db.lastDatabaseErrorText().substr(c->db.lastDatabaseErrorText().size() - newest.size()), newest);
}

INSTANTIATE_TEST_SUITE_P(Drivers, Connection, ::testing::Values(Backend::SQLite, Backend::Odbc), backendName);

// Where the catalogue is, from the settings file.
class Location : public ::testing::Test {
protected:
    void write(const std::string& text) { std::ofstream(settings.fileName(), std::ios::trunc) << text; }
    CatalogueConnection::Location read()
    {
        forms::FrmSMTP form;
        SystemLog log(clock, {form.lbxSystemLog, form.lbxSMTPLOG, form.cbxErrorLogging});
        const CatalogueConnection::Controls controls{form.txbDatabaseHits, form.txbDataSource, form.txbInitialCatalog};
        return CatalogueConnection(clock, log, controls, settings, dir.path()).ReadLocation();
    }

    TempDir dir;
    ManualClock clock;
    SettingsStore settings{dir.file("smtpin.ini")};
};

TEST_F(Location, WithoutSettingsTheEmbeddedCatalogueLivesInTheDataFolder)
{
    const auto loc = read();
    EXPECT_EQ(loc.driver, CatalogueConnection::Driver::SQLite);
    EXPECT_EQ(loc.dataSource, dir.path());
    EXPECT_EQ(loc.initialCatalog, "HXSMKII");
    EXPECT_EQ(loc.databaseName, dir.file("HXSMKII.sqlite"));
    EXPECT_TRUE(loc.createCatalogue);
    EXPECT_TRUE(loc.problem.empty());

    forms::FrmSMTP form;
    SystemLog log(clock, {form.lbxSystemLog, form.lbxSMTPLOG, form.cbxErrorLogging});
    CatalogueConnection db(clock, log, {form.txbDatabaseHits, form.txbDataSource, form.txbInitialCatalog}, settings,
                           dir.path());
    ASSERT_TRUE(db.OpenSQLDatabase());
    EXPECT_TRUE(std::ifstream(dir.file("HXSMKII.sqlite")).good());
}

TEST_F(Location, EmptyValuesAreMissingAndOdbcHasServerDefaults)
{
    write("[Database]\nDriver=QODBC\nDataSource=\nInitialCatalog=\n");
    const auto loc = read();
    EXPECT_EQ(loc.driver, CatalogueConnection::Driver::Odbc);
    EXPECT_EQ(loc.dataSource, CatalogueConnection::kDefaultDataSource);
    EXPECT_EQ(loc.initialCatalog, "HXSMKII");
    EXPECT_EQ(loc.databaseName, "Driver=FreeTDS;Server=192.168.1.10;Port=1433;Database=HXSMKII;APP=HXS-SMTP;"
                                "Trusted_Connection=Yes");
    EXPECT_EQ(loc.serverNow, "GETDATE()");
    EXPECT_FALSE(loc.createCatalogue);

    write("[Database]\nDriver=qodbc\nDataSource=db1\nInitialCatalog=CAT\n"
          "ConnectionString=\"DSN=hxs;Server=%DataSource%,1433;Database=%InitialCatalog%\"\n");
    EXPECT_EQ(read().databaseName, "DSN=hxs;Server=db1,1433;Database=CAT");
}

TEST_F(Location, AnUnknownDriverFailsTheOpenWithItsReason)
{
    write("[Database]\nDriver=Oracle\nInitialCatalog=CAT\n");
    forms::FrmSMTP form;
    SystemLog log(clock, {form.lbxSystemLog, form.lbxSMTPLOG, form.cbxErrorLogging});
    std::vector<std::string> lines;
    log.SetEcho([&](const std::string& t, SystemLog::EchoText) { lines.push_back(t); });
    CatalogueConnection db(clock, log, {form.txbDatabaseHits, form.txbDataSource, form.txbInitialCatalog}, settings,
                           dir.path());
    EXPECT_FALSE(db.OpenSQLDatabase());
    EXPECT_FALSE(db.EnsureSQLDatabase());
    log.ProcessSystemLogQueue();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Fatal Error has occured opening database.\rUnknown database driver Oracle"
                        "Windows reports: Unknown database driver Oracle");
    EXPECT_EQ(form.txbInitialCatalog.text(), "CAT");
}

TEST(QuoteSQL, DoublesEverySingleQuote)
{
    EXPECT_EQ(CatalogueConnection::QuoteSQL("O'Brien"), "O''Brien");
    EXPECT_EQ(CatalogueConnection::QuoteSQL("''"), "''''");
    EXPECT_EQ(CatalogueConnection::QuoteSQL("plain"), "plain");
    EXPECT_EQ(CatalogueConnection::QuoteSQL(""), "");
}

}  // namespace
