#pragma once

#include "platform/DateSerial.h"

#include <cstdint>
#include <functional>
#include <string>

namespace smtpin {

class Clock;
class SystemLog;

// Rolls both log files over on the schedule of the client row.
class LogBackup {
public:
    struct Hooks {
        std::function<void()> updateLastBackUp;   // stamp the client row
        std::function<void()> reconnect;          // close and reopen the catalogue
    };

    LogBackup(const Clock& clock, SystemLog& log, Hooks hooks);

    // From the client row at start-up; a period of 0 or less means no
    // scheduled backups, said once in the log.
    void setSchedule(std::int16_t periodHours, DateSerial lastBackUp);
    void TimeForBackUp();

    std::int16_t BackUpPeriod = 0;
    DateSerial LastBackUp;
    // Backups older than this many days are deleted at each backup ("LOG_KEEP_DAYS"; 0 keeps them all).
    int KeepDays = 90;
    // Deletes the backups in folder older than KeepDays, one log line each.
    void DeleteOldBackups(const std::string& folder);

private:
    void logLine(const std::string& text);

    const Clock& clock_;
    SystemLog& log_;
    Hooks hooks_;
};

}  // namespace smtpin
