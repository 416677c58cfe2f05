#include "LinkViewModel.h"

#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

namespace smtpin::hub {

namespace {

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

LinkViewModel::LinkViewModel(const Clock& clock, SystemLog& log, forms::CommDisplayForm& form, Label& progress)
    : clock_(clock), log_(log), form_(form), progress_(progress)
{
}

void LinkViewModel::BuildMemberGrid(const CommMemberType& member)
{
    auto& g = form_.grdMember;
    g.resize(31, 2);
    g.setColWidth(0, 1635);
    g.setColWidth(1, 8000);
    for (int row = 0; row <= RowState; ++row)
        g.setTextMatrix(row, 0, kRowNames[row]);
    g.setTextMatrix(0, 1, "Value");
    showAll(member);
}

// Fills every value cell, so the window shows the record from the start.
void LinkViewModel::showAll(const CommMemberType& m)
{
    const std::pair<MemberRow, std::string> cells[] = {
        {RowIdentifier, m.Identifier}, {RowMode, ModeText(m.Mode)}, {RowSystemStateDES, m.SystemStateDES},
        {RowAddress, m.Address}, {RowPort, std::to_string(m.port)}, {RowDescription, m.Description},
        {RowServerAddress, m.ServerAddress}, {RowServerPort, std::to_string(m.ServerPort)},
        {RowPackets, std::to_string(m.Packets)}, {RowLastPacket, dateCell(m.LastPacket)},
        {RowRPackets, std::to_string(m.RPackets)}, {RowLastRPacket, dateCell(m.LastRPacket)},
        {RowOPackets, std::to_string(m.OPackets)}, {RowLastOPacket, dateCell(m.LastOPacket)},
        {RowBufferSize, std::to_string(m.BufferSize())}, {RowBufferMax, std::to_string(m.BufferMax)},
        {RowRemoteBuffer, std::to_string(m.RemoteBuffer)}, {RowLastConnection, dateCell(m.LastConnection)},
        {RowMemberExpire, dateCell(m.MemberExpire)}, {RowCreated, dateCell(m.Created)},
        {RowWatchDog, dateCell(m.WatchDog)}, {RowLastWDog, dateCell(m.LastWDog)},
        {RowExpWatchDog, dateCell(m.ExpWatchDog)}, {RowExpNextWDog, dateCell(m.ExpNextWDog)},
        {RowSocket, std::to_string(m.socket)}, {RowMapTo, std::to_string(m.MapTo)},
        {RowSystemState, std::to_string(m.SystemState)}, {RowTimeOut, std::to_string(m.TimeOut)},
        {RowBuffer, m.Buffer}, {RowState, std::to_string(m.State)}};
    for (const auto& [row, text] : cells)
        ShowCell(row, text);
}

void LinkViewModel::ShowCell(MemberRow row, const std::string& text)
{
    if (form_.grdMember.textMatrix(row, 1) != text)
        form_.grdMember.setTextMatrix(row, 1, text);
}

void LinkViewModel::ShowMode(std::int16_t mode)
{
    ShowCell(RowMode, ModeText(mode));
    const unsigned rgb = (mode & mode::WDG) ? kYellow : (mode & mode::CON) ? kGreen : Grid::kWhite;
    if (form_.grdMember.cellBackColor(RowMode, 1) != rgb)
        form_.grdMember.setCellBackColor(RowMode, 1, rgb);
}

void LinkViewModel::ShowLinkStatus(const std::string& text)
{
    if (form_.lblError.caption() == text)
        return;
    form_.lblError.setCaption(text);
    progress_.setCaption(text);
}

void LinkViewModel::InsertClientLog(const std::string& text)
{
    log_.Echo("link: " + text);
    ClientLogLines[static_cast<size_t>(linesWrite_)] = clock_.now().timeText() + "  " + text;
    linesWrite_ = (linesWrite_ + 1) % kLogLines;
    RefreshClientLog();
}

void LinkViewModel::RefreshClientLog()
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

void LinkViewModel::AddToClientLogRing(const std::string& text)
{
    ClientLogRing[static_cast<size_t>(ringWrite_)] = text;
    ringWrite_ = (ringWrite_ + 1) % (kRing - 1);
}

void LinkViewModel::drainClientLogRing()
{
    while (ringRead_ != ringWrite_) {
        InsertClientLog(ClientLogRing[static_cast<size_t>(ringRead_)]);
        ringRead_ = (ringRead_ + 1) % (kRing - 1);
    }
}

}  // namespace smtpin::hub
