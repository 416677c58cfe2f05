// Bytes from the switch: cut into packets, then read as a member record
// (the accept) and as a message record.
#include "hub/CommMemberType.h"
#include "hub/PacketReader.h"
#include "messages/MessageType.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace smtpin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    hub::PacketReader reader;
    const std::size_t piece = 1 + data[0];
    std::string packet;
    for (std::size_t at = 1; at < size; at += piece) {
        reader.append(std::string(reinterpret_cast<const char*>(data + at), std::min(piece, size - at)));
        if (reader.pending() > hub::PacketReader::kMaxBuffer)
            std::abort();
        while (reader.next(packet)) {
            hub::CommMemberType member;
            std::string unreadable;
            (void)member.ExtractPacket(packet, &unreadable);
            messages::MessageType message;
            (void)message.ConvertIntoMtype(packet);
            (void)message.ReadAllFields(packet, unreadable);
        }
    }
    return 0;
}
