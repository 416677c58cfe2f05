#pragma once

#include "platform/DateSerial.h"

#include <cstdint>
#include <string>

namespace smtpin::messages {

// The envelope the hub link puts on the wire as one data packet; Message
// carries one record text.
struct CommType {
    std::int16_t id = 0;
    std::string Userid;
    std::int16_t Priority = 0;
    std::string Source;
    std::string target;
    DateSerial SDate;
    DateSerial EDate;
    std::string Mtype;
    std::string Message;
    std::string Field1, Field2, Field3, Field4, Field5, Field6, Field7, Field8;

    void Clear() { *this = CommType(); }
    bool Copy(CommType& target) const
    {
        target = *this;
        return true;
    }
    bool operator==(const CommType&) const = default;
};

}  // namespace smtpin::messages
