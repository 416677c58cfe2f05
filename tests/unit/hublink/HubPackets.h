#pragma once

#include "hub/CommMemberType.h"
#include "hub/CommShared.h"
#include "messages/CommType.h"

#include <cstdint>
#include <string>

namespace smtpin::test {

// A packet as the hub "h01" sends it.
inline std::string hubPacket(const std::string& mtype, const std::string& message, const std::string& target)
{
    hub::CommType r;
    r.Source = "h01";
    r.target = target;
    r.Userid = "h01";
    r.Mtype = mtype;
    r.Message = message;
    std::string p;
    hub::CreateCommPacket(p, r);
    return p;
}

// The hub's answer to the connection request of "s01".
inline std::string hubAcceptPacket(std::int16_t modeWord = 0x0114, int expWatchDogSeconds = 0)
{
    hub::CommMemberType m;
    if (expWatchDogSeconds > 0)
        m.ExpWatchDog = DateSerial(expWatchDogSeconds / 86400.0);
    m.Identifier = "s01";
    m.Mode = modeWord;
    m.BufferMax = 10;
    m.socket = 3;
    std::string member;
    m.CreatePacket(member);
    return hubPacket("1003", member, "s01");
}

}  // namespace smtpin::test
