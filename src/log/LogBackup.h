#pragma once

#include "platform/DateSerial.h"

#include <QObject>

#include <cstdint>
#include <string>

namespace smtpin {

class Clock;
class SystemLog;

// Rolls both log files over on the schedule of the client row.
class LogBackup final : public QObject {
    Q_OBJECT
public:
    LogBackup(const Clock& clock, SystemLog& log);

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

signals:
    // Both logs were rolled over: the client row gets the time.
    void backedUp();
    // The catalogue connection is closed and opened again after a backup.
    void reconnectWanted();

private:

    const Clock& clock_;
    SystemLog& log_;
};

}  // namespace smtpin
