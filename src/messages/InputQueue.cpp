#include "InputQueue.h"

#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
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
    : clock_(clock), log_(log), view_(controls), registration_(registration), config_(config), link_(link)
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

void InputQueue::markTaken(int index) { at(index).Taken = ++taken_; }

void InputQueue::StagePage(int index, const MessageType& record)
{
    QueueSlot& slot = at(index);
    slot.Free = false;
    slot.Staged = true;
    slot.Group = words::GROUPCHECK;
    slot.QueueName = words::INPUTQ;
    slot.Mess = record;
}

void InputQueue::Unstage(int index) { at(index).Staged = false; }

void InputQueue::PlaceRecord(int index, const MessageType& record)
{
    QueueSlot& slot = at(index);
    slot.Mess = record;
    slot.Free = false;
    slot.Mess.status = words::PORTASSIG;
}

void InputQueue::RefuseRecord(int index, const MessageType& record)
{
    QueueSlot& slot = at(index);
    slot.Mess = record;
    slot.Free = true;
    SetQueueStatus(index, words::TCPPKTBAD);
}

bool InputQueue::RestorePage(int index, const std::string& record, std::int32_t messId)
{
    QueueSlot& slot = at(index);
    slot.Mess.Clear();
    if (!slot.Mess.ConvertIntoMtype(record) || slot.Mess.MessId != messId) {
        slot.Mess.Clear();
        slot.Free = true;
        slot.QueueName = words::NOT_Qued;
        return false;
    }
    slot.Free = false;
    slot.Group = words::GROUPCHECK;
    slot.QueueName = words::INPUTQ;
    return true;
}

void InputQueue::FreeDeleted(int index)
{
    QueueSlot& slot = at(index);
    slot.Mess.Clear();
    slot.Free = true;
    // No longer one of ours: a record from the switch may take the slot next.
    slot.Group = words::NULL_WORD;
}

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
    request_.Source = registration_.clientId();
    request_.target = target;
    request_.Userid = registration_.clientId();
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
    controlRecord_.Source = registration_.clientId();
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

}  // namespace smtpin::messages
