// A whole client against the bundled switch: the test buttons through
// message creation and the hub link, and the TCP setup window's close.
#include "core/Client.h"
#include "core/SettingsFile.h"
#include "platform/Clock.h"
#include "support/HubSimProcess.h"
#include "support/RecordingDialogs.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace smtpin::test {
namespace {

class ClientTestTraffic : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(hub.start());
        options.dataDir = dir.path();
        options.configFile = dir.file("smtpin.ini");
        options.dialogs = &dialogs;
        options.timers = false;
        ASSERT_TRUE(core::WriteDefaultSettingsFile(options.configFile, nullptr));
        {
            // The embedded default, pointed at this switch and a free SMTP port.
            core::Client seed(clock, options);
            ASSERT_TRUE(seed.parts().db.OpenSQLDatabase());
            seed.parts().db.Execute("UPDATE HXSSystem SET [Value] = ? WHERE [Description] = 'Remote Port'",
                              {QString::number(hub.port())});
            seed.parts().db.Execute("UPDATE HXSClientConfig SET [Value] = ? WHERE [Parameter] = 'SMTPPORT'",
                              {QString::number(HubSimProcess::freePort())});
            seed.parts().db.CloseSQLDatabase();
        }
        client = std::make_unique<core::Client>(clock, options);
        client->start();
        ASSERT_TRUE(client->running()) << client->failure();
        ASSERT_TRUE(tickUntil([this] { return client->windows().link.Connected(); })) << "no login";
        ASSERT_TRUE(hub.waitForLine("RX READY", 5000, [this] { tick(); }));
        client->windows().mainForm.chkUnique.setValue(1);
        client->windows().mainForm.chkUniqueSingle.setValue(1);
    }

    void TearDown() override
    {
        if (!client)
            return;
        client->requestClose();
        tickUntil([this] { return client->closed(); }, 200);
    }

    // Half a second of the client's timers, as their periods interleave.
    void tick()
    {
        clock.advanceSeconds(0.5);
        client->windows().tcpHub.driver().DriveHubConnection();
        if (++ticks_ % 4 == 0)
            client->windows().link.Engine_Timer();
        client->windows().tcpHub.tmrTCP_Timer();
        client->windows().main.tmrDummyPkts_Timer();
        client->windows().main.tmrSystem_Timer();
        pumpUntil([] { return false; }, 10);
    }
    bool tickUntil(const std::function<bool()>& done, int maxTicks = 100)
    {
        for (int i = 0; i < maxTicks && !done(); ++i)
            tick();
        return done();
    }
    std::string line(const std::string& pager, const std::string& text) { return "to " + pager + ": " + text; }

    TempDir dir;
    ManualClock clock;
    RecordingDialogs dialogs;
    core::Client::Options options;
    HubSimProcess hub;
    std::unique_ptr<core::Client> client;
    const std::string text = "This is a test message from SMTP CLient";

private:
    int ticks_ = 0;
};

TEST_F(ClientTestTraffic, TwoSinglesAndAGroupReachTheSwitchNumberedOneToSix)
{
    client->windows().testTraffic.cmdSEND_Click();
    client->windows().testTraffic.cmdSEND_Click();
    client->windows().testTraffic.cmdGroup_Click();
    const char* pagers[] = {"9000000", "9000000", "9000001", "9000002", "9000003", "9000004"};
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(hub.waitForLine(line(pagers[i], "Mess[" + std::to_string(i + 1) + "] " + text), 5000,
                                    [this] { tick(); }))
            << i + 1;
    EXPECT_EQ(hub.count("RX NEWMESS"), 6);
    // The switch deletes each, so the queue ends empty again.
    EXPECT_TRUE(hub.waitForCount("TX DELETE", 6, 5000, [this] { tick(); }));
}

TEST_F(ClientTestTraffic, ABurstSendsFifteenNumbersEndingOneToFifteen)
{
    const std::string time = clock.now().timeText();
    client->windows().testTraffic.cmdSynGroup_Click();
    ASSERT_TRUE(hub.waitForCount("RX NEWMESS", 15, 5000, [this] { tick(); }));
    for (int i = 1; i <= 15; ++i) {
        const std::string pager = std::string(testtraffic::TestTraffic::kSynGroupWhNumber) + (i < 10 ? "0" : "") +
                                  std::to_string(i);
        EXPECT_EQ(hub.count(line(pager, time + " " + text)), 1) << pager;
    }
    EXPECT_EQ(hub.count("RX NEWMESS"), 15);
}

TEST_F(ClientTestTraffic, TheHousekeepingTickRunsTheContinuousSeriesAndMessagesAreCut)
{
    // Cut to 160 characters by message creation, as a mail's text is.
    client->windows().mainForm.txbMessage.setText(std::string(200, 'x'));
    client->windows().testTraffic.cmdPause_Click();
    ASSERT_TRUE(hub.waitForLine("RX NEWMESS", 40 * 10 + 5000, [this] { tick(); }));
    const std::string numbered = "Mess[1] " + std::string(200, 'x');
    EXPECT_TRUE(hub.waitForLine(line("9000000", numbered.substr(0, 160)), 5000, [this] { tick(); }));
    EXPECT_EQ(hub.count(numbered.substr(0, 161)), 0);
    EXPECT_EQ(client->windows().testTraffic.TestMessageCounter, 1);
}

TEST_F(ClientTestTraffic, ClosingTheTcpWindowLogsOffFirstAndShowTcpLogsInAgain)
{
    client->windows().main.mnuShowTCP_Click();
    ASSERT_TRUE(client->windows().tcpForm.window.visible());
    // Refused while connected; the driver logs off and then closes it.
    EXPECT_FALSE(client->windows().tcpHub.Unload());
    EXPECT_TRUE(client->windows().tcpForm.window.visible());
    ASSERT_TRUE(hub.waitForLine("RX 1002", 10000, [this] { tick(); }));
    ASSERT_TRUE(tickUntil([this] { return !client->windows().tcpHub.Loaded(); }));
    EXPECT_FALSE(client->windows().tcpForm.window.visible());
    EXPECT_FALSE(client->windows().link.Connected());

    // A page taken while the window is closed goes out after the next login.
    client->windows().testTraffic.cmdSEND_Click();
    client->windows().main.mnuShowTCP_Click();
    EXPECT_TRUE(client->windows().tcpHub.Loaded());
    EXPECT_TRUE(client->windows().tcpForm.window.visible());
    ASSERT_TRUE(tickUntil([this] { return client->windows().link.Connected(); })) << "no second login";
    EXPECT_TRUE(hub.waitForLine(line("9000000", "Mess[1] " + text), 5000, [this] { tick(); }));
    EXPECT_EQ(hub.count("RX 1000 login"), 2);
}

}  // namespace
}  // namespace smtpin::test
