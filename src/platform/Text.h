#pragma once

#include <optional>
#include <string>
#include <string_view>

// Small text rules shared by every layer, each with one home.
namespace smtpin::text {

inline constexpr std::string_view kSpace = " ";
inline constexpr std::string_view kSpaceTab = " \t";
inline constexpr std::string_view kBlanks = " \t\r\n";

// s without the given blank characters at either end.
std::string_view Trim(std::string_view s, std::string_view blanks = kSpaceTab);

std::string Lower(std::string s);
std::string Upper(std::string s);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Where needle first stands in haystack at or after from, letters compared
// without case; npos when nowhere.
std::size_t FindNoCase(std::string_view haystack, std::string_view needle, std::size_t from = 0);

// Whether the bytes are UTF-8 as RFC 3629 has it (no overlong forms, no
// surrogates, nothing above U+10FFFF); plain ASCII is.
bool IsUtf8(std::string_view bytes);
// Whether they also hold a byte above 127, which only UTF-8 text or a
// single-byte code page would.
bool HasEightBit(std::string_view bytes);

// The class character of a member code ("S01", "h**"): a letter in lower
// case, or the wildcard '*' or '?'; '\0' for anything else. The link's
// login code and the client's own identifier both start with one.
char MemberClass(char c);

// "True"/"False" in any letter case, or a number (not zero is True), blanks
// around allowed; anything else is nothing.
std::optional<bool> ToBool(std::string_view text);

}  // namespace smtpin::text
