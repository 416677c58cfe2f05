#include "CatalogueHarness.h"

#include <fstream>

using namespace smtpin;
using namespace smtpin::test;

namespace {

using Config = CatalogueTest;

TEST_P(Config, ReadsMatchDeviceAndParameterWithoutLetterCase)
{
    auto c = openClient();
    EXPECT_EQ(c->config.GetClientConfig("SMTPPORT", "S01"), "2525");
    EXPECT_EQ(c->config.GetClientConfig("smtpport", "s01"), "2525");
    EXPECT_EQ(c->config.GetClientConfig("SMTPPORT", "S02"), "");
    EXPECT_EQ(c->config.GetClientConfig("NOSUCH", "S01"), "");
    EXPECT_EQ(c->config.TakeConfigWarning(), "");
}

TEST_P(Config, DuplicatesAndNullValuesGiveTheirWarnings)
{
    auto c = openClient();
    exec("INSERT INTO HXSClientConfig (Device, Parameter, Value) VALUES ('S01', 'DUP', 'first')");
    exec("INSERT INTO HXSClientConfig (Device, Parameter, Value) VALUES ('S01', 'DUP', 'second')");
    exec("INSERT INTO HXSClientConfig (Device, Parameter, Value) VALUES ('S01', 'NULLED', NULL)");

    EXPECT_EQ(c->config.GetClientConfig("DUP", "S01"), "first");
    EXPECT_EQ(c->config.GetClientConfig("NULLED", "S01"), "");
    EXPECT_EQ(c->config.TakeConfigWarning(),
              "\r\n GCC: Warning: Parameter DUP not unique in config database"
              "\r\n GCC: Config Field is NULL for Device [S01] parameter [NULLED]");
    EXPECT_EQ(c->config.TakeConfigWarning(), "");

    // A write to a duplicated parameter warns with the identifier, and
    // every copy gets the value.
    EXPECT_TRUE(c->config.SaveClientConfig("DUP", "third"));
    EXPECT_EQ(c->config.TakeConfigWarning(), "\r\n GCC: Warning: Parameter DUP not unique in config database for ID S01");
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClientConfig WHERE Parameter = 'DUP' AND Value = 'third'").toInt(), 2);

    // The input queue's read logs the warning at once, on slot 0.
    EXPECT_EQ(c->config.GetConfigParameter("NULLED"), "");
    EXPECT_EQ(c->drain(), std::vector<std::string>{"\r\n GCC: Config Field is NULL for Device [S01] parameter [NULLED]"});
    EXPECT_EQ(c->config.PendingWarning(), "");
    EXPECT_EQ(c->config.GetConfigParameter("SMTPIP"), "127.0.0.1");
    EXPECT_TRUE(c->drain().empty());
}

TEST_P(Config, AParameterWrittenTwiceIsInsertedOnceAndUpdatedOnce)
{
    auto c = openClient("s01");
    const std::string count = "SELECT COUNT(*) FROM HXSClientConfig WHERE Parameter = 'LOCKCODE'";
    EXPECT_TRUE(c->config.SaveClientConfig("LOCKCODE", "1234"));
    EXPECT_EQ(value(count).toInt(), 1);
    EXPECT_TRUE(c->config.SaveClientConfig("lockcode", "5678"));
    EXPECT_EQ(value(count).toInt(), 1);
    EXPECT_EQ(c->config.ReadClientConfig("LOCKCODE"), "5678");
    EXPECT_EQ(value("SELECT Device FROM HXSClientConfig WHERE Parameter = 'LOCKCODE'"), "s01");
    EXPECT_EQ(c->config.TakeConfigWarning(), "");
}

TEST_P(Config, WithoutAnIdentityNothingIsReadOrWritten)
{
    auto c = openClient("xxx");
    const int seeded = value("SELECT COUNT(*) FROM HXSClientConfig").toInt();
    exec("INSERT INTO HXSClientConfig (Device, Parameter, Value) VALUES ('xxx', 'SMTPPORT', '1')");
    EXPECT_EQ(c->config.ReadClientConfig("SMTPPORT"), "");
    EXPECT_FALSE(c->config.SaveClientConfig("SMTPPORT", "99"));
    c->reg.setClientId("");
    EXPECT_FALSE(c->config.SaveClientConfig("NEW", "99"));
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClientConfig").toInt(), seeded + 1);
}

TEST_P(Config, QuotesRoundTripInNamesAndValues)
{
    auto c = openClient();
    const std::string tricky = "O'Brien's \"code\"; DROP TABLE HXSClient; --";
    EXPECT_TRUE(c->config.SaveClientConfig("LOCK'CODE", tricky));
    EXPECT_TRUE(c->config.SaveClientConfig("LOCK'CODE", tricky + "'"));
    EXPECT_EQ(c->config.ReadClientConfig("LOCK'CODE"), tricky + "'");
    EXPECT_EQ(c->config.GetClientConfig("SMTPPORT", "S01' OR '1' = '1"), "");
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClient").toInt(), 1);
}

TEST_P(Config, WithTheCatalogueDownReadsAreEmptyAndWritesFail)
{
    auto c = openClient();
    c->db.CloseSQLDatabase();
    const std::string blocker = dir.file("blocker");   // a file where the folder should be
    std::ofstream(blocker) << "not a folder";
    writeSettings("", blocker);
    EXPECT_EQ(c->config.GetClientConfig("SMTPPORT", "S01"), "");
    EXPECT_FALSE(c->config.SaveClientConfig("SMTPPORT", "1"));
    EXPECT_FALSE(c->config.InsertClientConfig("1", "SMTPPORT"));
    EXPECT_EQ(c->config.TakeConfigWarning(), "");
}

INSTANTIATE_TEST_SUITE_P(Drivers, Config, ::testing::Values(Backend::SQLite, Backend::Odbc), backendName);

class DatabaseLog : public CatalogueTest {
protected:
    std::vector<std::vector<QVariant>> logRows()
    {
        return rows("SELECT source, messid, \"log data\", logtime FROM HXSLog ORDER BY rowid");
    }
};

TEST_P(DatabaseLog, EntriesAreCopiedWhileErrorLoggingIsChecked)
{
    auto c = openClient("S01");
    c->log.UpdateSystemLog(-1, c->log.ApplicationList, "", "not copied");
    c->drain();
    EXPECT_TRUE(logRows().empty());

    c->form.cbxErrorLogging.setValue(1);
    c->log.UpdateSystemLog(-1, c->log.ApplicationList, "1000042", "O'Brien's mail");
    c->log.UpdateSystemLog(-1, c->log.ApplicationList, "", "no message id");
    c->drain();
    const auto r = logRows();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0][0], "SMTPS01");
    EXPECT_EQ(r[0][1], "1000042");
    EXPECT_EQ(r[0][2], "O'Brien's mail");
    EXPECT_FALSE(r[0][3].isNull());
    EXPECT_EQ(r[1][1], "");
    EXPECT_EQ(r[1][2], "no message id");
}

// A drain's rows go in together at its end, each with the time it was
// logged: one commit, not one disk sync per row.
TEST_P(DatabaseLog, TheRowsOfOneDrainGoInTogether)
{
    auto c = openClient("S01");
    c->dbLog.BeginBatch();
    std::string first = "first", second = "second";
    EXPECT_TRUE(c->dbLog.InsertLogRecord("SMTPS01", "1", first));
    clock.advanceSeconds(3);
    EXPECT_TRUE(c->dbLog.InsertLogRecord("SMTPS01", "2", second));
    EXPECT_TRUE(logRows().empty());
    EXPECT_TRUE(c->dbLog.EndBatch());
    const auto r = logRows();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0][2], "first");
    EXPECT_EQ(r[1][2], "second");
    EXPECT_EQ(db::toDateSerial(r[0][3]), clock.now().addSeconds(-3));
    EXPECT_EQ(c->dbLog.Waiting(), 0u);
}

TEST_P(DatabaseLog, LongTextsAreCutTo300CharactersInTheCallersText)
{
    auto c = openClient();
    std::string text = std::string(299, 'a') + "bc";
    EXPECT_TRUE(c->dbLog.InsertLogRecord("SMTPS01", "7", text));
    EXPECT_EQ(text, std::string(299, 'a') + "b");
    std::string exact(300, 'x');
    c->dbLog.InsertLogRecord("SMTPS01", "8", exact);
    EXPECT_EQ(exact.size(), 300u);
    const auto r = logRows();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0][2].toString().toStdString(), text);
    EXPECT_EQ(r[1][2].toString().size(), 300);

    // Through the application log the list shows the cut text too.
    c->form.cbxErrorLogging.setValue(1);
    c->log.UpdateSystemLog(-1, c->log.ApplicationList, "", std::string(301, 'z'));
    c->drain();
    EXPECT_EQ(c->written.back(), std::string(300, 'z'));
}

TEST_P(DatabaseLog, AFailingLogTableKeepsTheRowWithoutAWord)
{
    auto c = openClient();
    exec("DROP TABLE HXSLog");
    c->form.cbxErrorLogging.setValue(1);
    const int hits = c->db.databaseHits();
    std::string refused = "refused";
    EXPECT_FALSE(c->dbLog.InsertLogRecord("SMTPS01", "", refused));
    EXPECT_EQ(c->dbLog.Waiting(), 1u);
    c->log.UpdateSystemLog(-1, c->log.ApplicationList, "", "goes nowhere");
    EXPECT_EQ(c->drain(), std::vector<std::string>{"goes nowhere"});
    EXPECT_TRUE(c->db.isOpen());
    EXPECT_EQ(c->db.lastDatabaseErrorText(), "");
    EXPECT_EQ(c->db.databaseHits(), hits);
    // The next reported error does not carry the log's failure text.
    c->db.ReportDatabaseError("X: ");
    EXPECT_EQ(c->drain().at(0), "X: Windows reports: ");
}

// Another program holds the catalogue locked: rows wait (the event loop is
// not held for more than a statement's short wait), keep their order and the
// time they were logged, and are written once it lets go; past the bound the
// oldest go, with one line saying how many.
// The lock's short wait is set on the SQLite connection.
using LockedCatalogue = DatabaseLog;

TEST_P(LockedCatalogue, RowsItCannotTakeFollowInOrderWhenItLetsGo)
{
    auto c = openClient();
    c->form.cbxErrorLogging.setValue(1);
    exec("BEGIN EXCLUSIVE");
    c->log.UpdateSystemLog(-1, c->log.ApplicationList, "1", "during the lock");
    clock.advanceSeconds(5);
    c->log.UpdateSystemLog(-1, c->log.ApplicationList, "2", "still locked");
    c->drain();
    EXPECT_EQ(c->dbLog.Waiting(), 2u);
    exec("COMMIT");
    EXPECT_TRUE(logRows().empty());

    clock.advanceSeconds(2);
    EXPECT_TRUE(c->dbLog.FlushWaiting());
    const auto r = logRows();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0][2], "during the lock");
    EXPECT_EQ(r[1][2], "still locked");
    EXPECT_EQ(db::toDateSerial(r[1][3]), clock.now().addSeconds(-2));

    exec("DROP TABLE HXSLog");
    std::string text = "x";
    for (std::size_t i = 0; i < db::DatabaseLog::kMaxWaiting + 3; ++i)
        c->dbLog.InsertLogRecord("SMTPS01", std::to_string(i), text);
    EXPECT_EQ(c->dbLog.Waiting(), db::DatabaseLog::kMaxWaiting);
    exec("CREATE TABLE HXSLog ([logtime] DATETIME, [source] TEXT, [messid] TEXT, [log data] TEXT)");
    clock.advanceSeconds(2);
    EXPECT_TRUE(c->dbLog.FlushWaiting());
    EXPECT_EQ(value("SELECT MIN(CAST(messid AS INTEGER)) FROM HXSLog").toInt(), 3);
    EXPECT_EQ(countContaining(c->drain(), " DBL: 3 database log rows were dropped"), 1);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DatabaseLog, ::testing::Values(Backend::SQLite, Backend::Odbc), backendName);
INSTANTIATE_TEST_SUITE_P(SQLite, LockedCatalogue, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
