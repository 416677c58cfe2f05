// The connection engine: one tick every two seconds does the work of the
// state that events and packets have set.
#include "CommDisplay.h"

#include "CommShared.h"
#include "LinkSocket.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "platform/Text.h"

#include <cctype>

namespace smtpin::hub {

bool CommDisplay::SetLocalIdentifier(const std::string& text)
{
    if (ThisMember.State != 0)
        return false;
    const std::string t(text::Trim(text, text::kSpace));
    // A code without a class character is sent as its two digits.
    std::string cls;
    if (const char c = t.empty() ? '\0' : text::MemberClass(t[0]))
        cls = c;
    const char c2 = t.size() > 1 ? t[1] : ' ';
    const char c3 = t.size() > 2 ? t[2] : ' ';
    std::string number;
    if ((c2 == '?' && c3 == '?') || (c2 == '*' && c3 == '*'))
        number = std::string{c2, c3};
    else if (std::isdigit(static_cast<unsigned char>(c2)) && std::isdigit(static_cast<unsigned char>(c3)))
        number = std::string{c2, c3};
    else
        return false;
    TIdentifier(cls + number);
    return true;
}

bool CommDisplay::Connect(const CommMemberType& settings)
{
    setFlag(mode::PEN, true);
    bool result = false;
    if (!Connected() && SetLocalIdentifier(settings.Identifier)) {
        loggingOff_ = false;
        takenDownByOperator_ = false;
        TServerAddress(settings.ServerAddress.empty() ? LocalIp() : settings.ServerAddress);
        RequestRecord.Clear();
        TAddress(LocalIp());
        TPort(socket_.localPort());
        TServerPort(settings.ServerPort);
        TMode(static_cast<std::int16_t>(settings.Mode | mode::OUT | mode::PEN));
        TRemoteBuffer(settings.RemoteBuffer);
        SetBufferMax(settings.BufferMax);
        loginCode_ = ThisMember.Identifier;
        TDescription(settings.Description);
        TSystemState(Step::Open);
        stepSoon();
        TWatchDog(settings.WatchDog);
        if (ThisMember.Mode & mode::FLH) {
            ThisMember.BufferClear();
            TBufferSize();
        }
        result = true;
    }
    setFlag(mode::PEN, false);
    return result;
}

bool CommDisplay::Disconnect()
{
    setFlag(mode::PEN, true);
    if (Connected()) {
        loggingOff_ = true;
        TSystemState(Step::CloseNotice);
        TTimeOut(0);
    }
    setFlag(mode::PEN, false);
    return true;
}

void CommDisplay::KillConnection()
{
    TSystemState(Step::ClosePort);
    InsertClientLog("Kill TCP Connection");
}

bool CommDisplay::sendControl(std::int16_t code, const std::string& text)
{
    return SendControlPacket(socket_, clock_, ThisMember.Identifier, packet::kHub, code, text);
}

// States that start something rather than wait for it (open, go on after
// the connect, close, send the login) run without waiting for the next
// tick, so a switch that comes back is reached in a moment, not in three
// ticks; the waits and their countdowns stay on the tick.
void CommDisplay::stepSoon()
{
    if (!timersEnabled_ || stepQueued_ || !Engine.isActive())
        return;
    stepQueued_ = true;
    QTimer::singleShot(0, &Engine, [this] {
        stepQueued_ = false;
        if (Engine.isActive() && stepsAtOnce())
            Engine_Timer();
    });
}

void CommDisplay::Engine_Timer()
{
    std::string message;
    runState(message);
    // Common tail: countdown, link watchdog, tick message, client log.
    TTimeOut(static_cast<std::int16_t>(ThisMember.TimeOut < 1 ? 0 : ThisMember.TimeOut - 1));
    if (Connected() && ThisMember.WatchDog.days() > 0 && !WatchdogFailed) {
        if (!CheckHubWatchDog()) {
            WatchdogFailed = true;
            ThisMember.SystemState = number(Step::CloseNotice);
        }
    }
    if (SwitchSilent() && !at(Step::ClosePort)) {
        message = "APPL: Switch silent since " + lastHeard_.timeText() + ", closing the link";
        log_.ApplicationLine("  HUB: The switch has sent nothing since " + lastHeard_.timeText() +
                             " while records wait for it; the link is closed and logged in again");
        TSystemState(Step::ClosePort);
        TTimeOut(0);
    }
    if (!message.empty()) {
        AddToClientLogRing(message);
        TSystemStateDES(message);
    }
    view_.drainClientLogRing();
    if (stepsAtOnce())
        stepSoon();
}

bool CommDisplay::stepsAtOnce() const
{
    return at(Step::Open) || at(Step::TcpConnected) || at(Step::ClosePort) || at(Step::SendLogin);
}

void CommDisplay::runState(std::string& message)
{
    const std::string server = ThisMember.ServerAddress + "," + std::to_string(ThisMember.ServerPort);
    switch (static_cast<Step>(ThisMember.SystemState)) {
    case Step::Idle: stateIdle(); break;
    case Step::Open: stateOpen(message, server); break;
    case Step::WaitForConnection: stateWaitForConnection(message); break;
    case Step::TcpConnected: stateTcpConnected(message); break;
    case Step::WaitForLogin: stateWaitForLogin(message); break;
    case Step::LoggedIn:
        message = "APPL: Connected to " + server;
        ShowLinkStatus("Connected to " + server);
        TSystemState(Step::Idle);
        TTimeOut(2);
        setFlag(mode::CON, true);
        WatchdogFailed = false;
        break;
    case Step::CloseNotice: stateCloseNotice(message); break;
    case Step::WaitForClose: stateWaitForClose(message); break;
    case Step::ClosePort: stateClosePort(message, server); break;
    case Step::SendLogin: stateSendLogin(message); break;
    case Step::RequestingData:
        message = "APPL: Requesting data ....";
        ShowLinkStatus("");
        TSystemState(Step::Idle);
        TTimeOut(0);
        break;
    default:
        break;
    }
}

void CommDisplay::stateIdle()
{
    if (ThisMember.TimeOut == 1)
        TSystemStateDES("APPL: Idle");
    if (ThisMember.BufferSize() > 0 && FlushOutput() == 2)
        ThisMember.SystemState = number(Step::ClosePort);
    if (ThisMember.Mode & mode::WDG)
        setFlag(mode::WDG, false);
}

void CommDisplay::stateOpen(std::string& message, const std::string& server)
{
    LinkSocket::Failure failure;
    message = "Socket: Connection Request to " + server;
    ShowLinkStatus("");
    if (socket_.state() != SocketControl::Closed)
        socket_.close(&failure);
    if (!socket_.connectTo(ThisMember.ServerAddress, ThisMember.ServerPort, &failure)) {
        message = "Socket: Failed to connect - [" + std::to_string(failure.number) + "] : " + failure.description;
        TSystemState(Step::ClosePort);
        TTimeOut(3);
        setFlag(mode::CON, false);
    } else {
        TSystemState(Step::WaitForConnection);
        TTimeOut(5);
    }
}

void CommDisplay::stateWaitForConnection(std::string& message)
{
    message = "Socket: Waiting for Connection " + twoDigits(ThisMember.TimeOut);
    if (ThisMember.TimeOut == 0) {
        message = "Failed to connect - Server failed to connect";
        ShowLinkStatus(message);
        TSystemState(Step::ClosePort);
        TTimeOut(1);
        setFlag(mode::CON, false);
    }
}

void CommDisplay::stateTcpConnected(std::string& message)
{
    message = "Socket: TCP Connect";
    TSystemState(Step::SendLogin);
    TTimeOut(0);
    TAddress(LocalIp());
    TPort(socket_.localPort());
    emit tcpConnected();
}

void CommDisplay::stateWaitForLogin(std::string& message)
{
    message = "APPL: Waiting for Login Packet (" + twoDigits(ThisMember.TimeOut) + ")";
    if (ThisMember.TimeOut == 0) {
        message = "Failed to connect - Never received Login Packet";
        ShowLinkStatus(message);
        TSystemState(Step::ClosePort);
        TTimeOut(0);
    }
}

void CommDisplay::stateCloseNotice(std::string& message)
{
    message = "APPL: Sending Disconnection notice (server)";
    TSystemState(Step::WaitForClose);
    TTimeOut(10);
    sendControl(packet::ClientLogoff);
}

void CommDisplay::stateWaitForClose(std::string& message)
{
    message = "APPL: Waiting for Disconnection ... (" + twoDigits(ThisMember.TimeOut) + ")";
    if (ThisMember.TimeOut == 0) {
        message = "Failed to Disconnect - Remote host did not close port";
        ShowLinkStatus("Failed to Disconnect - Local will attempt to close port");
        TSystemState(Step::ClosePort);
        TTimeOut(0);
    }
}

void CommDisplay::stateClosePort(std::string& message, const std::string& server)
{
    LinkSocket::Failure failure;
    message = "Socket: Closing Port - " + server;
    if (!socket_.close(&failure)) {
        message = "Socket: Failed to Close Port - [" + std::to_string(failure.number) + "] : " + failure.description;
        ShowLinkStatus(message);
    } else {
        setFlag(mode::CON, false);
        ShowLinkStatus("Socket: Closed");
    }
    // What the switch granted held for its connection; while none is up,
    // pages wait up to the configured buffer.
    TBufferMax(configuredBufferMax_);
    TSystemState(Step::Idle);
    TTimeOut(2);
}

void CommDisplay::stateSendLogin(std::string& message)
{
    std::string packet;
    if (ThisMember.CreatePacket(packet)) {
        message = "APPL: Sending Connected Request Packet";
        TSystemState(Step::WaitForLogin);
        TTimeOut(10);
        sendControl(packet::ConnectRequest, packet);
    } else {
        message = "APPL: Could not create Connection Request Packet";
        TSystemState(Step::ClosePort);
        TTimeOut(0);
    }
}

}  // namespace smtpin::hub
