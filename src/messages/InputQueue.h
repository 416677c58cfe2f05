#pragma once

#include "CommType.h"
#include "HubLinkPort.h"
#include "MessageType.h"
#include "StatusWords.h"
#include "platform/Controls.h"

#include <array>
#include <cstdint>
#include <string>

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

// The slots of the messages handed to the switch and not yet deleted by
// it, and the records that go to the switch (the gMessageCntrl routines).
// Only the queue changes a slot.
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

    // What may become of a slot GetFreeQueueSlot handed out.
    // A page created here waits in it for its commit: never sent till then.
    void StagePage(int index, const MessageType& record);
    // Its commit is done: it may go, and go again after each login.
    void Unstage(int index);
    // A message the switch sent.
    void PlaceRecord(int index, const MessageType& record);
    // One that would not convert: the slot is free again, its status says why.
    void RefuseRecord(int index, const MessageType& record);
    // A page created before, back from the spool; false when its record
    // text does not read back as that message (the slot stays free).
    bool RestorePage(int index, const std::string& record, std::int32_t messId);
    // The switch deleted the slot's message: free, and no longer one of ours.
    void FreeDeleted(int index);

    static void IncCounter(std::int32_t& counter);
    bool SendToSwitch(const std::string& text, const std::string& target, Traffic traffic = Traffic::Page);
    void SendUpdate(bool logIt, const std::string& word);
    // After a login: every message created here and not yet deleted by the
    // switch goes again with its own id and text, oldest first, and so does
    // the last state word. Answers how many messages went again.
    int ResendAfterLogin();

    // An application log entry about a slot; the slot remembers it as its LastLog.
    void LogForSlot(int slot, const std::string& messageId, const std::string& text);

private:
    std::array<QueueSlot, kSlotCount> InputQue;
    // -1 until a valid "QUEUE_SIZE" was read, so nothing is handed out.
    std::int16_t QueueSize = -1;
    std::int16_t QueuePointer = 0;
    std::int32_t OutgoingCount = 0;
    std::string SwitchId;

    // One application log line each time the queue passes 80% full.
    void watchFill();
    bool nearlyFull_ = false;

    QueueSlot& at(int index) { return InputQue[static_cast<std::size_t>(index)]; }
    void markTaken(int index);

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
};

}  // namespace smtpin::messages
