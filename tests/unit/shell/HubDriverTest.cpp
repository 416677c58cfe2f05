#include "ShellRig.h"

#include <algorithm>

using namespace smtpin;
using namespace smtpin::test;

namespace {

// The driver inside its owner window, with every caption it writes kept.
class HubDriverTest : public ShellTest {
protected:
    void startWatching()
    {
        start();
        form.window.subscribe([this] {
            const std::string& c = form.window.caption();
            const std::string tail = c.substr(std::min(c.size(), prefix().size()));
            statuses.push_back(tail);
            engineStateAt.push_back(link->member().SystemState);
        });
    }
    // The caption's shell title part.
    std::string prefix() const { return shell->title() + "  -  "; }
    // Index of the first status at or after from that equals s, or -1.
    int find(const std::string& s, size_t from = 0) const
    {
        const auto at = std::find(statuses.begin() + static_cast<std::ptrdiff_t>(from), statuses.end(), s);
        return at == statuses.end() ? -1 : static_cast<int>(at - statuses.begin());
    }

    std::vector<std::string> statuses;
    std::vector<int> engineStateAt;
};

TEST_P(HubDriverTest, ADownHubIsTriedTheAllowedNumberOfTimesThenLeftAlone)
{
    startWatching();
    driver().setRetries(3, 4);
    socket.refuseConnect = true;
    run(300);

    EXPECT_EQ(socket.connects, 3);
    EXPECT_FALSE(driver().connectWanted());
    const int a1 = find("(01/03) Attempting Connection");
    const int f1 = find("(01/03) Failed to Connect");
    const int a2 = find("(02/03) Attempting Connection");
    const int a3 = find("(03/03) Attempting Connection");
    const int f3 = find("(03/03) Failed to Connect");
    EXPECT_EQ(find("(01/03) Initialize"), 0);
    EXPECT_TRUE(a1 > 0 && a1 < f1 && f1 < a2 && a2 < a3 && a3 < f3) << a1 << f1 << a2 << a3 << f3;
    EXPECT_EQ(f3, static_cast<int>(statuses.size()) - 1);

    // Nothing more until the operator asks again; then the count starts afresh.
    run(100);
    EXPECT_EQ(socket.connects, 3);
    window->mnuComms_Click(0);
    run(20);
    EXPECT_EQ(socket.connects, 4);
    EXPECT_GE(find("(01/03) Attempting Connection", static_cast<size_t>(f3)), 0);
}

TEST_P(HubDriverTest, TheRetryMessageCountsDownToZeroBeforeTheNextAttempt)
{
    startWatching();
    driver().setRetries(3, 4);
    socket.refuseConnect = true;
    run(120);
    const int f1 = find("(01/03) Failed to Connect");
    ASSERT_GE(f1, 0);
    const std::vector<std::string> between(statuses.begin() + f1 + 1, statuses.begin() + f1 + 6);
    EXPECT_EQ(between, (std::vector<std::string>{"(02/03) Retry in 03 seconds", "(02/03) Retry in 02 seconds",
                                                 "(02/03) Retry in 01 seconds", "(02/03) Retry in 00 seconds",
                                                 "(02/03) Attempting Connection"}));
}

TEST_P(HubDriverTest, WithoutALimitTheDriverKeepsTrying)
{
    startWatching();
    driver().setRetries(0, 2);
    socket.refuseConnect = true;
    run(400);
    EXPECT_GE(socket.connects, 8);
    EXPECT_TRUE(driver().connectWanted());
    EXPECT_GE(find("(01/00) Attempting Connection"), 0);
}

TEST_P(HubDriverTest, AnAttemptCarriesTheHubSettingsAndAutoShowShowsTheLink)
{
    setConfig("Auto Show CommClass", "True");
    exec("UPDATE HXSTCPClient SET HubMaxBuffer = 20, RemoteBuffer = 30, CCWatchdog = 120");
    c->reg.LoadTCPVariables();
    startWatching();
    c->reg.SetRemoteHub("10.1.2.3", 6100);
    window->mnuComms_Click(0);
    for (int i = 0; i < 3; ++i)
        driver().DriveHubConnection();
    EXPECT_EQ(statuses.back(), "(01/10) Attempting Connection");
    EXPECT_TRUE(linkForm.window.visible());

    const hub::CommMemberType& s = driver().settings();
    EXPECT_EQ(s.Identifier, "s01");
    EXPECT_EQ(s.Mode, 0x0114);
    EXPECT_EQ(s.Description, "SMTP Client on machine \"testhost\" (ASYNC)");
    EXPECT_EQ(s.BufferMax, 20);
    EXPECT_EQ(s.RemoteBuffer, 30);
    EXPECT_EQ(s.ServerAddress, "10.1.2.3");
    EXPECT_EQ(s.ServerPort, 6100);
    EXPECT_EQ(link->member().WatchDog.days(), 120.0 / 86400.0);
    engineTick();
    EXPECT_EQ(socket.host, "10.1.2.3");
    EXPECT_EQ(socket.port, 6100);

    socket.raiseConnect();
    engineTick();
    engineTick();
    socket.deliver(acceptPacket());
    engineTick();
    driver().DriveHubConnection();
    driver().DriveHubConnection();
    EXPECT_EQ(statuses.back(), "(01/10) Connected");
    EXPECT_FALSE(linkForm.window.visible());
}

TEST_P(HubDriverTest, TerminatingWaitsForTheLinkToRestThenClosesTheOwner)
{
    startWatching();
    login();
    ASSERT_EQ(statuses.back(), "(01/10) Connected");
    EXPECT_FALSE(window->Unload());
    for (int i = 0; i < 80 && window->Loaded(); ++i) {
        run(1);
        if (sentWithCode("1002") == 1 && socket.socketState == 7)
            socket.raiseClose();
    }
    EXPECT_FALSE(window->Loaded());
    EXPECT_FALSE(link->Connected());
    EXPECT_EQ(sentWithCode("1002"), 1);
    const int d = find("(01/10) Disconnecting");
    const int t = find("(01/10) Terminating");
    ASSERT_GE(d, 0);
    ASSERT_GT(t, d);
    EXPECT_EQ(engineStateAt[static_cast<size_t>(t)], 0);
    EXPECT_EQ(find("(01/10) Disconnected"), -1);
    EXPECT_EQ(driver().disconnectRequest(), 0);
    EXPECT_EQ(configValue("Load"), "False");
}

TEST_P(HubDriverTest, ADisconnectWhileNotConnectedStillPassesThroughItsSteps)
{
    setConfig("Auto Connect", "False");
    startWatching();
    run(2);
    window->mnuComms_Click(1);
    run(3);
    EXPECT_EQ(statuses, (std::vector<std::string>{"(01/10) Initialize", "(01/10) Disconnecting",
                                                  "(01/10) Disconnected"}));
    EXPECT_EQ(driver().disconnectRequest(), 0);
    EXPECT_EQ(driver().state(), 1);
    EXPECT_TRUE(window->Loaded());
    EXPECT_EQ(socket.connects, 0);
}

TEST_P(HubDriverTest, ARefusedLoginIdentifierCountsAsAFailedAttempt)
{
    startWatching();
    shell->setUserIdentifier("bad");
    driver().setRetries(1, 1);
    run(10);
    EXPECT_EQ(socket.connects, 0);
    EXPECT_EQ(statuses.back(), "(01/01) Failed to Connect");
    EXPECT_FALSE(driver().connectWanted());
}

INSTANTIATE_TEST_SUITE_P(Embedded, HubDriverTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
