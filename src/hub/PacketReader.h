#pragma once

#include <cstddef>
#include <string>

namespace smtpin::hub {

// Cuts the byte stream from the switch into packets. Each packet ends at
// the packet end mark; an unfinished one waits for the rest. What waits is
// bounded: the oldest bytes go first.
class PacketReader {
public:
    static constexpr std::size_t kMaxBuffer = 100000;

    void append(const std::string& bytes);
    // Takes the next whole packet, end mark included; false when none is whole.
    bool next(std::string& packet);
    // Bytes not yet taken.
    std::size_t pending() const { return buffer_.size() - start_; }
    void clear();

private:
    void bound();

    std::string buffer_;
    std::size_t start_ = 0;
};

}  // namespace smtpin::hub
