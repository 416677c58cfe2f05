#include "forms/FrmSMTP.h"
#include "log/SystemLog.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

using namespace smtpin;
using namespace smtpin::test;

namespace {

struct SystemLogTest : ::testing::Test {
    TempDir dir;
    ManualClock clock{DateSerial::fromParts(2026, 5, 6, 7, 8, 9)};
    forms::FrmSMTP form;
    SystemLog log{clock, {form.lbxSystemLog, form.lbxSMTPLOG, form.cbxErrorLogging}};

    void SetUp() override { log.OpenSystemLogs(dir.file("logs"), "ABC", {2, 3, 41}); }
    ListBox& list() { return form.lbxSystemLog; }
    std::string appFile() const { return TempDir::read(dir.file("logs/system_log_ABC.txt")); }
    std::string smtpFile() const { return TempDir::read(dir.file("logs/system_log_email_ABC.txt")); }
    void drainAll()
    {
        while (log.PendingCount() > 0)
            log.ProcessSystemLogQueue();
    }
};

TEST_F(SystemLogTest, FilesAndOpeningLines)
{
    // The folder is made when missing; no other file appears in it.
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.file("logs")))
        ++files;
    EXPECT_EQ(files, 2u);
    EXPECT_TRUE(appFile().starts_with("File :        " + dir.file("logs/system_log_ABC.txt") + "\r\n"));
    EXPECT_NE(appFile().find("06/05/2026 07:08:09\t********************** SMTP Application LOG  V2.3 (41) has started.\r\n"),
              std::string::npos);
    EXPECT_NE(smtpFile().find("06/05/2026 07:08:09\t********************** SMTP Email LOG  V2.3 (41) has started.\r\n"),
              std::string::npos);
}

TEST_F(SystemLogTest, RepeatsAreSuppressedPerSlot)
{
    log.UpdateSystemLog(3, log.ApplicationList, "7", "same");
    log.UpdateSystemLog(3, log.ApplicationList, "7", "same");   // dropped
    log.UpdateSystemLog(-1, log.ApplicationList, "7", "same");
    log.UpdateSystemLog(-1, log.ApplicationList, "7", "same");
    log.UpdateSystemLog(4, log.ApplicationList, "7", "same");
    log.UpdateSystemLog(5, log.ApplicationList, "", "A");
    log.UpdateSystemLog(5, log.ApplicationList, "", "B");
    log.UpdateSystemLog(5, log.ApplicationList, "", "A");
    EXPECT_EQ(log.PendingCount(), 7);
    // The queue forgets a slot when it is reset.
    log.ClearRepeatKey(3);
    log.UpdateSystemLog(3, log.ApplicationList, "7", "same");
    EXPECT_EQ(log.PendingCount(), 8);
    // Slots outside the queue are never looked up.
    log.UpdateSystemLog(999, log.ApplicationList, "", "odd slot");
    EXPECT_EQ(log.PendingCount(), 9);
}

TEST_F(SystemLogTest, ElevenEntriesPerDrain)
{
    for (int i = 0; i < 12; ++i)
        log.UpdateSystemLog(-1, log.ApplicationList, "", "entry " + std::to_string(i));
    log.ProcessSystemLogQueue();
    EXPECT_EQ(list().listCount(), 11);
    EXPECT_EQ(list().item(0), "06-05 07:08:09 :  entry 10");
    log.ProcessSystemLogQueue();
    EXPECT_EQ(list().listCount(), 12);
    EXPECT_EQ(list().listIndex(), 0);
}

TEST_F(SystemLogTest, ListAndFileLineFormats)
{
    log.UpdateSystemLog(-1, log.ApplicationList, "1234", "with id");
    log.UpdateSystemLog(-1, log.StatusList, "", "without id");
    log.ProcessSystemLogQueue();
    EXPECT_EQ(list().item(1), "06-05 07:08:09 : 0000001234 with id");
    EXPECT_EQ(list().item(0), "06-05 07:08:09 :  without id");
    EXPECT_NE(appFile().find("\r\n06/05/2026 07:08:09\t0000001234 with id\r\n           without id\r\n"),
              std::string::npos);

    // Only an all-digit id is padded.
    log.UpdateSystemLog(-1, log.ApplicationList, "12345678901", "long");
    log.UpdateSystemLog(-1, log.ApplicationList, "12ab", "text id");
    log.ProcessSystemLogQueue();
    EXPECT_EQ(list().item(1), "06-05 07:08:09 : 12345678901 long");
    EXPECT_EQ(list().item(0), "06-05 07:08:09 : 12ab text id");
}

TEST_F(SystemLogTest, ListsKeepTheNewestLines)
{
    for (int i = 0; i < 101; ++i) {
        log.UpdateSystemLog(-1, log.ApplicationList, "", "app " + std::to_string(i));
        log.UpdateSMTPLog("smtp " + std::to_string(i));
    }
    drainAll();
    ASSERT_EQ(list().listCount(), 100);
    EXPECT_TRUE(list().item(0).ends_with("app 100"));
    EXPECT_TRUE(list().item(99).ends_with("app 1"));
    ASSERT_EQ(form.lbxSMTPLOG.listCount(), 50);
    EXPECT_EQ(form.lbxSMTPLOG.item(0), "07:08:09   smtp 100");
    EXPECT_EQ(form.lbxSMTPLOG.item(49), "07:08:09   smtp 51");
}

TEST_F(SystemLogTest, FullRingLosesNothing)
{
    const auto queue = [&](int i) { log.UpdateSystemLog(-1, log.ApplicationList, "", "n" + std::to_string(i) + ";"); };
    for (int i = 0; i < 499; ++i)
        queue(i);
    // 499 pending fit; nothing is written early.
    EXPECT_EQ(log.PendingCount(), 499);
    EXPECT_EQ(list().listCount(), 0);
    queue(499);
    EXPECT_EQ(list().listCount(), 11);
    EXPECT_EQ(log.PendingCount(), 489);
    for (int i = 500; i < 600; ++i)
        queue(i);
    EXPECT_LT(log.PendingCount(), SystemLog::kRingSize);
    drainAll();
    const std::string file = appFile();
    size_t pos = 0;
    for (int i = 0; i < 600; ++i) {
        pos = file.find("           n" + std::to_string(i) + ";\r\n", pos);
        ASSERT_NE(pos, std::string::npos) << "entry " << i << " lost or out of order";
    }
}

TEST_F(SystemLogTest, DatabaseCopyOnlyWhenErrorLoggingIsChecked)
{
    std::vector<std::string> copied;
    log.SetDatabaseLog([&](const std::string& id, std::string& text) {
        copied.push_back(id + "|" + text);
        text.resize(std::min<size_t>(text.size(), 300));
        return true;
    });
    const std::string longText = std::string(300, 'k') + std::string(100, 'x');
    log.UpdateSystemLog(-1, log.ApplicationList, "9", longText);
    log.ProcessSystemLogQueue();
    EXPECT_TRUE(copied.empty());
    EXPECT_EQ(list().item(0), "06-05 07:08:09 : 0000000009 " + longText);

    form.cbxErrorLogging.setValue(1);
    log.UpdateSystemLog(-1, log.ApplicationList, "10", longText);
    log.ProcessSystemLogQueue();
    ASSERT_EQ(copied.size(), 1u);
    EXPECT_EQ(copied[0], "10|" + longText);
    // The copy cuts the text in place; list and file show the cut text.
    EXPECT_EQ(list().item(0), "06-05 07:08:09 : 0000000010 " + std::string(300, 'k'));
    EXPECT_TRUE(appFile().ends_with("\t0000000010 " + std::string(300, 'k') + "\r\n"));
}

TEST_F(SystemLogTest, TheCloseWritesEveryPendingEntryEvenWhenWritingLogs)
{
    form.cbxErrorLogging.setValue(1);
    // A catalogue that reconnects and says so on every copy: the lines it
    // adds are written too, but without a copy of their own, so this ends.
    int copies = 0;
    log.SetDatabaseLog([&](const std::string&, std::string& text) {
        ++copies;
        log.UpdateSystemLog(-1, log.ApplicationList, "", "catalogue down while copying " + text);
        return true;
    });
    for (int i = 0; i < 450; ++i)
        log.UpdateSystemLog(-1, log.ApplicationList, "", "e" + std::to_string(i) + ";");
    log.ProcessWholeSystemLogQueue();
    EXPECT_EQ(log.PendingCount(), 0);
    EXPECT_EQ(copies, 450);
    const std::string file = appFile();
    for (int i = 0; i < 450; ++i) {
        const std::string e = "e" + std::to_string(i) + ";";
        EXPECT_NE(file.find("           " + e + "\r\n"), std::string::npos) << e;
        EXPECT_NE(file.find("catalogue down while copying " + e + "\r\n"), std::string::npos) << e;
    }
    // Once the catalogue is closed the rest goes to the file only.
    log.UpdateSystemLog(-1, log.ApplicationList, "", "after the close");
    log.ProcessWholeSystemLogQueue(false);
    EXPECT_EQ(copies, 450);
    EXPECT_TRUE(appFile().ends_with("           after the close\r\n"));
}

TEST_F(SystemLogTest, TheCloseStopsCopyingAtTheFirstCopyTheCatalogueRefuses)
{
    form.cbxErrorLogging.setValue(1);
    // Each copy of a catalogue that is down waits for a connection: the
    // close must not wait once per entry.
    int copies = 0;
    log.SetDatabaseLog([&](const std::string&, std::string&) { return ++copies < 3; });
    for (int i = 0; i < 100; ++i)
        log.UpdateSystemLog(-1, log.ApplicationList, "", "k" + std::to_string(i) + ";");
    log.ProcessWholeSystemLogQueue();
    EXPECT_EQ(copies, 3);
    EXPECT_TRUE(appFile().ends_with("           k99;\r\n"));
    EXPECT_EQ(list().listCount(), 100);
}

TEST_F(SystemLogTest, SmtpLogIsWrittenOnlyWhenFlushed)
{
    const std::string before = smtpFile();
    log.FlushSMTPLog();
    EXPECT_EQ(smtpFile(), before);
    log.UpdateSMTPLog("one");
    log.UpdateSMTPLog("two");
    EXPECT_EQ(smtpFile(), before);
    log.FlushSMTPLog();
    EXPECT_EQ(smtpFile().substr(before.size()),
              "06/05/2026 07:08:09\tone\r\n06/05/2026 07:08:09\ttwo\r\n\r\n");
    EXPECT_TRUE(log.SMTPLogPending().empty());
}

}  // namespace
