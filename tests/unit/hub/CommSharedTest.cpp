#include "hub/CommMemberType.h"
#include "hub/CommShared.h"
#include "hub/LinkSocket.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace smtpin;
using namespace smtpin::hub;

namespace {

std::string withCheck(const std::string& body)
{
    return zeroPadded(PacketChecksum(body), 4) + body;
}

CommType fullRecord()
{
    CommType r;
    r.id = -12;
    r.Userid = "s01";
    r.Priority = 32767;
    r.Source = "s01";
    r.target = "h01";
    r.SDate = DateSerial::fromParts(2026, 3, 1, 12, 34, 56);
    r.EDate = DateSerial(2.0 / 3.0);
    r.Mtype = "";
    r.Message = "0001234|15/01/2026 10:00:00|S01||0||1234||caf\xe9 \xff|||||||||NEWMESS";
    r.Field1 = "one";
    r.Field3 = std::string("nul\0inside", 10);
    r.Field8 = "eight";
    return r;
}

// Serial numbers travel with 15 significant digits, so dates come back
// within a few microseconds, not bit for bit.
void expectSameRecord(const CommType& got, const CommType& want)
{
    CommType a = got, b = want;
    EXPECT_NEAR(a.SDate.days(), b.SDate.days(), 1e-9);
    EXPECT_NEAR(a.EDate.days(), b.EDate.days(), 1e-9);
    a.SDate = b.SDate;
    a.EDate = b.EDate;
    EXPECT_TRUE(a == b) << "id " << a.id << " Userid '" << a.Userid << "' Source '" << a.Source << "' target '"
                        << a.target << "' Mtype '" << a.Mtype << "' Message '" << a.Message << "'";
}

// Records the bytes handed to it; can be told to fail.
class FakeLinkSocket : public LinkSocket {
public:
    std::vector<std::string> sent;
    bool fail = false;

    SocketControl::State state() const override { return SocketControl::Connected; }
    std::string localIP() const override { return "127.0.0.1"; }
    int localPort() const override { return 4000; }
    std::string localHostName() const override { return "localhost"; }
    bool connectTo(const std::string&, int, Failure*) override { return true; }
    bool send(const std::string& data, Failure* failure) override
    {
        if (fail) {
            if (failure)
                *failure = {10053, "aborted"};
            return false;
        }
        sent.push_back(data);
        return true;
    }
    std::string receive() override { return {}; }
    bool close(Failure*) override { return true; }
};

TEST(PacketChecksum, SumsUnsignedCharacterCodesModulo10000)
{
    EXPECT_EQ(PacketChecksum("abc"), 294);
    EXPECT_EQ(PacketChecksum(""), 0);
    EXPECT_EQ(PacketChecksum("\xff"), 255);                     // 8-bit, not sign-extended
    EXPECT_EQ(PacketChecksum(std::string(40, '\xff')), 200);    // 10200 wraps
    EXPECT_EQ(PacketChecksum(std::string("\0\0", 2)), 0);
}

TEST(DataPacket, EmptyRecordIsWrittenByteForByte)
{
    CommType r;
    r.Source = "h01";
    r.target = "h01";
    r.SDate = DateSerial(46000.5);
    r.EDate = DateSerial(2.0 / 3.0);
    std::string out = "left over";
    EXPECT_TRUE(CreateCommPacket(out, r));

    const std::string body = std::string("0\t") + "0000" + "0\t" + "h01" + "h01" + "46000.5\t" +
                             "0.666666666666667\t" + std::string(40, '0') + "\x01";
    EXPECT_EQ(out, "3901" + body);

    CommType back;
    back.Message = "stale";
    ASSERT_TRUE(ExtractCommPacket(out, back));
    expectSameRecord(back, r);
}

TEST(DataPacket, FullRecordRoundTrips)
{
    const CommType r = fullRecord();
    std::string out;
    CreateCommPacket(out, r);
    EXPECT_EQ(out.back(), '\x01');
    EXPECT_EQ(out.find('\x01'), out.size() - 1);

    CommType back;
    ASSERT_TRUE(ExtractCommPacket(out, back));
    EXPECT_EQ(back.id, -12);
    EXPECT_EQ(back.Priority, 32767);
    EXPECT_EQ(back.Message, r.Message);
    EXPECT_EQ(back.Field3, r.Field3);
    expectSameRecord(back, r);
}

TEST(DataPacket, MemberPacketInMessageKeepsItsTabs)
{
    CommMemberType m;
    m.Identifier = "s01";
    m.Description = "SMTP input\tclient";
    std::string member;
    ASSERT_TRUE(m.CreatePacket(member));
    ASSERT_NE(member.find('\t'), std::string::npos);

    CommType r;
    r.Source = "s01";
    r.target = "h01";
    r.Mtype = "1000";
    r.Message = member;
    r.Field1 = "after";
    std::string out;
    CreateCommPacket(out, r);

    CommType back;
    ASSERT_TRUE(ExtractCommPacket(out, back));
    EXPECT_EQ(back.Message, member);
    EXPECT_EQ(back.Field1, "after");
    CommMemberType again;
    ASSERT_TRUE(again.ExtractPacket(back.Message));
    EXPECT_EQ(again.Description, "SMTP input\tclient");
}

TEST(DataPacket, AnyChangedCharacterAfterTheCheckIsRefused)
{
    std::string good;
    CreateCommPacket(good, fullRecord());
    for (std::size_t i = 4; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(static_cast<unsigned char>(bad[i]) ^ 0x02);
        CommType back;
        back.Userid = "stale";
        EXPECT_FALSE(ExtractCommPacket(bad, back)) << "position " << i;
        EXPECT_EQ(back, CommType()) << "position " << i;
    }
    // The check itself: a wrong or non-numeric check refuses too.
    std::string bad = good;
    bad[3] = bad[3] == '9' ? '8' : static_cast<char>(bad[3] + 1);
    CommType back;
    EXPECT_FALSE(ExtractCommPacket(bad, back));
    EXPECT_FALSE(ExtractCommPacket("x" + good.substr(1), back));
}

TEST(DataPacket, TruncatedPacketsAreRefusedEvenWithAFreshCheck)
{
    std::string good;
    CreateCommPacket(good, fullRecord());
    const std::string body = good.substr(4);
    // Without the terminator every field is still there.
    CommType back;
    EXPECT_TRUE(ExtractCommPacket(withCheck(body.substr(0, body.size() - 1)), back));
    for (std::size_t cut = 0; cut + 1 < body.size(); ++cut)
        EXPECT_FALSE(ExtractCommPacket(withCheck(body.substr(0, cut)), back)) << "cut at " << cut;
    for (const char* shortText : {"", "1", "123"})
        EXPECT_FALSE(ExtractCommPacket(shortText, back));
}

TEST(DataPacket, BadFieldsMakeTheResultFalse)
{
    auto packet = [](const std::string& id, const std::string& count, const std::string& date) {
        const std::string body =
            id + "\t" + count + "s01" + "0\t" + "s01h01" + date + "\t0\t" + std::string(40, '0') + "\x01";
        return withCheck(body);
    };
    CommType back;
    EXPECT_TRUE(ExtractCommPacket(packet("7", "0003", "1.5"), back));
    EXPECT_EQ(back.id, 7);
    EXPECT_FALSE(ExtractCommPacket(packet("x7", "0003", "1.5"), back));
    EXPECT_FALSE(ExtractCommPacket(packet("40000", "0003", "1.5"), back));   // beyond 16 bits
    EXPECT_FALSE(ExtractCommPacket(packet("7", "00x3", "1.5"), back));
    EXPECT_FALSE(ExtractCommPacket(packet("7", "0003", "nan"), back));
}

// A switch that writes its dates another way: the packet still counts, and
// the field that did not convert is named; a broken structure names nothing.
TEST(DataPacket, DatesFromTheSwitchAreReadOrNamedNeverOverflowed)
{
    auto packet = [](const std::string& id, const std::string& date) {
        return withCheck(id + "\t0003s010\ts01h01" + date + "\t0\t" + std::string(40, '0') + "\x01");
    };
    CommType back;
    std::string unreadable;
    EXPECT_TRUE(ExtractCommPacket(packet("7", "46000,25"), back, &unreadable));   // a decimal comma
    EXPECT_DOUBLE_EQ(back.SDate.days(), 46000.25);
    EXPECT_EQ(unreadable, "");
    for (const char* date : {"1e20", "-1e20", "inf", "3000000"}) {
        EXPECT_FALSE(ExtractCommPacket(packet("7", date), back, &unreadable)) << date;
        EXPECT_EQ(unreadable, std::string("SDate '") + date + "'");
        EXPECT_EQ(back.id, 7);
        EXPECT_TRUE(back.SDate.isZero());
        EXPECT_EQ(back.SDate.generalDate(), "00:00:00");
    }
    EXPECT_FALSE(ExtractCommPacket(packet("x", "1e20"), back, &unreadable));
    EXPECT_EQ(unreadable, "id 'x', SDate '1e20'");
    EXPECT_FALSE(ExtractCommPacket(withCheck("7\t00x3"), back, &unreadable));
    EXPECT_EQ(unreadable, "");
    // A serial no date can have still shows, clamped, without overflow.
    EXPECT_EQ(DateSerial(1e20).generalDate(), "31/12/9999 23:59:59");
    EXPECT_EQ(DateSerial(-1e20).dateText(), "01/01/0100");
}

TEST(DataPacket, MemberCodesArePaddedOrCutToThree)
{
    CommType r;
    r.Source = "a";
    r.target = "h012";
    std::string out;
    CreateCommPacket(out, r);
    EXPECT_NE(out.find("0\ta  h01"), std::string::npos);
    CommType back;
    ASSERT_TRUE(ExtractCommPacket(out, back));
    EXPECT_EQ(back.Source, "a  ");
    EXPECT_EQ(back.target, "h01");
}

TEST(DataPacket, CountedTextsStopBelowTenThousandCharacters)
{
    CommType r;
    r.target = "h01";
    r.Message = std::string(9999, 'm');
    std::string out;
    CreateCommPacket(out, r);
    CommType back;
    ASSERT_TRUE(ExtractCommPacket(out, back));
    EXPECT_EQ(back.Message.size(), 9999u);

    // A 5-digit count would be misread: the packet goes out with a bad
    // check and is refused at the far end.
    r.Message = std::string(10000, 'm');
    CreateCommPacket(out, r);
    EXPECT_EQ(out.substr(0, 4), "0000");
    EXPECT_FALSE(ExtractCommPacket(out, back));
}

TEST(DataPacket, SerialNumbersUseAPointAndAtMost15SignificantDigits)
{
    auto written = [](double serial) {
        CommType r;
        r.SDate = DateSerial(serial);
        std::string out;
        CreateCommPacket(out, r);
        std::string value;
        // id, Userid count, Priority, Source, target, then SDate.
        packet::GetTabField(value, out, 5 + 2 + 4 + 2 + 6);
        return value;
    };
    EXPECT_EQ(written(46000.5), "46000.5");
    EXPECT_EQ(written(0), "0");
    EXPECT_EQ(written(-1), "-1");
    EXPECT_EQ(written(2.0 / 3.0), "0.666666666666667");
    const double oneSecondPast = 46000.5 + 1.0 / 86400.0;
    const std::string text = written(oneSecondPast);
    EXPECT_EQ(text.find(','), std::string::npos);
    ASSERT_NE(text.find('.'), std::string::npos);
    int digits = 0;
    for (char c : text)
        digits += (c >= '0' && c <= '9');
    EXPECT_LE(digits, 15);
    EXPECT_NEAR(*toDouble(text), oneSecondPast, 1e-9);
}

TEST(FieldReaders, PositionsAreOneBasedAndChain)
{
    const std::string text = "12\t0003abcxyz";
    std::string v;
    EXPECT_EQ(packet::GetTabField(v, text, 1), 3u);
    EXPECT_EQ(v, "12");
    EXPECT_EQ(packet::GetLengthField(v, text, 4), 10u);
    EXPECT_EQ(v, "abc");
    EXPECT_EQ(packet::GetFixedField(v, text, 11, 3), 13u);
    EXPECT_EQ(v, "xyz");

    // No TAB: the rest, and 0 so that reading restarts at 1.
    EXPECT_EQ(packet::GetTabField(v, text, 4), 0u);
    EXPECT_EQ(v, "0003abcxyz");
    // Short or bad counts answer the text's length and set nothing.
    v = "kept";
    EXPECT_EQ(packet::GetLengthField(v, "0009abc", 1), 7u);
    EXPECT_EQ(packet::GetLengthField(v, "ab3cdef", 1), 7u);
    EXPECT_EQ(packet::GetFixedField(v, "ab", 1, 3), 2u);
    EXPECT_EQ(v, "kept");
}

TEST(SendCommPacket, RefusesATargetThatIsNotExactlyThreeCharacters)
{
    FakeLinkSocket socket;
    CommType r = fullRecord();
    for (const char* target : {"", "h0", "h012", "h01 "}) {
        r.target = target;
        EXPECT_FALSE(SendCommPacket(socket, r)) << '"' << target << '"';
    }
    EXPECT_TRUE(socket.sent.empty());

    r.target = "h01";
    ASSERT_TRUE(SendCommPacket(socket, r));
    ASSERT_EQ(socket.sent.size(), 1u);
    CommType back;
    ASSERT_TRUE(ExtractCommPacket(socket.sent[0], back));
    expectSameRecord(back, r);

    socket.fail = true;
    EXPECT_FALSE(SendCommPacket(socket, r));
}

TEST(SendControlPacket, FillsTheFixedTextsAndATenSecondEDate)
{
    ManualClock clock;
    FakeLinkSocket socket;
    const std::vector<std::pair<int, std::string>> fixed = {
        {1001, "Requesting Logoff ... (Server Disconnection Request)"},
        {1002, "Requesting Logoff ... (Client Disconnection Request/Ack)"},
        {1004, "KILL Request next packet"},
        {1005, "Buffer Emtpy token (Nothing to Receive)"},
        {1006, "Request next packet"},
        {1007, "Commclass System WatchDog (Level 1) ...."},
        {1000, "caller text"},
        {1003, "caller text"},
        {1234, ""},
    };
    for (const auto& [code, text] : fixed) {
        socket.sent.clear();
        ASSERT_TRUE(SendControlPacket(socket, clock, "s01", "h01", static_cast<std::int16_t>(code), "caller text"));
        ASSERT_EQ(socket.sent.size(), 1u);
        CommType back;
        ASSERT_TRUE(ExtractCommPacket(socket.sent[0], back));
        EXPECT_EQ(back.Mtype, std::to_string(code));
        EXPECT_EQ(back.Message, text) << code;
        EXPECT_EQ(back.Source, "s01");
        EXPECT_EQ(back.target, "h01");
        EXPECT_NEAR(back.SDate.days(), clock.now().days(), 1e-9);
        EXPECT_NEAR(back.EDate.days(), 10.0 / 86400.0, 1e-15);
        EXPECT_TRUE(back.Userid.empty());
    }
    socket.sent.clear();
    EXPECT_FALSE(SendControlPacket(socket, clock, "s01", "h1", 1007, {}));
    EXPECT_TRUE(socket.sent.empty());
}

}  // namespace
