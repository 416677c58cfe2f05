// The member record and how the link window shows it.
#include "CommDisplay.h"

#include "LinkSocket.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"

namespace smtpin::hub {

namespace {
std::string dateCell(DateSerial d) { return d.generalDate(); }
}  // namespace

CommDisplay::CommDisplay(const Clock& clock, SystemLog& log, forms::CommDisplayForm& form, Label& progress,
                         LinkSocket& socket)
    : clock_(clock), log_(log), socket_(socket), view_(clock, log, form, progress), ThisMember(clock.now()),
      RemoteMember(clock.now())
{
    Engine.setInterval(kEngineMs);
    connect(&Engine, &QTimer::timeout, this, &CommDisplay::Engine_Timer);
    connect(&socket_, &LinkSocket::connected, this, &CommDisplay::onSocketConnected);
    connect(&socket_, &LinkSocket::closed, this, &CommDisplay::onSocketClosed);
    connect(&socket_, &LinkSocket::error, this, &CommDisplay::onSocketError);
    connect(&socket_, &LinkSocket::dataArrival, this, &CommDisplay::sckClient_DataArrival);
}

CommDisplay::~CommDisplay() { Engine.stop(); }

void CommDisplay::onSocketConnected()
{
    TSystemState(Step::TcpConnected);
    TTimeOut(0);
    stepSoon();
}

void CommDisplay::onSocketClosed()
{
    TSystemState(Step::ClosePort);
    TTimeOut(0);
    stepSoon();
}

void CommDisplay::onSocketError(int number, const std::string& description)
{
    // The connection is opened in the background: an unknown host or a
    // refused port arrives here, and is told as a failed connect.
    if (at(Step::Open) || at(Step::WaitForConnection)) {
        const std::string message =
            "Socket: Failed to connect - [" + std::to_string(number) + "] : " + description;
        InsertClientLog(message);
        TSystemStateDES(message);
        ShowLinkStatus(message);
        TSystemState(Step::ClosePort);
        TTimeOut(3);
        setFlag(mode::CON, false);
        stepSoon();
        return;
    }
    InsertClientLog("Socket Error: " + description);
    onSocketClosed();
}

void CommDisplay::Form_Load()
{
    view_.BuildMemberGrid(ThisMember);
    TIdentifier("NOTINIT");
    linkSince_ = clock_.now();
    TMode(static_cast<std::int16_t>(ThisMember.Mode & ~mode::CON));
    if (timersEnabled_)
        Engine.start();
}

void CommDisplay::StopCommDisplay()
{
    Engine.stop();
    StoppedTrying();
    LinkSocket::Failure failure;
    socket_.close(&failure);
    form().window.setVisible(false);
}

std::string CommDisplay::LocalHostName() const { return socket_.localHostName(); }
std::string CommDisplay::LocalIp() const { return socket_.localIP(); }

void CommDisplay::TIdentifier(const std::string& v) { ThisMember.Identifier = v; view_.ShowCell(RowIdentifier, v); }

void CommDisplay::TMode(std::int16_t v)
{
    if (ThisMember.Mode != v)
        view_.ShowMode(v);
    // Output granted or taken away while logged in changes the link's state too.
    const LinkState before = linkState();
    ThisMember.Mode = v;
    if (linkState() != before)
        linkSince_ = clock_.now();
}

void CommDisplay::TSystemStateDES(const std::string& v) { ThisMember.SystemStateDES = v; view_.ShowCell(RowSystemStateDES, v); }
void CommDisplay::TAddress(const std::string& v) { ThisMember.Address = v; view_.ShowCell(RowAddress, v); }
void CommDisplay::TPort(std::int32_t v) { ThisMember.port = v; view_.ShowCell(RowPort, std::to_string(v)); }
void CommDisplay::TDescription(const std::string& v) { ThisMember.Description = v; view_.ShowCell(RowDescription, v); }
void CommDisplay::TServerAddress(const std::string& v) { ThisMember.ServerAddress = v; view_.ShowCell(RowServerAddress, v); }
void CommDisplay::TServerPort(std::int32_t v) { ThisMember.ServerPort = v; view_.ShowCell(RowServerPort, std::to_string(v)); }
void CommDisplay::TPackets(std::int32_t v) { ThisMember.Packets = v; view_.ShowCell(RowPackets, std::to_string(v)); }
void CommDisplay::TLastPacket(DateSerial v) { ThisMember.LastPacket = v; view_.ShowCell(RowLastPacket, dateCell(v)); }
void CommDisplay::TRPackets(std::int32_t v) { ThisMember.RPackets = v; view_.ShowCell(RowRPackets, std::to_string(v)); }
void CommDisplay::TLastRPacket(DateSerial v) { ThisMember.LastRPacket = v; view_.ShowCell(RowLastRPacket, dateCell(v)); }
void CommDisplay::TOPackets(std::int32_t v) { ThisMember.OPackets = v; view_.ShowCell(RowOPackets, std::to_string(v)); }
void CommDisplay::TLastOPacket(DateSerial v) { ThisMember.LastOPacket = v; view_.ShowCell(RowLastOPacket, dateCell(v)); }
void CommDisplay::TBufferSize() { view_.ShowCell(RowBufferSize, std::to_string(ThisMember.BufferSize())); }
void CommDisplay::SetBufferMax(std::int16_t configured)
{
    configuredBufferMax_ = configured > 0 ? configured : CommMemberType::kDefaultBufferMax;
    TBufferMax(configuredBufferMax_);
}

void CommDisplay::TBufferMax(std::int16_t v) { ThisMember.BufferMax = v; view_.ShowCell(RowBufferMax, std::to_string(v)); }
void CommDisplay::TRemoteBuffer(std::int16_t v) { ThisMember.RemoteBuffer = v; view_.ShowCell(RowRemoteBuffer, std::to_string(v)); }
void CommDisplay::TLastConnection(DateSerial v) { ThisMember.LastConnection = v; view_.ShowCell(RowLastConnection, dateCell(v)); }
void CommDisplay::TMemberExpire(DateSerial v) { ThisMember.MemberExpire = v; view_.ShowCell(RowMemberExpire, dateCell(v)); }
void CommDisplay::TCreated(DateSerial v) { ThisMember.Created = v; view_.ShowCell(RowCreated, dateCell(v)); }
void CommDisplay::TWatchDog(DateSerial v) { ThisMember.WatchDog = v; view_.ShowCell(RowWatchDog, dateCell(v)); }
void CommDisplay::TLastWDog(DateSerial v) { ThisMember.LastWDog = v; view_.ShowCell(RowLastWDog, dateCell(v)); }
void CommDisplay::TExpWatchDog(DateSerial v) { ThisMember.ExpWatchDog = v; view_.ShowCell(RowExpWatchDog, dateCell(v)); }
void CommDisplay::Tsocket(std::int16_t v) { ThisMember.socket = v; view_.ShowCell(RowSocket, std::to_string(v)); }
void CommDisplay::TSystemState(std::int16_t v)
{
    ThisMember.SystemState = v;
    view_.ShowCell(RowSystemState, std::to_string(v));
    if (v == number(Step::Open))
        announce("connecting to " + ThisMember.ServerAddress + ":" + std::to_string(ThisMember.ServerPort));
    else if (v == number(Step::ClosePort))
        announce("retrying");
}
void CommDisplay::TTimeOut(std::int16_t v) { ThisMember.TimeOut = v; view_.ShowCell(RowTimeOut, std::to_string(v)); }

void CommDisplay::setFlag(std::int16_t flag, bool on)
{
    const int m = on ? (ThisMember.Mode | flag) : (ThisMember.Mode & ~flag);
    TMode(static_cast<std::int16_t>(m));
}

void CommDisplay::announce(const std::string& wanted)
{
    // A close this client asked for is no outage: nothing is lost, nothing retried.
    const std::string status = loggingOff_ && wanted == "retrying" ? "logged off" : wanted;
    if (status == linkStatus_)
        return;
    const LinkState before = linkState();
    if (status != "logged in" && linkStatus_ == "logged in") {
        if (loggingOff_) {
            log_.ApplicationLine("  HUB: Logged off from the switch");
            if (takenDownByOperator_)
                log_.ApplicationLine("  HUB: The operator took the link to the switch down");
        } else {
            linkStatus_ = "lost";
            ++losses_;
            lostSinceLogin_ = true;
            log_.Echo("link: lost");
            log_.ApplicationLine("  HUB: Link to the switch lost");
        }
    }
    if (status == "logged in" && lostSinceLogin_) {
        lostSinceLogin_ = false;
        log_.ApplicationLine("  HUB: Link to the switch restored");
    }
    linkStatus_ = status;
    // Retries one after another are one stretch of "connecting".
    if (linkState() != before)
        linkSince_ = clock_.now();
    log_.Echo("link: " + status);
}

void CommDisplay::StoppedTrying()
{
    if (isLoggedIn() || linkStatus_ == "stopped")
        return;
    const LinkState before = linkState();
    linkStatus_ = "stopped";
    if (linkState() != before)
        linkSince_ = clock_.now();
}

CommDisplay::LinkState CommDisplay::linkState() const
{
    if (isLoggedIn())
        return loggedInWithoutOutput() ? LinkState::LoggedInWithoutOutput : LinkState::LoggedIn;
    if (linkStatus_.starts_with("connecting") || linkStatus_ == "retrying")
        return LinkState::Connecting;
    return takenDownByOperator_ ? LinkState::TakenDownByOperator : LinkState::Down;
}

void CommDisplay::SetLatch()
{
    if ((ThisMember.Mode & mode::SYN) && !(ThisMember.Mode & mode::NWT)) {
        setFlag(mode::LTH, true);
        InsertClientLog(std::string(35, ' ') + "LATCH SET");
    }
}

}  // namespace smtpin::hub
