#include "CommShared.h"

#include "LinkSocket.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

#include <algorithm>

namespace smtpin::hub {

namespace packet {

std::string ControlText(int code)
{
    switch (code) {
    case ServerLogoff: return "Requesting Logoff ... (Server Disconnection Request)";
    case ClientLogoff: return "Requesting Logoff ... (Client Disconnection Request/Ack)";
    case KillRequest: return "KILL Request next packet";
    case BufferEmpty: return "Buffer Emtpy token (Nothing to Receive)";
    case RequestNext: return "Request next packet";
    case LinkWatchDog: return "Commclass System WatchDog (Level 1) ....";
    default: return {};
    }
}

void AppendInteger(std::string& out, long long value)
{
    out += std::to_string(value);
    out += kTab;
}

void AppendDate(std::string& out, DateSerial value)
{
    out += serialText(value.days());
    out += kTab;
}

void AppendCounted(std::string& out, const std::string& text)
{
    out += zeroPadded(static_cast<long long>(text.size()), 4);
    out += text;
}

void AppendFixed(std::string& out, const std::string& text, std::size_t width)
{
    std::string code = text + std::string(width, ' ');
    code.resize(width);
    out += code;
}

std::size_t GetTabField(std::string& value, const std::string& text, std::size_t start)
{
    const std::size_t from = start == 0 ? 0 : start - 1;
    if (from >= text.size()) {
        value.clear();
        return 0;
    }
    const auto p = text.find(kTab, from);
    if (p == std::string::npos) {
        value = text.substr(from);
        return 0;
    }
    value = text.substr(from, p - from);
    return p + 1;
}

std::size_t GetLengthField(std::string& value, const std::string& text, std::size_t start)
{
    if (start == 0 || start + 3 > text.size())
        return text.size();
    const std::string count = text.substr(start - 1, 4);
    for (char c : count)
        if (c < '0' || c > '9')
            return text.size();
    const std::size_t n = std::stoul(count);
    if (start + 3 + n > text.size())
        return text.size();
    value = text.substr(start + 3, n);
    return start + 3 + n;
}

std::size_t GetFixedField(std::string& value, const std::string& text, std::size_t start, std::size_t width)
{
    if (start == 0 || start + width - 1 > text.size())
        return text.size();
    value = text.substr(start - 1, width);
    return start + width - 1;
}

bool FieldReader::tabField(std::string& value)
{
    const std::size_t p = GetTabField(value, text_, pos_);
    if (p == 0) {
        ok_ = false;
        structureOk_ = false;
        pos_ = text_.size() + 1;
        return false;
    }
    pos_ = p + 1;
    return true;
}

void FieldReader::notConverted(const char* name, const std::string& value)
{
    ok_ = false;
    if (!unreadable_.empty())
        unreadable_ += ", ";
    unreadable_ += std::string(name) + " '" + value.substr(0, 40) + "'";
}

void FieldReader::integer(std::int16_t& target, const char* name)
{
    std::string v;
    if (!tabField(v))
        return;
    if (const auto n = toInt16(v))
        target = *n;
    else
        notConverted(name, v);
}

void FieldReader::integer(std::int32_t& target, const char* name)
{
    std::string v;
    if (!tabField(v))
        return;
    if (const auto n = toInt32(v))
        target = *n;
    else
        notConverted(name, v);
}

void FieldReader::date(DateSerial& target, const char* name)
{
    std::string v;
    if (!tabField(v))
        return;
    // A switch may write its locale's decimal comma.
    std::string dotted = v;
    std::replace(dotted.begin(), dotted.end(), ',', '.');
    if (const auto d = toDouble(dotted); d && DateSerial::isDate(*d))
        target = DateSerial(*d);
    else
        notConverted(name, v);
}

void FieldReader::counted(std::string& target)
{
    std::string v;
    const std::size_t before = v.size();
    const std::size_t last = GetLengthField(v, text_, pos_);
    // The reader answers the text's length when the count is bad or the
    // text runs short; a good field ends exactly at pos + 3 + count.
    if (pos_ + 3 > text_.size() || last != pos_ + 3 + v.size() || (v.size() == before && !countIsZero())) {
        ok_ = false;
        structureOk_ = false;
        pos_ = text_.size() + 1;
        return;
    }
    target = v;
    pos_ = last + 1;
}

bool FieldReader::countIsZero() const
{
    return pos_ + 3 <= text_.size() && text_.compare(pos_ - 1, 4, "0000") == 0;
}

void FieldReader::fixed(std::string& target, std::size_t width)
{
    std::string v;
    const std::size_t last = GetFixedField(v, text_, pos_, width);
    if (v.size() != width) {
        ok_ = false;
        structureOk_ = false;
        pos_ = text_.size() + 1;
        return;
    }
    target = v;
    pos_ = last + 1;
}

}  // namespace packet

std::int16_t PacketChecksum(const std::string& text)
{
    int sum = 0;
    for (unsigned char c : text)
        sum = (sum + c) % 10000;
    return static_cast<std::int16_t>(sum);
}

bool CreateCommPacket(std::string& output, const CommType& source)
{
    using namespace packet;
    bool error = false;
    auto counted = [&](const std::string& text) {
        // A count of five digits would not read back.
        if (text.size() > 9999)
            error = true;
        AppendCounted(output, text);
    };
    output.clear();
    AppendInteger(output, source.id);
    counted(source.Userid);
    AppendInteger(output, source.Priority);
    AppendFixed(output, source.Source);
    AppendFixed(output, source.target);
    AppendDate(output, source.SDate);
    AppendDate(output, source.EDate);
    for (const std::string* f : {&source.Mtype, &source.Message, &source.Field1, &source.Field2, &source.Field3,
                                 &source.Field4, &source.Field5, &source.Field6, &source.Field7, &source.Field8})
        counted(*f);
    output += kEnd;
    output.insert(0, error ? std::string("0000") : zeroPadded(PacketChecksum(output), 4));
    return true;
}

bool ExtractCommPacket(const std::string& source, CommType& record, std::string* unreadable)
{
    if (unreadable)
        unreadable->clear();
    record.Clear();
    if (source.size() < 4)
        return false;
    const auto check = toInt16(source.substr(0, 4));
    if (!check || *check != PacketChecksum(source.substr(4)))
        return false;
    packet::FieldReader r(source, 5);
    r.integer(record.id, "id");
    r.counted(record.Userid);
    r.integer(record.Priority, "Priority");
    r.fixed(record.Source);
    r.fixed(record.target);
    r.date(record.SDate, "SDate");
    r.date(record.EDate, "EDate");
    for (std::string* f : {&record.Mtype, &record.Message, &record.Field1, &record.Field2, &record.Field3,
                           &record.Field4, &record.Field5, &record.Field6, &record.Field7, &record.Field8})
        r.counted(*f);
    if (unreadable && r.structureOk())
        *unreadable = r.unreadable();
    return r.ok();
}

bool SendCommPacket(LinkSocket& socket, const CommType& record)
{
    if (record.target.size() != 3)
        return false;
    std::string packet;
    CreateCommPacket(packet, record);
    LinkSocket::Failure failure;
    return socket.send(packet, &failure);
}

bool SendControlPacket(LinkSocket& socket, const Clock& clock, const std::string& sender,
                       const std::string& addressee, std::int16_t code, const std::string& text)
{
    CommType record;
    record.Source = sender;
    record.target = addressee;
    record.SDate = clock.now();
    record.EDate = DateSerial(10.0 / 86400.0);
    record.Mtype = std::to_string(code);
    if (code == packet::ConnectRequest || code == packet::ConnectAccept)
        record.Message = text;
    else
        record.Message = packet::ControlText(code);
    return SendCommPacket(socket, record);
}

}  // namespace smtpin::hub
