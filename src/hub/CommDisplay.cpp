#include "CommDisplay.h"

#include "LinkSocket.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"


namespace smtpin::hub {

namespace {

enum Row {
    RowIdentifier = 1, RowMode, RowSystemStateDES, RowAddress, RowPort, RowDescription, RowServerAddress,
    RowServerPort, RowPackets, RowLastPacket, RowRPackets, RowLastRPacket, RowOPackets, RowLastOPacket,
    RowBufferSize, RowBufferMax, RowRemoteBuffer, RowLastConnection, RowMemberExpire, RowCreated, RowWatchDog,
    RowLastWDog, RowExpWatchDog, RowExpNextWDog, RowSocket, RowMapTo, RowSystemState, RowTimeOut, RowBuffer,
    RowState
};

constexpr const char* kRowNames[] = {
    "Property", "Identifier", "Mode", "SystemStateDES", "Address", "Port", "Description", "ServerAddress",
    "ServerPort", "Packets", "LastPacket", "RPackets", "LastRPacket", "OPackets", "LastOPacket", "BufferSize",
    "BufferMax", "RemoteBuffer", "LastConnection", "MemberExpire", "Created", "WatchDog", "LastWDog",
    "ExpWatchDog", "ExpNextWDog", "Socket", "MapTo", "SystemState", "TimeOut", "Buffer", "State"};

constexpr unsigned kYellow = 0xFFFF00;
constexpr unsigned kGreen = 0x00FF00;

std::string dateCell(DateSerial d) { return d.generalDate(); }

}  // namespace

std::string twoDigits(int value) { return zeroPadded(value, 2); }

CommDisplay::CommDisplay(const Clock& clock, SystemLog& log, forms::CommDisplayForm& form,
                         forms::FrmSMTP& mainForm, LinkSocket& socket)
    : ThisMember(clock.now()), RemoteMember(clock.now()), clock_(clock), log_(log), form_(form),
      mainForm_(mainForm), socket_(socket)
{
    Engine.setInterval(kEngineMs);
    QObject::connect(&Engine, &QTimer::timeout, [this] { Engine_Timer(); });
    auto& ev = socket_.events();
    ev.connect = [this] {
        TSystemState(3);
        TTimeOut(0);
        stepSoon();
    };
    ev.close = [this] { onSocketClosed(); };
    ev.error = [this](int number, const std::string& description) { onSocketError(number, description); };
    ev.dataArrival = [this](long bytes) { sckClient_DataArrival(bytes); };
}

CommDisplay::~CommDisplay()
{
    Engine.stop();
    socket_.events() = {};
}

void CommDisplay::onSocketClosed()
{
    TSystemState(10);
    TTimeOut(0);
    stepSoon();
}

void CommDisplay::onSocketError(int number, const std::string& description)
{
    // The connection is opened in the background: an unknown host or a
    // refused port arrives here, and is told as a failed connect.
    if (ThisMember.SystemState == 1 || ThisMember.SystemState == 2) {
        const std::string message =
            "Socket: Failed to connect - [" + std::to_string(number) + "] : " + description;
        InsertClientLog(message);
        TSystemStateDES(message);
        ShowLinkStatus(message);
        TSystemState(10);
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
    BuildMemberGrid();
    TIdentifier("NOTINIT");
    TMode(static_cast<std::int16_t>(ThisMember.Mode & ~mode::CON));
    if (timersEnabled_)
        Engine.start();
}

void CommDisplay::StopCommDisplay()
{
    Engine.stop();
    LinkSocket::Failure failure;
    socket_.close(&failure);
    form_.window.setVisible(false);
}

std::string CommDisplay::LocalHostName() const { return socket_.localHostName(); }
std::string CommDisplay::LocalIp() const { return socket_.localIP(); }

void CommDisplay::BuildMemberGrid()
{
    auto& g = form_.grdMember;
    g.resize(31, 2);
    g.setColWidth(0, 1635);
    g.setColWidth(1, 8000);
    for (int row = 0; row <= RowState; ++row)
        g.setTextMatrix(row, 0, kRowNames[row]);
    g.setTextMatrix(0, 1, "Value");
    refreshAll();
}

// Fills every value cell, so the window shows the record from the start.
void CommDisplay::refreshAll()
{
    const auto& m = ThisMember;
    refreshCell(RowIdentifier, m.Identifier);
    refreshCell(RowMode, ModeText(m.Mode));
    refreshCell(RowSystemStateDES, m.SystemStateDES);
    refreshCell(RowAddress, m.Address);
    refreshCell(RowPort, std::to_string(m.port));
    refreshCell(RowDescription, m.Description);
    refreshCell(RowServerAddress, m.ServerAddress);
    refreshCell(RowServerPort, std::to_string(m.ServerPort));
    refreshCell(RowPackets, std::to_string(m.Packets));
    refreshCell(RowLastPacket, dateCell(m.LastPacket));
    refreshCell(RowRPackets, std::to_string(m.RPackets));
    refreshCell(RowLastRPacket, dateCell(m.LastRPacket));
    refreshCell(RowOPackets, std::to_string(m.OPackets));
    refreshCell(RowLastOPacket, dateCell(m.LastOPacket));
    refreshCell(RowBufferSize, std::to_string(m.BufferSize()));
    refreshCell(RowBufferMax, std::to_string(m.BufferMax));
    refreshCell(RowRemoteBuffer, std::to_string(m.RemoteBuffer));
    refreshCell(RowLastConnection, dateCell(m.LastConnection));
    refreshCell(RowMemberExpire, dateCell(m.MemberExpire));
    refreshCell(RowCreated, dateCell(m.Created));
    refreshCell(RowWatchDog, dateCell(m.WatchDog));
    refreshCell(RowLastWDog, dateCell(m.LastWDog));
    refreshCell(RowExpWatchDog, dateCell(m.ExpWatchDog));
    refreshCell(RowExpNextWDog, dateCell(m.ExpNextWDog));
    refreshCell(RowSocket, std::to_string(m.socket));
    refreshCell(RowMapTo, std::to_string(m.MapTo));
    refreshCell(RowSystemState, std::to_string(m.SystemState));
    refreshCell(RowTimeOut, std::to_string(m.TimeOut));
    refreshCell(RowBuffer, m.Buffer);
    refreshCell(RowState, std::to_string(m.State));
}

void CommDisplay::refreshCell(int row, const std::string& text)
{
    if (form_.grdMember.textMatrix(row, 1) != text)
        form_.grdMember.setTextMatrix(row, 1, text);
}

void CommDisplay::SetGridCellColour(unsigned rgb, int row, int col)
{
    if (form_.grdMember.cellBackColor(row, col) != rgb)
        form_.grdMember.setCellBackColor(row, col, rgb);
}

void CommDisplay::TIdentifier(const std::string& v) { ThisMember.Identifier = v; refreshCell(RowIdentifier, v); }

void CommDisplay::TMode(std::int16_t v)
{
    if (ThisMember.Mode != v) {
        refreshCell(RowMode, ModeText(v));
        SetGridCellColour((v & mode::WDG) ? kYellow : (v & mode::CON) ? kGreen : Grid::kWhite, RowMode, 1);
    }
    ThisMember.Mode = v;
}

void CommDisplay::TSystemStateDES(const std::string& v) { ThisMember.SystemStateDES = v; refreshCell(RowSystemStateDES, v); }
void CommDisplay::TAddress(const std::string& v) { ThisMember.Address = v; refreshCell(RowAddress, v); }
void CommDisplay::TPort(std::int32_t v) { ThisMember.port = v; refreshCell(RowPort, std::to_string(v)); }
void CommDisplay::TDescription(const std::string& v) { ThisMember.Description = v; refreshCell(RowDescription, v); }
void CommDisplay::TServerAddress(const std::string& v) { ThisMember.ServerAddress = v; refreshCell(RowServerAddress, v); }
void CommDisplay::TServerPort(std::int32_t v) { ThisMember.ServerPort = v; refreshCell(RowServerPort, std::to_string(v)); }
void CommDisplay::TPackets(std::int32_t v) { ThisMember.Packets = v; refreshCell(RowPackets, std::to_string(v)); }
void CommDisplay::TLastPacket(DateSerial v) { ThisMember.LastPacket = v; refreshCell(RowLastPacket, dateCell(v)); }
void CommDisplay::TRPackets(std::int32_t v) { ThisMember.RPackets = v; refreshCell(RowRPackets, std::to_string(v)); }
void CommDisplay::TLastRPacket(DateSerial v) { ThisMember.LastRPacket = v; refreshCell(RowLastRPacket, dateCell(v)); }
void CommDisplay::TOPackets(std::int32_t v) { ThisMember.OPackets = v; refreshCell(RowOPackets, std::to_string(v)); }
void CommDisplay::TLastOPacket(DateSerial v) { ThisMember.LastOPacket = v; refreshCell(RowLastOPacket, dateCell(v)); }
void CommDisplay::TBufferSize(std::int16_t) { refreshCell(RowBufferSize, std::to_string(ThisMember.BufferSize())); }
void CommDisplay::TBufferMax(std::int16_t v) { ThisMember.BufferMax = v; refreshCell(RowBufferMax, std::to_string(v)); }
void CommDisplay::TRemoteBuffer(std::int16_t v) { ThisMember.RemoteBuffer = v; refreshCell(RowRemoteBuffer, std::to_string(v)); }
void CommDisplay::TLastConnection(DateSerial v) { ThisMember.LastConnection = v; refreshCell(RowLastConnection, dateCell(v)); }
void CommDisplay::TMemberExpire(DateSerial v) { ThisMember.MemberExpire = v; refreshCell(RowMemberExpire, dateCell(v)); }
void CommDisplay::TCreated(DateSerial v) { ThisMember.Created = v; refreshCell(RowCreated, dateCell(v)); }
void CommDisplay::TWatchDog(DateSerial v) { ThisMember.WatchDog = v; refreshCell(RowWatchDog, dateCell(v)); }
void CommDisplay::TLastWDog(DateSerial v) { ThisMember.LastWDog = v; refreshCell(RowLastWDog, dateCell(v)); }
void CommDisplay::TExpWatchDog(DateSerial v) { ThisMember.ExpWatchDog = v; refreshCell(RowExpWatchDog, dateCell(v)); }
void CommDisplay::TExpNextWDog(DateSerial v) { ThisMember.ExpNextWDog = v; refreshCell(RowExpNextWDog, dateCell(v)); }
void CommDisplay::Tsocket(std::int16_t v) { ThisMember.socket = v; refreshCell(RowSocket, std::to_string(v)); }
void CommDisplay::TMapTo(std::int16_t v) { ThisMember.MapTo = v; refreshCell(RowMapTo, std::to_string(v)); }
void CommDisplay::TSystemState(std::int16_t v)
{
    ThisMember.SystemState = v;
    refreshCell(RowSystemState, std::to_string(v));
    if (v == 1)
        announce("connecting to " + ThisMember.ServerAddress + ":" + std::to_string(ThisMember.ServerPort));
    else if (v == 10)
        announce("retrying");
}
void CommDisplay::TTimeOut(std::int16_t v) { ThisMember.TimeOut = v; refreshCell(RowTimeOut, std::to_string(v)); }
void CommDisplay::TBuffer(const std::string& v) { ThisMember.Buffer = v; refreshCell(RowBuffer, v); }

void CommDisplay::setFlag(std::int16_t flag, bool on)
{
    const int m = on ? (ThisMember.Mode | flag) : (ThisMember.Mode & ~flag);
    TMode(static_cast<std::int16_t>(m));
}

void CommDisplay::announce(const std::string& status)
{
    if (status == linkStatus_)
        return;
    if (status != "logged in" && linkStatus_ == "logged in") {
        linkStatus_ = "lost";
        log_.Echo("link: lost");
        log_.UpdateSystemLog(-1, log_.ApplicationList, "", "  HUB: Link to the switch lost");
    }
    linkStatus_ = status;
    log_.Echo("link: " + status);
}

void CommDisplay::InsertClientLog(const std::string& text)
{
    log_.Echo("link: " + text);
    ClientLogLines[static_cast<size_t>(linesWrite_)] = clock_.now().timeText() + "  " + text;
    linesWrite_ = (linesWrite_ + 1) % kLogLines;
    RefreshClientLog();
}

void CommDisplay::RefreshClientLog()
{
    auto& list = form_.lstClientLog;
    for (int n = 0; linesShown_ != linesWrite_ && n < kLogLines; ++n) {
        list.addItem(ClientLogLines[static_cast<size_t>(linesShown_)], 0);
        linesShown_ = (linesShown_ + 1) % kLogLines;
        list.setListIndex(0);
        while (list.listCount() > kShownLines)
            list.removeItem(list.listCount() - 1);
    }
}

void CommDisplay::AddToClientLogRing(const std::string& text)
{
    ClientLogRing[static_cast<size_t>(ringWrite_)] = text;
    ringWrite_ = (ringWrite_ + 1) % (kRing - 1);
}

void CommDisplay::drainClientLogRing()
{
    while (ringRead_ != ringWrite_) {
        InsertClientLog(ClientLogRing[static_cast<size_t>(ringRead_)]);
        ringRead_ = (ringRead_ + 1) % (kRing - 1);
    }
}

void CommDisplay::SetLatch()
{
    if ((ThisMember.Mode & mode::SYN) && !(ThisMember.Mode & mode::NWT)) {
        setFlag(mode::LTH, true);
        InsertClientLog(std::string(35, ' ') + "LATCH SET");
    }
}

void CommDisplay::ShowLinkStatus(const std::string& text)
{
    if (form_.lblError.caption() == text)
        return;
    form_.lblError.setCaption(text);
    mainForm_.lbTCPProgress.setCaption(text);
}

}  // namespace smtpin::hub
