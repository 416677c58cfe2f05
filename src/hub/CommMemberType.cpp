#include "CommMemberType.h"

#include "CommShared.h"
#include "platform/TextNumbers.h"

namespace smtpin::hub {

std::string ModeText(std::int16_t value)
{
    struct Slot {
        std::int16_t bit;
        const char* token;
    };
    static constexpr Slot kSlots[] = {{mode::PEN, "PEN"}, {mode::OUT, "OUT"}, {mode::CON, "CON"}, {mode::WDG, "WDG"},
                 {mode::LTH, "LTH"}, {mode::BUF, "BUF"}, {mode::FLH, "FLH"}, {mode::STC, "STC"},
                 {mode::NWT, "NWT"}, {mode::SYN, "SYN"}};
    std::string text;
    for (const auto& s : kSlots) {
        text += '[';
        text += (value & s.bit) ? s.token : "...";
        text += ']';
    }
    return text;
}

void CommMemberType::Clear(DateSerial now)
{
    State = 0;
    SystemState = 0;
    SystemStateDES.clear();
    Identifier.clear();
    Description.clear();
    Address.clear();
    port = 0;
    socket = -1;
    ServerAddress.clear();
    ServerPort = -1;
    WatchDog = DateSerial(1.0 / 1440.0);
    LastWDog = DateSerial();
    ExpWatchDog = DateSerial(1.0 / 1440.0);
    ExpNextWDog = DateSerial();
    Packets = 0;
    RPackets = 0;
    LastPacket = DateSerial();
    LastRPacket = DateSerial();
    LastConnection = now;
    MemberExpire = DateSerial(-1.0);
    Mode = 0;
    Created = now;
    MapTo = -1;
    TimeOut = 0;
    Buffer.clear();
    BufferMax = 10;
    OPackets = 0;
    LastOPacket = DateSerial();
    RemoteBuffer = 100;
    OutputBuffer.clear();
}

bool CommMemberType::BufferAdd(const CommType& record, messages::Traffic traffic)
{
    using messages::Traffic;
    switch (traffic) {
    case Traffic::Page:
        if (PagesWaiting() >= PageLimit())
            return false;
        break;
    case Traffic::Watchdog:
    case Traffic::StateWord:
        std::erase_if(OutputBuffer, [traffic](const Outgoing& o) { return o.traffic == traffic; });
        break;
    case Traffic::Resend:
        break;
    }
    OutputBuffer.push_back({record, traffic});
    return true;
}

int CommMemberType::PagesWaiting() const
{
    int n = 0;
    for (const Outgoing& o : OutputBuffer)
        n += (o.traffic == messages::Traffic::Page || o.traffic == messages::Traffic::Resend) ? 1 : 0;
    return n;
}

bool CommMemberType::BufferRetrieve(CommType& record) const
{
    if (OutputBuffer.empty())
        return false;
    record = OutputBuffer.front().record;
    return true;
}

bool CommMemberType::BufferDelete(CommType& record)
{
    if (!BufferRetrieve(record))
        return false;
    OutputBuffer.pop_front();
    return true;
}

bool CommMemberType::Copy(CommMemberType& target) const
{
    if (&target == this)
        return true;
    auto buffer = std::move(target.OutputBuffer);
    target = *this;
    target.OutputBuffer = std::move(buffer);
    return true;
}

bool CommMemberType::CreatePacket(std::string& output) const
{
    using namespace packet;
    std::string body;
    AppendInteger(body, State);
    AppendInteger(body, SystemState);
    AppendCounted(body, SystemStateDES);
    AppendFixed(body, Identifier);
    AppendCounted(body, Description);
    AppendCounted(body, Address);
    AppendInteger(body, port);
    AppendInteger(body, socket);
    AppendCounted(body, ServerAddress);
    AppendInteger(body, ServerPort);
    AppendInteger(body, BufferMax);
    AppendInteger(body, RemoteBuffer);
    AppendDate(body, WatchDog);
    AppendDate(body, LastWDog);
    AppendDate(body, ExpWatchDog);
    AppendDate(body, ExpNextWDog);
    AppendInteger(body, Packets);
    AppendInteger(body, RPackets);
    AppendInteger(body, OPackets);
    AppendDate(body, LastPacket);
    AppendDate(body, LastRPacket);
    AppendDate(body, LastOPacket);
    AppendDate(body, LastConnection);
    AppendDate(body, MemberExpire);
    AppendInteger(body, Mode);
    AppendDate(body, Created);
    AppendInteger(body, MapTo);
    AppendInteger(body, TimeOut);
    AppendCounted(body, Buffer);
    for (const std::string* t : {&SystemStateDES, &Description, &Address, &ServerAddress, &Buffer})
        if (t->size() > 9999)
            return false;
    output += "0000" + body;
    return true;
}

bool CommMemberType::ExtractPacket(const std::string& source)
{
    Clear();
    if (source.size() < 4)
        return false;
    const auto check = toInt16(source.substr(0, 4));
    if (!check || *check != 0)
        return false;
    packet::FieldReader r(source, 5);
    r.integer(State);
    r.integer(SystemState);
    r.counted(SystemStateDES);
    r.fixed(Identifier);
    r.counted(Description);
    r.counted(Address);
    r.integer(port);
    r.integer(socket);
    r.counted(ServerAddress);
    r.integer(ServerPort);
    r.integer(BufferMax);
    r.integer(RemoteBuffer);
    r.date(WatchDog);
    r.date(LastWDog);
    r.date(ExpWatchDog);
    r.date(ExpNextWDog);
    r.integer(Packets);
    r.integer(RPackets);
    r.integer(OPackets);
    r.date(LastPacket);
    r.date(LastRPacket);
    r.date(LastOPacket);
    r.date(LastConnection);
    r.date(MemberExpire);
    r.integer(Mode);
    r.date(Created);
    r.integer(MapTo);
    r.integer(TimeOut);
    r.counted(Buffer);
    return r.ok();
}

}  // namespace smtpin::hub
