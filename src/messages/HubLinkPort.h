#pragma once

#include "CommType.h"

#include <string>

namespace smtpin::messages {

// What a record handed to the link is. Only new pages are held to the
// link's buffer limit: a page already answered "250" and the client's own
// control records are never refused because pages are waiting.
enum class Traffic {
    Page,        // a new message: refused while the buffer holds its limit of pages
    Resend,      // a queued message sent again after a login
    Watchdog,    // the switch watchdog: a newer one replaces one still waiting
    StateWord,   // READY / UNAVAIL: a newer one replaces one still waiting
};

// What the queue needs of the hub link: hand over one record, drop the
// connection, note a line in the link's client log.
class HubLinkPort {
public:
    virtual ~HubLinkPort() = default;
    // True when the link took the record (queued or sent).
    virtual bool Send(CommType& record, Traffic traffic) = 0;
    // True when a new page would be taken now, beside the pages staged for
    // the link and not yet handed to it.
    virtual bool PageRoom(int staged) const = 0;
    // True when a record with this text waits in the output buffer.
    virtual bool Waiting(const std::string& message) const = 0;
    virtual void KillConnection() = 0;
    virtual void AddToClientLogRing(const std::string& text) = 0;
};

}  // namespace smtpin::messages
