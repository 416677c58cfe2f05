#include "HubMessageRing.h"

#include "CommDisplay.h"

namespace smtpin::hub {

HubMessageRing::HubMessageRing(const CommDisplay& client) : client_(client) {}

int HubMessageRing::waiting() const { return (write_ - read_ + (kSlots - 1)) % (kSlots - 1); }

void HubMessageRing::client_ReceivedData(const messages::CommType& record)
{
    if (record.target == client_.LoginCode()) {
        // A full ring hands one text on first rather than overwrite them all.
        if (waiting() == kSlots - 2)
            DeliverHubMessage();
        ring_[static_cast<size_t>(write_)] = record.Message;
        write_ = (write_ + 1) % (kSlots - 1);
    }
    DeliverHubMessage();
}

void HubMessageRing::DeliverHubMessage()
{
    if (read_ == write_)
        return;
    const std::string text = std::move(ring_[static_cast<size_t>(read_)]);
    read_ = (read_ + 1) % (kSlots - 1);
    emit hubMessage(text);
}

}  // namespace smtpin::hub
