#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace smtpin {

// Number texts as the records and packets carry them: plain decimal,
// blanks around allowed, a fraction rounded half to even; out of range or
// not a number gives nothing.
std::optional<std::int32_t> toInt32(std::string_view text);
std::optional<std::int16_t> toInt16(std::string_view text);

// A double as the shortest text of at most 15 significant digits that
// reads back to the same value, "." as decimal separator.
std::string serialText(double value);
std::optional<double> toDouble(std::string_view text);

// Left-padded with zeros to at least width digits; a minus sign goes first.
std::string zeroPadded(long long value, int width);

}  // namespace smtpin
