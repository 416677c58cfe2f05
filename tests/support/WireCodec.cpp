#include "WireCodec.h"

#include <cstdio>

namespace smtpin::test::wire {

namespace {

constexpr char kTab = '\t';
constexpr char kSoh = '\x01';

// Field kinds: a number or date ended by TAB, a text counted in 4 digits,
// a 3-character code.
enum Kind { Tab, Counted, Code };

struct MemberField {
    const char* name;
    Kind kind;
};

constexpr MemberField kMember[] = {
    {"State", Tab}, {"SystemState", Tab}, {"SystemStateDES", Counted}, {"Identifier", Code},
    {"Description", Counted}, {"Address", Counted}, {"port", Tab}, {"socket", Tab}, {"ServerAddress", Counted},
    {"ServerPort", Tab}, {"BufferMax", Tab}, {"RemoteBuffer", Tab}, {"WatchDog", Tab}, {"LastWDog", Tab},
    {"ExpWatchDog", Tab}, {"ExpNextWDog", Tab}, {"Packets", Tab}, {"RPackets", Tab}, {"OPackets", Tab},
    {"LastPacket", Tab}, {"LastRPacket", Tab}, {"LastOPacket", Tab}, {"LastConnection", Tab},
    {"MemberExpire", Tab}, {"Mode", Tab}, {"Created", Tab}, {"MapTo", Tab}, {"TimeOut", Tab}, {"Buffer", Counted}};

std::string fourDigits(std::size_t n)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04zu", n);
    return buf;
}

void put(std::string& out, Kind kind, const std::string& value)
{
    switch (kind) {
    case Tab: out += value + kTab; break;
    case Counted: out += fourDigits(value.size()) + value; break;
    case Code: out += (value + "   ").substr(0, 3); break;
    }
}

// Reads one field at pos; false when the layout is broken there.
bool take(std::string_view text, std::size_t& pos, Kind kind, std::string& value)
{
    switch (kind) {
    case Tab: {
        const auto tab = text.find(kTab, pos);
        if (tab == std::string_view::npos)
            return false;
        value = std::string(text.substr(pos, tab - pos));
        pos = tab + 1;
        return true;
    }
    case Counted: {
        if (pos + 4 > text.size())
            return false;
        std::size_t n = 0;
        for (char c : text.substr(pos, 4)) {
            if (c < '0' || c > '9')
                return false;
            n = n * 10 + static_cast<std::size_t>(c - '0');
        }
        if (pos + 4 + n > text.size())
            return false;
        value = std::string(text.substr(pos + 4, n));
        pos += 4 + n;
        return true;
    }
    case Code:
        if (pos + 3 > text.size())
            return false;
        value = std::string(text.substr(pos, 3));
        pos += 3;
        return true;
    }
    return false;
}

bool checkIs(std::string_view text, int expected)
{
    if (text.size() < 4)
        return false;
    int check = 0;
    for (char c : text.substr(0, 4)) {
        if (c < '0' || c > '9')
            return false;
        check = check * 10 + (c - '0');
    }
    return check == expected;
}

}  // namespace

int checksum(std::string_view text)
{
    int sum = 0;
    for (unsigned char c : text)
        sum = (sum + c) % 10000;
    return sum;
}

std::string encode(const Packet& p)
{
    std::string body;
    put(body, Tab, p.id);
    put(body, Counted, p.userid);
    put(body, Tab, p.priority);
    put(body, Code, p.source);
    put(body, Code, p.target);
    put(body, Tab, p.sdate);
    put(body, Tab, p.edate);
    put(body, Counted, p.mtype);
    put(body, Counted, p.message);
    for (const auto& f : p.fields)
        put(body, Counted, f);
    body += kSoh;
    return fourDigits(static_cast<std::size_t>(checksum(body))) + body;
}

std::optional<Packet> decode(std::string_view packet)
{
    if (packet.size() < 5 || packet.back() != kSoh || !checkIs(packet, checksum(packet.substr(4))))
        return std::nullopt;
    Packet p;
    std::size_t pos = 4;
    std::string* texts[] = {&p.id, &p.userid, &p.priority, &p.source, &p.target, &p.sdate, &p.edate, &p.mtype,
                            &p.message};
    const Kind kinds[] = {Tab, Counted, Tab, Code, Code, Tab, Tab, Counted, Counted};
    for (int i = 0; i < 9; ++i)
        if (!take(packet, pos, kinds[i], *texts[i]))
            return std::nullopt;
    for (auto& f : p.fields)
        if (!take(packet, pos, Counted, f))
            return std::nullopt;
    if (pos != packet.size() - 1)
        return std::nullopt;
    return p;
}

std::string memberPacket(const std::map<std::string, std::string>& fields)
{
    std::string out = "0000";
    for (const auto& f : kMember) {
        const auto it = fields.find(f.name);
        put(out, f.kind, it != fields.end() ? it->second : (f.kind == Tab ? "0" : ""));
    }
    return out;
}

std::optional<std::map<std::string, std::string>> decodeMember(std::string_view packet)
{
    if (!checkIs(packet, 0))
        return std::nullopt;
    std::map<std::string, std::string> out;
    std::size_t pos = 4;
    for (const auto& f : kMember)
        if (!take(packet, pos, f.kind, out[f.name]))
            return std::nullopt;
    return out;
}

Record Record::parse(const std::string& text)
{
    Record r;
    std::size_t from = 0;
    for (auto bar = text.find('|'); bar != std::string::npos; bar = text.find('|', from)) {
        r.fields.push_back(text.substr(from, bar - from));
        from = bar + 1;
    }
    r.fields.push_back(text.substr(from));
    return r;
}

Record Record::newMessage(long id, const std::string& number, const std::string& text)
{
    Record r;
    r.fields.assign(18, "");
    char buf[24];
    std::snprintf(buf, sizeof buf, "%07ld", id);
    r.fields[0] = buf;
    r.fields[1] = "15/01/2026 10:00:00";
    r.fields[2] = "S01";
    r.fields[4] = "0";
    r.fields[5] = "PORTASSIG";
    r.fields[6] = number;
    r.fields[8] = text;
    r.fields[12] = r.fields[13] = "00:00:00";
    r.fields[16] = "10:00:00 CREATED ";
    r.fields[17] = "NEWMESS";
    return r;
}

std::string Record::text() const
{
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i)
        out += (i ? "|" : "") + fields[i];
    return out;
}

long Record::id() const
{
    const std::string f = field(0);
    if (f.empty() || f.size() > 10 || f.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stol(f);
}

}  // namespace smtpin::test::wire
