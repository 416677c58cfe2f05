#pragma once

#include <QDateTime>

#include <optional>
#include <string>
#include <string_view>

namespace smtpin {

// A date-time as the system keeps it: days since 30 December 1899, the time
// of day as the fraction. 0 is the zero date-time. Durations are plain days.
class DateSerial {
public:
    constexpr DateSerial() = default;
    constexpr explicit DateSerial(double days) : days_(days) {}

    static DateSerial fromDateTime(const QDateTime& dt);   // local time
    static DateSerial fromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
    QDateTime toDateTime() const;

    // 1 January 100 to the last second of 31 December 9999, as the system's
    // dates go; a serial outside it (or not a number) is no date.
    static constexpr double kMinDays = -657434.0;
    static constexpr double kMaxDays = 2958465.99999;
    static constexpr bool isDate(double days) { return days >= kMinDays && days <= kMaxDays; }

    constexpr double days() const { return days_; }
    constexpr bool isZero() const { return days_ == 0.0; }
    DateSerial addSeconds(double seconds) const { return DateSerial(days_ + seconds / 86400.0); }
    DateSerial addDays(double days) const { return DateSerial(days_ + days); }
    constexpr auto operator<=>(const DateSerial&) const = default;

    // Fixed, locale-independent text forms.
    std::string generalDate() const;   // dd/mm/yyyy hh:mm:ss; date alone at midnight, time alone on the zero date
    std::string timeText() const;      // hh:mm:ss
    std::string dateText() const;      // dd/mm/yyyy
    // Pattern of dd, mm (month), yyyy, hh, nn (minutes), ss and literal characters.
    std::string format(std::string_view pattern) const;
    static constexpr std::string_view kDayMonthTime = "dd-mm hh:nn:ss";
    static constexpr std::string_view kTimeDate = "hh:nn:ss dd/mm/yyyy";
    static constexpr std::string_view kBackupDate = "dd-mm-yyyy";

    // Accepts what generalDate() and kTimeDate write, and yyyy-mm-dd[ hh:mm:ss].
    static std::optional<DateSerial> parse(std::string_view text);

private:
    struct Parts {
        int year, month, day, hour, minute, second;
    };
    Parts parts() const;

    double days_ = 0.0;
};

}  // namespace smtpin
