// A request head as the status endpoint answers it.
#include "status/StatusServer.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace smtpin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string head(reinterpret_cast<const char*>(data), size);
    const status::Reply r = status::Answer(head, [] { return status::Snapshot{}; });
    if (r.code < 200 || r.code > 599)
        std::abort();
    std::string why;
    (void)status::ParseListen(head, &why);
    return 0;
}
