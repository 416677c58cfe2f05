#pragma once

#include "platform/DateSerial.h"
#include "platform/PageRequest.h"

#include <cstdint>
#include <functional>
#include <string>

namespace smtpin {
class Clock;
namespace forms { struct FrmSMTP; }
}  // namespace smtpin

namespace smtpin::testtraffic {

// The main window's test buttons: single, continuous, group and burst test
// messages, each handed to message creation exactly as a mail's would be.
class TestTraffic {
public:
    // Message creation's SendMessage; may cut the text it is given.
    using SendMessage = std::function<bool(PageRequest& page)>;

    static constexpr const char* kHash = "Hash";
    static constexpr const char* kPaused = "Continuous";
    static constexpr const char* kRunning = "Pause";
    // A burst goes to these numbers followed by 01 to 15.
    static constexpr const char* kSynGroupWhNumber = "90010";
    static constexpr const char* kSynGroupSmsNumber = "90020";
    static constexpr int kBurst = 15;
    static constexpr std::int32_t kContinuousMs = 15000;
    static constexpr std::int32_t kCounterLimit = 1000000;

    TestTraffic(const Clock& clock, forms::FrmSMTP& form, SendMessage send);

    void cmdSEND_Click();
    void cmdPause_Click();
    void cmdGroup_Click();
    void cmdSynGroup_Click();
    void Command2_Click();
    // Runs on every tick of the main window's housekeeping timer.
    void ContinuousTest(std::int32_t intervalMs);

    // Milliseconds since the last continuous test message.
    std::int32_t continuousElapsed() const { return continuousElapsed_; }
    std::int32_t TestMessageCounter = 0;

private:
    std::string numberedText() const;
    void send(std::string text, const std::string& pagerNumber);
    void burst(const std::string& fixedNumber);

    const Clock& clock_;
    forms::FrmSMTP& form_;
    std::int32_t continuousElapsed_ = 0;   // ms since the last continuous test message
    SendMessage send_;
};

}  // namespace smtpin::testtraffic
