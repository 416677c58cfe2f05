#include "PageStore.h"

#include "InputQueue.h"
#include "db/Parameters.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"

#include <algorithm>

namespace smtpin::messages {

PageStore::PageStore(const Clock& clock, SystemLog& log, InputQueue& queue)
    : clock_(clock), log_(log), queue_(queue), spoolMax_(db::ParameterNamed("SPOOL_MAX").emptyNumber)
{
}

void PageStore::logFor(std::int32_t messId, const std::string& text)
{
    log_.UpdateSystemLog(-1, log_.ApplicationList, std::to_string(messId), text);
}

bool PageStore::SpoolRoom(int staged, std::int32_t messId)
{
    if (!spool_ || spool_->Count() + staged < spoolMax_)
        return true;
    // Said once a minute, not once a mail.
    if (lastFullLog_.isZero() || clock_.now().days() - lastFullLog_.days() >= 60.0 / 86400.0) {
        lastFullLog_ = clock_.now();
        logFor(messId, "  SP: Spool full (" + std::to_string(spoolMax_) + " messages), new mail refused");
    }
    return false;
}

bool PageStore::KeepInSpool(const std::vector<spool::SpooledMessage>& batch)
{
    if (!spool_)
        return true;
    std::string why;
    if (spool_->KeepAll(batch, &why))
        return true;
    for (const spool::SpooledMessage& m : batch)
        logFor(m.messId, "  SP: Spool did not keep message " + std::to_string(m.messId) + ": " + why);
    return false;
}

void PageStore::DropFromSpool(std::int32_t messId)
{
    if (spool_ && !spool_->Drop(messId))
        logFor(messId, "  SP: Could not take message " + std::to_string(messId) + " back out of the spool");
}

void PageStore::Forget(std::int32_t messId)
{
    if (spool_)
        spool_->Forget(messId);
}

void PageStore::FlushSpool()
{
    if (spool_ && !spool_->FlushForgotten())
        log_.ApplicationLine("  SP: Spool did not take the last DELETEs, trying again");
}

bool PageStore::ForgetWaiting(std::int32_t messId)
{
    const auto it = std::find_if(waitingForSlot_.begin(), waitingForSlot_.end(),
                                 [messId](const spool::SpooledMessage& m) { return m.messId == messId; });
    if (it == waitingForSlot_.end())
        return false;
    waitingForSlot_.erase(it);
    Forget(messId);
    return true;
}

void PageStore::CloseSpool()
{
    if (!spool_ || !spool_->IsOpen())
        return;
    spool_->FlushForgotten();
    log_.ApplicationLine("  SP: " + std::to_string(spool_->Count()) + " messages stay spooled for the next start");
    spool_->Close();
}

int PageStore::RestoreFromSpool()
{
    waitingForSlot_.clear();
    if (!spool_)
        return 0;
    std::string why;
    int restored = 0;
    for (auto& message : spool_->All(&why)) {
        if (queue_.FindQueuedMessage(message.messId) >= 0)
            continue;
        if (!waitingForSlot_.empty()) {
            waitingForSlot_.push_back(std::move(message));
            continue;
        }
        const std::int16_t index = queue_.GetFreeQueueSlot();
        if (index < 0) {
            waitingForSlot_.push_back(std::move(message));
            continue;
        }
        const std::string id = std::to_string(message.messId);
        if (!queue_.RestorePage(index, message.record, message.messId)) {
            logFor(message.messId, "  SP: Spooled message " + id + " cannot be read, left in the spool");
            continue;
        }
        ++restored;
        queue_.LogForSlot(index, id, "  SP: Restored message " + id + " from the spool");
    }
    if (!why.empty())
        log_.ApplicationLine("  SP: Spool could not be read: " + why);
    log_.ApplicationLine("  SP: " + std::to_string(restored) + " messages restored from the spool, " +
                         std::to_string(waitingForSlot_.size()) + " waiting for a free slot");
    return restored;
}

void PageStore::RefillFreedSlot()
{
    while (!waitingForSlot_.empty()) {
        const std::int16_t index = queue_.GetFreeQueueSlot();
        if (index < 0)
            return;
        const spool::SpooledMessage message = std::move(waitingForSlot_.front());
        waitingForSlot_.pop_front();
        const std::string id = std::to_string(message.messId);
        if (!queue_.RestorePage(index, message.record, message.messId)) {
            logFor(message.messId, "  SP: Spooled message " + id + " cannot be read, left in the spool");
            continue;
        }
        queue_.LogForSlot(index, id, "  SP: Message " + id + " from the spool takes a freed slot");
        queue_.SendToSwitch(queue_.slot(index).Mess.ConCatMe(), queue_.switchId(), Traffic::Resend);
        return;
    }
}

}  // namespace smtpin::messages
