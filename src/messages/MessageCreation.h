#pragma once

#include "platform/DateSerial.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

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

// What became of a message handed to SendMessage.
enum class Taken {
    Queued,      // in a slot and with the link, tracked until the switch deletes it
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

    // Queued when the message got a slot and the link took its record; the
    // caller's text is cut to 160 characters either way.
    Taken SendMessage(std::string& message, const std::string& pagerNumber, const std::string& hash,
                     DateSerial requested, const std::string& machine, const std::string& interfaceAddress);
    std::int32_t GetDefMessId();

    // Set by start-up from GetDefMessId.
    std::int32_t DefaultStartMessId = 0;

private:
    // Uniform over [0, 864000], drawn from a generator seeded from the clock now.
    std::int32_t randomOffset();

    const Clock& clock_;
    SystemLog& log_;
    db::CatalogueConnection& db_;
    db::ClientRegistration& registration_;
    InputQueue& queue_;
    HubLinkPort& link_;
    std::mt19937_64 random_;
};

}  // namespace smtpin::messages
