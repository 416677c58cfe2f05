#pragma once

#include "InputQueue.h"

#include "platform/DateSerial.h"

#include <cstdint>

namespace smtpin {
class Clock;
namespace db { class ClientRegistration; }
}  // namespace smtpin

namespace smtpin::messages {

// The message-level watchdog to the switch (the gWatchdog routines): a
// "WATCHDOG" record at a fixed period, on the same road as every message.
// A watchdog the link does not take counts as a broken link. (The hub
// link's own level-1 watchdog is separate.) The class cannot carry the
// routine's name SwitchWatchdog, which C++ keeps for the constructor.
class Watchdog {
public:
    static constexpr std::int32_t kWatchdogMessId = 6666666;

    Watchdog(const Clock& clock, db::ClientRegistration& registration, InputQueue& queue, HubLinkPort& link);

    // Holds the watchdog record; never part of InputQue.
    QueueSlot WatchdogSlot;
    // Zero at first, so the first check sends at once.
    DateSerial NextWatchdog;
    // In days: half of the client row's WPeriod.
    double WatchdogPeriod = 0.0;

    // Start-up's setting: half the WPeriod seconds.
    void SetWPeriod(std::int32_t seconds) { WatchdogPeriod = seconds / 2.0 / 86400.0; }

    // The housekeeping tick: true when a watchdog was sent in this call.
    bool SwitchWatchdog();
    // True when the link took the record; otherwise the queue is cleared and
    // the link dropped.
    bool SendSwitchWatchdog();

private:
    const Clock& clock_;
    db::ClientRegistration& registration_;
    InputQueue& queue_;
    HubLinkPort& link_;
};

}  // namespace smtpin::messages
