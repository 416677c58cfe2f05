#include "HubDriver.h"

#include "CommDisplay.h"
#include "db/ClientRegistration.h"

namespace smtpin::hub {

HubDriver::HubDriver(CommDisplay& client, const db::ClientRegistration& registration, Owner& owner)
    : client_(client), registration_(registration), owner_(owner)
{
    tmr_HubState.setInterval(kTickMs);
    QObject::connect(&tmr_HubState, &QTimer::timeout, [this] { DriveHubConnection(); });
}

HubDriver::~HubDriver() { tmr_HubState.stop(); }

void HubDriver::start()
{
    if (timersEnabled_)
        tmr_HubState.start();
}

void HubDriver::stop() { tmr_HubState.stop(); }

void HubDriver::requestConnect()
{
    ConnectWanted = true;
    DisconnectRequest = 0;
}

void HubDriver::requestDisconnect() { DisconnectRequest = 1; }
void HubDriver::requestTerminate() { DisconnectRequest = 2; }

void HubDriver::setRetries(std::int16_t attempts, std::int16_t waitTicks)
{
    HubRetries = attempts;
    HubRetryWait = waitTicks;
}

void HubDriver::showLinkWindow(bool on)
{
    if (owner_.autoShow())
        client_.form().window.setVisible(on);
}

void HubDriver::ShowHubStatus(const std::string& status)
{
    const std::string title = owner_.title();
    const std::string caption = title + "  -  (" + twoDigits(HubRetries - RetriesLeft + 1) + "/" +
                                twoDigits(HubRetries) + ") " + status;
    Window& window = owner_.ownerWindow();
    if (window.caption() != caption)
        window.setCaption(caption);
}

void HubDriver::ConnectToHub()
{
    if (client_.Connected())
        return;
    HubSettings.Identifier = owner_.userIdentifier();
    HubSettings.Mode = static_cast<std::int16_t>(mode::OUT | mode::BUF | mode::STC);
    HubSettings.Description = "SMTP Client on machine \"" + client_.LocalHostName() + "\" (ASYNC)";
    HubSettings.BufferMax = registration_.tcpVars().HubMaxBuffer;
    HubSettings.RemoteBuffer = registration_.tcpVars().RemoteBuffer;
    HubSettings.ServerAddress = registration_.remoteAddress();
    HubSettings.ServerPort = registration_.remotePort();
    HubSettings.WatchDog = DateSerial(registration_.tcpVars().CCWatchdog);
    client_.Connect(HubSettings);
}

void HubDriver::DriveHubConnection()
{
    switch (HubDriverState) {
    case DriverStep::Start:
        RetryCountdown = 0;
        RetriesLeft = HubRetries;
        ShowHubStatus("Initialize");
        HubDriverState = DriverStep::Watch;
        break;
    case DriverStep::Watch: watch(); break;
    case DriverStep::Connect:
        ShowHubStatus("Attempting Connection");
        showLinkWindow(true);
        ConnectToHub();
        RetryCountdown = HubRetryWait;
        HubDriverState = DriverStep::WaitForEngine;
        break;
    case DriverStep::WaitForEngine:
        // A refused Connect leaves the engine resting, which ends the wait at once.
        if (client_.at(Step::Idle))
            HubDriverState = DriverStep::WaitForLogin;
        break;
    case DriverStep::WaitForLogin: waitForLogin(); break;
    case DriverStep::CountFailure: countFailedAttempt(); break;
    case DriverStep::Disconnect:
        client_.Disconnect();
        HubDriverState = DriverStep::WaitForDisconnect;
        break;
    case DriverStep::WaitForDisconnect: waitForDisconnect(); break;
    default:
        break;
    }
}

// Idle: a disconnect asked for, or a connection wanted and not up.
void HubDriver::watch()
{
    if (DisconnectRequest != 0) {
        ShowHubStatus("Disconnecting");
        ConnectWanted = false;
        showLinkWindow(true);
        HubDriverState = DriverStep::Disconnect;
    } else if (!client_.Connected() && ConnectWanted) {
        if (RetryCountdown > 0) {
            --RetryCountdown;
            ShowHubStatus("Retry in " + twoDigits(RetryCountdown) + " seconds");
        } else {
            HubDriverState = DriverStep::Connect;
        }
    } else {
        RetryCountdown = 0;
        RetriesLeft = HubRetries;
    }
}

void HubDriver::waitForLogin()
{
    if (client_.Connected()) {
        ShowHubStatus("Connected");
        showLinkWindow(false);
        HubDriverState = DriverStep::Watch;
    } else if (RetryCountdown < 1) {
        ShowHubStatus("Failed to Connect");
        RetryCountdown = HubRetryWait;
        HubDriverState = DriverStep::CountFailure;
    } else {
        --RetryCountdown;
    }
}

void HubDriver::countFailedAttempt()
{
    if (HubRetries > 0) {
        --RetriesLeft;
        if (RetriesLeft < 1) {
            ConnectWanted = false;
            RetryCountdown = 0;
            RetriesLeft = HubRetries;
            client_.StoppedTrying();
        }
    }
    HubDriverState = DriverStep::Watch;
}

void HubDriver::waitForDisconnect()
{
    if (!client_.at(Step::Idle))
        return;
    showLinkWindow(false);
    HubDriverState = DriverStep::Watch;
    if (DisconnectRequest == 2) {
        DisconnectRequest = 0;
        ShowHubStatus("Terminating");
        // The owner's unload may stop this timer and save settings; the
        // request is cleared first so a refused unload is not repeated.
        owner_.unloadOwner();
    } else {
        ShowHubStatus("Disconnected");
        DisconnectRequest = 0;
    }
}

}  // namespace smtpin::hub
