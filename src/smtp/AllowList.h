#pragma once

#include <QHostAddress>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace smtpin {

// The senders that may connect: addresses and CIDR ranges, IPv4 and IPv6
// ("ALLOWED_SENDERS", comma-separated). Empty allows everyone.
class AllowList {
public:
    // Nothing, with why, when an entry is neither an address nor a range.
    static std::optional<AllowList> Parse(const std::string& text, std::string* why = nullptr);

    bool Allows(const std::string& address) const;
    bool empty() const { return ranges_.empty(); }
    // The entries as read, for the start-up line.
    std::string Describe() const;

private:
    std::vector<std::pair<QHostAddress, int>> ranges_;
};

}  // namespace smtpin
