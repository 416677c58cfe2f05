#include "InputQueue.h"

#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
#include "db/Parameters.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

#include <algorithm>
#include <vector>

namespace smtpin::messages {
namespace {

bool inQueueArray(int index) { return index >= 0 && index < InputQueue::kSlotCount; }

}  // namespace

InputQueue::InputQueue(const Clock& clock, SystemLog& log, Controls controls, db::ClientRegistration& registration,
                       db::ClientConfig& config, HubLinkPort& link)
    : SpoolMax(db::ParameterNamed("SPOOL_MAX").emptyNumber), clock_(clock), log_(log), view_(controls),
      registration_(registration), config_(config), link_(link)
{
}

void InputQueue::LogForSlot(int slot, const std::string& messageId, const std::string& text)
{
    if (inQueueArray(slot))
        InputQue[static_cast<std::size_t>(slot)].LastLog = text;
    log_.UpdateSystemLog(slot, log_.ApplicationList, messageId, text);
}

bool InputQueue::ResetInputQueue()
{
    const std::string value = config_.GetConfigParameter("QUEUE_SIZE");
    const auto size = toInt16(value);
    const bool valid = size && *size >= 0 && *size <= kMaxQueueSize;
    if (valid) {
        QueueSize = *size;
    } else if (QueueSize >= 0) {
        log_.ApplicationLine("  RIQ: QUEUE_SIZE '" + value + "' is not valid, keeping " + std::to_string(QueueSize));
    } else {
        log_.ApplicationLine("  RIQ: QUEUE_SIZE '" + value + "' is not valid, the queue has no slots");
    }
    // The slots a page can take, 0 to QUEUE_SIZE: the figure /metrics gives too.
    view_.lbQueSize.setCaption("Input Queue Size = " + std::to_string(QueueSize + 1));
    // Every slot, not only those in use: a size read later must not uncover
    // messages left from before.
    for (int i = 0; i < kSlotCount; ++i) {
        InputQue[static_cast<std::size_t>(i)].Mess = MessageType();
        InitQueueSlot(i);
    }
    QueuePointer = 0;
    return valid;
}

void InputQueue::InitQueueSlot(int index)
{
    if (!inQueueArray(index))
        return;
    QueueSlot& slot = InputQue[static_cast<std::size_t>(index)];
    slot.Free = true;
    slot.Staged = false;
    slot.Mess.Clear();
    slot.QueueName = words::NOT_Qued;
    slot.Group = words::NULL_WORD;
    slot.LastLog.clear();
    slot.LastStatus.clear();
    log_.ClearRepeatKey(index);
}

void InputQueue::resetOutgoingCount()
{
    OutgoingCount = 0;
    view_.txbOutgoingPkts.setText("0");
}

void InputQueue::NextQueueSlot()
{
    QueuePointer = static_cast<std::int16_t>(QueuePointer + 1);
    if (QueuePointer > QueueSize)
        QueuePointer = 0;
}

std::int16_t InputQueue::GetFreeQueueSlot()
{
    NextQueueSlot();
    if (QueueSize < 0)
        return -1;
    for (int probed = 0; probed <= QueueSize; ++probed) {
        QueueSlot& slot = InputQue[static_cast<std::size_t>(QueuePointer)];
        if (slot.Free) {
            slot.Free = false;
            slot.QueueName = words::INPUTQ;
            markTaken(QueuePointer);
            watchFill();
            return QueuePointer;
        }
        NextQueueSlot();
    }
    return -1;
}

int InputQueue::Depth() const
{
    int used = 0;
    for (int i = 0; i <= QueueSize && i < kSlotCount; ++i)
        used += InputQue[static_cast<std::size_t>(i)].Free ? 0 : 1;
    return used;
}

void InputQueue::watchFill()
{
    const int size = QueueSize + 1;
    const int used = Depth();
    if (!nearlyFull_ && used * 5 > size * 4) {
        nearlyFull_ = true;
        log_.ApplicationLine("  SM: Input queue above 80% full (" + std::to_string(used) + " of " +
                             std::to_string(size) + " slots)");
    } else if (nearlyFull_ && used * 10 < size * 7) {
        nearlyFull_ = false;
    }
}

void InputQueue::markTaken(int index) { InputQue[static_cast<std::size_t>(index)].Taken = ++taken_; }

std::int16_t InputQueue::FindQueuedMessage(std::int32_t messId) const
{
    for (int i = 0; i <= QueueSize; ++i) {
        const QueueSlot& slot = InputQue[static_cast<std::size_t>(i)];
        if (!slot.Free && slot.Mess.MessId == messId)
            return static_cast<std::int16_t>(i);
    }
    return -1;
}

void InputQueue::SetQueueStatus(int index, const std::string& word)
{
    if (!inQueueArray(index))
        return;
    QueueSlot& slot = InputQue[static_cast<std::size_t>(index)];
    slot.Mess.status = word;
    if (slot.LastStatus != word)
        slot.Mess.EventLog += " " + clock_.now().timeText() + " " + word;
    slot.LastStatus = word;
}

void InputQueue::IncCounter(std::int32_t& counter)
{
    if (counter > kCounterLimit)
        counter = 1;
    else
        ++counter;
}

bool InputQueue::SendToSwitch(const std::string& text, const std::string& target, Traffic traffic)
{
    request_.Clear();
    request_.EDate = DateSerial(kRequestEDate);
    request_.Message = text;
    request_.SDate = clock_.now();
    request_.Source = registration_.ClientId;
    request_.target = target;
    request_.Userid = registration_.ClientId;
    const bool sent = link_.Send(request_, traffic);
    if (sent) {
        IncCounter(OutgoingCount);
        view_.txbOutgoingPkts.setText(std::to_string(OutgoingCount));
    }
    return sent;
}

void InputQueue::SendUpdate(bool logIt, const std::string& word)
{
    controlRecord_.Clear();
    controlRecord_.ComChannel = word;
    controlRecord_.Source = registration_.ClientId;
    lastWord_ = word;
    if (!SendToSwitch(controlRecord_.ConCatMe(), SwitchId, Traffic::StateWord)) {
        // The messages stay tracked: they go again after the next login.
        LogForSlot(ControlSlot, std::to_string(controlRecord_.MessId),
                   "  SU: SendControl Message failed. Queue kept for the next login.");
        link_.KillConnection();
    } else {
        link_.AddToClientLogRing("-->UPDATE");
        link_.AddToClientLogRing("-->CONTROL " + word);
    }
    if (logIt)
        LogForSlot(ControlSlot, std::to_string(controlRecord_.MessId), controlRecord_.ComChannel);
}

int InputQueue::ResendAfterLogin()
{
    // Chosen before any goes: the first send flushes what still waited from
    // before the login, and that must not be sent twice.
    std::vector<int> again;
    for (int i = 0; i <= QueueSize; ++i) {
        const QueueSlot& slot = InputQue[static_cast<std::size_t>(i)];
        if (!slot.Free && !slot.Staged && slot.Group == words::GROUPCHECK && slot.Mess.ComChannel == words::NEWMESS &&
            !link_.Waiting(slot.Mess.ConCatMe()))
            again.push_back(i);
    }
    std::sort(again.begin(), again.end(), [this](int a, int b) {
        return InputQue[static_cast<std::size_t>(a)].Taken < InputQue[static_cast<std::size_t>(b)].Taken;
    });
    int sent = 0;
    for (int i : again) {
        const MessageType& m = InputQue[static_cast<std::size_t>(i)].Mess;
        if (SendToSwitch(m.ConCatMe(), SwitchId, Traffic::Resend)) {
            ++sent;
            LogForSlot(i, std::to_string(m.MessId), "  RS: Sent again after login " + std::to_string(m.MessId));
        }
    }
    if (!lastWord_.empty())
        SendUpdate(false, lastWord_);
    return sent;
}

std::string InputQueue::AddInputQueFromSwitch(const std::string& text)
{
    MessageType received;
    std::string unreadable;
    // A partial parse dispatches on what it reached; a field that does not
    // convert (a date written another way) does not stop the rest.
    const bool whole = received.ReadAllFields(text, unreadable);
    const std::string word = received.ComChannel;
    const bool byId = word == words::DELETE || word == words::NEWMESS;
    if (whole && byId && unreadable.starts_with("MessId ")) {
        // Applied to no message rather than to the wrong one.
        LogForSlot(-1, "0", " AIQF: Unreadable message id in " + word + " record, ignored: " + unreadable);
        return word;
    }
    if (whole && !unreadable.empty())
        LogForSlot(-1, std::to_string(received.MessId),
                   " AIQF: Unreadable field " + unreadable + " in " + (word.empty() ? "a" : word) +
                       " record, applied by message id");
    if (word == words::UNAVAIL)
        registration_.SetClientAvailability(received.Source, 0);
    else if (word == words::READY)
        registration_.SetClientAvailability(received.Source, 1);
    else if (word == words::DELETE)
        deleteFromSwitch(received);
    else if (word == words::NEWMESS)
        newMessFromSwitch(text);
    return word;
}

void InputQueue::deleteFromSwitch(const MessageType& received)
{
    const std::string id = std::to_string(received.MessId);
    const std::int16_t slot = FindQueuedMessage(received.MessId);
    if (slot >= 0 || forgetWaiting(received.MessId)) {
        ++RecordsDeleted;
        LastDelete = clock_.now();
        if (slot < 0) {
            LogForSlot(-1, id, "AIQF: Request DELETE message " + id + " (still in the spool, waiting for a slot)");
            return;
        }
    }
    if (slot < 0) {
        LogForSlot(-1, id, " AIQF: Message not in Q, DELETE not applicable.");
        return;
    }
    LogForSlot(slot, id, "AIQF: Request DELETE message " + id);
    QueueSlot& s = InputQue[static_cast<std::size_t>(slot)];
    if (spool_ && s.Group == words::GROUPCHECK)
        spool_->Forget(received.MessId);
    s.Mess.Clear();
    s.Free = true;
    // No longer one of ours: a record from the switch may take the slot next.
    s.Group = words::NULL_WORD;
    refillFromSpool();
}

void InputQueue::newMessFromSwitch(const std::string& text)
{
    // Dispatch reached the last field, so the first one converted.
    const auto id = toInt32(text.substr(0, text.find('|')));
    if (id && FindQueuedMessage(*id) >= 0) {
        LogForSlot(-1, "0", " AIQF: Message already exists. :" + std::to_string(*id));
        return;
    }
    const std::int16_t slot = GetFreeQueueSlot();
    if (slot < 0) {
        LogForSlot(-1, "0", " AIQF: Unable to add to input que. Que is full.");
        return;
    }
    QueueSlot& s = InputQue[static_cast<std::size_t>(slot)];
    s.Mess.Clear();
    if (!s.Mess.ConvertIntoMtype(text)) {
        s.Free = true;
        LogForSlot(slot, std::to_string(s.Mess.MessId),
                   " AIQF: Bad message conversion. <" + std::to_string(slot) + ">");
        SetQueueStatus(slot, words::TCPPKTBAD);
        return;
    }
    s.Free = false;
    s.Mess.status = words::PORTASSIG;
    LogForSlot(slot, std::to_string(s.Mess.MessId), " AIQF: [" + std::to_string(slot) + "] " + text);
    SetQueueStatus(slot, words::PORTASSIG);
}

}  // namespace smtpin::messages

namespace smtpin::messages {

bool InputQueue::SpoolRoom(int staged, std::int32_t messId)
{
    if (!spool_ || spool_->Count() + staged < SpoolMax)
        return true;
    // Said once a minute, not once a mail.
    if (lastFullLog_.isZero() || clock_.now().days() - lastFullLog_.days() >= 60.0 / 86400.0) {
        lastFullLog_ = clock_.now();
        log_.UpdateSystemLog(-1, log_.ApplicationList, std::to_string(messId),
                             "  SP: Spool full (" + std::to_string(SpoolMax) + " messages), new mail refused");
    }
    return false;
}

bool InputQueue::KeepInSpool(const std::vector<spool::SpooledMessage>& batch)
{
    if (!spool_)
        return true;
    std::string why;
    if (spool_->KeepAll(batch, &why))
        return true;
    for (const spool::SpooledMessage& m : batch) {
        const std::string id = std::to_string(m.messId);
        log_.UpdateSystemLog(-1, log_.ApplicationList, id, "  SP: Spool did not keep message " + id + ": " + why);
    }
    return false;
}

void InputQueue::DropFromSpool(std::int32_t messId)
{
    if (spool_ && !spool_->Drop(messId))
        log_.UpdateSystemLog(-1, log_.ApplicationList, std::to_string(messId),
                             "  SP: Could not take message " + std::to_string(messId) + " back out of the spool");
}

void InputQueue::FlushSpool()
{
    if (spool_ && !spool_->FlushForgotten())
        log_.ApplicationLine("  SP: Spool did not take the last DELETEs, trying again");
}

// A message restored from the spool and still outside the queue that the
// switch deletes (sent by the run before): it needs no slot any more.
bool InputQueue::forgetWaiting(std::int32_t messId)
{
    const auto it = std::find_if(waitingForSlot_.begin(), waitingForSlot_.end(),
                                 [messId](const spool::SpooledMessage& m) { return m.messId == messId; });
    if (it == waitingForSlot_.end())
        return false;
    waitingForSlot_.erase(it);
    if (spool_)
        spool_->Forget(messId);
    return true;
}

void InputQueue::CloseSpool()
{
    if (!spool_ || !spool_->IsOpen())
        return;
    spool_->FlushForgotten();
    log_.ApplicationLine("  SP: " + std::to_string(spool_->Count()) + " messages stay spooled for the next start");
    spool_->Close();
}

bool InputQueue::restoreInto(int index, const spool::SpooledMessage& message)
{
    QueueSlot& slot = InputQue[static_cast<std::size_t>(index)];
    slot.Mess.Clear();
    if (!slot.Mess.ConvertIntoMtype(message.record) || slot.Mess.MessId != message.messId) {
        slot.Mess.Clear();
        slot.Free = true;
        slot.QueueName = words::NOT_Qued;
        log_.UpdateSystemLog(-1, log_.ApplicationList, std::to_string(message.messId),
                             "  SP: Spooled message " + std::to_string(message.messId) +
                                 " cannot be read, left in the spool");
        return false;
    }
    slot.Free = false;
    slot.Group = words::GROUPCHECK;
    slot.QueueName = words::INPUTQ;
    return true;
}

int InputQueue::RestoreFromSpool()
{
    waitingForSlot_.clear();
    if (!spool_)
        return 0;
    std::string why;
    int restored = 0;
    for (auto& message : spool_->All(&why)) {
        if (FindQueuedMessage(message.messId) >= 0)
            continue;
        if (!waitingForSlot_.empty()) {
            waitingForSlot_.push_back(std::move(message));
            continue;
        }
        const std::int16_t index = GetFreeQueueSlot();
        if (index < 0) {
            waitingForSlot_.push_back(std::move(message));
            continue;
        }
        if (restoreInto(index, message)) {
            ++restored;
            LogForSlot(index, std::to_string(message.messId),
                       "  SP: Restored message " + std::to_string(message.messId) + " from the spool");
        }
    }
    if (!why.empty())
        log_.ApplicationLine("  SP: Spool could not be read: " + why);
    log_.ApplicationLine("  SP: " + std::to_string(restored) + " messages restored from the spool, " +
                         std::to_string(waitingForSlot_.size()) + " waiting for a free slot");
    return restored;
}

// A slot came free: the oldest spooled message still outside the queue
// takes it and goes to the switch like any message not yet deleted.
void InputQueue::refillFromSpool()
{
    while (!waitingForSlot_.empty()) {
        const std::int16_t index = GetFreeQueueSlot();
        if (index < 0)
            return;
        const spool::SpooledMessage message = std::move(waitingForSlot_.front());
        waitingForSlot_.pop_front();
        if (!restoreInto(index, message))
            continue;
        const std::string id = std::to_string(message.messId);
        LogForSlot(index, id, "  SP: Message " + id + " from the spool takes a freed slot");
        SendToSwitch(InputQue[static_cast<std::size_t>(index)].Mess.ConCatMe(), SwitchId, Traffic::Resend);
        return;
    }
}

}  // namespace smtpin::messages
