#include "LogBackup.h"

#include "SystemLog.h"
#include "platform/Clock.h"

#include <exception>

namespace smtpin {

LogBackup::LogBackup(const Clock& clock, SystemLog& log, Hooks hooks)
    : clock_(clock), log_(log), hooks_(std::move(hooks))
{
}

void LogBackup::logLine(const std::string& text) { log_.UpdateSystemLog(-1, log_.ApplicationList, "", text); }

void LogBackup::setSchedule(std::int16_t periodHours, DateSerial lastBackUp)
{
    BackUpPeriod = periodHours;
    LastBackUp = lastBackUp;
    if (BackUpPeriod <= 0)
        logLine("TFB: Backup period is " + std::to_string(BackUpPeriod) + " hours: no scheduled log backups.");
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
        logLine("TFB: Begin Backup client log.");
        log_.SystemLogFile().Backup();
        logLine("TFB: Begin Backup smtp log.");
        log_.SMTPLogFile().Backup();
        LastBackUp = clock_.now();
        if (hooks_.updateLastBackUp)
            hooks_.updateLastBackUp();
        logLine("TFB: Backup system logs successful.");
        if (hooks_.reconnect)
            hooks_.reconnect();
    } catch (const std::exception& e) {
        logLine(std::string("TFB: error: 0 ") + e.what());
        logLine("TFB: Backup to system log failed.");
    }
}

}  // namespace smtpin
