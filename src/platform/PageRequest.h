#pragma once

#include "platform/DateSerial.h"

#include <string>

namespace smtpin {

// One page as a mail or a test button asks for it.
struct PageRequest {
    std::string message;   // cut to 160 characters when it is taken
    std::string pagerNumber;
    std::string hash;
    DateSerial requested;
    std::string machine;
    std::string interfaceAddress;
};

}  // namespace smtpin
