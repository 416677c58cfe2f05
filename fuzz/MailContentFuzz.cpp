// A finished mail as extraction reads it: MIME parts, transfer encodings,
// charsets, and the pager message's fields.
#include "smtp/MailContent.h"
#include "smtp/PagerMessageExtraction.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace smtpin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const CodePage codePage;
    const std::string_view mail(reinterpret_cast<const char*>(data), size);
    const PagerText found = FindPagerText(mail, codePage);
    for (const char* field : {"PagerPin", "Message", "MessageHash", "TimeRequested", "MachineName"}) {
        const std::string value = PagerMessageExtraction::GetTagValue(found.text, field);
        const auto [start, length] = PagerMessageExtraction::FindElement(found.text, field);
        if (start != std::string::npos && (start > found.text.size() || length > found.text.size() - start))
            std::abort();
        (void)value;
    }
    (void)codePage.FromUtf8(found.text);
    (void)HasMimeHeaders(mail);
    return 0;
}
