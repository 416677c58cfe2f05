#include "HubMessageRing.h"

#include "CommDisplay.h"

namespace smtpin::hub {

HubMessageRing::HubMessageRing(CommDisplay& client, UserId userId, Deliver deliver)
    : client_(client), userId_(std::move(userId)), deliver_(std::move(deliver))
{
}

int HubMessageRing::waiting() const { return (write_ - read_ + (kSlots - 1)) % (kSlots - 1); }

void HubMessageRing::client_ReceivedData(const messages::CommType&)
{
    if (client_.Receive(HubRecord) && HubRecord.target == userId_()) {
        // A full ring hands one text on first rather than overwrite them all.
        if (waiting() == kSlots - 2)
            DeliverHubMessage();
        ring_[static_cast<size_t>(write_)] = HubRecord.Message;
        write_ = (write_ + 1) % (kSlots - 1);
    }
    DeliverHubMessage();
}

void HubMessageRing::DeliverHubMessage()
{
    if (read_ == write_)
        return;
    std::string text = std::move(ring_[static_cast<size_t>(read_)]);
    read_ = (read_ + 1) % (kSlots - 1);
    if (deliver_)
        deliver_(text);
}

}  // namespace smtpin::hub
