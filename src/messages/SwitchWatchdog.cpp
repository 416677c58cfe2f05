#include "SwitchWatchdog.h"

#include "HubLinkPort.h"
#include "StatusWords.h"
#include "db/ClientRegistration.h"
#include "platform/Clock.h"

namespace smtpin::messages {

Watchdog::Watchdog(const Clock& clock, db::ClientRegistration& registration, InputQueue& queue, HubLinkPort& link)
    : clock_(clock), registration_(registration), queue_(queue), link_(link)
{
}

bool Watchdog::SwitchWatchdog()
{
    const DateSerial now = clock_.now();
    if (NextWatchdog >= now)
        return false;
    // Measured from when it fell due, so a failed watchdog still moves it on.
    NextWatchdog = now.addDays(WatchdogPeriod);
    return SendSwitchWatchdog();
}

bool Watchdog::SendSwitchWatchdog()
{
    WatchdogSlot.Mess = MessageType();
    WatchdogSlot.Free = false;
    WatchdogSlot.Group = words::GROUPCHECK;
    WatchdogSlot.QueueName = words::INPUTQ;

    const DateSerial now = clock_.now();
    MessageType& record = WatchdogSlot.Mess;
    record.Clear();
    record.MessId = kWatchdogMessId;
    record.Created = now;
    record.Source = registration_.clientId();
    record.ComChannel = words::WATCHDOG;
    record.EventLog = now.timeText() + " CREATED ";
    record.Message.clear();
    record.Number.clear();

    if (!queue_.SendToSwitch(record.ConCatMe(), queue_.switchId(), Traffic::Watchdog)) {
        // Queued messages stay tracked: they go again after the next login.
        link_.AddToClientLogRing("-->SwitchWDG TCP Fail");
        queue_.LogForSlot(0, "", "  SU: Failed to send watchdog. Queue kept for the next login.");
        link_.KillConnection();
        return false;
    }
    link_.AddToClientLogRing("-->SwitchWDG");
    return true;
}

}  // namespace smtpin::messages
