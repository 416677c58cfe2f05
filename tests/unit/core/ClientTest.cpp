// The whole client in one process, its timers driven by the test: start-up
// settings, the main window's handlers, the staged close, the log backup.
#include "core/Client.h"

#include "support/HubSimProcess.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace smtpin::test {
namespace {

class ClientTest : public ::testing::Test {
protected:
    ClientTest() { options.dataDir = dir.path(); options.timers = false; options.err = &err; }

    // Prepares the embedded catalogue, then changes it before the client starts.
    void setConfig(const std::string& parameter, const std::string& value)
    {
        edits.push_back({"UPDATE HXSClientConfig SET [Value] = '" + value + "' WHERE [Parameter] = '" + parameter + "'"});
    }
    void edit(const std::string& sql) { edits.push_back(sql); }

    core::Client& start()
    {
        {
            core::Client init(clock, options);
            EXPECT_TRUE(init.parts().db.OpenSQLDatabase());
            for (const auto& sql : edits)
                init.parts().db.Execute(sql);
            // Keep the listener off the shared ports.
            init.parts().db.Execute("UPDATE HXSClientConfig SET [Value] = '" + std::to_string(smtpPort) +
                              "' WHERE [Parameter] = 'SMTPPORT'");
            init.parts().db.CloseSQLDatabase();
        }
        client = std::make_unique<core::Client>(clock, options);
        client->start();
        return *client;
    }

    bool logged(const std::string& text) const
    {
        // Lines wait in the log's ring until its timer writes them out.
        client->parts().log.ProcessSystemLogQueue();
        const auto& items = client->windows().mainForm.lbxSystemLog.items();
        return std::any_of(items.begin(), items.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

    // "State" and "Available" of the client row, read beside the client.
    std::string rowState()
    {
        std::string state;
        {
            QSqlDatabase side = QSqlDatabase::addDatabase("QSQLITE", "client-test-side");
            side.setDatabaseName(QString::fromStdString(dir.file("HXSMKII.sqlite")));
            QSqlQuery q(side);
            if (side.open() && q.exec("SELECT State || Available FROM HXSClient WHERE Device = 'S01'") && q.next())
                state = q.value(0).toString().toStdString();
        }
        QSqlDatabase::removeDatabase("client-test-side");
        return state;
    }

    TempDir dir;
    int smtpPort = HubSimProcess::freePort();   // kept from the other tests running beside
    ManualClock clock;
    std::ostringstream err;
    core::Client::Options options;
    std::vector<std::string> edits;
    std::unique_ptr<core::Client> client;
};

TEST_F(ClientTest, StartsOnTheEmbeddedDefault)
{
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    EXPECT_EQ(c.windows().mainForm.window.caption(), "SMTP s01  VORN     Version  V2.1(35) 2022");
    EXPECT_EQ(c.parts().queue.switchId(), "h01");
    EXPECT_EQ(c.parts().queue.queueSize(), 300);
    EXPECT_EQ(c.parts().listener.maxSockets(), 50);
    EXPECT_DOUBLE_EQ(c.parts().listener.sessionMax() * 86400.0, 600.0);
    EXPECT_FALSE(c.windows().mainForm.txbMaxSockets.enabled());
    EXPECT_EQ(c.windows().mainForm.txbPagerNo[4].text(), "9000000");
    EXPECT_TRUE(c.parts().listener.listenerReady());
    EXPECT_TRUE(logged("Main: SMTP s01 now operational using version  V2.1(35) 2022"));
    EXPECT_TRUE(c.parts().shell.userIdentifier() == "s01");
    // READY waits in the link's buffer until the switch is reached.
    ASSERT_EQ(c.windows().link.member().BufferSize(), 1);
    EXPECT_NE(c.windows().link.member().outputBuffer().front().record.Message.find("|READY"), std::string::npos);
}

TEST_F(ClientTest, SettingsOutsideTheirLimitsTakeTheirDefaults)
{
    setConfig("TCP_HUB_TIMEOUT", "59");
    setConfig("TCPTIMEOUT", "21");
    setConfig("MAX_SOCKETS", "101");
    setConfig("DEBUG", "On");
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    EXPECT_TRUE(logged("  IV: SMTP Listener Socket Timeout is set to small [59]. Setting to 600 seconds"));
    EXPECT_DOUBLE_EQ(c.parts().listener.listenerIdleTime(), 600 / 86400.0);
    EXPECT_TRUE(logged("  IV: SMTP TCP Timeout is set to large [21]. Setting to 3 seconds"));
    EXPECT_DOUBLE_EQ(c.parts().listener.socketTimeout(), 3 / 86400.0);
    EXPECT_TRUE(logged("  IV: SMTP MAX SOCKETS is too high. Setting to 10"));
    EXPECT_TRUE(logged("  IV: DEBUG logging is ON"));
}

TEST_F(ClientTest, SettingsAtTheirLimitsAreTaken)
{
    setConfig("TCP_HUB_TIMEOUT", "10000");
    setConfig("TCPTIMEOUT", "20");
    setConfig("MAX_SOCKETS", "100");
    edit("DELETE FROM HXSClientConfig WHERE [Parameter] = 'SMTPIP'");
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    EXPECT_DOUBLE_EQ(c.parts().listener.listenerIdleTime(), 10000 / 86400.0);
    EXPECT_DOUBLE_EQ(c.parts().listener.socketTimeout(), 20 / 86400.0);
    EXPECT_EQ(c.parts().listener.maxSockets(), 100);
    EXPECT_TRUE(logged("  IV: IP not available. Use default 127.0.0.1"));
}

// Every whole-number setting says what start-up took, when it is missing
// and when it is set.
TEST_F(ClientTest, EachNumberSettingHasItsStartUpLine)
{
    for (const char* name : {"SPOOL_MAX", "MESSID_BLOCK", "TCP_HUB_TIMEOUT", "TCPTIMEOUT", "MAX_SOCKETS", "SESSION_MAX",
                             "LOG_KEEP_DAYS"})
        edit(std::string("DELETE FROM HXSClientConfig WHERE [Parameter] = '") + name + "'");
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    for (const char* line : {"  IV: SPOOL_MAX is empty. Setting to 10000", "  IV: MESSID_BLOCK is empty. Setting to 100",
                             "  IV: TCP Timeout is empty. Setting to 3 seconds",
                             "  IV: SMTP TCP Timeout is empty. Setting to 3 seconds",
                             "  IV: SMTP MAX SOCKETS is empty. Setting to 10",
                             "  IV: SMTP SESSION MAX is empty. Setting to 600 seconds",
                             "  IV: LOG_KEEP_DAYS is empty. Log backups are kept 90 days"})
        EXPECT_TRUE(logged(line)) << line;
    EXPECT_DOUBLE_EQ(c.parts().listener.listenerIdleTime(), 3 / 86400.0);
    EXPECT_EQ(c.parts().backup.KeepDays, 90);
}

TEST_F(ClientTest, SetNumberSettingsAreLoggedAsConfigured)
{
    setConfig("SPOOL_MAX", "500");
    setConfig("MESSID_BLOCK", "7");
    setConfig("TCP_HUB_TIMEOUT", "60");
    setConfig("TCPTIMEOUT", "1");
    setConfig("MAX_SOCKETS", "0");
    setConfig("SESSION_MAX", "10");
    setConfig("LOG_KEEP_DAYS", "0");
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    for (const char* line : {"  IV: SPOOL_MAX is set to 500 messages", "  IV: Message ids are reserved 7 at a time",
                             "  IV: SMTP Listener Socket Timeout is set to 60 seconds",
                             "  IV: SMTP TCP Timeout is set to 1 seconds", "  IV: SMTP MAX SOCKETS is too small. Setting to 10",
                             "  IV: SMTP SESSION MAX is set to 10 seconds",
                             "  IV: LOG_KEEP_DAYS is 0. Log backups are kept for ever"})
        EXPECT_TRUE(logged(line)) << line;
    EXPECT_EQ(c.parts().store.spoolMax(), 500);
    EXPECT_EQ(c.parts().registration.messIdBlock(), 7);
    EXPECT_EQ(c.parts().listener.maxSockets(), 10);
    EXPECT_DOUBLE_EQ(c.parts().listener.sessionMax(), 10 / 86400.0);
    EXPECT_EQ(c.parts().backup.KeepDays, 0);
}

TEST_F(ClientTest, WithoutAClientRowItStaysInert)
{
    edit("DELETE FROM HXSClient");
    auto& c = start();
    EXPECT_TRUE(c.inert());
    EXPECT_EQ(c.failure(), "Unable to locate the user id for this client type SMTPIN");
    EXPECT_NE(err.str().find("Client is unable initialise. Terminating application"), std::string::npos);
    EXPECT_FALSE(c.parts().listener.listenerReady());
}

TEST_F(ClientTest, ASwitchCodeThatIsNoMemberCodeStopsStartUp)
{
    edit("UPDATE HXSModule SET [Group] = 'hub1' WHERE [Title] = 'SWITCH'");
    auto& c = start();
    EXPECT_TRUE(c.closed());
    EXPECT_NE(c.failure().find("\"hub1\", not a 3-character member code"), std::string::npos) << c.failure();
}

TEST_F(ClientTest, AQueueSizeThatCannotBeUsedStopsStartUp)
{
    setConfig("QUEUE_SIZE", "302");
    auto& c = start();
    EXPECT_TRUE(c.closed());
    EXPECT_NE(c.failure().find("QUEUE_SIZE"), std::string::npos);
    // What start-up took is given back: the row, and the log up to here.
    EXPECT_EQ(rowState(), "00");
    const std::string file = TempDir::read(dir.file("logs/system_log_S01.txt"));
    EXPECT_NE(file.find("LWAI: Found inactive user id S01"), std::string::npos);
    EXPECT_NE(file.find("OSD: ODBC Database closed"), std::string::npos);
}

// The spool's and the id block's bounds: outside them start-up stops, naming
// the setting and its range.
TEST_F(ClientTest, SpoolAndIdBlockSettingsOutsideTheirRangeStopStartUp)
{
    for (const auto& [parameter, value] : std::vector<std::pair<std::string, std::string>>{
             {"SPOOL_MAX", "0"}, {"MESSID_BLOCK", "0"}, {"MESSID_BLOCK", "100001"}}) {
        TempDir fresh;
        options.dataDir = fresh.path();
        edits.clear();
        setConfig(parameter, value);
        auto& c = start();
        EXPECT_TRUE(c.closed()) << parameter << "=" << value;
        EXPECT_NE(c.failure().find("setting " + parameter + " = \"" + value + "\" is not a number from 1 to "),
                  std::string::npos)
            << c.failure();
        client.reset();
    }
}

TEST_F(ClientTest, AListenerThatOpensLateTellsTheSwitchReady)
{
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost));
    smtpPort = squatter.serverPort();
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    EXPECT_FALSE(c.parts().listener.listenerReady());
    const auto words = [&] {
        std::string w;
        for (const auto& r : c.windows().link.member().outputBuffer())
            w += r.record.Message.find("|UNAVAIL") != std::string::npos ? "U" : r.record.Message.find("|READY") != std::string::npos ? "R" : "";
        return w;
    };
    EXPECT_EQ(words(), "U");
    c.parts().listener.tmrPortTimer_Timer();
    EXPECT_EQ(words(), "U");
    squatter.close();
    clock.advanceSeconds(6);
    c.parts().listener.tmrPortTimer_Timer();
    EXPECT_TRUE(c.parts().listener.listenerReady());
    EXPECT_EQ(words(), "R");   // the newer word replaces the one still waiting
}

// An operator who types the identifier in capitals in Hub Setup still gets
// every DELETE: the switch answers the code the client logged in with.
TEST_F(ClientTest, DeletesReachAClientWhoseIdentifierWasTypedInCapitals)
{
    HubSimProcess hub;
    ASSERT_TRUE(hub.start());
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    c.windows().hubSetupForm.txtHubSetup[0].setText("S01");
    c.windows().hubSetupForm.txtHubSetup[1].setText("127.0.0.1");
    c.windows().hubSetupForm.txtHubSetup[2].setText(std::to_string(hub.port()));
    c.windows().hubSetup.cmdControl_Click(0);
    c.windows().tcpHub.mnuComms_Click(0);
    const auto drive = [&] {
        clock.advanceSeconds(0.5);
        c.windows().tcpHub.driver().DriveHubConnection();
        if (static_cast<long>(clock.now().days() * 86400 * 2) % 4 == 0)
            c.windows().link.Engine_Timer();
        c.windows().tcpHub.tmrTCP_Timer();
    };
    ASSERT_TRUE(pumpUntil([&] { drive(); return c.windows().link.Connected(); }, 20000));
    EXPECT_TRUE(hub.waitForLine("RX 1000 login s01"));
    PageRequest page{"capitals", "77", "h", clock.now(), "M", "1.2.3.4"};
    ASSERT_EQ(c.parts().creation.SendMessage(page), PageOutcome::Queued);
    const auto id = c.parts().queue.slot(c.parts().queue.queuePointer()).Mess.MessId;
    EXPECT_TRUE(pumpUntil([&] { drive(); return c.parts().queue.FindQueuedMessage(id) < 0; }, 10000));
    EXPECT_TRUE(hub.waitForLine("TX DELETE " + std::to_string(id) + " to s01"));
}

// A switch port that would wrap round to another one stops start-up, naming it.
TEST_F(ClientTest, ARemotePortOutsideTheNetworkRangeStopsStartUp)
{
    edit("UPDATE HXSSystem SET [Value] = '70000' WHERE [Description] = 'Remote Port'");
    auto& c = start();
    EXPECT_FALSE(c.running());
    EXPECT_NE(c.failure().find("Remote Port) is 70000, not a port from 1 to 65535"), std::string::npos) << c.failure();
}

// No spool, no 250: a spool that cannot be opened stops start-up, naming it.
TEST_F(ClientTest, ASpoolThatCannotBeOpenedStopsStartUp)
{
    TempDir::write(dir.file("smtpin.ini"), "[Spool]\nFolder=" + dir.file("missing/folder") + "\n");
    auto& c = start();
    EXPECT_FALSE(c.running());
    EXPECT_EQ(c.failure().rfind("the spool cannot be used: cannot open ", 0), 0u) << c.failure();
    EXPECT_NE(c.failure().find(dir.file("missing/folder/spool.sqlite")), std::string::npos)
        << c.failure();
    EXPECT_EQ(rowState(), "00");   // the row it claimed is given back
}

// After a crash the row is still marked running. The data folder's lock is
// free (that run is over) and names the row, so the next start takes it back.
TEST_F(ClientTest, AStartAfterACrashTakesItsOwnRowBack)
{
    edit("UPDATE HXSClient SET [State] = '1', [Watchdog] = '2026-01-15 09:00:00' WHERE [Device] = 'S01'");
    TempDir::write(dir.file("smtpin.lock"), "S01\t2026-01-15 09:00:00\n");
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    EXPECT_TRUE(logged("LWAI: Took back user id S01, claimed by this installation at 15/01/2026 09:00:00"));
    // The note follows the new claim.
    EXPECT_EQ(TempDir::read(dir.file("smtpin.lock")), "S01\t2026-01-15 10:00:00\n");

    // While it runs, the folder is its own: a second client there is refused.
    core::Client second(clock, options);
    second.start();
    EXPECT_FALSE(second.running());
    EXPECT_NE(second.failure().find("the data folder is in use by another running smtpin"), std::string::npos)
        << second.failure();
    EXPECT_EQ(rowState().substr(0, 1), "1");
}

// A row claimed since by another installation (its stamp is not the one
// noted here) is never taken without the operator's word; a row given back
// at an orderly close leaves no note behind.
TEST_F(ClientTest, ARowAnotherInstallationHoldsIsNotTakenBack)
{
    edit("UPDATE HXSClient SET [State] = '1', [Watchdog] = '2026-01-15 09:30:00' WHERE [Device] = 'S01'");
    TempDir::write(dir.file("smtpin.lock"), "S01\t2026-01-15 09:00:00\n");
    auto& c = start();
    EXPECT_FALSE(c.running());
    EXPECT_FALSE(logged("Took back"));
    EXPECT_EQ(rowState().substr(0, 1), "1");
}

TEST_F(ClientTest, AnOrderlyCloseLeavesNoRowToTakeBack)
{
    auto& c = start();
    ASSERT_TRUE(c.running()) << c.failure();
    EXPECT_EQ(TempDir::read(dir.file("smtpin.lock")).substr(0, 4), "S01\t");
    c.parts().registration.SetUserIdInactive();   // as the close gives the row back
    EXPECT_EQ(TempDir::read(dir.file("smtpin.lock")), "\n");
}

TEST_F(ClientTest, ResetAndReceivedRecords)
{
    auto& c = start();
    c.parts().queue.SendUpdate(false, "READY");
    ASSERT_NE(c.windows().mainForm.txbOutgoingPkts.text(), "0");
    c.parts().db.CountDatabaseHit();
    c.windows().main.cmdDatabaseRESET_Click();
    clock.advanceSeconds(5);
    c.windows().main.cmdDatabaseRESET_Click();
    EXPECT_EQ(c.windows().mainForm.txbOutgoingPkts.text(), "0");
    EXPECT_EQ(c.windows().mainForm.txbDatabaseHits.text(), "0");
    EXPECT_EQ(c.windows().mainForm.lbLastTimeResetDBH.caption(), clock.now().generalDate());

    std::string unknown = "0000001|00:00:00|h01||0||||||||00:00:00|00:00:00||||SOMETHING";
    EXPECT_EQ(core::MainWindow::NextRecordCount(999999999), 0);
    const long before = c.windows().main.recordsProcessed();
    c.windows().main.DoRecievedData(unknown);
    EXPECT_EQ(c.windows().tcpForm.labRecordsProcessed[0].caption(), std::to_string(before + 1));
    EXPECT_EQ(c.windows().tcpForm.labRecordsProcessed[1].caption(), clock.now().format(DateSerial::kTimeDate));
    EXPECT_NE(c.windows().tcpForm.lstOutput.item(0).find("SOMETHING"), std::string::npos);
}

TEST_F(ClientTest, CloseWithTheLinkDownReleasesTheRowAndEnds)
{
    auto& c = start();
    bool finished = false;
    c.onFinished([&] { finished = true; });
    c.requestClose();
    EXPECT_FALSE(finished);
    EXPECT_EQ(c.windows().main.closeStage(), core::MainWindow::Closing::Begun);
    EXPECT_FALSE(c.parts().listener.listenerReady() && c.parts().listener.socket(0).state() == 2);
    c.windows().main.tmrSystem_Timer();   // the TCP setup window closes first
    c.windows().main.tmrSystem_Timer();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(c.closed());
    EXPECT_EQ(rowState(), "00");
}

TEST_F(ClientTest, BackupsFollowTheSchedule)
{
    edit("UPDATE HXSClient SET [BackUpPeriod] = 24");
    auto& c = start();
    c.parts().backup.LastBackUp = clock.now().addSeconds(-23 * 3600);
    c.windows().main.tmrDummyPkts_Timer();
    EXPECT_FALSE(logged("TFB: Begin Backup client log."));
    c.parts().backup.LastBackUp = clock.now().addSeconds(-24 * 3600 - 1);
    c.windows().main.tmrDummyPkts_Timer();
    EXPECT_TRUE(logged("TFB: Backup system logs successful."));
    EXPECT_EQ(c.parts().backup.LastBackUp, clock.now());
}

TEST_F(ClientTest, APeriodOfZeroMeansNoScheduledBackups)
{
    edit("UPDATE HXSClient SET [BackUpPeriod] = 0");
    auto& c = start();
    c.windows().main.tmrDummyPkts_Timer();
    EXPECT_TRUE(logged("TFB: Backup period is 0 hours: no scheduled log backups."));
    clock.advanceSeconds(3600);
    c.windows().main.tmrDummyPkts_Timer();
    EXPECT_FALSE(logged("TFB: Begin Backup client log."));
}

}  // namespace
}  // namespace smtpin::test
