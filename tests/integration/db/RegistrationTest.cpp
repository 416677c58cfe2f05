#include "CatalogueHarness.h"

#include <QDateTime>

#include <cmath>
#include <set>

using namespace smtpin;
using namespace smtpin::test;

namespace {

class Registration : public CatalogueTest {
protected:
    std::string state(const std::string& device)
    {
        return value("SELECT State FROM HXSClient WHERE Device = '" + device + "'").toString().toStdString();
    }
    QVariant column(const std::string& name, const std::string& device)
    {
        return value("SELECT " + name + " FROM HXSClient WHERE Device = '" + device + "'");
    }
    // The next `times` claims of `device` lose to another client, which
    // meanwhile also takes `alsoTaken`.
    void loseRaceFor(const std::string& device, int times, const std::string& alsoTaken = "")
    {
        exec("CREATE TABLE steals (n INTEGER)");
        exec("INSERT INTO steals VALUES (" + std::to_string(times) + ")");
        exec("CREATE TRIGGER steal BEFORE UPDATE OF State ON HXSClient WHEN OLD.Device = '" + device +
             "' AND NEW.State = '1' AND (SELECT n FROM steals) > 0 BEGIN UPDATE steals SET n = n - 1; "
             "UPDATE HXSClient SET State = '1' WHERE Device = '" + alsoTaken + "'; SELECT RAISE(IGNORE); END");
    }
    std::string whoAmI(CatalogueClient& c, const std::string& request)
    {
        c.reg.setClientId(request);
        return c.reg.LoadWhoAmI();
    }

    const std::string kNotEnabled = "FATAL ERROR ! \rClient is not enabled in the HXSClient table";
    const std::string kOverride = "WARNING: Make sure there is no other client running if you select yes !! \r"
                                  "  Do you wish to overide the Client S01 system state";
};

TEST_P(Registration, PatternClientsClaimFreeRowsInAscendingOrderNeverTheSameRow)
{
    auto a = openClient();
    auto b = openClient();
    for (const char* d : {"ALPHA", "SMTP2", "SMTP1", "sMTP0"})
        addClientRow(d);

    EXPECT_EQ(whoAmI(*a, "S**"), "S01");
    clock.advanceSeconds(1);
    EXPECT_EQ(whoAmI(*b, "S**"), "sMTP0");
    EXPECT_EQ(db::toDateSerial(column("WatchDog", "sMTP0")), clock.now());
    auto c = openClient();
    EXPECT_EQ(whoAmI(*c, "s**"), "SMTP1");
    EXPECT_EQ(whoAmI(*a, "S**"), "SMTP2");
    EXPECT_EQ(whoAmI(*b, "S**"), "xxx");   // ALPHA is free but does not match

    for (const char* d : {"S01", "sMTP0", "SMTP1", "SMTP2"})
        EXPECT_EQ(state(d), "1") << d;
    EXPECT_EQ(state("ALPHA"), "0");
    EXPECT_EQ(a->drain(), (std::vector<std::string>{"LWAI: Found inactive user id S01",
                                                     "LWAI: Found inactive user id SMTP2"}));
    EXPECT_TRUE(b->dialogs.shown.empty());
    EXPECT_TRUE(b->dialogs.asked.empty());
}

TEST_P(Registration, APatternClientThatLosesARaceMovesOnToTheNextRow)
{
    auto a = openClient();
    addClientRow("SMTP1");
    addClientRow("SMTP2");
    loseRaceFor("S01", 1, "SMTP1");
    EXPECT_EQ(whoAmI(*a, "S**"), "SMTP2");
    EXPECT_TRUE(column("WatchDog", "SMTP1").isNull());   // not taken from its winner
    EXPECT_EQ(state("SMTP2"), "1");
    auto b = openClient();
    EXPECT_EQ(whoAmI(*b, "S**"), "S01");
}

TEST_P(Registration, APatternWithoutAFreeRowGivesNoIdentity)
{
    auto a = openClient();
    EXPECT_EQ(whoAmI(*a, "Q**"), "xxx");
    EXPECT_TRUE(a->dialogs.shown.empty());
    EXPECT_EQ(state("S01"), "0");

    exec("UPDATE HXSClient SET State = '1'");
    EXPECT_EQ(whoAmI(*a, "S**"), "xxx");
    EXPECT_EQ(a->dialogs.shown, std::vector<std::string>{kNotEnabled});
}

TEST_P(Registration, ACompleteIdentifierClaimsItsFreeRowWithoutAsking)
{
    auto a = openClient();
    EXPECT_EQ(whoAmI(*a, "s01"), "S01");   // the row's own spelling
    EXPECT_EQ(state("S01"), "1");
    EXPECT_EQ(db::toDateSerial(column("WatchDog", "S01")), clock.now());
    EXPECT_TRUE(a->dialogs.asked.empty());
    EXPECT_EQ(a->drain(), std::vector<std::string>{"LWAI: Found inactive user id S01"});
}

TEST_P(Registration, ATakenRowAsksWhetherToOverrideIt)
{
    auto a = openClient();
    exec("UPDATE HXSClient SET State = '1'");

    EXPECT_EQ(whoAmI(*a, "S01"), "xxx");
    EXPECT_EQ(a->dialogs.asked, std::vector<std::string>{kOverride});
    EXPECT_EQ(a->drain(), std::vector<std::string>{"LWAI: WARNING: user id already running S01"});
    // Declined: the row is another instance's, not this one's to release.
    EXPECT_FALSE(a->reg.HoldsRow());

    clock.advanceSeconds(30);
    a->dialogs.answer = true;
    EXPECT_EQ(whoAmI(*a, "S01"), "S01");
    EXPECT_TRUE(a->reg.HoldsRow());
    EXPECT_EQ(db::toDateSerial(column("WatchDog", "S01")), clock.now());
    EXPECT_EQ(a->drain(), std::vector<std::string>{"LWAI: Found inactive user id S01"});
    a->reg.SetUserIdInactive();
    EXPECT_FALSE(a->reg.HoldsRow());
    EXPECT_EQ(state("S01"), "0");
}

TEST_P(Registration, ACompleteIdentifierThatLosesTheRaceIsAskedToo)
{
    auto a = openClient();
    loseRaceFor("S01", 1);
    a->dialogs.answer = true;
    EXPECT_EQ(whoAmI(*a, "S01"), "S01");
    EXPECT_EQ(a->dialogs.asked, std::vector<std::string>{kOverride});
    EXPECT_EQ(state("S01"), "1");
}

TEST_P(Registration, AnIdentifierWithoutAnEnabledRowIsAskedThenRefused)
{
    auto a = openClient();
    exec("UPDATE HXSClient SET Enable = '0'");
    a->dialogs.answer = true;
    EXPECT_EQ(whoAmI(*a, "S01"), "xxx");
    EXPECT_EQ(a->dialogs.asked, std::vector<std::string>{kOverride});
    EXPECT_EQ(a->dialogs.shown, std::vector<std::string>{kNotEnabled});
    EXPECT_EQ(state("S01"), "0");
}

TEST_P(Registration, QuotesInIdentifiersAndTitlesCannotAlterAStatement)
{
    auto a = openClient();
    addClientRow("O''Brien");
    EXPECT_EQ(whoAmI(*a, "O'Brien"), "O'Brien");
    EXPECT_EQ(state("O''Brien"), "1");

    EXPECT_EQ(whoAmI(*a, "x') OR ('1' = '1"), "xxx");
    a->reg.setClientId("x') OR ('1' = '1");
    a->reg.SetUserIdInactive();
    a->reg.SetClientAvailability("S01') OR ('1' = '1", 1);
    EXPECT_EQ(state("O''Brien"), "1");
    EXPECT_EQ(value("SELECT COUNT(*) FROM HXSClient WHERE Available = '1'").toInt(), 0);
    EXPECT_EQ(a->reg.IdentifyTitleModule("SMTPIN' OR '1' = '1"), "");
    EXPECT_EQ(countContaining(a->drain(), " ITM: Unable to find Module Title.SMTPIN' OR '1' = '1"), 1);
}

TEST_P(Registration, RowUpdatesChangeExactlyTheClientsRowWhateverTheLetterCase)
{
    auto a = openClient("s01");
    ListBox status;
    a->log.StatusList = &status;
    addClientRow("S02", "1", "1");
    exec("UPDATE HXSClient SET State = '1', Available = '1', LastBackUp = '2020-01-01 00:00:00', Watchdog = NULL");

    a->reg.SetClientAvailability("s01", 0);
    EXPECT_EQ(column("Available", "S01"), "0");
    EXPECT_FALSE(column("Watchdog", "S01").isNull());
    EXPECT_EQ(column("Available", "S02"), "1");
    EXPECT_TRUE(column("Watchdog", "S02").isNull());
    a->reg.SetClientAvailability("s01", 1);
    EXPECT_EQ(column("Available", "S01"), "1");
    EXPECT_EQ(a->drain(), (std::vector<std::string>{" SCA: Client Unavailable ", " SCA: Client Ready"}));
    EXPECT_EQ(status.listCount(), 2);

    // No identity: nothing at all.
    const int hits = a->db.databaseHits();
    a->reg.SetClientAvailability("xxx", 0);
    a->reg.SetClientAvailability("   ", 0);
    a->reg.UpdateLastBackUp(" xxx ");
    EXPECT_EQ(a->db.databaseHits(), hits);
    EXPECT_TRUE(a->drain().empty());
    EXPECT_EQ(a->reg.LoadLastBackUp("xxx").BackUpPeriod, 0);

    a->reg.UpdateLastBackUp("s01");
    const DateSerial stamped = db::toDateSerial(column("LastBackUp", "S01"));
    EXPECT_LT(std::abs(stamped.days() - DateSerial::fromDateTime(QDateTime::currentDateTime()).days()), 1.0 / 24);
    EXPECT_EQ(column("LastBackUp", "S02"), "2020-01-01 00:00:00");
    const db::BackUpInfo info = a->reg.LoadLastBackUp("s01");
    EXPECT_EQ(info.BackUpPeriod, 24);
    EXPECT_EQ(info.WPeriod, 60);
    EXPECT_EQ(info.LastBackUp, stamped);

    a->reg.SetUserIdInactive();
    EXPECT_EQ(column("State", "S01"), "0");
    EXPECT_EQ(column("Available", "S01"), "0");
    EXPECT_EQ(column("State", "S02"), "1");
    EXPECT_EQ(column("Available", "S02"), "1");
}

// Each client reserves blocks of the counter and hands them out itself: ids
// stay distinct across the clients of one catalogue, and the next block is
// drawn before the current one runs out.
TEST_P(Registration, MessageNumbersDrawnByTwoClientsAreAllDistinct)
{
    auto a = openClient();
    auto b = openClient("S02");
    a->reg.setMessIdBlock(10);
    b->reg.setMessIdBlock(10);
    std::set<std::int32_t> drawn;
    for (int i = 0; i < 25; ++i) {
        drawn.insert(a->reg.GetSystemMessageId());
        drawn.insert(b->reg.GetSystemMessageId());
    }
    EXPECT_EQ(drawn.size(), 50u);
    EXPECT_EQ(*drawn.begin(), 1000001);
    EXPECT_EQ(*drawn.rbegin(), 1000055);
    // Three blocks each so far, drawn in turns.
    EXPECT_EQ(value("SELECT Value FROM HXSSystem WHERE Description = 'MessIdSystem'").toInt(), 1000060);
    EXPECT_EQ(a->reg.MessIdsLeft(), 5);
    EXPECT_EQ(countContaining(a->drain(), "GSMI: Message ids "), 3);
}

// The catalogue goes away: the ids reserved go on, then the mail is refused
// rather than given an id that may repeat; back again, new blocks follow.
TEST_P(Registration, WithoutTheCatalogueOnlyReservedIdsAreHandedOut)
{
    auto a = openClient();
    a->reg.setMessIdBlock(5);
    EXPECT_EQ(a->reg.GetSystemMessageId(), 1000001);
    exec("DELETE FROM HXSSystem WHERE Description = 'MessIdSystem'");
    a->drain();
    std::vector<std::int32_t> ids;
    for (int i = 0; i < 6; ++i)
        ids.push_back(a->reg.GetSystemMessageId());
    EXPECT_EQ(ids, (std::vector<std::int32_t>{1000002, 1000003, 1000004, 1000005, 0, 0}));
    EXPECT_EQ(countContaining(a->drain(), "GSMI: No message id left and none can be drawn"), 1);   // said once

    exec("INSERT INTO HXSSystem (Description, Value) VALUES ('MessIdSystem', '1000005')");
    EXPECT_EQ(a->reg.GetSystemMessageId(), 1000006);
    EXPECT_EQ(countContaining(a->drain(), "GSMI: Message ids 1000006 to 1000010 reserved"), 1);
}

TEST_P(Registration, SettingsAreReadFromTheClientsRows)
{
    auto a = openClient("s01");
    a->reg.GetSystemSettings();
    EXPECT_EQ(a->reg.remotePort(), 6000);
    EXPECT_EQ(a->reg.remoteAddress(), "127.0.0.1");
    exec("UPDATE HXSSystem SET Value = '7001' WHERE Description = 'Remote Port'");
    exec("UPDATE HXSSystem SET Value = '10.0.0.9' WHERE Description = 'Remote Address'");
    a->reg.GetSystemSettings();
    EXPECT_EQ(a->reg.remotePort(), 7001);
    EXPECT_EQ(a->reg.remoteAddress(), "10.0.0.9");

    EXPECT_EQ(a->reg.IdentifyTitleModule("smtpin"), "S**");
    EXPECT_EQ(a->reg.IdentifyTitleModule("SWITCH"), "h01");
    EXPECT_EQ(a->reg.IdentifyTitleModule("NOPE"), "");

    exec("UPDATE HXSTCPClient SET HubAttempts = 3, HubWait = 4, HubMaxBuffer = 5, RemoteBuffer = 6, CCWatchdog = 120");
    a->reg.LoadTCPVariables();
    EXPECT_EQ(a->reg.tcpVars().HubAttempts, 3);
    EXPECT_EQ(a->reg.tcpVars().HubWait, 4);
    EXPECT_EQ(a->reg.tcpVars().HubMaxBuffer, 5);
    EXPECT_EQ(a->reg.tcpVars().RemoteBuffer, 6);
    EXPECT_DOUBLE_EQ(a->reg.tcpVars().CCWatchdog, 120.0 / 86400.0);
    a->reg.setClientId("S77");
    a->reg.LoadTCPVariables();
    EXPECT_EQ(a->reg.tcpVars().HubAttempts, 3);   // kept

    db::PortSettings ps = a->reg.GetPortSettings("s01");
    EXPECT_EQ(ps.PortClass, "TCP");
    EXPECT_EQ(ps.SerialPort, 0);
    EXPECT_EQ(ps.HostAddress, "");
    exec("UPDATE HXSClient SET SerialPort = 'abc', PortType = 'X', HostPort = 25, InitString = 'ATZ'");
    ps = a->reg.GetPortSettings("S01");
    EXPECT_EQ(ps.SerialPort, 0);   // unreadable, skipped
    EXPECT_EQ(ps.PortType, "X");
    EXPECT_EQ(ps.HostPort, "25");
    EXPECT_EQ(ps.InitString, "ATZ");
    EXPECT_EQ(a->reg.GetPortSettings("NOPE").PortClass, "");

    EXPECT_EQ(a->drain(), (std::vector<std::string>{" ITM: Unable to find Module Title.NOPE",
                                                     " LTV: Found User id TCP Vars s01",
                                                     " LTV: Unable to find TCP Module Title.S77"}));
}

TEST_P(Registration, AnUnreadableValueIsReportedWithTheRoutinesText)
{
    auto a = openClient();
    exec("UPDATE HXSSystem SET Value = 'abc' WHERE Description = 'Remote Port'");
    a->reg.GetSystemSettings();
    EXPECT_EQ(a->reg.remotePort(), 6000);
    EXPECT_EQ(a->reg.remoteAddress(), "");
    const auto lines = a->drain();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], " GSS: Unable to access connection to database for next message id.Windows reports: Type mismatch");

    exec("UPDATE HXSClient SET BackUpPeriod = 40000");
    clock.advanceSeconds(11);
    EXPECT_EQ(a->reg.LoadLastBackUp("S01").BackUpPeriod, 0);
    EXPECT_EQ(a->drain()[0], "LLBU: Unable to load last backup date.Windows reports: Overflow");
}

INSTANTIATE_TEST_SUITE_P(Drivers, Registration, ::testing::Values(Backend::SQLite, Backend::Odbc), backendName);

}  // namespace
