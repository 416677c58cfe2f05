#include "SwitchInbox.h"

#include "InputQueue.h"
#include "MessageType.h"
#include "PageStore.h"
#include "StatusWords.h"
#include "db/ClientRegistration.h"
#include "platform/Clock.h"

namespace smtpin::messages {

SwitchInbox::SwitchInbox(const Clock& clock, db::ClientRegistration& registration, InputQueue& queue,
                         PageStore& store)
    : clock_(clock), registration_(registration), queue_(queue), store_(store)
{
}

std::string SwitchInbox::AddInputQueFromSwitch(const std::string& text)
{
    MessageType received;
    std::string unreadable;
    bool converts = false;
    // A partial parse dispatches on what it reached; a field that does not
    // convert (a date written another way) does not stop the rest.
    const bool whole = received.ReadAllFields(text, unreadable, &converts);
    const std::string word = received.ComChannel;
    const bool byId = word == words::DELETE || word == words::NEWMESS;
    if (whole && byId && unreadable.starts_with("MessId ")) {
        // Applied to no message rather than to the wrong one.
        queue_.LogForSlot(-1, "0", " AIQF: Unreadable message id in " + word + " record, ignored: " + unreadable);
        return word;
    }
    if (whole && !unreadable.empty())
        queue_.LogForSlot(-1, std::to_string(received.MessId),
                          " AIQF: Unreadable field " + unreadable + " in " + (word.empty() ? "a" : word) +
                              " record, applied by message id");
    if (word == words::UNAVAIL)
        registration_.SetClientAvailability(received.Source, 0);
    else if (word == words::READY)
        registration_.SetClientAvailability(received.Source, 1);
    else if (word == words::DELETE)
        deleteFromSwitch(received);
    else if (word == words::NEWMESS)
        newMessFromSwitch(received, converts, text);
    return word;
}

void SwitchInbox::deleteFromSwitch(const MessageType& received)
{
    const std::string id = std::to_string(received.MessId);
    const std::int16_t slot = queue_.FindQueuedMessage(received.MessId);
    if (slot >= 0 || store_.ForgetWaiting(received.MessId)) {
        ++recordsDeleted_;
        lastDelete_ = clock_.now();
        if (slot < 0) {
            queue_.LogForSlot(-1, id,
                              "AIQF: Request DELETE message " + id + " (still in the spool, waiting for a slot)");
            return;
        }
    }
    if (slot < 0) {
        queue_.LogForSlot(-1, id, " AIQF: Message not in Q, DELETE not applicable.");
        return;
    }
    queue_.LogForSlot(slot, id, "AIQF: Request DELETE message " + id);
    if (queue_.slot(slot).Group == words::GROUPCHECK)
        store_.Forget(received.MessId);
    queue_.FreeDeleted(slot);
    store_.RefillFreedSlot();
}

// converts: every field converted, none empty where a number or a date
// belongs; only such a record takes a slot.
void SwitchInbox::newMessFromSwitch(const MessageType& received, bool converts, const std::string& text)
{
    // An empty id field is no id: such a record never converts.
    if (!text.starts_with('|') && queue_.FindQueuedMessage(received.MessId) >= 0) {
        queue_.LogForSlot(-1, "0", " AIQF: Message already exists. :" + std::to_string(received.MessId));
        return;
    }
    const std::int16_t slot = queue_.GetFreeQueueSlot();
    if (slot < 0) {
        queue_.LogForSlot(-1, "0", " AIQF: Unable to add to input que. Que is full.");
        return;
    }
    const std::string id = std::to_string(received.MessId);
    if (!converts) {
        queue_.LogForSlot(slot, id, " AIQF: Bad message conversion. <" + std::to_string(slot) + ">");
        queue_.RefuseRecord(slot, received);
        return;
    }
    queue_.PlaceRecord(slot, received);
    queue_.LogForSlot(slot, id, " AIQF: [" + std::to_string(slot) + "] " + text);
    queue_.SetQueueStatus(slot, words::PORTASSIG);
}

}  // namespace smtpin::messages
