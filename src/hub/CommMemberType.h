#pragma once

#include "messages/CommType.h"
#include "messages/HubLinkPort.h"
#include "platform/DateSerial.h"

#include <cstdint>
#include <deque>
#include <string>

namespace smtpin::hub {

using messages::CommType;

// Mode flags of a member record.
namespace mode {
inline constexpr std::int16_t PEN = 0x0200;
inline constexpr std::int16_t OUT = 0x0100;
inline constexpr std::int16_t CON = 0x0080;
inline constexpr std::int16_t WDG = 0x0040;
inline constexpr std::int16_t LTH = 0x0020;
inline constexpr std::int16_t BUF = 0x0010;
inline constexpr std::int16_t FLH = 0x0008;
inline constexpr std::int16_t STC = 0x0004;
inline constexpr std::int16_t NWT = 0x0002;
inline constexpr std::int16_t SYN = 0x0001;
}  // namespace mode

// The link engine's steps. Their numbers are what the member record carries
// and its grid shows.
enum class Step : std::int16_t {
    Idle = 0,
    Open = 1,                // connect
    WaitForConnection = 2,
    TcpConnected = 3,
    WaitForLogin = 4,
    LoggedIn = 5,
    CloseNotice = 8,         // logoff: tell the switch
    WaitForClose = 9,
    ClosePort = 10,          // close, then try again
    SendLogin = 11,
    RequestingData = 30,     // the waiting request mode asked for the next record
    WaitingForData = 31,
};
constexpr std::int16_t number(Step s) { return static_cast<std::int16_t>(s); }

// Ten bracketed 3-letter slots, highest flag on the left.
std::string ModeText(std::int16_t mode);

// One end of the hub link: identity, counters, the engine's state and a
// bounded output buffer of records waiting to be sent.
class CommMemberType {
public:
    explicit CommMemberType(DateSerial now = DateSerial()) { Clear(now); }

    std::int16_t State;
    std::int16_t SystemState;
    std::string SystemStateDES;
    std::string Identifier;
    std::string Description;
    std::string Address;
    std::int32_t port;
    std::int16_t socket;
    std::string ServerAddress;
    std::int32_t ServerPort;
    DateSerial WatchDog;
    DateSerial LastWDog;
    DateSerial ExpWatchDog;
    DateSerial ExpNextWDog;
    std::int32_t Packets;
    std::int32_t RPackets;
    DateSerial LastPacket;
    DateSerial LastRPacket;
    DateSerial LastConnection;
    DateSerial MemberExpire;
    std::int16_t Mode;
    DateSerial Created;
    std::int16_t MapTo;
    std::int16_t TimeOut;
    std::string Buffer;
    std::int16_t BufferMax;
    std::int32_t OPackets;
    DateSerial LastOPacket;
    std::int16_t RemoteBuffer;

    // now stamps LastConnection and Created, as a new record does.
    void Clear(DateSerial now = DateSerial());
    void BufferClear() { OutputBuffer.clear(); }
    // Appends a copy. A new page is refused (false) while the buffer holds
    // BufferMax pages, so nothing already queued is lost; a watchdog or a
    // state word replaces one of its kind still waiting; a resend always goes.
    bool BufferAdd(const CommType& record, messages::Traffic traffic = messages::Traffic::Page);
    bool BufferRetrieve(CommType& record) const;
    bool BufferDelete(CommType& record);
    std::int16_t BufferSize() const { return static_cast<std::int16_t>(OutputBuffer.size()); }
    // New pages waiting; what BufferMax limits. Pages sent again after a
    // login (already answered 250) never take the room of new ones.
    int PagesWaiting() const;
    // The limit new pages meet: BufferMax, or the default when that is not positive.
    int PageLimit() const { return BufferMax > 0 ? BufferMax : kDefaultBufferMax; }
    static constexpr std::int16_t kDefaultBufferMax = 100;
    bool Copy(CommMemberType& target) const;
    bool CreatePacket(std::string& output) const;
    // unreadable, when given, names the fields that did not convert in a
    // packet whose layout is sound (empty otherwise).
    bool ExtractPacket(const std::string& source, std::string* unreadable = nullptr);

    struct Outgoing {
        CommType record;
        messages::Traffic traffic;
    };
    const std::deque<Outgoing>& outputBuffer() const { return OutputBuffer; }

private:
    std::deque<Outgoing> OutputBuffer;
};

}  // namespace smtpin::hub
