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

bool IsUtf8(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int more = 0;
        unsigned char lo = 0x80, hi = 0xBF;   // the second byte's range
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (end - p <= more || p[1] < lo || p[1] > hi)
            return false;
        for (int i = 2; i <= more; ++i)
            if (p[i] < 0x80 || p[i] > 0xBF)
                return false;
        p += more + 1;
    }
    return true;
}

bool HasEightBit(std::string_view bytes)
{
    return std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) > 127; });
}

char MemberClass(char c)
{
    if (c >= 'A' && c <= 'Z')
        return static_cast<char>(c - 'A' + 'a');
    if ((c >= 'a' && c <= 'z') || c == '*' || c == '?')
        return c;
    return '\0';
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
