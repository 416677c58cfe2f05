// The hub link against the bundled switch over loopback: login, traffic,
// a mute hub, a hub that dies and comes back.
#include "CatalogueHarness.h"

#include "hub/CommDisplay.h"
#include "hub/HubMessageRing.h"
#include "hub/SocketControlLink.h"
#include "messages/InputQueue.h"
#include "messages/MessageCreation.h"
#include "messages/SwitchWatchdog.h"
#include "support/HubSimProcess.h"
#include "support/TestClient.h"

#include <QTcpServer>

#include <memory>

namespace smtpin::test {
namespace {

using hub::CommMemberType;

// One client: catalogue, link, queue and message creation wired as the
// program wires them, with the engine ticked by the test.
class HubLinkTest : public CatalogueTest {
protected:
    void SetUp() override
    {
        c = openClient("S01");
        link = std::make_unique<hub::CommDisplay>(clock, c->log, linkForm, c->form, socket);
        queue = std::make_unique<messages::InputQueue>(clock, c->log, c->form, c->reg, c->config, *link);
        queue->SwitchId = "h01";
        ASSERT_TRUE(queue->ResetInputQueue());
        creation = std::make_unique<messages::MessageCreation>(clock, c->log, c->db, c->reg, *queue, *link);
        watchdog = std::make_unique<messages::Watchdog>(clock, c->reg, *queue, *link);
        ring = std::make_unique<hub::HubMessageRing>(*link, [] { return std::string("s01"); },
                                                     [this](std::string& text) { queue->AddInputQueFromSwitch(text); });
        link->setTimersEnabled(false);
        link->hooks().switchWatchdog = [this] { return watchdog->SendSwitchWatchdog(); };
        link->hooks().loggedIn = [this] { queue->ResendAfterLogin(); };
        link->hooks().receivedData = [this](const hub::CommType& r) { ring->client_ReceivedData(r); };
        link->Form_Load();
    }

    CommMemberType settings(int port) const
    {
        CommMemberType s;
        s.Identifier = "S01";
        s.Mode = 0x0114;
        s.ServerAddress = "127.0.0.1";
        s.ServerPort = port;
        s.BufferMax = 100;
        s.RemoteBuffer = 250;
        s.WatchDog = DateSerial(300.0 / 86400.0);
        return s;
    }

    // One engine tick with the event loop given time to deliver I/O.
    void tick()
    {
        clock.advanceSeconds(2);
        link->Engine_Timer();
        pumpUntil([] { return false; }, 30);
    }

    bool tickUntil(const std::function<bool()>& done, int maxTicks = 20)
    {
        for (int i = 0; i < maxTicks; ++i) {
            if (done())
                return true;
            tick();
        }
        return done();
    }

    bool login(int port)
    {
        if (!link->Connect(settings(port)))
            return false;
        return tickUntil([this] { return link->Connected(); });
    }

    int busySlots() const
    {
        int n = 0;
        for (int i = 0; i <= queue->QueueSize; ++i)
            n += queue->InputQue[static_cast<std::size_t>(i)].Free ? 0 : 1;
        return n;
    }

    bool sendPage(int i)
    {
        std::string text = "Test page " + std::to_string(i);
        return creation->SendMessage(text, "12345", "hash" + std::to_string(i), clock.now(), "MAILHOST", "10.0.0.5") ==
               messages::Taken::Queued;
    }

    std::unique_ptr<CatalogueClient> c;
    forms::CommDisplayForm linkForm;
    hub::SocketControlLink socket;
    std::unique_ptr<hub::CommDisplay> link;
    std::unique_ptr<messages::InputQueue> queue;
    std::unique_ptr<messages::MessageCreation> creation;
    std::unique_ptr<messages::Watchdog> watchdog;
    std::unique_ptr<hub::HubMessageRing> ring;
    HubSimProcess hubsim;
};

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
    EXPECT_EQ(queue->OutgoingCount, 51);   // 50 pages and the watchdog
}

TEST_P(HubLinkTest, AMuteHubIsGivenUpAfterTheLoginCountdown)
{
    QTcpServer mute;
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost));
    ASSERT_TRUE(link->Connect(settings(mute.serverPort())));
    ASSERT_TRUE(tickUntil([this] { return link->ThisMember.SystemState == 4; }));
    ASSERT_TRUE(tickUntil([this] { return link->ThisMember.SystemState != 4; }, 12));
    EXPECT_EQ(linkForm.lblError.caption(), "Failed to connect - Never received Login Packet");
    tick();
    EXPECT_EQ(link->ThisMember.SystemState, 0);
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
    ASSERT_TRUE(tickUntil([this] { return !link->Connected() && link->ThisMember.SystemState == 0; }));
    ASSERT_TRUE(sendPage(2));
    ASSERT_TRUE(sendPage(3));
    EXPECT_EQ(link->ThisMember.BufferSize(), 2);

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
    ASSERT_TRUE(tickUntil([this] { return !link->Connected() && link->ThisMember.SystemState == 0; }));
    EXPECT_TRUE(hubsim.waitForLine("RX 1002 logoff s01"));
    EXPECT_EQ(linkForm.lblError.caption(), "Socket: Closed");
}

INSTANTIATE_TEST_SUITE_P(Catalogue, HubLinkTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace smtpin::test
