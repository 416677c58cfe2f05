#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The hub link's wire form, written again from its description for tests
// that must not trust the program's own packet code: a test switch checked
// with the code it shares would hide every fault they have in common.
namespace smtpin::test::wire {

// A data packet: numbers and dates kept as the text that travelled.
struct Packet {
    std::string id = "0";
    std::string userid;
    std::string priority = "0";
    std::string source;   // 3 characters
    std::string target;   // 3 characters
    std::string sdate = "0";
    std::string edate = "0";
    std::string mtype;
    std::string message;
    std::array<std::string, 8> fields{};
};

// Sum of the byte values, modulo 10000.
int checksum(std::string_view text);
// Check, body and the SOH that ends it.
std::string encode(const Packet& p);
// Nothing when the check does not match or the layout is broken.
std::optional<Packet> decode(std::string_view packet);

// A member packet as a login carries it: the named fields given, every
// other one at its empty or zero value.
std::string memberPacket(const std::map<std::string, std::string>& fields);
// Its 29 fields by name, as text; nothing when its check is not "0000" or
// its layout is broken.
std::optional<std::map<std::string, std::string>> decodeMember(std::string_view packet);

// The record text carried in a data packet's message: 18 fields split at "|".
struct Record {
    std::vector<std::string> fields;

    static Record parse(const std::string& text);
    static Record newMessage(long id, const std::string& number, const std::string& text);
    std::string text() const;
    std::string field(int index) const { return index < static_cast<int>(fields.size()) ? fields[index] : ""; }
    long id() const;   // -1 when not a number
    std::string created() const { return field(1); }
    std::string source() const { return field(2); }
    std::string number() const { return field(6); }
    std::string message() const { return field(8); }
    std::string word() const { return field(17); }
};

}  // namespace smtpin::test::wire
