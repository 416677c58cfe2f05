#pragma once

#include "CommMemberType.h"
#include "forms/CommDisplayForm.h"

#include <array>
#include <string>

namespace smtpin {
class Clock;
class Label;
class SystemLog;
}

namespace smtpin::hub {

// The rows of the member grid, in the order the window lists them.
enum MemberRow {
    RowIdentifier = 1, RowMode, RowSystemStateDES, RowAddress, RowPort, RowDescription, RowServerAddress,
    RowServerPort, RowPackets, RowLastPacket, RowRPackets, RowLastRPacket, RowOPackets, RowLastOPacket,
    RowBufferSize, RowBufferMax, RowRemoteBuffer, RowLastConnection, RowMemberExpire, RowCreated, RowWatchDog,
    RowLastWDog, RowExpWatchDog, RowExpNextWDog, RowSocket, RowMapTo, RowSystemState, RowTimeOut, RowBuffer,
    RowState
};

// What the link window shows: the member grid, the client log, and the
// link status, which the main window's progress label repeats.
class LinkViewModel {
public:
    static constexpr int kRing = 101;          // client log ring, slot 100 unused
    static constexpr int kLogLines = 201;      // backing lines of the client log
    static constexpr int kShownLines = 200;

    LinkViewModel(const Clock& clock, SystemLog& log, forms::CommDisplayForm& form, Label& progress);

    forms::CommDisplayForm& form() { return form_; }

    void BuildMemberGrid(const CommMemberType& member);
    void ShowCell(MemberRow row, const std::string& text);
    void ShowMode(std::int16_t mode);
    void ShowLinkStatus(const std::string& text);

    // Written at once, and said on the terminal as a link: line.
    void InsertClientLog(const std::string& text);
    // Noted by other parts at any time; shown on the engine's next tick.
    void AddToClientLogRing(const std::string& text);
    void drainClientLogRing();

private:
    void showAll(const CommMemberType& member);
    void RefreshClientLog();

    const Clock& clock_;
    SystemLog& log_;
    forms::CommDisplayForm& form_;
    Label& progress_;

    std::array<std::string, kRing> ClientLogRing;
    int ringWrite_ = 0;
    int ringRead_ = 0;
    std::array<std::string, kLogLines> ClientLogLines;
    int linesWrite_ = 0;
    int linesShown_ = 0;
};

// Two digits at least, as the engine's countdowns are shown.
std::string twoDigits(int value);

}  // namespace smtpin::hub
