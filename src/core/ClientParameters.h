#pragma once

#include <optional>
#include <string>
#include <vector>

namespace smtpin::core {

// One client configuration parameter (a HXSClientConfig row of the client's
// Device): what values it takes, its default and when it is read.
struct ClientParameter {
    const char* name;
    const char* range;        // as the operator reads it
    const char* defaultValue;
    const char* whenRead;
    const char* about;
    // Why value cannot be used, or nothing.
    std::optional<std::string> (*check)(const std::string& value);
};

// Every parameter the client reads, in the order of the reference.
const std::vector<ClientParameter>& ClientParameters();
const ClientParameter* FindClientParameter(const std::string& name);

}  // namespace smtpin::core
