// The test buttons against a recording SendMessage: numbering, devices,
// bursts and the continuous pacing on the housekeeping tick.
#include "testtraffic/TestTraffic.h"

#include "forms/FrmSMTP.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace smtpin::test {
namespace {

using testtraffic::TestTraffic;

struct Sent {
    std::string text, pager, hash;
    DateSerial requested;
    std::string machine, address;
};

class TestTrafficTest : public ::testing::Test {
protected:
    TestTrafficTest()
    {
        for (int i = 0; i < 4; ++i)
            form.txbPagerNo[static_cast<size_t>(i)].setText("900000" + std::to_string(i + 1));
        form.txbPagerNo[4].setText("9000000");
        form.txbMachineName.setText("TESTBOX");
        form.txbAckSocket.setText("10.0.0.9:4000");
    }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> t;
        for (const Sent& s : sent)
            t.push_back(s.text);
        return t;
    }
    std::vector<std::string> pagers() const
    {
        std::vector<std::string> p;
        for (const Sent& s : sent)
            p.push_back(s.pager);
        return p;
    }
    // n housekeeping ticks; how many test messages they sent.
    size_t ticks(int n)
    {
        const size_t before = sent.size();
        for (int i = 0; i < n; ++i)
            traffic.ContinuousTest(500);
        return sent.size() - before;
    }

    const std::string text = "This is a test message from SMTP CLient";
    ManualClock clock;
    forms::FrmSMTP form;
    std::vector<Sent> sent;
    TestTraffic traffic{clock, form,
                        [this](PageRequest& p) {
                            sent.push_back({p.message, p.pagerNumber, p.hash, p.requested, p.machine,
                                            p.interfaceAddress});
                            return true;
                        }};
};

TEST_F(TestTrafficTest, SingleSendsTheTextWithTheTestFieldsAndNeedsADevice)
{
    traffic.cmdSEND_Click();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, text);
    EXPECT_EQ(sent[0].pager, "9000000");
    EXPECT_EQ(sent[0].hash, "Hash");
    EXPECT_EQ(sent[0].requested, clock.now());
    EXPECT_EQ(sent[0].machine, "TESTBOX");
    EXPECT_EQ(sent[0].address, "10.0.0.9:4000");
    EXPECT_EQ(traffic.TestMessageCounter, 0);

    form.chkUniqueSingle.setValue(1);
    form.txbPagerNo[4].setText("");
    traffic.cmdSEND_Click();
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(traffic.TestMessageCounter, 0);
}

TEST_F(TestTrafficTest, SinglesAndAGroupShareOneNumbering)
{
    form.chkUniqueSingle.setValue(1);
    form.chkUnique.setValue(1);
    traffic.cmdSEND_Click();
    traffic.cmdSEND_Click();
    traffic.cmdGroup_Click();
    std::vector<std::string> expected;
    for (int i = 1; i <= 6; ++i)
        expected.push_back("Mess[" + std::to_string(i) + "] " + text);
    EXPECT_EQ(texts(), expected);
    EXPECT_EQ(pagers(), (std::vector<std::string>{"9000000", "9000000", "9000001", "9000002", "9000003", "9000004"}));
}

TEST_F(TestTrafficTest, AGroupNumbersEveryPositionButSendsOnlyToFilledOnes)
{
    form.chkUnique.setValue(1);
    for (int i : {0, 2, 3})
        form.txbPagerNo[static_cast<size_t>(i)].setText("");
    traffic.cmdGroup_Click();
    EXPECT_EQ(texts(), std::vector<std::string>{"Mess[2] " + text});
    EXPECT_EQ(pagers(), std::vector<std::string>{"9000002"});
    EXPECT_EQ(traffic.TestMessageCounter, 4);

    // Without numbering the counter stands and the text is plain.
    sent.clear();
    form.chkUnique.setValue(0);
    form.txbPagerNo[3].setText("9000004");
    traffic.cmdGroup_Click();
    EXPECT_EQ(texts(), (std::vector<std::string>{text, text}));
    EXPECT_EQ(pagers(), (std::vector<std::string>{"9000002", "9000004"}));
    EXPECT_EQ(traffic.TestMessageCounter, 4);
}

TEST_F(TestTrafficTest, AGroupRestartsNumberingOnlyAboveTheLimit)
{
    form.chkUnique.setValue(1);
    traffic.TestMessageCounter = 1000000;
    traffic.cmdGroup_Click();
    EXPECT_EQ(sent.front().text, "Mess[1000001] " + text);
    EXPECT_EQ(traffic.TestMessageCounter, 1000004);

    sent.clear();
    traffic.cmdGroup_Click();
    EXPECT_EQ(texts().front(), "Mess[1] " + text);
    EXPECT_EQ(texts().back(), "Mess[4] " + text);

    // A single never restarts the numbering.
    form.chkUniqueSingle.setValue(1);
    traffic.TestMessageCounter = 1000005;
    traffic.cmdSEND_Click();
    EXPECT_EQ(sent.back().text, "Mess[1000006] " + text);
}

TEST_F(TestTrafficTest, BurstsSendFifteenTimedMessagesToTheirOwnRange)
{
    clock.set(DateSerial::fromParts(2026, 3, 2, 7, 5, 9));
    traffic.cmdSynGroup_Click();
    traffic.Command2_Click();
    ASSERT_EQ(sent.size(), 30u);
    for (int i = 0; i < 15; ++i) {
        const std::string two = (i + 1 < 10 ? "0" : "") + std::to_string(i + 1);
        EXPECT_EQ(sent[static_cast<size_t>(i)].pager, std::string(TestTraffic::kSynGroupWhNumber) + two);
        EXPECT_EQ(sent[static_cast<size_t>(i + 15)].pager, std::string(TestTraffic::kSynGroupSmsNumber) + two);
    }
    EXPECT_NE(std::string(TestTraffic::kSynGroupWhNumber), TestTraffic::kSynGroupSmsNumber);
    for (const Sent& s : sent) {
        EXPECT_EQ(s.text, "07:05:09 " + text);
        EXPECT_EQ(s.hash, "Hash");
    }
    // Bursts are not numbered, whatever the boxes say.
    EXPECT_EQ(traffic.TestMessageCounter, 0);
}

TEST_F(TestTrafficTest, ContinuousSendsASingleEveryThirtyTwoTicksWhileRunning)
{
    EXPECT_EQ(form.cmdPause.caption(), "Continuous");
    traffic.cmdPause_Click();
    EXPECT_EQ(form.cmdPause.caption(), "Pause");
    EXPECT_EQ(ticks(31), 0u);
    EXPECT_EQ(traffic.continuousElapsed(), 15500);
    EXPECT_EQ(ticks(1), 1u);
    EXPECT_EQ(traffic.continuousElapsed(), 0);
    EXPECT_EQ(ticks(32), 1u);
    EXPECT_EQ(ticks(64), 2u);

    // Stopped, the count goes on and the send falls away.
    traffic.cmdPause_Click();
    EXPECT_EQ(form.cmdPause.caption(), "Continuous");
    EXPECT_EQ(ticks(20), 0u);
    EXPECT_EQ(traffic.continuousElapsed(), 10000);
    traffic.cmdPause_Click();
    EXPECT_EQ(ticks(11), 0u);
    EXPECT_EQ(ticks(1), 1u);

    // A running series follows the Single rules: numbering and the device.
    form.chkUniqueSingle.setValue(1);
    EXPECT_EQ(ticks(32), 1u);
    EXPECT_EQ(sent.back().text, "Mess[1] " + text);
    form.txbPagerNo[4].setText("");
    EXPECT_EQ(ticks(64), 0u);
    EXPECT_EQ(traffic.TestMessageCounter, 1);
}

}  // namespace
}  // namespace smtpin::test
