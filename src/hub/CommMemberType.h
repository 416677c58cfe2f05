#pragma once

#include "messages/CommType.h"
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
    // Appends a copy when there is room; a full buffer refuses the record
    // (answering false), so nothing already queued is lost.
    bool BufferAdd(const CommType& record);
    bool BufferRetrieve(CommType& record) const;
    bool BufferDelete(CommType& record);
    std::int16_t BufferSize() const { return static_cast<std::int16_t>(OutputBuffer.size()); }
    bool Copy(CommMemberType& target) const;
    bool CreatePacket(std::string& output) const;
    bool ExtractPacket(const std::string& source);

    const std::deque<CommType>& outputBuffer() const { return OutputBuffer; }

private:
    std::deque<CommType> OutputBuffer;
};

}  // namespace smtpin::hub
