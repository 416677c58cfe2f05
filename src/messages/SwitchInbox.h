#pragma once

#include "platform/DateSerial.h"

#include <cstdint>
#include <string>

namespace smtpin {
class Clock;
namespace db { class ClientRegistration; }
}  // namespace smtpin

namespace smtpin::messages {

class InputQueue;
class MessageType;
class PageStore;

// The records the switch sends this client (the gSWITCH routines): each is
// read once and applied by its command word.
class SwitchInbox {
public:
    SwitchInbox(const Clock& clock, db::ClientRegistration& registration, InputQueue& queue, PageStore& store);
    SwitchInbox(const SwitchInbox&) = delete;
    SwitchInbox& operator=(const SwitchInbox&) = delete;

    // Applies one record; answers its command word ("" when the text ends
    // before it).
    std::string AddInputQueFromSwitch(const std::string& text);

    // Messages the switch deleted, and when it last did (for the metrics).
    std::uint64_t recordsDeleted() const { return recordsDeleted_; }
    DateSerial lastDelete() const { return lastDelete_; }

private:
    void deleteFromSwitch(const MessageType& received);
    void newMessFromSwitch(const MessageType& received, bool converts, const std::string& text);

    const Clock& clock_;
    db::ClientRegistration& registration_;
    InputQueue& queue_;
    PageStore& store_;
    std::uint64_t recordsDeleted_ = 0;
    DateSerial lastDelete_;
};

}  // namespace smtpin::messages
