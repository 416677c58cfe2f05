#pragma once

#include "platform/DateSerial.h"
#include "platform/PageRequest.h"
#include "spool/Spool.h"

#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <functional>
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

// What became of a message handed to SendMessage or Submit.
enum class Taken {
    Queued,      // on disk, in a slot and with the link, tracked until the switch deletes it
    Staged,      // waits for the next commit; the answer comes then
    QueueFull,   // no free slot
    LinkBusy,    // the link's buffer holds its limit of pages
    SpoolFull,      // the spool holds SPOOL_MAX pages
    SpoolFailed,    // the spool could not write or commit it
    NoMessageId,    // no reserved message id left and none could be drawn
};

// Turns an extracted pager message into a queued record sent to the switch,
// and finds where this run's fallback message identifiers start (the
// gModuleSpecific routines).
class MessageCreation {
public:
    static constexpr std::size_t kMaxMessageLength = 160;
    // Each run starts its identifiers somewhere in a band this wide above the base.
    static constexpr double kStartBand = 864000.0;
    static constexpr std::int32_t kNoRowBase = 6000000;
    static constexpr std::int32_t kNoDatabaseBase = 7000000;
    static constexpr std::int32_t kDatabaseErrorBase = 8000000;

    MessageCreation(const Clock& clock, SystemLog& log, db::CatalogueConnection& db,
                    db::ClientRegistration& registration, InputQueue& queue, HubLinkPort& link);

    // The answer for a staged page, once its commit is done: Queued,
    // SpoolFailed or LinkBusy.
    using Done = std::function<void(Taken)>;

    // Takes a slot and stages the page for the next commit (Staged; done
    // is called after that commit), or refuses it now (done is never
    // called). The caller's text is cut to 160 characters either way.
    Taken Submit(PageRequest& page, Done done);
    // Submit and its commit at once: the final answer.
    Taken SendMessage(PageRequest& page);
    // Every staged page to disk in one transaction and one sync, then to
    // the link, then its answer, in the order staged. Runs by itself once
    // the event loop has handled what was pending.
    void commitPending();
    int staged() const { return static_cast<int>(staged_.size()); }
    std::int32_t GetDefMessId();

    // Set by start-up from GetDefMessId.
    std::int32_t DefaultStartMessId = 0;

private:
    struct StagedPage {
        std::int16_t slot;
        spool::SpooledMessage kept;
        Done done;
    };
    // After the commit: the page to the link, or its slot back.
    Taken handOver(const StagedPage& page, bool kept);

    // Uniform over [0, 864000], drawn from a generator seeded from the clock now.
    std::int32_t randomOffset();

    const Clock& clock_;
    SystemLog& log_;
    db::CatalogueConnection& db_;
    db::ClientRegistration& registration_;
    InputQueue& queue_;
    HubLinkPort& link_;
    std::mt19937_64 random_;
    std::vector<StagedPage> staged_;
    QTimer commitTimer_;
};

}  // namespace smtpin::messages
