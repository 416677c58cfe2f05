#pragma once

#include "platform/DateSerial.h"
#include "platform/PageRequest.h"
#include "spool/Spool.h"

#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace smtpin {
class Clock;
class SystemLog;
namespace db {
class CatalogueConnection;
class ClientRegistration;
}  // namespace db
}  // namespace smtpin

namespace smtpin::messages {

class HubLinkPort;
class InputQueue;
class PageStore;

// Turns an extracted pager message into a queued record sent to the switch,
// and finds where this run's fallback message identifiers start (the
// gModuleSpecific routines).
class MessageCreation final : public PageSink {
public:
    static constexpr std::size_t kMaxMessageLength = 160;
    // Each run starts its identifiers somewhere in a band this wide above the base.
    static constexpr double kStartBand = 864000.0;
    static constexpr std::int32_t kNoRowBase = 6000000;
    static constexpr std::int32_t kNoDatabaseBase = 7000000;
    static constexpr std::int32_t kDatabaseErrorBase = 8000000;

    MessageCreation(const Clock& clock, SystemLog& log, db::CatalogueConnection& db,
                    db::ClientRegistration& registration, InputQueue& queue, PageStore& store, HubLinkPort& link);

    // Takes a slot and stages the page for the next commit (Pending; done
    // gets Queued, CannotStore or LinkBusy after that commit), or refuses
    // it now. The caller's text is cut to 160 characters either way.
    PageOutcome Submit(PageRequest& page, Done done) override;
    // Submit and its commit at once: the final answer.
    PageOutcome SendMessage(PageRequest& page);
    // Every staged page to disk in one transaction and one sync, then to
    // the link, then its answer, in the order staged. Runs by itself once
    // the event loop has handled what was pending.
    void commitPending();
    int staged() const { return static_cast<int>(staged_.size()); }
    std::int32_t GetDefMessId();

private:
    struct StagedPage {
        std::int16_t slot;
        spool::SpooledMessage kept;
        Done done;
    };
    // After the commit: the page to the link, or its slot back.
    PageOutcome handOver(const StagedPage& page, bool kept);

    // Uniform over [0, 864000], drawn from a generator seeded from the clock now.
    std::int32_t randomOffset();

    const Clock& clock_;
    SystemLog& log_;
    db::CatalogueConnection& db_;
    db::ClientRegistration& registration_;
    InputQueue& queue_;
    PageStore& store_;
    HubLinkPort& link_;
    std::mt19937_64 random_;
    std::vector<StagedPage> staged_;
    QTimer commitTimer_;
};

}  // namespace smtpin::messages
