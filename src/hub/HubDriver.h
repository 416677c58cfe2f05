#pragma once

#include "CommMemberType.h"
#include "platform/Controls.h"

#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>

namespace smtpin::db {
class ClientRegistration;
}

namespace smtpin::hub {

class CommDisplay;

// The connection driver: keeps the hub link up as the operator asked,
// retrying with a wait and a limit, carries out disconnect and terminate
// requests, and writes its progress into the owner window's caption.
class HubDriver {
public:
    static constexpr int kTickMs = 500;

    // What the driver needs from the owner window and the shell.
    struct Owner {
        std::function<std::string()> userIdentifier;   // the identifier the link logs in with
        std::function<std::string()> title;            // the shell title text
        std::function<bool()> autoShow;                // "Auto Show" is checked
        Window& caption;                               // the owner window
        std::function<void()> unload;                  // unload the owner window
        std::function<void(bool busy)> hourglass;      // busy mouse pointer; may be empty
    };

    // The remote address, port and tuning values are read from registration
    // at each attempt, so setup changes take effect on the next one.
    HubDriver(CommDisplay& client, const db::ClientRegistration& registration, Owner owner);
    ~HubDriver();
    HubDriver(const HubDriver&) = delete;
    HubDriver& operator=(const HubDriver&) = delete;

    void setTimersEnabled(bool on) { timersEnabled_ = on; }
    // The link window's load and unload start and stop tmr_HubState.
    void start();
    void stop();

    void DriveHubConnection();   // tmr_HubState handler
    void ConnectToHub();
    void ShowHubStatus(const std::string& status);

    std::int16_t HubDriverState = 0;
    bool ConnectWanted = false;
    std::int16_t DisconnectRequest = 0;   // 0 none, 1 disconnect, 2 disconnect and close the owner
    std::int16_t RetryCountdown = 0;
    std::int16_t RetriesLeft = 0;
    // Start-up sets these from HubAttempts and HubWait.
    std::int16_t HubRetries = 10;         // 0 or less: no limit
    std::int16_t HubRetryWait = 10;       // driver ticks
    CommMemberType HubSettings;

    QTimer tmr_HubState;

private:
    void showLinkWindow(bool on);
    void busy(bool on);
    bool autoShow() const;

    CommDisplay& client_;
    const db::ClientRegistration& registration_;
    Owner owner_;
    bool timersEnabled_ = true;
};

}  // namespace smtpin::hub
