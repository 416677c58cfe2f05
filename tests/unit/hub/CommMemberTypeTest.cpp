#include "hub/CommMemberType.h"
#include "hub/CommShared.h"

#include <gtest/gtest.h>

#include <string>

using namespace smtpin;
using namespace smtpin::hub;

namespace {

CommMemberType distinctMember()
{
    CommMemberType m;
    m.State = 1;
    m.SystemState = 2;
    m.SystemStateDES = "des";
    m.Identifier = "s01";
    m.Description = "d";
    m.Address = "10.0.0.1";
    m.port = 4000;
    m.socket = 7;
    m.ServerAddress = "srv";
    m.ServerPort = 6000;
    m.BufferMax = 11;
    m.RemoteBuffer = 12;
    m.WatchDog = DateSerial(0.5);
    m.LastWDog = DateSerial(1.5);
    m.ExpWatchDog = DateSerial(2.5);
    m.ExpNextWDog = DateSerial(3.5);
    m.Packets = 13;
    m.RPackets = 14;
    m.OPackets = 15;
    m.LastPacket = DateSerial(4.5);
    m.LastRPacket = DateSerial(5.5);
    m.LastOPacket = DateSerial(6.5);
    m.LastConnection = DateSerial(7.5);
    m.MemberExpire = DateSerial(8.5);
    m.Mode = 0x0180;
    m.Created = DateSerial(9.5);
    m.MapTo = 16;
    m.TimeOut = 17;
    m.Buffer = "buf";
    return m;
}

void expectSameFields(const CommMemberType& a, const CommMemberType& b)
{
    EXPECT_EQ(a.State, b.State);
    EXPECT_EQ(a.SystemState, b.SystemState);
    EXPECT_EQ(a.SystemStateDES, b.SystemStateDES);
    EXPECT_EQ(a.Identifier, b.Identifier);
    EXPECT_EQ(a.Description, b.Description);
    EXPECT_EQ(a.Address, b.Address);
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.socket, b.socket);
    EXPECT_EQ(a.ServerAddress, b.ServerAddress);
    EXPECT_EQ(a.ServerPort, b.ServerPort);
    EXPECT_EQ(a.WatchDog, b.WatchDog);
    EXPECT_EQ(a.LastWDog, b.LastWDog);
    EXPECT_EQ(a.ExpWatchDog, b.ExpWatchDog);
    EXPECT_EQ(a.ExpNextWDog, b.ExpNextWDog);
    EXPECT_EQ(a.Packets, b.Packets);
    EXPECT_EQ(a.RPackets, b.RPackets);
    EXPECT_EQ(a.LastPacket, b.LastPacket);
    EXPECT_EQ(a.LastRPacket, b.LastRPacket);
    EXPECT_EQ(a.LastConnection, b.LastConnection);
    EXPECT_EQ(a.MemberExpire, b.MemberExpire);
    EXPECT_EQ(a.Mode, b.Mode);
    EXPECT_EQ(a.Created, b.Created);
    EXPECT_EQ(a.MapTo, b.MapTo);
    EXPECT_EQ(a.TimeOut, b.TimeOut);
    EXPECT_EQ(a.Buffer, b.Buffer);
    EXPECT_EQ(a.BufferMax, b.BufferMax);
    EXPECT_EQ(a.OPackets, b.OPackets);
    EXPECT_EQ(a.LastOPacket, b.LastOPacket);
    EXPECT_EQ(a.RemoteBuffer, b.RemoteBuffer);
}

CommType numbered(int n)
{
    CommType r;
    r.id = static_cast<std::int16_t>(n);
    r.target = "h01";
    return r;
}

TEST(CommMemberType, ClearGivesTheRecordsStartingValues)
{
    CommMemberType m = distinctMember();
    m.BufferAdd(numbered(1));
    const DateSerial now(46000.25);
    m.Clear(now);
    EXPECT_EQ(m.socket, -1);
    EXPECT_EQ(m.ServerPort, -1);
    EXPECT_EQ(m.MapTo, -1);
    EXPECT_EQ(m.MemberExpire, DateSerial(-1));
    EXPECT_EQ(m.WatchDog, DateSerial(1.0 / 1440.0));
    EXPECT_EQ(m.ExpWatchDog, DateSerial(1.0 / 1440.0));
    EXPECT_EQ(m.BufferMax, 10);
    EXPECT_EQ(m.RemoteBuffer, 100);
    EXPECT_EQ(m.LastConnection, now);
    EXPECT_EQ(m.Created, now);
    EXPECT_EQ(m.Mode, 0);
    EXPECT_TRUE(m.Identifier.empty());
    EXPECT_EQ(m.BufferSize(), 0);
}

TEST(MemberPacket, FieldsGoOutInThePacketsOwnOrder)
{
    std::string out;
    ASSERT_TRUE(distinctMember().CreatePacket(out));
    // BufferMax and RemoteBuffer follow ServerPort; OPackets sits between
    // RPackets and LastPacket.
    const std::string expected = std::string("0000") + "1\t2\t" + "0003des" + "s01" + "0001d" + "000810.0.0.1" +
                                 "4000\t7\t" + "0003srv" + "6000\t11\t12\t" + "0.5\t1.5\t2.5\t3.5\t" +
                                 "13\t14\t15\t" + "4.5\t5.5\t6.5\t7.5\t8.5\t" + "384\t9.5\t16\t17\t" + "0003buf";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.find('\x01'), std::string::npos);

    // The packet is appended to what the caller passes.
    std::string prefixed = "x";
    ASSERT_TRUE(distinctMember().CreatePacket(prefixed));
    EXPECT_EQ(prefixed, "x" + expected);
}

TEST(MemberPacket, RoundTripsEveryCarriedField)
{
    const CommMemberType m = distinctMember();
    std::string out;
    ASSERT_TRUE(m.CreatePacket(out));
    CommMemberType back;
    back.BufferAdd(numbered(1));
    ASSERT_TRUE(back.ExtractPacket(out));
    expectSameFields(back, m);
    EXPECT_EQ(back.BufferSize(), 0);   // the output buffer is not carried

    // Negative values and a short code.
    CommMemberType n;
    n.Identifier = "a";
    n.MemberExpire = DateSerial(-1);
    n.ServerPort = -1;
    out.clear();
    ASSERT_TRUE(n.CreatePacket(out));
    ASSERT_TRUE(back.ExtractPacket(out));
    EXPECT_EQ(back.Identifier, "a  ");
    EXPECT_EQ(back.MemberExpire, DateSerial(-1));
    EXPECT_EQ(back.ServerPort, -1);
    EXPECT_EQ(back.socket, -1);
}

TEST(MemberPacket, RefusesABadCheckFieldAndTruncation)
{
    std::string good;
    ASSERT_TRUE(distinctMember().CreatePacket(good));
    CommMemberType back;
    for (const char* check : {"0001", "abcd", "12", "-001"}) {
        back = distinctMember();
        const std::string bad = check + good.substr(4);
        EXPECT_FALSE(back.ExtractPacket(bad)) << check;
        EXPECT_TRUE(back.Identifier.empty()) << check;   // cleared, nothing read
    }
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(back.ExtractPacket(good.substr(0, cut))) << "cut at " << cut;

    // A field that does not convert.
    std::string bad = good;
    bad.replace(bad.find("4000\t"), 4, "40x0");
    EXPECT_FALSE(back.ExtractPacket(bad));
}

TEST(MemberPacket, ATextTooLongForItsCountIsNotBuilt)
{
    CommMemberType m;
    m.Description = std::string(10000, 'd');
    std::string out = "kept";
    EXPECT_FALSE(m.CreatePacket(out));
    EXPECT_EQ(out, "kept");
    m.Description.resize(9999);
    EXPECT_TRUE(m.CreatePacket(out));
}

TEST(OutputBuffer, AFullBufferRefusesAndKeepsWhatItHolds)
{
    CommMemberType m;
    ASSERT_EQ(m.BufferMax, 10);
    for (int n = 1; n <= 10; ++n)
        EXPECT_TRUE(m.BufferAdd(numbered(n))) << n;
    EXPECT_FALSE(m.BufferAdd(numbered(11)));
    EXPECT_EQ(m.BufferSize(), 10);

    CommType r;
    for (int n = 1; n <= 10; ++n) {
        ASSERT_TRUE(m.BufferDelete(r));
        EXPECT_EQ(r.id, n);   // oldest first, the eleventh never queued
    }
    EXPECT_EQ(m.BufferSize(), 0);
    EXPECT_FALSE(m.BufferDelete(r));

    m.BufferMax = 1;
    EXPECT_TRUE(m.BufferAdd(numbered(1)));
    EXPECT_FALSE(m.BufferAdd(numbered(2)));
    EXPECT_EQ(m.BufferSize(), 1);
}

TEST(OutputBuffer, RetrieveLeavesTheRecordAndHoldsCopies)
{
    CommMemberType m;
    CommType out = numbered(42);
    EXPECT_FALSE(m.BufferRetrieve(out));
    EXPECT_EQ(out, numbered(42));   // left as it was

    CommType mine = numbered(1);
    ASSERT_TRUE(m.BufferAdd(mine));
    mine.Message = "changed after adding";
    ASSERT_TRUE(m.BufferRetrieve(out));
    EXPECT_EQ(out, numbered(1));
    EXPECT_EQ(m.BufferSize(), 1);
    m.BufferClear();
    EXPECT_EQ(m.BufferSize(), 0);
}

TEST(CommMemberType, CopyWritesEveryFieldButKeepsTheTargetsBuffer)
{
    CommMemberType source = distinctMember();
    source.BufferAdd(numbered(1));
    CommMemberType target;
    target.BufferAdd(numbered(7));
    target.BufferAdd(numbered(8));
    ASSERT_TRUE(source.Copy(target));
    expectSameFields(target, source);
    EXPECT_EQ(target.LastPacket, DateSerial(4.5));
    EXPECT_EQ(target.LastRPacket, DateSerial(5.5));
    ASSERT_EQ(target.BufferSize(), 2);
    CommType r;
    target.BufferRetrieve(r);
    EXPECT_EQ(r.id, 7);
    EXPECT_EQ(source.BufferSize(), 1);
}

TEST(ModeText, ShowsEachSetFlagInItsSlot)
{
    EXPECT_EQ(ModeText(0), "[...][...][...][...][...][...][...][...][...][...]");
    EXPECT_EQ(ModeText(0x0180), "[...][OUT][CON][...][...][...][...][...][...][...]");
    EXPECT_EQ(ModeText(0x03FF), "[PEN][OUT][CON][WDG][LTH][BUF][FLH][STC][NWT][SYN]");
    const std::string syn = ModeText(mode::SYN);
    EXPECT_EQ(syn.size(), 50u);
    EXPECT_EQ(syn.find("SYN"), 46u);   // position 47, 1-based
    EXPECT_EQ(ModeText(0x0400), ModeText(0));   // bits without a slot show nothing
}

}  // namespace

namespace {

using smtpin::messages::Traffic;

std::string kinds(const smtpin::hub::CommMemberType& m)
{
    std::string out;
    for (const auto& o : m.outputBuffer())
        out += o.record.Message + " ";
    return out;
}

}  // namespace

// Only new pages meet the limit; a page sent again goes ahead of the new
// ones; the watchdog and the state word are never refused and never pile up.
TEST(OutputBuffer, EachKindOfRecordHasItsOwnRule)
{
    smtpin::hub::CommMemberType m;
    m.BufferMax = 2;
    auto rec = [](const std::string& text) {
        smtpin::messages::CommType r;
        r.Message = text;
        return r;
    };
    EXPECT_TRUE(m.BufferAdd(rec("w1"), Traffic::Watchdog));
    EXPECT_TRUE(m.BufferAdd(rec("p1")));
    EXPECT_TRUE(m.BufferAdd(rec("READY"), Traffic::StateWord));
    EXPECT_TRUE(m.BufferAdd(rec("p2")));
    EXPECT_FALSE(m.BufferAdd(rec("p3")));
    EXPECT_TRUE(m.BufferAdd(rec("r1"), Traffic::Resend));
    EXPECT_TRUE(m.BufferAdd(rec("r2"), Traffic::Resend));
    EXPECT_TRUE(m.BufferAdd(rec("w2"), Traffic::Watchdog));
    EXPECT_TRUE(m.BufferAdd(rec("UNAVAIL"), Traffic::StateWord));
    EXPECT_EQ(kinds(m), "r1 r2 p1 p2 w2 UNAVAIL ");
    EXPECT_EQ(m.PagesWaiting(), 2);

    // Pages sent again after a login never take the room of new ones.
    smtpin::hub::CommMemberType restored;
    restored.BufferMax = 2;
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(restored.BufferAdd(rec("r"), Traffic::Resend));
    EXPECT_TRUE(restored.BufferAdd(rec("p1")));
    EXPECT_TRUE(restored.BufferAdd(rec("p2")));
    EXPECT_FALSE(restored.BufferAdd(rec("p3")));

    smtpin::hub::CommMemberType none;
    none.BufferMax = 0;   // as some switches grant it: the default limit
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(none.BufferAdd(rec("p")));
    EXPECT_FALSE(none.BufferAdd(rec("p")));
}
