#include "TextNumbers.h"
#include "platform/Text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace smtpin {

namespace {


std::optional<long long> toWhole(std::string_view text, long long lo, long long hi)
{
    const auto t = text::Trim(text, text::kSpaceTab);
    if (t.empty() || t.size() > 40)
        return std::nullopt;
    for (char c : t)
        if (!(c == '+' || c == '-' || c == '.' || (c >= '0' && c <= '9')))
            return std::nullopt;
    const auto d = toDouble(t);
    if (!d)
        return std::nullopt;
    const double r = std::nearbyint(*d);   // default rounding: half to even
    if (r < double(lo) || r > double(hi))
        return std::nullopt;
    return static_cast<long long>(r);
}

}  // namespace

std::optional<std::int32_t> toInt32(std::string_view text)
{
    const auto v = toWhole(text, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    if (!v)
        return std::nullopt;
    return static_cast<std::int32_t>(*v);
}

std::optional<std::int16_t> toInt16(std::string_view text)
{
    const auto v = toWhole(text, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max());
    if (!v)
        return std::nullopt;
    return static_cast<std::int16_t>(*v);
}

std::string serialText(double value)
{
    char buf[64];
    for (int precision = 1; precision <= 15; ++precision) {
        auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, precision);
        const std::string text(buf, res.ptr);
        if (toDouble(text) == value)
            return text;
    }
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, res.ptr);
}

std::optional<double> toDouble(std::string_view text)
{
    auto t = text::Trim(text, text::kSpaceTab);
    if (!t.empty() && t.front() == '+')
        t.remove_prefix(1);
    if (t.empty() || t.size() > 64)
        return std::nullopt;
    double v = 0;
    const auto res = std::from_chars(t.data(), t.data() + t.size(), v);
    if (res.ec != std::errc() || res.ptr != t.data() + t.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::string zeroPadded(long long value, int width)
{
    const bool negative = value < 0;
    std::string digits = std::to_string(negative ? -static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value));
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return negative ? "-" + digits : digits;
}

}  // namespace smtpin
