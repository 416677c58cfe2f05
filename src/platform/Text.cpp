#include "platform/Text.h"

#include "platform/TextNumbers.h"

#include <algorithm>
#include <cctype>

namespace smtpin::text {

std::string_view Trim(std::string_view s, std::string_view blanks)
{
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos)
        return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::size_t FindNoCase(std::string_view haystack, std::string_view needle, std::size_t from)
{
    if (needle.empty() || from >= haystack.size() || haystack.size() - from < needle.size())
        return std::string_view::npos;
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    const auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(from), haystack.end(), needle.begin(),
                                needle.end(), same);
    return it == haystack.end() ? std::string_view::npos : static_cast<std::size_t>(it - haystack.begin());
}

std::optional<bool> ToBool(std::string_view text)
{
    const std::string_view t = Trim(text, kBlanks);
    if (EqualsNoCase(t, "true"))
        return true;
    if (EqualsNoCase(t, "false"))
        return false;
    if (const auto d = toDouble(t))
        return *d != 0.0;
    return std::nullopt;
}

}  // namespace smtpin::text
