#include "log/RawLogClass.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace smtpin;
using namespace smtpin::test;
namespace fs = std::filesystem;

namespace {

struct RawLogTest : ::testing::Test {
    TempDir dir;
    ManualClock clock{DateSerial::fromParts(2026, 4, 3, 9, 30, 0)};
    RawLogClass log{clock};

    void SetUp() override { log.FileName("system_log_"); }
    std::string path() const { return dir.file("system_log_SMTP01.txt"); }
    std::string contents() const { return TempDir::read(path()); }
};

TEST_F(RawLogTest, HeaderIsWrittenOnceWhenTheFileIsMade)
{
    ASSERT_TRUE(log.Connect(dir.path(), "SMTP01"));
    EXPECT_EQ(log.FileName(), path());
    const std::string header = "File :        " + path() + "\r\n" +
                               "Version :     1.02.02\r\n"
                               "Created :     03/04/2026 09:30:00\r\n"
                               "Directory :\r\n"
                               "Date/Time     User    Logged Message\r\n";
    EXPECT_EQ(contents(), header);

    log.Disconnect();
    ASSERT_TRUE(log.Connect(dir.path(), "SMTP01"));
    EXPECT_EQ(contents(), header);
    EXPECT_EQ(log.Sizeof(), 5);
}

TEST_F(RawLogTest, ConnectErrors)
{
    ASSERT_TRUE(log.Connect(dir.path(), "SMTP01"));
    EXPECT_FALSE(log.Connect(dir.path(), "SMTP01"));
    EXPECT_EQ(log.Error(), 0);

    RawLogClass broken(clock);
    broken.FileName("x_");
    std::ofstream(dir.file("plainfile")) << "not a folder";
    EXPECT_FALSE(broken.Connect(dir.file("plainfile"), "A"));
    EXPECT_EQ(broken.Error(), 1);
    EXPECT_EQ(broken.Error(), 0);
    EXPECT_TRUE(broken.AddLog("nowhere"));   // never enabled: nothing to write
    EXPECT_EQ(broken.Sizeof(), 0);

    RawLogClass noFolder(clock);
    noFolder.FileName("x_");
    EXPECT_FALSE(noFolder.Connect(dir.file("missing"), "A"));
    EXPECT_FALSE(noFolder.Connected());
    EXPECT_EQ(noFolder.Error(), 1);
    EXPECT_FALSE(fs::exists(dir.file("missing")));
}

TEST_F(RawLogTest, SizeofCountsLines)
{
    ASSERT_TRUE(log.Connect(dir.path(), "SMTP01"));
    log.AddLog("one");
    log.AddLog("two\r\nthree");
    EXPECT_EQ(log.Sizeof(), 8);
    log.Disconnect();
    EXPECT_EQ(log.Sizeof(), 0);
}

TEST_F(RawLogTest, StampsAndSwitchingOnAndOff)
{
    ASSERT_TRUE(log.Connect(dir.path(), "SMTP01"));
    const size_t headerSize = contents().size();
    ASSERT_TRUE(log.AddLog("stamped"));
    log.StampDate = log.StampTime = log.StampUser = false;
    ASSERT_TRUE(log.AddLog("plain"));
    log.Enabled(false);
    const std::string before = contents();
    EXPECT_TRUE(log.AddLog("while off"));
    EXPECT_EQ(contents(), before);
    log.Enabled(true);
    EXPECT_EQ(contents().substr(headerSize),
              "03/04/2026  09:30:00\tSMTstamped\r\n"
              "plain\r\n"
              "(#) Software Disabled Log Recording\r\n"
              "(#) Software Enabled Log Recording\r\n");
}

TEST_F(RawLogTest, DeletedFileIsNotMadeAgainUntilConnect)
{
    ASSERT_TRUE(log.Connect(dir.path(), "SMTP01"));
    fs::remove(path());
    EXPECT_FALSE(log.AddLog("lost"));
    EXPECT_FALSE(fs::exists(path()));
}

TEST_F(RawLogTest, UserStampIsThreeCharacters)
{
    RawLogClass shortId(clock);
    shortId.FileName("p_");
    ASSERT_TRUE(shortId.Connect(dir.path(), "AB"));
    shortId.StampDate = shortId.StampTime = false;
    shortId.AddLog("x");
    EXPECT_NE(TempDir::read(dir.file("p_AB.txt")).find("\r\nAB x\r\n"), std::string::npos);
}

TEST_F(RawLogTest, BackupsUseLettersAToZPerDay)
{
    ASSERT_TRUE(log.Connect(dir.path(), "SMTP01"));
    log.AddLog("first");
    EXPECT_EQ(log.Backup(), "A_03-04-2026_system_log_SMTP01.txt");
    const std::string backup = TempDir::read(dir.file("BACKUP/A_03-04-2026_system_log_SMTP01.txt"));
    EXPECT_NE(backup.find("first"), std::string::npos);
    EXPECT_NE(backup.find("Backing up Log file (by SMT) ..."), std::string::npos);
    // The new file is named with the three-character stamp and starts with a header.
    const std::string fresh = TempDir::read(dir.file("system_log_SMT.txt"));
    EXPECT_TRUE(fresh.starts_with("File :"));
    EXPECT_NE(fresh.find("... Continuation from recently backed up log file = A_03-04-2026_system_log_SMTP01.txt"),
              std::string::npos);

    EXPECT_EQ(log.BackupFile("SMT"), "A_03-04-2026_system_log_SMT.txt");
    EXPECT_EQ(log.BackupFile("SMT"), "B_03-04-2026_system_log_SMT.txt");
    EXPECT_EQ(log.BackupFile("SMT"), "C_03-04-2026_system_log_SMT.txt");
    EXPECT_EQ(log.BackupFile("SMT"), "D_03-04-2026_system_log_SMT.txt");
    EXPECT_NE(TempDir::read(dir.file("BACKUP/D_03-04-2026_system_log_SMT.txt"))
                  .find("Backing up Log file (from system_log_SMT.txt) ..."),
              std::string::npos);
    for (int i = 4; i < 26; ++i)
        ASSERT_FALSE(log.BackupFile("SMT").empty()) << i;
    EXPECT_EQ(log.BackupFile("SMT"), "");
    EXPECT_TRUE(log.Connected());
    // A new day starts again at A.
    clock.advanceSeconds(86400);
    EXPECT_EQ(log.BackupFile("SMT"), "A_04-04-2026_system_log_SMT.txt");
}

TEST_F(RawLogTest, BackupNeedsAConnection)
{
    EXPECT_EQ(log.Backup(), "");
    EXPECT_FALSE(fs::exists(dir.file("BACKUP")));
}

}  // namespace
