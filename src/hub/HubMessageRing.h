#pragma once

#include "messages/CommType.h"

#include <array>
#include <functional>
#include <string>

namespace smtpin::hub {

class CommDisplay;

// The owner window's side of the link: takes each received data packet
// addressed to this client and hands the texts on one at a time.
class HubMessageRing {
public:
    static constexpr int kSlots = 101;
    using UserId = std::function<std::string()>;
    using Deliver = std::function<void(std::string&)>;

    HubMessageRing(CommDisplay& client, UserId userId, Deliver deliver);

    void client_ReceivedData(const messages::CommType& record);
    void DeliverHubMessage();
    int waiting() const;

    messages::CommType HubRecord;

private:
    CommDisplay& client_;
    UserId userId_;
    Deliver deliver_;
    std::array<std::string, kSlots> ring_;
    int write_ = 0;
    int read_ = 0;
};

}  // namespace smtpin::hub
