#pragma once

#include "messages/CommType.h"

#include <cstdint>
#include <string>

namespace smtpin { class Clock; }

namespace smtpin::hub {

class LinkSocket;
using messages::CommType;

// The wire form of the hub link: counted texts, TAB-ended numbers,
// 3-character member codes, a 4-digit check and SOH at the end.
namespace packet {

inline constexpr char kTab = '\t';
inline constexpr char kEnd = '\x01';
inline constexpr const char* kHub = "h01";

enum Code : std::int16_t {
    ConnectRequest = 1000,
    ServerLogoff = 1001,
    ClientLogoff = 1002,
    ConnectAccept = 1003,
    KillRequest = 1004,
    BufferEmpty = 1005,
    RequestNext = 1006,
    LinkWatchDog = 1007,
};

// The fixed text of a control code; empty for 1000, 1003 and unknown codes.
std::string ControlText(int code);

void AppendInteger(std::string& out, long long value);
void AppendDate(std::string& out, DateSerial value);
void AppendCounted(std::string& out, const std::string& text);
void AppendFixed(std::string& out, const std::string& text, std::size_t width = 3);

// 1-based positions, as the readers of the original return them.
std::size_t GetTabField(std::string& value, const std::string& text, std::size_t start);
std::size_t GetLengthField(std::string& value, const std::string& text, std::size_t start);
std::size_t GetFixedField(std::string& value, const std::string& text, std::size_t start, std::size_t width);

// Sequential reading of a packet body; a field that is missing or does not
// convert marks the reader failed and leaves the target unchanged. A field
// that is there but does not convert is named in unreadable(); one that is
// missing or miscounted breaks the packet's structure.
class FieldReader {
public:
    FieldReader(const std::string& text, std::size_t start) : text_(text), pos_(start) {}
    void integer(std::int16_t& target, const char* name = "");
    void integer(std::int32_t& target, const char* name = "");
    // A serial with "." or "," as decimal separator, within the dates there are.
    void date(DateSerial& target, const char* name = "");
    void counted(std::string& target);
    void fixed(std::string& target, std::size_t width = 3);
    bool ok() const { return ok_; }
    bool structureOk() const { return structureOk_; }
    // "SDate '1e+20', id 'x'": the fields that did not convert, with their text.
    const std::string& unreadable() const { return unreadable_; }

private:
    bool tabField(std::string& value);
    bool countIsZero() const;
    void notConverted(const char* name, const std::string& value);
    const std::string& text_;
    std::size_t pos_;
    bool ok_ = true;
    bool structureOk_ = true;
    std::string unreadable_;
};

}  // namespace packet

std::int16_t PacketChecksum(const std::string& text);
bool CreateCommPacket(std::string& output, const CommType& source);
// unreadable, when given, names the fields that did not convert in a packet
// whose check and structure are sound (empty otherwise).
bool ExtractCommPacket(const std::string& source, CommType& record, std::string* unreadable = nullptr);
bool SendCommPacket(LinkSocket& socket, const CommType& record);
bool SendControlPacket(LinkSocket& socket, const Clock& clock, const std::string& sender,
                       const std::string& addressee, std::int16_t code, const std::string& text);

}  // namespace smtpin::hub
