#include "platform/Clock.h"
#include "platform/Controls.h"
#include "platform/DateSerial.h"
#include "platform/Dialogs.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace smtpin;

namespace {

TEST(DateSerial, SerialNumbersAndTextForms)
{
    const DateSerial t = DateSerial::fromParts(2026, 3, 7, 14, 5, 9);
    EXPECT_EQ(DateSerial::fromParts(1899, 12, 31).days(), 1.0);
    EXPECT_EQ(DateSerial::fromParts(1900, 1, 1, 12).days(), 2.5);
    EXPECT_EQ(t.generalDate(), "07/03/2026 14:05:09");
    EXPECT_EQ(t.timeText(), "14:05:09");
    EXPECT_EQ(t.format(DateSerial::kDayMonthTime), "07-03 14:05:09");
    EXPECT_EQ(t.format(DateSerial::kTimeDate), "14:05:09 07/03/2026");
    EXPECT_EQ(t.format(DateSerial::kBackupDate), "07-03-2026");
    // The date alone at midnight, the time alone on the zero date.
    EXPECT_EQ(DateSerial::fromParts(2026, 3, 7).generalDate(), "07/03/2026");
    EXPECT_EQ(DateSerial(0.75).generalDate(), "18:00:00");
    EXPECT_EQ(DateSerial().generalDate(), "00:00:00");
    // Before the epoch the fraction still counts forward from midnight.
    EXPECT_EQ(DateSerial(-1.25).generalDate(), "29/12/1899 06:00:00");
}

TEST(DateSerial, RoundTripsThroughTextAndQt)
{
    const DateSerial t = DateSerial::fromParts(2026, 12, 31, 23, 59, 59);
    EXPECT_EQ(DateSerial::parse(t.generalDate()), t);
    EXPECT_EQ(DateSerial::parse(t.format(DateSerial::kTimeDate)), t);
    EXPECT_EQ(DateSerial::parse("2026-12-31 23:59:59"), t);
    EXPECT_EQ(DateSerial::parse("2026-12-31"), DateSerial::fromParts(2026, 12, 31));
    EXPECT_EQ(DateSerial::fromDateTime(t.toDateTime()), t);
    EXPECT_EQ(t.addSeconds(1).generalDate(), "01/01/2027");
    EXPECT_FALSE(DateSerial::parse("31/02/2026"));
    EXPECT_FALSE(DateSerial::parse("12/12/2026 25:00"));
    EXPECT_FALSE(DateSerial::parse("NULL"));
    EXPECT_FALSE(DateSerial::parse(std::string(100, '1')));
}

TEST(ManualClock, StepsBySeconds)
{
    ManualClock c(DateSerial::fromParts(2026, 1, 1));
    c.advanceSeconds(90);
    EXPECT_EQ(c.now().generalDate(), "01/01/2026 00:01:30");
}

TEST(Controls, NotifyOnlyOnChange)
{
    Label l;
    int n = 0;
    const int id = l.subscribe([&] { ++n; });
    l.setCaption("a");
    l.setCaption("a");
    EXPECT_EQ(n, 1);
    l.unsubscribe(id);
    l.setCaption("b");
    EXPECT_EQ(n, 1);

    ListBox list;
    list.addItem("old");
    list.addItem("new", 0);
    EXPECT_EQ(list.item(0), "new");
    list.setListIndex(1);
    list.removeItem(1);
    EXPECT_EQ(list.listCount(), 1);
    EXPECT_EQ(list.listIndex(), 0);
    list.removeItem(5);   // out of range: nothing
    EXPECT_EQ(list.listCount(), 1);
}

TEST(HeadlessDialogs, LogAndAnswerFromCommandLine)
{
    std::ostringstream err;
    std::vector<std::string> logged;
    HeadlessDialogs no([&](const std::string& s) { logged.push_back(s); }, false, err);
    no.MsgBox("Client not found", "SMTP");
    EXPECT_FALSE(no.AskYesNo("Override?", "SMTP"));
    HeadlessDialogs yes({}, true, err);
    EXPECT_TRUE(yes.AskYesNo("Override?", "SMTP"));
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], "SMTP: Client not found");
    EXPECT_NE(err.str().find("Override? [answered Yes]"), std::string::npos);
}

}  // namespace
