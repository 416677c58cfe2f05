// The hub link against the bundled switch over loopback: login, traffic,
// a mute hub, a hub that dies and comes back.
#include "HubLinkFixture.h"

#include <QTcpServer>

#include <memory>

namespace smtpin::test {
namespace {

using HubLinkTest = HubLinkFixture;

TEST_P(HubLinkTest, LogsInAndFiftyPagesAreDeletedByTheSwitch)
{
    ASSERT_TRUE(hubsim.start());
    ASSERT_TRUE(login(hubsim.port()));
    EXPECT_TRUE(hubsim.waitForLine("RX 1000 login s01"));
    for (int i = 1; i <= 50; ++i)
        ASSERT_TRUE(sendPage(i)) << i;
    // The watchdog of the new connection went first.
    EXPECT_TRUE(hubsim.waitForLine("RX WATCHDOG 6666666"));
    EXPECT_TRUE(hubsim.waitForCount("RX NEWMESS", 50));
    EXPECT_TRUE(pumpUntil([this] { return busySlots() == 0; }, 5000));
    EXPECT_EQ(hubsim.count("TX DELETE"), 50);
    EXPECT_TRUE(hubsim.waitForLine("to 12345: Test page 50"));
    EXPECT_EQ(queue->outgoingCount(), 51);   // 50 pages and the watchdog
}

TEST_P(HubLinkTest, AMuteHubIsGivenUpAfterTheLoginCountdown)
{
    QTcpServer mute;
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost));
    ASSERT_TRUE(link->Connect(settings(mute.serverPort())));
    ASSERT_TRUE(tickUntil([this] { return link->member().SystemState == 4; }));
    ASSERT_TRUE(tickUntil([this] { return link->member().SystemState != 4; }, 12));
    EXPECT_EQ(linkForm.lblError.caption(), "Failed to connect - Never received Login Packet");
    tick();
    EXPECT_EQ(link->member().SystemState, 0);
    EXPECT_EQ(socket.state(), 0);
    EXPECT_FALSE(link->Connected());
}

// Page 1 reached a switch that died before deleting it; pages 2 and 3 were
// buffered while it was down. The next switch gets all three, once each.
TEST_P(HubLinkTest, EveryPageWithoutItsDeleteReachesTheNextSwitch)
{
    ASSERT_TRUE(hubsim.start({"--no-delete"}));
    const int port = hubsim.port();
    ASSERT_TRUE(login(port));
    ASSERT_TRUE(sendPage(1));
    ASSERT_TRUE(hubsim.waitForLine("Test page 1"));
    hubsim.kill();
    ASSERT_TRUE(tickUntil([this] { return !link->Connected() && link->member().SystemState == 0; }));
    ASSERT_TRUE(sendPage(2));
    ASSERT_TRUE(sendPage(3));
    EXPECT_EQ(link->member().BufferSize(), 2);

    HubSimProcess again;
    ASSERT_TRUE(again.startOn(port));
    ASSERT_TRUE(login(port));
    EXPECT_TRUE(pumpUntil([this] { return busySlots() == 0; }, 5000));
    for (const char* text : {"Test page 1", "Test page 2", "Test page 3"})
        EXPECT_EQ(again.count(std::string(": ") + text), 1) << text;
    EXPECT_EQ(again.count("RX NEWMESS"), 3);
    EXPECT_EQ(again.count("TX DELETE"), 3);
    const auto lines = c->drain();
    EXPECT_EQ(countContaining(lines, "  RS: Sent again after login"), 1);
}

TEST_P(HubLinkTest, LogoffIsSentAndTheSwitchClosesTheLink)
{
    ASSERT_TRUE(hubsim.start());
    ASSERT_TRUE(login(hubsim.port()));
    ASSERT_TRUE(link->Disconnect());
    ASSERT_TRUE(tickUntil([this] { return !link->Connected() && link->member().SystemState == 0; }));
    EXPECT_TRUE(hubsim.waitForLine("RX 1002 logoff s01"));
    EXPECT_EQ(linkForm.lblError.caption(), "Socket: Closed");
}

INSTANTIATE_TEST_SUITE_P(Catalogue, HubLinkTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace smtpin::test
