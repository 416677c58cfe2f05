#pragma once

#include "platform/DateSerial.h"
#include "spool/Spool.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace smtpin {
class Clock;
class SystemLog;
}  // namespace smtpin

namespace smtpin::messages {

class InputQueue;

// The pages created here, kept in the spool from before their 250 until
// the switch deletes them, and brought back into the queue at a start.
class PageStore {
public:
    PageStore(const Clock& clock, SystemLog& log, InputQueue& queue);
    PageStore(const PageStore&) = delete;
    PageStore& operator=(const PageStore&) = delete;

    // The spool that keeps every message created here until its DELETE;
    // without one (tests of the queue alone) nothing is kept on disk.
    void AttachSpool(spool::Spool* spool) { spool_ = spool; }
    // Most messages the spool may hold ("SPOOL_MAX").
    int spoolMax() const { return spoolMax_; }
    void setSpoolMax(int n) { spoolMax_ = n; }

    // Room in the spool for one more message beside those staged for the
    // next commit; false (said once a minute) when SPOOL_MAX is reached.
    bool SpoolRoom(int staged, std::int32_t messId);
    // Commits the batch to the spool at one sync; false (and logged for
    // each) when the spool refused it: none of them may be answered 250.
    bool KeepInSpool(const std::vector<spool::SpooledMessage>& batch);
    // Takes back a message kept and then refused before its reply.
    void DropFromSpool(std::int32_t messId);
    // The switch deleted a message kept here: gone at the next flush.
    void Forget(std::int32_t messId);
    // At start-up: the spooled messages back into the queue, oldest first;
    // those without a free slot enter as slots free. Answers how many.
    int RestoreFromSpool();
    // Spooled messages still waiting for a free slot.
    int WaitingForSlot() const { return static_cast<int>(waitingForSlot_.size()); }
    // A message the switch deleted while it still waited for a slot (sent
    // by the run before): forgotten; false when none such waits.
    bool ForgetWaiting(std::int32_t messId);
    // A slot came free: the oldest message waiting takes it and goes to the
    // switch like any message not yet deleted.
    void RefillFreedSlot();
    // Commits the DELETEs the spool collected (a periodic step).
    void FlushSpool();
    // At the close: says how many messages stay for the next start.
    void CloseSpool();

private:
    void logFor(std::int32_t messId, const std::string& text);

    const Clock& clock_;
    SystemLog& log_;
    InputQueue& queue_;
    spool::Spool* spool_ = nullptr;
    int spoolMax_;   // the parameter table's default until start-up reads SPOOL_MAX
    std::deque<spool::SpooledMessage> waitingForSlot_;
    DateSerial lastFullLog_;
};

}  // namespace smtpin::messages
