#include "messages/MessageType.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace smtpin;
using namespace smtpin::messages;

namespace {

std::vector<std::string> fieldsOf(const std::string& text)
{
    std::vector<std::string> out(1);
    for (char ch : text) {
        if (ch == '|')
            out.emplace_back();
        else
            out.back() += ch;
    }
    return out;
}

// Every field set to something other than its cleared value.
MessageType filled()
{
    MessageType m;
    m.MessId = 1234567;
    m.Created = DateSerial::fromParts(2026, 2, 3, 4, 5, 6);
    m.Source = "S01";
    m.destination = "d02";
    m.Priority = -3;
    m.status = "PORTASSIG";
    m.Number = "5551234";
    m.SrceNumber = "999";
    m.Message = "Fire alarm, level 2";
    m.Hash = "ab12";
    m.InterfaceAddress = "10.1.2.3";
    m.Machine = "DISPATCH7";
    m.Sent = DateSerial::fromParts(2026, 2, 3, 4, 6, 0);
    m.Finished = DateSerial::fromParts(2026, 2, 4);
    m.Region = "north";
    m.PType = "alpha";
    m.EventLog = "04:05:06 CREATED  04:05:07 PORTASSIG";
    m.ComChannel = "NEWMESS";
    return m;
}

TEST(MessageRecordText, ExampleClearedRecordAndPadding)
{
    MessageType m;
    m.MessId = 42;
    m.Created = DateSerial::fromParts(2026, 1, 15, 10, 0, 0);
    m.Source = "h01";
    m.Number = "1234";
    m.Message = "Test";
    m.ComChannel = "NEWMESS";
    const std::string zero = DateSerial().generalDate();
    const std::string text = m.ConCatMe();
    EXPECT_EQ(text, "0000042|15/01/2026 10:00:00|h01||0||1234||Test||||" + zero + "|" + zero + "||||NEWMESS");
    EXPECT_EQ(std::count(text.begin(), text.end(), '|'), 17);

    m = filled();
    m.Clear();
    const auto f = fieldsOf(m.ConCatMe());
    ASSERT_EQ(f.size(), 18u);
    EXPECT_EQ(f[0], "0000000");
    EXPECT_EQ(f[4], "0");
    EXPECT_EQ(f[17], "");

    for (auto [id, first] : {std::pair{123, "0000123"}, {12345678, "12345678"}, {-5, "-0000005"}}) {
        m.MessId = id;
        EXPECT_EQ(fieldsOf(m.ConCatMe())[0], first);
    }
}

TEST(MessageRecordParse, RoundTripIncludingANegativeIdentifier)
{
    MessageType original = filled();
    MessageType back;
    ASSERT_TRUE(back.ConvertIntoMtype(original.ConCatMe()));
    EXPECT_EQ(back.ConCatMe(), original.ConCatMe());
    EXPECT_EQ(back.Sent, original.Sent);
    original.MessId = -5;
    ASSERT_TRUE(back.ConvertIntoMtype(original.ConCatMe()));
    EXPECT_EQ(back.MessId, -5);
}

TEST(MessageRecordParse, ASeparatorInsideAFieldShiftsTheRest)
{
    // In the event log: the text after it becomes the command word.
    MessageType m = filled();
    m.EventLog = "10:00:00 CREATED |DELETE";
    MessageType back;
    EXPECT_TRUE(back.ConvertIntoMtype(m.ConCatMe()));
    EXPECT_EQ(back.EventLog, "10:00:00 CREATED ");
    EXPECT_EQ(back.ComChannel, "DELETE");

    // In the message: texts move on one field until one lands in a date
    // field, which ends the parse.
    m = filled();
    m.Message = "left|right";
    back.Clear();
    back.Region = "kept";
    EXPECT_FALSE(back.ConvertIntoMtype(m.ConCatMe()));
    EXPECT_EQ(back.Message, "left");
    EXPECT_EQ(back.Hash, "right");
    EXPECT_EQ(back.Machine, "10.1.2.3");
    EXPECT_EQ(back.Region, "kept");
}

TEST(MessageRecordParse, FewerOrMoreFieldsAndTheLastField)
{
    MessageType m = filled();
    ASSERT_TRUE(m.ConvertIntoMtype("0000042|15/01/2026 10:00:00|h01"));
    EXPECT_EQ(m.MessId, 42);
    EXPECT_EQ(m.Source, "h01");
    EXPECT_EQ(m.destination, "d02");   // missing fields keep their values
    EXPECT_EQ(m.ComChannel, "NEWMESS");

    ASSERT_TRUE(m.ConvertIntoMtype(filled().ConCatMe() + "|extra|17:00:00"));
    EXPECT_EQ(m.ConCatMe(), filled().ConCatMe());

    MessageType one = filled();
    one.ComChannel = "X";
    ASSERT_TRUE(m.ConvertIntoMtype(one.ConCatMe()));
    EXPECT_EQ(m.ComChannel, "X");
    // An empty last field leaves the text ending in its separator, so it is
    // never read.
    one.ComChannel.clear();
    ASSERT_TRUE(m.ConvertIntoMtype(one.ConCatMe()));
    EXPECT_EQ(m.ComChannel, "X");
}

TEST(MessageRecordParse, ABadNumberOrDateStopsTheParse)
{
    const MessageType before = filled();
    MessageType m = before;
    EXPECT_FALSE(m.ConvertIntoMtype(""));   // one empty field: no identifier
    EXPECT_EQ(m.ConCatMe(), before.ConCatMe());

    for (const std::string priority : {"high", "40000"}) {
        m = before;
        EXPECT_FALSE(m.ConvertIntoMtype("0000042|15/01/2026 10:00:00|h01|d09|" + priority + "|DONE|1"));
        EXPECT_EQ(m.MessId, 42);
        EXPECT_EQ(m.destination, "d09");
        EXPECT_EQ(m.Priority, -3);
        EXPECT_EQ(m.status, "PORTASSIG");
    }

    m = before;
    EXPECT_FALSE(m.ConvertIntoMtype("0000042|31/02/2026|h01"));
    EXPECT_EQ(m.MessId, 42);
    EXPECT_EQ(m.Created, before.Created);
    EXPECT_EQ(m.Source, "S01");
}

}  // namespace
