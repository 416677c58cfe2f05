#pragma once

#include "messages/CommType.h"

#include <QObject>

#include <array>
#include <string>

namespace smtpin::hub {

class CommDisplay;

// The owner window's side of the link: keeps each received data packet
// addressed to this client and hands the texts on one at a time.
class HubMessageRing final : public QObject {
    Q_OBJECT
public:
    static constexpr int kSlots = 101;

    // The switch addresses this client by the code it logged in with.
    explicit HubMessageRing(const CommDisplay& client);

    void client_ReceivedData(const messages::CommType& record);
    void DeliverHubMessage();
    int waiting() const;

signals:
    // One text for the main window.
    void hubMessage(const std::string& text);

private:
    const CommDisplay& client_;
    std::array<std::string, kSlots> ring_;
    int write_ = 0;
    int read_ = 0;
};

}  // namespace smtpin::hub
