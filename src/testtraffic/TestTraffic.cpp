#include "TestTraffic.h"

#include "forms/FrmSMTP.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

#include <utility>

namespace smtpin::testtraffic {

TestTraffic::TestTraffic(const Clock& clock, forms::FrmSMTP& form, SendMessage send)
    : clock_(clock), form_(form), send_(std::move(send))
{
}

std::string TestTraffic::numberedText() const
{
    return "Mess[" + std::to_string(TestMessageCounter) + "] " + form_.txbMessage.text();
}

void TestTraffic::send(std::string text, const std::string& pagerNumber)
{
    PageRequest page{std::move(text), pagerNumber, kHash, clock_.now(), form_.txbMachineName.text(),
                     form_.txbAckSocket.text()};
    if (send_)
        send_(page);
}

void TestTraffic::cmdSEND_Click()
{
    const std::string pager = form_.txbPagerNo[4].text();
    if (pager.empty())
        return;
    if (form_.chkUniqueSingle.checked()) {
        ++TestMessageCounter;
        send(numberedText(), pager);
    } else {
        send(form_.txbMessage.text(), pager);
    }
}

void TestTraffic::cmdPause_Click()
{
    const bool running = form_.cmdPause.caption() == kRunning;
    form_.cmdPause.setCaption(running ? kPaused : kRunning);
}

void TestTraffic::cmdGroup_Click()
{
    if (TestMessageCounter > kCounterLimit)
        TestMessageCounter = 0;
    const bool numbered = form_.chkUnique.checked();
    for (size_t i = 0; i < 4; ++i) {
        const std::string pager = form_.txbPagerNo[i].text();
        // Every device position takes a number, so a number names its position.
        if (numbered)
            ++TestMessageCounter;
        if (pager.empty())
            continue;
        send(numbered ? numberedText() : form_.txbMessage.text(), pager);
    }
}

void TestTraffic::burst(const std::string& fixedNumber)
{
    for (int i = 1; i <= kBurst; ++i)
        send(clock_.now().timeText() + " " + form_.txbMessage.text(), fixedNumber + zeroPadded(i, 2));
}

void TestTraffic::cmdSynGroup_Click() { burst(kSynGroupWhNumber); }

void TestTraffic::Command2_Click() { burst(kSynGroupSmsNumber); }

void TestTraffic::ContinuousTest(std::int32_t intervalMs)
{
    // The count runs while stopped too; only the send waits for "Pause".
    if (continuousElapsed_ <= kContinuousMs) {
        continuousElapsed_ += intervalMs;
        return;
    }
    continuousElapsed_ = 0;
    if (form_.cmdPause.caption() == kRunning)
        cmdSEND_Click();
}

}  // namespace smtpin::testtraffic
