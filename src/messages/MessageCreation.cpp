#include "MessageCreation.h"

#include "HubLinkPort.h"
#include "InputQueue.h"
#include "PageStore.h"
#include "StatusWords.h"
#include "db/CatalogueConnection.h"
#include "db/ClientRegistration.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"

#include <bit>
#include <cmath>
#include <limits>
#include <optional>

namespace smtpin::messages {

MessageCreation::MessageCreation(const Clock& clock, SystemLog& log, db::CatalogueConnection& db,
                                 db::ClientRegistration& registration, InputQueue& queue, PageStore& store,
                                 HubLinkPort& link)
    : clock_(clock), log_(log), db_(db), registration_(registration), queue_(queue), store_(store), link_(link)
{
    // Zero time: the mails that ended in this pass of the event loop go
    // together, once it has handled what was pending.
    commitTimer_.setSingleShot(true);
    commitTimer_.setInterval(0);
    QObject::connect(&commitTimer_, &QTimer::timeout, [this] { commitPending(); });
}

PageOutcome MessageCreation::Submit(PageRequest& page, Done done)
{
    std::string& message = page.message;
    if (message.size() > kMaxMessageLength) {
        log_.ApplicationLine("  SM: Message of " + std::to_string(message.size()) + " characters cut to " +
                             std::to_string(kMaxMessageLength));
        message.resize(kMaxMessageLength);
    }
    if (!link_.PageRoom(staged())) {
        log_.ApplicationLine("  SM: Link buffer full, message refused");
        return PageOutcome::LinkBusy;
    }
    const std::int16_t index = queue_.GetFreeQueueSlot();
    if (index < 0) {
        log_.ApplicationLine("  SM: Que full");
        return PageOutcome::QueueFull;
    }
    MessageType record;
    record.NewMessage(registration_, clock_);
    record.ComChannel = words::NEWMESS;
    record.EventLog = clock_.now().timeText() + " CREATED ";
    record.Message = message;
    record.Number = page.pagerNumber;
    record.status = words::PORTASSIG;
    record.Hash = page.hash;
    record.Created = page.requested;
    record.Machine = page.machine;
    record.InterfaceAddress = page.interfaceAddress;

    if (record.MessId == 0) {
        // An id that may repeat is never used: the sender tries again later.
        queue_.InitQueueSlot(index);
        return PageOutcome::NoMessageId;
    }
    if (!store_.SpoolRoom(staged(), record.MessId)) {
        queue_.InitQueueSlot(index);
        return PageOutcome::SpoolFull;
    }
    queue_.StagePage(index, record);
    staged_.push_back({index, {record.MessId, record.ConCatMe(), clock_.now().toDateTime().toMSecsSinceEpoch()},
                       std::move(done)});
    // Started once per batch: started again, it would wait behind every new event.
    if (!commitTimer_.isActive())
        commitTimer_.start();
    return PageOutcome::Pending;
}

PageOutcome MessageCreation::SendMessage(PageRequest& page)
{
    PageOutcome answer = PageOutcome::CannotStore;
    const PageOutcome now = Submit(page, [&answer](PageOutcome t) { answer = t; });
    if (now != PageOutcome::Pending)
        return now;
    commitPending();
    return answer;
}

void MessageCreation::commitPending()
{
    commitTimer_.stop();
    if (staged_.empty())
        return;
    // Answers may start new mails on their sessions: those form the next batch.
    std::vector<StagedPage> batch;
    batch.swap(staged_);
    // A link lost since the pages were staged has room for fewer: those
    // beyond it are refused before anything is written.
    std::vector<PageOutcome> answers(batch.size(), PageOutcome::Queued);
    std::vector<spool::SpooledMessage> kept;
    kept.reserve(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (link_.PageRoom(static_cast<int>(kept.size()))) {
            kept.push_back(batch[i].kept);
            continue;
        }
        answers[i] = PageOutcome::LinkBusy;
        queue_.InitQueueSlot(batch[i].slot);
        log_.UpdateSystemLog(-1, log_.ApplicationList, std::to_string(batch[i].kept.messId),
                             "  SM: Link buffer full, message refused and slot freed");
    }
    // On disk before anything goes to the switch or answers 250; the spool
    // logs why it would not.
    const bool onDisk = kept.empty() || store_.KeepInSpool(kept);
    for (std::size_t i = 0; i < batch.size(); ++i)
        if (answers[i] == PageOutcome::Queued)
            answers[i] = handOver(batch[i], onDisk);
    for (std::size_t i = 0; i < batch.size(); ++i)
        if (batch[i].done)
            batch[i].done(answers[i]);
}

PageOutcome MessageCreation::handOver(const StagedPage& page, bool kept)
{
    queue_.Unstage(page.slot);
    if (!kept) {
        queue_.InitQueueSlot(page.slot);
        return PageOutcome::CannotStore;
    }
    const std::string id = std::to_string(page.kept.messId);
    if (!queue_.SendToSwitch(page.kept.record, queue_.switchId(), Traffic::Page)) {
        // Refused, so the sender keeps the mail and tries again later.
        store_.DropFromSpool(page.kept.messId);
        queue_.InitQueueSlot(page.slot);
        log_.UpdateSystemLog(-1, log_.ApplicationList, id, "  SM: Link buffer full, message refused and slot freed");
        return PageOutcome::LinkBusy;
    }
    link_.AddToClientLogRing("-->MSG");
    queue_.LogForSlot(page.slot, id, "  SM: Adding new mess " + page.kept.record);
    return PageOutcome::Queued;
}

std::int32_t MessageCreation::randomOffset()
{
    random_.seed(std::bit_cast<std::uint64_t>(clock_.now().days()));
    const double unit = static_cast<double>(random_() >> 11) * 0x1.0p-53;   // [0, 1)
    return static_cast<std::int32_t>(std::nearbyint(unit * kStartBand));
}

std::int32_t MessageCreation::GetDefMessId()
{
    // Each way it can fail has its own base, so the log tells which it was.
    std::int32_t base = kNoDatabaseBase;
    const auto start = db_.guarded({"GDMI: Unable to access connection to database for next message id.",
                                    "GDMI: Unable to access database for next message id."},
                                   [&]() -> std::optional<std::int64_t> {
                                       base = kDatabaseErrorBase;
                                       db::Recordset rs = db_.OpenRecordset(
                                           "SELECT * FROM HXSSystem WHERE ([Description] = 'DefMessIdSystem') ");
                                       if (!rs.next())
                                           return std::nullopt;
                                       const std::int64_t value = std::int64_t{rs.int32("Value")} + randomOffset();
                                       if (value > std::numeric_limits<std::int32_t>::max())
                                           throw db::DatabaseFault{"Overflow"};
                                       return value;
                                   });
    if (!start)
        return base + randomOffset();
    if (!*start)
        return kNoRowBase + randomOffset();
    return static_cast<std::int32_t>(**start);
}

}  // namespace smtpin::messages
