#include "forms/FrmSMTP.h"
#include "log/LogBackup.h"
#include "log/SystemLog.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace smtpin;
using namespace smtpin::test;

namespace {

// At each backup the old backups go, by the day in their names, one line each.
TEST(LogBackup, BackupsOlderThanTheKeptDaysAreDeleted)
{
    TempDir dir;
    ManualClock clock{DateSerial::fromParts(2026, 12, 9, 10, 0, 0)};
    forms::FrmSMTP form;
    SystemLog log{clock, {form.lbxSystemLog, form.lbxSMTPLOG, form.cbxErrorLogging}};
    log.OpenSystemLogs(dir.file("logs"), "S01", {2, 1, 35});
    LogBackup backup(clock, log);
    backup.setSchedule(24, DateSerial::fromParts(2026, 12, 8, 9, 0, 0));
    backup.KeepDays = 30;
    const std::string folder = dir.file("logs/BACKUP");
    std::filesystem::create_directories(folder);
    for (const char* name : {"A_08-11-2026_system_log_S01.txt",   // 31 days old: goes
                             "B_09-11-2026_system_log_S01.txt",   // 30 days: stays
                             "A_01-01-2020_system_log_email_S01.txt", "notes.txt", "A_99-99-2020_x.txt"})
        TempDir::write(folder + "/" + name, "x");

    backup.TimeForBackUp();
    for (int i = 0; i < 10; ++i)
        log.ProcessSystemLogQueue();
    EXPECT_FALSE(std::filesystem::exists(folder + "/A_08-11-2026_system_log_S01.txt"));
    EXPECT_FALSE(std::filesystem::exists(folder + "/A_01-01-2020_system_log_email_S01.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/B_09-11-2026_system_log_S01.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/notes.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/A_99-99-2020_x.txt"));
    // Today's backups of both logs are there.
    EXPECT_TRUE(std::filesystem::exists(folder + "/A_09-12-2026_system_log_S01.txt"));
    const std::string lines = TempDir::read(dir.file("logs/system_log_S01.txt"));
    EXPECT_NE(lines.find("TFB: Deleted backup A_08-11-2026_system_log_S01.txt, older than 30 days"), std::string::npos);
    EXPECT_NE(lines.find("TFB: Deleted backup A_01-01-2020_system_log_email_S01.txt, older than 30 days"),
              std::string::npos);

    // 0 keeps them all.
    backup.KeepDays = 0;
    backup.DeleteOldBackups(folder);
    EXPECT_TRUE(std::filesystem::exists(folder + "/B_09-11-2026_system_log_S01.txt"));
}

}  // namespace
