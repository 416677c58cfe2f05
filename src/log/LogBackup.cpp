#include "LogBackup.h"

#include "SystemLog.h"
#include "platform/Clock.h"

#include <charconv>
#include <exception>
#include <filesystem>
#include <optional>

namespace smtpin {

LogBackup::LogBackup(const Clock& clock, SystemLog& log)
    : clock_(clock), log_(log)
{
}

namespace {

// The day in a backup's name, "A_dd-mm-yyyy_<file>".
std::optional<DateSerial> backupDay(const std::string& name)
{
    if (name.size() < 13 || name[1] != '_' || name[4] != '-' || name[7] != '-' || name[12] != '_')
        return std::nullopt;
    auto num = [&](size_t at, size_t n) {
        int v = -1;
        std::from_chars(name.data() + at, name.data() + at + n, v);
        return v;
    };
    const int d = num(2, 2), m = num(5, 2), y = num(8, 4);
    if (d < 1 || d > 31 || m < 1 || m > 12 || y < 1900)
        return std::nullopt;
    return DateSerial::fromParts(y, m, d);
}

}  // namespace

void LogBackup::DeleteOldBackups(const std::string& folder)
{
    if (KeepDays <= 0)
        return;
    namespace fs = std::filesystem;
    std::error_code ec;
    const double limit = clock_.now().days() - KeepDays;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const auto day = backupDay(name);
        if (!day || !entry.is_regular_file(ec) || day->days() + 1 > limit)
            continue;
        std::error_code gone;
        if (fs::remove(entry.path(), gone))
            log_.ApplicationLine("TFB: Deleted backup " + name + ", older than " + std::to_string(KeepDays) + " days");
        else
            log_.ApplicationLine("TFB: Could not delete backup " + name + ": " + gone.message());
    }
}

void LogBackup::setSchedule(std::int16_t periodHours, DateSerial lastBackUp)
{
    BackUpPeriod = periodHours;
    LastBackUp = lastBackUp;
    if (BackUpPeriod <= 0)
        log_.ApplicationLine("TFB: Backup period is " + std::to_string(BackUpPeriod) +
                             " hours: no scheduled log backups.");
}

void LogBackup::TimeForBackUp()
{
    // Without a period the schedule would fire on every tick.
    if (BackUpPeriod <= 0)
        return;
    const double period = BackUpPeriod / 24.0;
    const double elapsed = clock_.now().days() - LastBackUp.days();
    if (period >= elapsed)
        return;
    try {
        log_.ApplicationLine("TFB: Begin Backup client log.");
        log_.SystemLogFile().Backup();
        log_.ApplicationLine("TFB: Begin Backup smtp log.");
        log_.SMTPLogFile().Backup();
        LastBackUp = clock_.now();
        emit backedUp();
        log_.ApplicationLine("TFB: Backup system logs successful.");
        DeleteOldBackups(std::filesystem::path(log_.SystemLogFile().FileName()).parent_path().string() + "/BACKUP");
        emit reconnectWanted();
    } catch (const std::exception& e) {
        log_.ApplicationLine(std::string("TFB: error: 0 ") + e.what());
        log_.ApplicationLine("TFB: Backup to system log failed.");
    }
}

}  // namespace smtpin
