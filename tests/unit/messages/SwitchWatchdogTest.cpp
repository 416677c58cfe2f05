#include "MessagesFixture.h"

#include "messages/SwitchWatchdog.h"

using namespace smtpin;
using namespace smtpin::messages;
using namespace smtpin::test;

namespace {

class SwitchWatchdogTest : public MessagesTest {
protected:
    void SetUp() override
    {
        MessagesTest::SetUp();
        watchdog = std::make_unique<Watchdog>(clock, c->reg, *queue, link);
        resetTo(5);
    }
    // Runs the 500 ms housekeeping tick for the given seconds; the times
    // (seconds from the start) at which a watchdog went out.
    std::vector<double> tick(double seconds)
    {
        std::vector<double> sentAt;
        const DateSerial start = clock.now();
        for (double t = 0; t <= seconds; t += 0.5) {
            clock.set(start.addSeconds(t));
            if (watchdog->SwitchWatchdog())
                sentAt.push_back(t);
        }
        return sentAt;
    }
    std::unique_ptr<Watchdog> watchdog;
};

TEST_P(SwitchWatchdogTest, TheFirstCheckSendsTheRecord)
{
    clock.set(DateSerial::fromParts(2026, 1, 15, 12, 34, 56));
    watchdog->SetWPeriod(60);
    ASSERT_TRUE(watchdog->SwitchWatchdog());
    ASSERT_EQ(link.offered.size(), 1u);
    const std::string text = link.offered[0].Message;
    EXPECT_TRUE(text.starts_with("6666666|"));
    EXPECT_EQ(link.offered[0].target, "h01");

    MessageType expected;
    expected.MessId = 6666666;
    expected.Created = clock.now();
    expected.Source = "S01";
    expected.ComChannel = "WATCHDOG";
    expected.EventLog = "12:34:56 CREATED ";
    EXPECT_EQ(text, expected.ConCatMe());
    EXPECT_EQ(link.ring, std::vector<std::string>{"-->SwitchWDG"});
    EXPECT_EQ(watchdog->NextWatchdog, clock.now().addSeconds(30));
    EXPECT_FALSE(watchdog->SwitchWatchdog());   // not due again yet
    EXPECT_TRUE(c->drain().empty());
}

TEST_P(SwitchWatchdogTest, SentAtHalfThePeriod)
{
    watchdog->SetWPeriod(60);
    const auto sentAt = tick(125);
    ASSERT_EQ(sentAt.size(), 5u);
    EXPECT_EQ(sentAt[0], 0.0);
    for (std::size_t i = 1; i < sentAt.size(); ++i) {
        const double gap = sentAt[i] - sentAt[i - 1];
        EXPECT_GE(gap, 30.0);
        EXPECT_LE(gap, 30.5);   // the tick's jitter
    }
}

TEST_P(SwitchWatchdogTest, PeriodZeroSendsOnEveryTick)
{
    watchdog->SetWPeriod(0);
    EXPECT_EQ(tick(4.5).size(), 10u);
    EXPECT_EQ(link.offered.size(), 10u);
}

TEST_P(SwitchWatchdogTest, AFailedWatchdogKeepsTheQueueAndDropsTheLink)
{
    for (int id : {41, 42})
        inbox->AddInputQueFromSwitch(fromSwitch(id, "NEWMESS"));
    c->drain();
    watchdog->SetWPeriod(60);
    link.accept = false;

    EXPECT_FALSE(watchdog->SwitchWatchdog());
    EXPECT_EQ(link.traffics.back(), Traffic::Watchdog);
    EXPECT_EQ(link.kills, 1);
    EXPECT_EQ(link.ring, std::vector<std::string>{"-->SwitchWDG TCP Fail"});
    EXPECT_EQ(c->drain(), std::vector<std::string>{"  SU: Failed to send watchdog. Queue kept for the next login."});
    EXPECT_GE(queue->FindQueuedMessage(41), 0);
    EXPECT_GE(queue->FindQueuedMessage(42), 0);

    // The next try is still one period on.
    clock.advanceSeconds(29);
    EXPECT_FALSE(watchdog->SwitchWatchdog());
    EXPECT_EQ(link.offered.size(), 1u);
    clock.advanceSeconds(2);
    EXPECT_FALSE(watchdog->SwitchWatchdog());
    EXPECT_EQ(link.offered.size(), 2u);
    EXPECT_EQ(link.kills, 2);
    EXPECT_TRUE(c->drain().empty());   // the same line again for the same slot is not repeated
}

TEST_P(SwitchWatchdogTest, TheRecordNeverTakesAQueueSlot)
{
    resetTo(0);
    EXPECT_TRUE(watchdog->SendSwitchWatchdog());   // the link's own trigger
    EXPECT_TRUE(watchdog->NextWatchdog.isZero());   // leaves the schedule alone
    EXPECT_EQ(watchdog->WatchdogSlot.QueueName, "INPUTQ");
    EXPECT_FALSE(watchdog->WatchdogSlot.Free);
    EXPECT_EQ(queue->FindQueuedMessage(Watchdog::kWatchdogMessId), -1);
    EXPECT_TRUE(queue->slot(0).Free);
    EXPECT_EQ(queue->GetFreeQueueSlot(), 0);
}

INSTANTIATE_TEST_SUITE_P(SQLite, SwitchWatchdogTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
