#include "PacketReader.h"

#include "CommShared.h"

namespace smtpin::hub {

void PacketReader::append(const std::string& bytes)
{
    buffer_ += bytes;
    bound();
}

bool PacketReader::next(std::string& packet)
{
    const auto end = buffer_.find(packet::kEnd, start_);
    if (end == std::string::npos) {
        // Keep only the unfinished packet, so the buffer does not grow with
        // what was already taken.
        buffer_.erase(0, start_);
        start_ = 0;
        return false;
    }
    packet.assign(buffer_, start_, end + 1 - start_);
    start_ = end + 1;
    return true;
}

void PacketReader::clear()
{
    buffer_.clear();
    start_ = 0;
}

void PacketReader::bound()
{
    if (pending() > kMaxBuffer) {
        buffer_.erase(0, buffer_.size() - kMaxBuffer);
        start_ = 0;
    }
}

}  // namespace smtpin::hub
