#pragma once

#include "CommMemberType.h"
#include "platform/Controls.h"

#include <QTimer>

#include <cstdint>
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
    class Owner {
    public:
        virtual ~Owner() = default;
        virtual std::string userIdentifier() const = 0;   // the identifier the link logs in with
        virtual std::string title() const = 0;            // the shell title text
        virtual bool autoShow() const = 0;                // "Auto Show" is checked
        virtual Window& ownerWindow() = 0;                // its caption shows the progress
        virtual void unloadOwner() = 0;
    };

    // The remote address, port and tuning values are read from registration
    // at each attempt, so setup changes take effect on the next one.
    HubDriver(CommDisplay& client, const db::ClientRegistration& registration, Owner& owner);
    ~HubDriver();
    HubDriver(const HubDriver&) = delete;
    HubDriver& operator=(const HubDriver&) = delete;

    void setTimersEnabled(bool on) { timersEnabled_ = on; }
    // The link window's load and unload start and stop tmr_HubState.
    void start();
    void stop();
    void DriveHubConnection();   // tmr_HubState handler

    // What the operator asks for.
    void requestConnect();
    void requestDisconnect();
    // Disconnect, then unload the owner window.
    void requestTerminate();
    // From HubAttempts (0 or less: no limit) and HubWait (driver ticks).
    void setRetries(std::int16_t attempts, std::int16_t waitTicks);

    bool connectWanted() const { return ConnectWanted; }
    // 0 none, 1 disconnect, 2 disconnect and close the owner.
    std::int16_t disconnectRequest() const { return DisconnectRequest; }
    // The step as a number, as the original's state word.
    std::int16_t state() const { return static_cast<std::int16_t>(HubDriverState); }
    // The settings the last attempt connected with.
    const CommMemberType& settings() const { return HubSettings; }

private:
    void ConnectToHub();
    void ShowHubStatus(const std::string& status);
    void showLinkWindow(bool on);
    // The driver's states that take more than a step.
    void watch();
    void waitForLogin();
    void countFailedAttempt();
    void waitForDisconnect();

    CommDisplay& client_;
    const db::ClientRegistration& registration_;
    Owner& owner_;
    bool timersEnabled_ = true;
    // The driver's steps, numbered as the original's state word.
    enum class DriverStep : std::int16_t {
        Start = 0,
        Watch = 1,               // idle: a disconnect asked for, or a connection wanted
        Connect = 2,
        WaitForLogin = 3,
        CountFailure = 4,
        Disconnect = 5,
        WaitForDisconnect = 6,
        WaitForEngine = 8,       // the connect was asked; the engine still works on it
    };
    DriverStep HubDriverState = DriverStep::Start;
    bool ConnectWanted = false;
    std::int16_t DisconnectRequest = 0;
    std::int16_t RetryCountdown = 0;
    std::int16_t RetriesLeft = 0;
    std::int16_t HubRetries = 10;
    std::int16_t HubRetryWait = 10;
    CommMemberType HubSettings;
    QTimer tmr_HubState;
};

}  // namespace smtpin::hub
