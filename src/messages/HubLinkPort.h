#pragma once

#include "CommType.h"

#include <string>

namespace smtpin::messages {

// What the queue needs of the hub link: hand over one record, drop the
// connection, note a line in the link's client log.
class HubLinkPort {
public:
    virtual ~HubLinkPort() = default;
    // True when the link took the record (queued or sent).
    virtual bool Send(CommType& record) = 0;
    virtual void KillConnection() = 0;
    virtual void AddToClientLogRing(const std::string& text) = 0;
};

}  // namespace smtpin::messages
