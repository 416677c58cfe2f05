#include "CommMemberType.h"

#include "CommShared.h"
#include "platform/TextNumbers.h"

#include <algorithm>

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
    case Traffic::Resend: {
        // Sent before those still waiting were taken: it goes ahead of them.
        const auto firstPage = std::find_if(OutputBuffer.begin(), OutputBuffer.end(),
                                            [](const Outgoing& o) { return o.traffic == Traffic::Page; });
        OutputBuffer.insert(firstPage, {record, traffic});
        return true;
    }
    }
    OutputBuffer.push_back({record, traffic});
    return true;
}

int CommMemberType::PagesWaiting() const
{
    int n = 0;
    for (const Outgoing& o : OutputBuffer)
        n += o.traffic == messages::Traffic::Page ? 1 : 0;
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

bool CommMemberType::ExtractPacket(const std::string& source, std::string* unreadable)
{
    if (unreadable)
        unreadable->clear();
    Clear();
    if (source.size() < 4)
        return false;
    const auto check = toInt16(source.substr(0, 4));
    if (!check || *check != 0)
        return false;
    packet::FieldReader r(source, 5);
    r.integer(State, "State");
    r.integer(SystemState, "SystemState");
    r.counted(SystemStateDES);
    r.fixed(Identifier);
    r.counted(Description);
    r.counted(Address);
    r.integer(port, "port");
    r.integer(socket, "socket");
    r.counted(ServerAddress);
    r.integer(ServerPort, "ServerPort");
    r.integer(BufferMax, "BufferMax");
    r.integer(RemoteBuffer, "RemoteBuffer");
    r.date(WatchDog, "WatchDog");
    r.date(LastWDog, "LastWDog");
    r.date(ExpWatchDog, "ExpWatchDog");
    r.date(ExpNextWDog, "ExpNextWDog");
    r.integer(Packets, "Packets");
    r.integer(RPackets, "RPackets");
    r.integer(OPackets, "OPackets");
    r.date(LastPacket, "LastPacket");
    r.date(LastRPacket, "LastRPacket");
    r.date(LastOPacket, "LastOPacket");
    r.date(LastConnection, "LastConnection");
    r.date(MemberExpire, "MemberExpire");
    r.integer(Mode, "Mode");
    r.date(Created, "Created");
    r.integer(MapTo, "MapTo");
    r.integer(TimeOut, "TimeOut");
    r.counted(Buffer);
    if (unreadable && r.structureOk())
        *unreadable = r.unreadable();
    return r.ok();
}

}  // namespace smtpin::hub
