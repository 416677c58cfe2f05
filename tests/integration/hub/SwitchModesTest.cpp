// The hub link against switches that behave a little differently from the
// bundled one's defaults: each mode of hubsim that once lost pages.
#include "HubLinkFixture.h"

#include <QTcpServer>

#include <string>
#include <vector>

namespace smtpin::test {
namespace {

class SwitchModes : public HubLinkFixture {
protected:
    PageOutcome page(const std::string& text)
    {
        PageRequest page{text, "4711", "hash", clock.now(), "MAILHOST", "10.0.0.5"};
        return creation->SendMessage(page);
    }

    // How often the switch printed this exact text as a new message.
    static int arrived(HubSimProcess& hub, const std::string& text)
    {
        int n = 0;
        for (const auto& line : hub.lines())
            if (line.rfind("RX NEWMESS ", 0) == 0 && line.ends_with(" to 4711: " + text))
                ++n;
        return n;
    }

    // Ticks until every page created here is deleted, or gives up.
    bool drained(int maxTicks = 20)
    {
        return tickUntil(
            [this] {
                for (int i = 0; i <= queue->queueSize(); ++i) {
                    const auto& slot = queue->slot(i);
                    if (!slot.Free && slot.Group == "GROUPCHECK")
                        return false;
                }
                return true;
            },
            maxTicks);
    }
};

// The switch's own watchdog in the same write as its accept once undid the
// login, for ever: one login, and it stays.
TEST_P(SwitchModes, AWatchdogRightAfterTheAcceptDoesNotUndoTheLogin)
{
    ASSERT_TRUE(hubsim.start({"--watchdog-after-accept", "--send", "NEWMESS:424242:99:from the switch"}));
    ASSERT_TRUE(login(hubsim.port()));
    for (int i = 0; i < 8; ++i)
        tick();
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(hubsim.count("RX 1000 login"), 1);
    EXPECT_GE(queue->FindQueuedMessage(424242), 0);   // the record in the same write was handled
    ASSERT_EQ(page("after the accept"), PageOutcome::Queued);
    EXPECT_TRUE(drained());
    EXPECT_EQ(arrived(hubsim, "after the accept"), 1);
}

// A long outage fills the buffer with pages: the next one is refused as
// link-busy (the sender keeps it), and on return the link logs in once, the
// switch watchdog is not refused, and the pages leave in order, even though
// the switch grants a smaller buffer than the one that filled.
TEST_P(SwitchModes, AfterAnOutageUnderLoadTheLinkComesBackOnceAndDrains)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();   // nobody there: the switch is down
    ASSERT_TRUE(link->Connect(settings(port)));
    for (int i = 0; i < 3; ++i)
        tick();
    ASSERT_FALSE(link->Connected());

    for (int i = 0; i < 98; ++i)
        ASSERT_EQ(page("outage " + std::to_string(i)), PageOutcome::Queued) << i;
    // Pages staged for the next commit wait here too while the link is down.
    std::vector<PageOutcome> answers;
    const auto stage = [&](std::string text) {
        PageRequest page{std::move(text), "4711", "hash", clock.now(), "MAILHOST", "10.0.0.5"};
        return creation->Submit(page, [&](PageOutcome t) { answers.push_back(t); });
    };
    ASSERT_EQ(stage("outage 98"), PageOutcome::Pending);
    ASSERT_EQ(stage("outage 99"), PageOutcome::Pending);
    EXPECT_EQ(stage("one too many"), PageOutcome::LinkBusy);
    creation->commitPending();
    EXPECT_EQ(answers, std::vector<PageOutcome>(2, PageOutcome::Queued));
    EXPECT_EQ(page("one too many"), PageOutcome::LinkBusy);
    EXPECT_EQ(busySlots(), 100);

    ASSERT_TRUE(hubsim.startOn(port, {"--buffer-max", "10", "--watchdog-after-accept"}));
    ASSERT_TRUE(tickUntil([this] { return link->member().SystemState == 0; }));
    ASSERT_TRUE(login(port));
    EXPECT_TRUE(drained());
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(hubsim.count("RX 1000 login"), 1);
    EXPECT_EQ(hubsim.count("RX WATCHDOG"), 1);
    std::vector<std::string> order;
    for (const auto& line : hubsim.lines())
        if (line.rfind("RX NEWMESS ", 0) == 0)
            order.push_back(line.substr(line.find(": ") + 2));
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], "outage " + std::to_string(i));
    EXPECT_EQ(page("after the outage"), PageOutcome::Queued);
    EXPECT_TRUE(drained());
}

// Bytes a switch accepted into its socket and never read are not delivered.
// The switch stops sending too: after two of its watchdog intervals of
// silence the link is left, and what it did not delete goes again.
TEST_P(SwitchModes, PagesAFrozenSwitchNeverReadGoAgainAfterItFallsSilent)
{
    ASSERT_TRUE(hubsim.start({"--freeze-after", "4", "--watchdog-ms", "5000"}));
    ASSERT_TRUE(login(hubsim.port()));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(page("frozen " + std::to_string(i)), PageOutcome::Queued);
    ASSERT_TRUE(hubsim.waitForLine("FREEZE"));
    // The watchdog and two pages were answered before the freeze.
    ASSERT_TRUE(pumpUntil([this] { return busySlots() == 3; }, 5000));
    clock.advanceSeconds(1);
    watchdog->SendSwitchWatchdog();   // the periodic one: sent after the switch was last heard
    ASSERT_TRUE(tickUntil([this] { return !link->Connected(); }, 10));
    EXPECT_EQ(countContaining(c->drain(), "  HUB: The switch has sent nothing since"), 1);

    ASSERT_TRUE(tickUntil([this] { return link->member().SystemState == 0; }));
    ASSERT_TRUE(login(hubsim.port()));   // the switch takes a new connection
    EXPECT_TRUE(drained());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(arrived(hubsim, "frozen " + std::to_string(i)), 1) << i;
    EXPECT_EQ(hubsim.count("RX REPEAT"), 0);
    EXPECT_EQ(countContaining(c->drain(), "  RS: Sent again after login"), 3);
}

// A switch that drops the link in the middle, or asks the client to go:
// nothing is lost, nothing is new to it twice.
TEST_P(SwitchModes, ADroppedOrEndedLinkLosesNothing)
{
    for (const QStringList& mode : {QStringList{"--drop-after", "3"}, QStringList{"--send-1001-after", "2"}}) {
        HubSimProcess hub;
        ASSERT_TRUE(hub.start(mode));
        ASSERT_TRUE(link->Connect(settings(hub.port())));
        ASSERT_TRUE(tickUntil([this] { return link->Connected(); }));
        const std::string tag = mode.first().toStdString();
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(page(tag + " " + std::to_string(i)), PageOutcome::Queued);
        ASSERT_TRUE(tickUntil([this] { return !link->Connected() && link->member().SystemState == 0; }));
        ASSERT_TRUE(link->Connect(settings(hub.port())));
        ASSERT_TRUE(tickUntil([this] { return link->Connected(); })) << tag;
        EXPECT_TRUE(drained()) << tag;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(arrived(hub, tag + " " + std::to_string(i)), 1) << tag << " " << i;
        EXPECT_EQ(hub.count("RX 1000 login"), 2) << tag;
        ASSERT_TRUE(link->Disconnect());
        ASSERT_TRUE(tickUntil([this] { return !link->Connected() && link->member().SystemState == 0; }));
    }
}

TEST_P(SwitchModes, ABufferOfZeroGrantedFallsBackToTheConfiguredOne)
{
    ASSERT_TRUE(hubsim.start({"--buffer-max", "0"}));
    CommMemberType s = settings(hubsim.port());
    s.BufferMax = 30;
    ASSERT_TRUE(link->Connect(s));
    ASSERT_TRUE(tickUntil([this] { return link->Connected(); }));
    EXPECT_EQ(link->member().BufferMax, 30);
    EXPECT_EQ(countContaining(c->drain(), "  HUB: The switch granted a link buffer of 0, using 30"), 1);
    ASSERT_EQ(page("granted nothing"), PageOutcome::Queued);
    EXPECT_TRUE(drained());
}

// A switch that writes its dates another way still frees every slot.
TEST_P(SwitchModes, DeletesWithDatesWrittenAnotherWayFreeTheirSlots)
{
    for (const char* format : {"us", "comma"}) {
        HubSimProcess hub;
        ASSERT_TRUE(hub.start({"--date-format", format}));
        ASSERT_TRUE(link->Connect(settings(hub.port())));
        ASSERT_TRUE(tickUntil([this] { return link->Connected(); })) << format;
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(page(std::string(format) + std::to_string(i)), PageOutcome::Queued);
        EXPECT_TRUE(drained()) << format;
        EXPECT_EQ(hub.count("TX DELETE"), 3);
        ASSERT_TRUE(link->Disconnect());
        ASSERT_TRUE(tickUntil([this] { return !link->Connected() && link->member().SystemState == 0; }));
        const auto lines = c->drain();
        // A decimal comma is read as the switch meant it; a US date is told once a record.
        EXPECT_EQ(countContaining(lines, "HUB: Packet from the switch with an unreadable field"), 0) << format;
        EXPECT_EQ(countContaining(lines, " AIQF: Unreadable field Created '"), std::string(format) == "us" ? 3 : 0);
    }
}

TEST_P(SwitchModes, ARefusedPortIsToldAsAFailedConnect)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();
    ASSERT_TRUE(link->Connect(settings(port)));
    ASSERT_TRUE(tickUntil([this] { return link->member().SystemState == 10; }, 5));
    EXPECT_EQ(linkForm.lblError.caption(), "Socket: Failed to connect - [10061] : Connection refused");
    tick();
    EXPECT_EQ(link->member().SystemState, 0);

    // A port outside the network's range never wraps round to another one.
    ASSERT_TRUE(link->Connect(settings(70000)));
    tick();
    EXPECT_EQ(linkForm.lblError.caption(), "");
    EXPECT_EQ(link->member().SystemStateDES, "Socket: Failed to connect - [10049] : Invalid port 70000");
}

INSTANTIATE_TEST_SUITE_P(Catalogue, SwitchModes, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace smtpin::test
