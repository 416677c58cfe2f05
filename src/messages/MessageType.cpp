#include "MessageType.h"

#include "db/ClientRegistration.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

namespace smtpin::messages {

void MessageType::Clear()
{
    MessId = 0;
    Created = DateSerial();
    Source.clear();
    destination.clear();
    Priority = 0;
    status.clear();
    Number.clear();
    SrceNumber.clear();
    Message.clear();
    Hash.clear();
    InterfaceAddress.clear();
    Machine.clear();
    Sent = DateSerial();
    Finished = DateSerial();
    Region.clear();
    PType.clear();
    EventLog.clear();
    ComChannel.clear();
    FieldCursor = 1;
}

bool MessageType::Copy(MessageType& target) const
{
    if (&target == this)
        return true;
    target.MessId = MessId;
    target.Created = Created;
    target.Source = Source;
    target.destination = destination;
    target.Priority = Priority;
    target.status = status;
    target.Number = Number;
    target.SrceNumber = SrceNumber;
    target.Message = Message;
    target.Hash = Hash;
    target.InterfaceAddress = InterfaceAddress;
    target.Machine = Machine;
    target.Sent = Sent;
    target.Finished = Finished;
    target.Region = Region;
    target.PType = PType;
    target.EventLog = EventLog;
    target.ComChannel = ComChannel;
    return true;
}

void MessageType::NewMessage(db::ClientRegistration& registration, const Clock& clock)
{
    Clear();
    MessId = registration.GetSystemMessageId();
    Created = clock.now();
    Source = registration.clientId();
}

std::string MessageType::ConCatMe() const
{
    std::string out;
    out.reserve(128 + Message.size() + EventLog.size());
    const char sep = '|';
    out += zeroPadded(MessId, 7);
    out += sep; out += Created.generalDate();
    out += sep; out += Source;
    out += sep; out += destination;
    out += sep; out += std::to_string(Priority);
    out += sep; out += status;
    out += sep; out += Number;
    out += sep; out += SrceNumber;
    out += sep; out += Message;
    out += sep; out += Hash;
    out += sep; out += InterfaceAddress;
    out += sep; out += Machine;
    out += sep; out += Sent.generalDate();
    out += sep; out += Finished.generalDate();
    out += sep; out += Region;
    out += sep; out += PType;
    out += sep; out += EventLog;
    out += sep; out += ComChannel;
    return out;
}

std::string MessageType::NextField(const std::string& source, std::size_t length)
{
    // FieldCursor is 1-based; the "|" that ends the field is skipped.
    std::string field;
    while (FieldCursor <= length) {
        const char c = source[FieldCursor - 1];
        ++FieldCursor;
        if (c == '|')
            break;
        field += c;
    }
    return field;
}

bool MessageType::storeField(int index, const std::string& text)
{
    auto date = [&](DateSerial& field) {
        const auto v = DateSerial::parse(text);
        if (!v)
            return false;
        field = *v;
        return true;
    };
    switch (index) {
    case 0: {
        const auto v = toInt32(text);
        if (!v)
            return false;
        MessId = *v;
        return true;
    }
    case 1: return date(Created);
    case 2: Source = text; return true;
    case 3: destination = text; return true;
    case 4: {
        const auto v = toInt16(text);
        if (!v)
            return false;
        Priority = *v;
        return true;
    }
    case 5: status = text; return true;
    case 6: Number = text; return true;
    case 7: SrceNumber = text; return true;
    case 8: Message = text; return true;
    case 9: Hash = text; return true;
    case 10: InterfaceAddress = text; return true;
    case 11: Machine = text; return true;
    case 12: return date(Sent);
    case 13: return date(Finished);
    case 14: Region = text; return true;
    case 15: PType = text; return true;
    case 16: EventLog = text; return true;
    case 17: ComChannel = text; return true;
    default: return true;   // fields past the 18th are read and dropped
    }
}

bool MessageType::ConvertIntoMtype(const std::string& source)
{
    FieldCursor = 1;
    const std::size_t length = source.size();
    int counter = 0;
    do {
        const std::string field = NextField(source, length);
        if (!storeField(counter, field))
            return false;
        ++counter;
    } while (FieldCursor <= length);
    return true;
}

bool MessageType::ReadAllFields(const std::string& source, std::string& unreadable, bool* converts)
{
    static constexpr const char* kNames[kFieldCount] = {
        "MessId", "Created", "Source", "destination", "Priority", "status", "Number", "SrceNumber", "Message",
        "Hash", "InterfaceAddress", "Machine", "Sent", "Finished", "Region", "PType", "EventLog", "ComChannel"};
    Clear();
    unreadable.clear();
    FieldCursor = 1;
    const std::size_t length = source.size();
    int counter = 0;
    bool all = true;
    do {
        const std::string field = NextField(source, length);
        // An empty field stays cleared; only text that does not convert is told.
        if (!storeField(counter, field)) {
            all = false;
            if (counter < kFieldCount && !field.empty()) {
                if (!unreadable.empty())
                    unreadable += ", ";
                unreadable += std::string(kNames[counter]) + " '" + field.substr(0, 40) + "'";
            }
        }
        ++counter;
    } while (FieldCursor <= length);
    if (converts)
        *converts = all;
    return counter >= kFieldCount;
}

bool MessageType::ConvertMtype(const std::string& source, MessageType& target) const
{
    return target.ConvertIntoMtype(source);
}

}  // namespace smtpin::messages
