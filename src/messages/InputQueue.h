#pragma once

#include "CommType.h"
#include "HubLinkPort.h"
#include "MessageType.h"
#include "StatusWords.h"
#include "platform/Controls.h"
#include "spool/Spool.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace smtpin {
class Clock;
class SystemLog;
namespace db {
class ClientRegistration;
class ClientConfig;
}  // namespace db
}  // namespace smtpin

namespace smtpin::messages {

// One place of the input queue; it always holds a record object.
struct QueueSlot {
    MessageType Mess;
    bool Free = true;
    std::string QueueName = words::NOT_Qued;
    std::string Group = words::NULL_WORD;
    std::string LastLog;
    std::string LastStatus;
    // When the slot was taken, in the queue's own count: sends again go oldest first.
    std::uint64_t Taken = 0;
    // Its page waits for the spool's next commit: not on disk, never sent.
    bool Staged = false;
};

// The messages handed to the switch and not yet deleted by it, and the
// exchange of records with the switch (the gMessageCntrl and gSWITCH routines).
class InputQueue {
public:
    static constexpr int kSlotCount = 302;
    static constexpr std::int16_t kMaxQueueSize = kSlotCount - 1;
    static constexpr std::int32_t kCounterLimit = 1000000000;
    // The request's EDate: 16:00:00 on the zero date.
    static constexpr double kRequestEDate = 2.0 / 3.0;

    // The main window's controls the queue writes.
    struct Controls {
        Label& lbQueSize;
        TextBox& txbOutgoingPkts;
    };

    InputQueue(const Clock& clock, SystemLog& log, Controls controls, db::ClientRegistration& registration,
               db::ClientConfig& config, HubLinkPort& link);
    InputQueue(const InputQueue&) = delete;
    InputQueue& operator=(const InputQueue&) = delete;

    static constexpr std::int16_t ControlSlot = 0;

    QueueSlot& slot(int index) { return InputQue.at(static_cast<std::size_t>(index)); }
    const QueueSlot& slot(int index) const { return InputQue.at(static_cast<std::size_t>(index)); }
    // Highest slot index in use; -1 until a valid "QUEUE_SIZE" was read.
    std::int16_t queueSize() const { return QueueSize; }
    // The slot handed out last.
    std::int16_t queuePointer() const { return QueuePointer; }
    // Records handed to the link, shown on the main window.
    std::int32_t outgoingCount() const { return OutgoingCount; }
    void resetOutgoingCount();
    // The switch's member code, set by start-up.
    const std::string& switchId() const { return SwitchId; }
    void setSwitchId(std::string id) { SwitchId = std::move(id); }
    // Messages the switch deleted, and when it last did (for the metrics).
    std::uint64_t recordsDeleted() const { return RecordsDeleted; }
    DateSerial lastDelete() const { return LastDelete; }
    // Most messages the spool may hold ("SPOOL_MAX").
    int spoolMax() const { return SpoolMax; }
    void setSpoolMax(int n) { SpoolMax = n; }

    // Forgets every message. False when "QUEUE_SIZE" is not a size from 0
    // to 301: the previous size is kept (none before the first valid read).
    bool ResetInputQueue();
    void NextQueueSlot();
    std::int16_t GetFreeQueueSlot();
    // Slots in use, of QueueSize + 1.
    int Depth() const;
    void InitQueueSlot(int index);
    std::int16_t FindQueuedMessage(std::int32_t messId) const;
    void SetQueueStatus(int index, const std::string& word);
    static void IncCounter(std::int32_t& counter);
    bool SendToSwitch(const std::string& text, const std::string& target, Traffic traffic = Traffic::Page);
    void SendUpdate(bool logIt, const std::string& word);
    std::string AddInputQueFromSwitch(const std::string& text);
    // After a login: every message created here and not yet deleted by the
    // switch goes again with its own id and text, oldest first, and so does
    // the last state word. Answers how many messages went again.
    int ResendAfterLogin();

    // The spool that keeps every message created here until its DELETE;
    // without one (tests of the queue alone) nothing is kept on disk.
    void AttachSpool(spool::Spool* spool) { spool_ = spool; }
    // Room in the spool for one more message beside those staged for the
    // next commit; false (said once a minute) when SPOOL_MAX is reached.
    bool SpoolRoom(int staged, std::int32_t messId);
    // Commits the batch to the spool at one sync; false (and logged for
    // each) when the spool refused it: none of them may be answered 250.
    bool KeepInSpool(const std::vector<spool::SpooledMessage>& batch);
    // Takes back a message kept and then refused before its reply.
    void DropFromSpool(std::int32_t messId);
    // At start-up: the spooled messages back into the queue, oldest first;
    // those without a free slot enter as slots free. Answers how many.
    int RestoreFromSpool();
    // Spooled messages still waiting for a free slot.
    int WaitingForSlot() const { return static_cast<int>(waitingForSlot_.size()); }
    // Commits the DELETEs the spool collected (a periodic step).
    void FlushSpool();
    // At the close: says how many messages stay for the next start.
    void CloseSpool();

    // An application log entry about a slot; the slot remembers it as its LastLog.
    void LogForSlot(int slot, const std::string& messageId, const std::string& text);

private:
    std::array<QueueSlot, kSlotCount> InputQue;
    // -1 until a valid "QUEUE_SIZE" was read, so nothing is handed out.
    std::int16_t QueueSize = -1;
    std::int16_t QueuePointer = 0;
    std::int32_t OutgoingCount = 0;
    std::string SwitchId;
    std::uint64_t RecordsDeleted = 0;
    DateSerial LastDelete;
    int SpoolMax;   // the parameter table's default until start-up reads SPOOL_MAX

    // One application log line each time the queue passes 80% full.
    void watchFill();
    bool nearlyFull_ = false;

    void deleteFromSwitch(const MessageType& received);
    void newMessFromSwitch(const std::string& text);
    void markTaken(int index);
    bool restoreInto(int index, const spool::SpooledMessage& message);
    void refillFromSpool();
    bool forgetWaiting(std::int32_t messId);

    const Clock& clock_;
    SystemLog& log_;
    Controls view_;
    db::ClientRegistration& registration_;
    db::ClientConfig& config_;
    HubLinkPort& link_;
    // Control words travel on a record of their own, so a message queued in
    // the control slot is never touched by them.
    MessageType controlRecord_;
    CommType request_;   // the one request record reused for every send
    std::uint64_t taken_ = 0;
    std::string lastWord_;   // the state word the switch should know
    spool::Spool* spool_ = nullptr;
    std::deque<spool::SpooledMessage> waitingForSlot_;
    DateSerial lastFullLog_;
};

}  // namespace smtpin::messages
