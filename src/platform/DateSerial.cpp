#include "DateSerial.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

namespace smtpin {
namespace {

const qint64 kEpochJulian = QDate(1899, 12, 30).toJulianDay();

// Zero-padded to width digits, as "%0*d" writes it; every log line's
// stamp goes through here, so no formatted printing for the usual case.
std::string padded(int v, int width)
{
    if (v < 0 || v >= (width == 2 ? 100 : 10000)) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%0*d", width, v);
        return buf;
    }
    std::string out(static_cast<std::size_t>(width), '0');
    for (int i = width - 1; i >= 0 && v > 0; --i, v /= 10)
        out[static_cast<std::size_t>(i)] = static_cast<char>('0' + v % 10);
    return out;
}

std::string two(int v) { return padded(v, 2); }
std::string four(int v) { return padded(v, 4); }

}  // namespace

DateSerial DateSerial::fromDateTime(const QDateTime& dt)
{
    const QDateTime local = dt.toLocalTime();
    const double day = double(local.date().toJulianDay() - kEpochJulian);
    const double frac = local.time().msecsSinceStartOfDay() / 86400000.0;
    // Before the epoch the fraction still counts forward from midnight.
    return DateSerial(day >= 0 ? day + frac : day - frac);
}

DateSerial DateSerial::fromParts(int year, int month, int day, int hour, int minute, int second)
{
    return fromDateTime(QDateTime(QDate(year, month, day), QTime(hour, minute, second)));
}

DateSerial::Parts DateSerial::parts() const
{
    // Clamped, so a serial no date can have still shows without overflow.
    const double days = std::isnan(days_) ? 0.0 : std::clamp(days_, kMinDays, kMaxDays);
    double whole = std::trunc(days);
    double frac = std::fabs(days - whole);
    long long secs = std::llround(frac * 86400.0);
    if (secs >= 86400) {
        secs -= 86400;
        whole += days < 0 ? -1 : 1;
    }
    const QDate d = QDate::fromJulianDay(kEpochJulian + static_cast<qint64>(whole));
    return {d.year(), d.month(), d.day(), int(secs / 3600), int(secs / 60 % 60), int(secs % 60)};
}

QDateTime DateSerial::toDateTime() const
{
    const double days = std::isnan(days_) ? 0.0 : std::clamp(days_, kMinDays, kMaxDays);
    const double whole = std::trunc(days);
    const double frac = std::fabs(days - whole);
    const QDate d = QDate::fromJulianDay(kEpochJulian + static_cast<qint64>(whole));
    const auto ms = static_cast<int>(std::llround(frac * 86400000.0));
    return QDateTime(d, QTime(0, 0)).addMSecs(ms);
}

std::string DateSerial::format(std::string_view pattern) const
{
    const Parts p = parts();
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        const std::string_view rest = pattern.substr(i);
        if (rest.starts_with("yyyy")) { out += four(p.year); i += 4; }
        else if (rest.starts_with("dd")) { out += two(p.day); i += 2; }
        else if (rest.starts_with("mm")) { out += two(p.month); i += 2; }
        else if (rest.starts_with("hh")) { out += two(p.hour); i += 2; }
        else if (rest.starts_with("nn")) { out += two(p.minute); i += 2; }
        else if (rest.starts_with("ss")) { out += two(p.second); i += 2; }
        else { out += pattern[i]; ++i; }
    }
    return out;
}

std::string DateSerial::timeText() const { return format("hh:nn:ss"); }
std::string DateSerial::dateText() const { return format("dd/mm/yyyy"); }

std::string DateSerial::generalDate() const
{
    const Parts p = parts();
    const bool midnight = p.hour == 0 && p.minute == 0 && p.second == 0;
    // The zero date shows as its time alone, the zero date-time as 00:00:00.
    if (std::trunc(days_) == 0.0)
        return timeText();
    if (midnight)
        return dateText();
    return format("dd/mm/yyyy hh:nn:ss");
}

std::optional<DateSerial> DateSerial::parse(std::string_view text)
{
    static const std::regex dmy(R"(^\s*(\d{1,2})/(\d{1,2})/(\d{4})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2}))?)?\s*$)");
    static const std::regex tdmy(R"(^\s*(\d{1,2}):(\d{2})(?::(\d{2}))?\s+(\d{1,2})/(\d{1,2})/(\d{4})\s*$)");
    static const std::regex iso(R"(^\s*(\d{4})-(\d{1,2})-(\d{1,2})(?:[ T](\d{1,2}):(\d{2})(?::(\d{2}))?)?\s*$)");
    static const std::regex timeOnly(R"(^\s*(\d{1,2}):(\d{2})(?::(\d{2}))?\s*$)");
    if (text.size() > 64)
        return std::nullopt;
    const std::string s(text);
    std::smatch m;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    auto num = [&](int k) { return m[k].matched ? std::stoi(m[k].str()) : 0; };
    bool timeAlone = false;
    if (std::regex_match(s, m, dmy)) {
        d = num(1); mo = num(2); y = num(3); h = num(4); mi = num(5); se = num(6);
    } else if (std::regex_match(s, m, tdmy)) {
        h = num(1); mi = num(2); se = num(3); d = num(4); mo = num(5); y = num(6);
    } else if (std::regex_match(s, m, iso)) {
        y = num(1); mo = num(2); d = num(3); h = num(4); mi = num(5); se = num(6);
    } else if (std::regex_match(s, m, timeOnly)) {
        h = num(1); mi = num(2); se = num(3);
        timeAlone = true;
    } else {
        return std::nullopt;
    }
    if (h > 23 || mi > 59 || se > 59)
        return std::nullopt;
    const double frac = (h * 3600 + mi * 60 + se) / 86400.0;
    if (timeAlone)
        return DateSerial(frac);
    const QDate date(y, mo, d);
    if (!date.isValid())
        return std::nullopt;
    const double day = double(date.toJulianDay() - kEpochJulian);
    return DateSerial(day >= 0 ? day + frac : day - frac);
}

}  // namespace smtpin
