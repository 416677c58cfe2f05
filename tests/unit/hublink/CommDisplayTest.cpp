#include "FakeLinkSocket.h"
#include "HubPackets.h"

#include "hub/CommDisplay.h"
#include "hub/CommShared.h"
#include "forms/FrmSMTP.h"
#include "hub/HubMessageRing.h"
#include "hub/PacketReader.h"
#include "log/SystemLog.h"
#include "messages/MessageType.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace smtpin::test {
namespace {

using hub::CommDisplay;
using hub::CommMemberType;
using hub::CommType;
namespace mode = hub::mode;

struct Link {
    ManualClock clock;
    forms::FrmSMTP mainForm;
    forms::CommDisplayForm form;
    SystemLog log{clock, {mainForm.lbxSystemLog, mainForm.lbxSMTPLOG, mainForm.cbxErrorLogging}};
    FakeLinkSocket socket;
    CommDisplay link{clock, log, form, mainForm.lbTCPProgress, socket};
    int switchWatchdogs = 0;
    std::vector<CommType> received;

    Link()
    {
        link.setTimersEnabled(false);
        QObject::connect(&link, &CommDisplay::tcpConnected, [this] { ++switchWatchdogs; });
        QObject::connect(&link, &CommDisplay::receivedData, [this](const CommType& r) { received.push_back(r); });
        link.Form_Load();
    }

    static CommMemberType settings(const std::string& id = "S01")
    {
        CommMemberType s;
        s.Identifier = id;
        s.Mode = 0x0114;
        s.ServerAddress = "127.0.0.1";
        s.ServerPort = 6000;
        s.BufferMax = 10;
        s.RemoteBuffer = 250;
        s.Description = "SMTP test";
        s.WatchDog = DateSerial(300.0 / 86400.0);
        return s;
    }

    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            clock.advanceSeconds(2);
            link.Engine_Timer();
        }
    }

    std::string lastPacketMtype()
    {
        CommType r;
        EXPECT_TRUE(hub::ExtractCommPacket(socket.sent.back(), r));
        return r.Mtype;
    }

    // The hub's answer to a connection request.
    std::string acceptPacket(std::int16_t modeWord = 0x0114, int expWatchDogSeconds = 0)
    {
        return hubAcceptPacket(modeWord, expWatchDogSeconds);
    }
    std::string packetOf(const std::string& mtype, const std::string& message, const std::string& target)
    {
        return hubPacket(mtype, message, target);
    }

    // expWatchDogSeconds: the watchdog interval the switch promises, if any.
    void login(int expWatchDogSeconds = 0)
    {
        ASSERT_TRUE(link.Connect(settings()));
        tick();                 // 1: open
        socket.raiseConnect();  // -> 3
        tick();                 // 3: TCP connect -> 11
        tick();                 // 11: request sent -> 4
        socket.deliver(acceptPacket(0x0114, expWatchDogSeconds));
        tick();                 // 5: connected
        ASSERT_TRUE(link.Connected());
    }

    bool logged(const std::string& text) const
    {
        const auto& items = form.lstClientLog.items();
        return std::any_of(items.begin(), items.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
};

TEST(HubEngine, LogsInThroughEveryState)
{
    Link t;
    ASSERT_TRUE(t.link.Connect(Link::settings("S01")));
    EXPECT_EQ(t.link.member().Identifier, "s01");
    EXPECT_EQ(t.link.member().SystemState, 1);
    EXPECT_TRUE(t.link.member().Mode & mode::OUT);
    EXPECT_FALSE(t.link.member().Mode & mode::PEN);
    t.tick();
    EXPECT_EQ(t.socket.connects, 1);
    EXPECT_EQ(t.link.member().SystemState, 2);
    EXPECT_TRUE(t.logged("Socket: Connection Request to 127.0.0.1,6000"));
    t.socket.raiseConnect();
    t.tick();
    EXPECT_EQ(t.switchWatchdogs, 1);
    EXPECT_EQ(t.link.member().SystemState, 11);
    t.tick();
    EXPECT_EQ(t.link.member().SystemState, 4);
    EXPECT_EQ(t.lastPacketMtype(), "1000");
    CommType request;
    hub::ExtractCommPacket(t.socket.sent.back(), request);
    CommMemberType sentMember;
    ASSERT_TRUE(sentMember.ExtractPacket(request.Message));
    EXPECT_EQ(sentMember.Identifier, "s01");
    EXPECT_EQ(request.Source, "s01");
    EXPECT_EQ(request.target, "h01");

    t.socket.deliver(t.acceptPacket());
    EXPECT_EQ(t.link.member().SystemState, 5);
    EXPECT_TRUE(t.logged("RXD: ACCEPT CONN"));
    t.tick();
    EXPECT_TRUE(t.link.Connected());
    EXPECT_EQ(t.form.lblError.caption(), "Connected to 127.0.0.1,6000");
    EXPECT_EQ(t.mainForm.lbTCPProgress.caption(), "Connected to 127.0.0.1,6000");
    // The first link watchdog goes out with the login.
    EXPECT_EQ(t.lastPacketMtype(), "1007");
    EXPECT_EQ(t.form.grdMember.cellBackColor(2, 1), 0xFFFF00u);
    t.tick();
    EXPECT_EQ(t.form.grdMember.cellBackColor(2, 1), 0x00FF00u);
}

TEST(HubEngine, GivesUpWaitingForTheLoginPacketAfterCountingDown)
{
    Link t;
    ASSERT_TRUE(t.link.Connect(Link::settings()));
    t.tick();
    t.socket.raiseConnect();
    t.tick(2);
    std::vector<std::string> shown;
    for (int i = 0; i < 9; ++i) {
        t.tick();
        shown.push_back(t.link.member().SystemStateDES);
    }
    EXPECT_EQ(shown.front(), "APPL: Waiting for Login Packet (09)");
    EXPECT_EQ(shown.back(), "APPL: Waiting for Login Packet (01)");
    t.tick();
    EXPECT_EQ(t.link.member().SystemStateDES, "Failed to connect - Never received Login Packet");
    EXPECT_EQ(t.link.member().SystemState, 10);
    t.tick();
    EXPECT_EQ(t.link.member().SystemState, 0);
    EXPECT_EQ(t.socket.socketState, 0);
    EXPECT_FALSE(t.link.Connected());
}

TEST(HubEngine, ConnectErrorsAndTimeoutsCloseThePort)
{
    {
        Link t;
        t.socket.refuseConnect = true;
        ASSERT_TRUE(t.link.Connect(Link::settings()));
        t.tick();
        EXPECT_EQ(t.link.member().SystemStateDES, "Socket: Failed to connect - [11001] : Host not found");
        EXPECT_EQ(t.link.member().SystemState, 10);
        t.tick();
        EXPECT_EQ(t.link.member().SystemState, 0);
    }
    {
        Link t;   // the TCP connection never comes up
        ASSERT_TRUE(t.link.Connect(Link::settings()));
        t.tick(5);
        EXPECT_EQ(t.link.member().SystemStateDES, "Socket: Waiting for Connection 01");
        t.tick();
        EXPECT_EQ(t.form.lblError.caption(), "Failed to connect - Server failed to connect");
        t.tick();
        EXPECT_EQ(t.link.member().SystemState, 0);
        EXPECT_GE(t.socket.closes, 1);
    }
}

TEST(HubEngine, ConnectRefusals)
{
    Link t;
    EXPECT_FALSE(t.link.Connect(Link::settings("S1")));
    EXPECT_FALSE(t.link.Connect(Link::settings("")));
    EXPECT_FALSE(t.link.Connect(Link::settings("s0a")));
    EXPECT_EQ(t.link.member().SystemState, 0);
    EXPECT_EQ(t.link.member().Identifier, "NOTINIT");
    EXPECT_TRUE(t.link.SetLocalIdentifier("?**"));
    EXPECT_EQ(t.link.member().Identifier, "?**");
    t.login();
    const auto sentBefore = t.socket.sent.size();
    EXPECT_FALSE(t.link.Connect(Link::settings("S02")));
    EXPECT_EQ(t.link.member().Identifier, "s01");
    EXPECT_FALSE(t.link.member().Mode & mode::PEN);
    EXPECT_EQ(t.socket.sent.size(), sentBefore);
}

TEST(HubEngine, DisconnectSendsTheNoticeAndWaitsForTheClose)
{
    Link t;
    EXPECT_TRUE(t.link.Disconnect());   // not connected: nothing happens
    EXPECT_EQ(t.link.member().SystemState, 0);
    t.login();
    EXPECT_TRUE(t.link.Disconnect());
    t.tick();
    EXPECT_EQ(t.lastPacketMtype(), "1002");
    EXPECT_EQ(t.link.member().SystemState, 9);
    t.socket.raiseClose();
    t.tick();
    EXPECT_EQ(t.link.member().SystemState, 0);
    EXPECT_FALSE(t.link.Connected());
    EXPECT_EQ(t.form.lblError.caption(), "Socket: Closed");
}

TEST(HubEngine, ServerLogoffAndKillConnection)
{
    Link t;
    t.login();
    t.socket.deliver(t.packetOf("1001", "", "s01"));
    EXPECT_EQ(t.link.member().SystemState, 8);
    EXPECT_TRUE(t.logged("RXD: DISCONNECT RQST"));
    Link k;
    k.login();
    k.link.KillConnection();
    EXPECT_TRUE(k.logged("Kill TCP Connection"));
    k.tick();
    EXPECT_FALSE(k.link.Connected());
}

TEST(HubEngine, AcceptOutsideWaitingIsIgnoredAndBadAcceptDisconnects)
{
    Link t;
    t.socket.socketState = SocketControl::Connected;
    t.socket.deliver(t.acceptPacket());
    EXPECT_EQ(t.link.member().SystemState, 0);
    EXPECT_EQ(t.link.member().Identifier, "NOTINIT");

    Link b;
    ASSERT_TRUE(b.link.Connect(Link::settings()));
    b.tick();
    b.socket.raiseConnect();
    b.tick(2);
    b.socket.deliver(b.packetOf("1003", "0001garbage", "s01"));
    EXPECT_EQ(b.link.member().SystemStateDES, "Returned Packet Extraction failed");
    EXPECT_EQ(b.link.member().SystemState, 8);
}

// A switch whose accept carries a date written another way still logs the
// client in; a packet right after the accept (its watchdog) does not undo it.
TEST(HubEngine, TheLoginHoldsWhateverFollowsTheAccept)
{
    Link t;
    ASSERT_TRUE(t.link.Connect(Link::settings()));
    t.tick();
    t.socket.raiseConnect();
    t.tick(2);
    std::string member;
    hub::CommMemberType m;
    m.Identifier = "s01";
    m.Mode = 0x0114;
    m.BufferMax = 10;
    ASSERT_TRUE(m.CreatePacket(member));
    const auto tab = member.find('\t', member.find("0.000694444444444444"));
    member.replace(member.find("0.000694444444444444"), tab - member.find("0.000694444444444444"), "soon");
    t.socket.deliver(t.packetOf("1003", member, "s01") + t.packetOf("1007", "Commclass System WatchDog (Level 1) ....", "s01"));
    EXPECT_TRUE(t.link.Connected());
    EXPECT_TRUE(t.logged("RXD: Unreadable field in the accept WatchDog 'soon'"));
    t.tick(3);
    EXPECT_TRUE(t.link.Connected());
    EXPECT_EQ(t.link.member().SystemState, 0);
    EXPECT_EQ(t.received.size(), 1u);
}

// Records wait for an answer and the switch has not been heard for two of
// its announced watchdog intervals: it is gone, however well its socket
// takes our bytes.
TEST(HubTransfer, ASilentSwitchIsLeftAndLoggedInAgain)
{
    Link t;
    t.login(10);
    CommType r;
    r.target = "h01";
    r.Message = "waiting";
    ASSERT_TRUE(t.link.Send(r));
    t.tick(9);   // 20 s since the accept: two intervals are not yet silence
    EXPECT_TRUE(t.link.Connected());
    t.socket.deliver(t.packetOf("", "0000001|x", "s01"));   // heard
    t.tick(1);
    ASSERT_TRUE(t.link.Send(r));
    t.tick(9);
    EXPECT_TRUE(t.link.Connected());
    t.tick(1);
    EXPECT_EQ(t.link.member().SystemState, 10);
    EXPECT_TRUE(t.logged("APPL: Switch silent since "));

    // Quiet and nothing waiting is no silence.
    Link idle;
    idle.login(10);
    idle.tick(30);
    EXPECT_TRUE(idle.link.Connected());
}

TEST(HubTransfer, SendQueuesWhileDownAndFlushesAfterLogin)
{
    Link t;
    CommType r;
    r.target = "h01";
    r.Message = "first";
    EXPECT_TRUE(t.link.Send(r));
    EXPECT_EQ(t.link.member().BufferSize(), 1);
    EXPECT_TRUE(t.socket.sent.empty());
    t.login();
    t.tick();   // idle tick flushes
    EXPECT_EQ(t.link.member().BufferSize(), 0);
    CommType out;
    ASSERT_TRUE(hub::ExtractCommPacket(t.socket.sent.back(), out));
    EXPECT_EQ(out.Message, "first");
    EXPECT_EQ(t.link.member().Packets, 1);
}

TEST(HubTransfer, FullBufferRefusesTheNewRecordAndKeepsTheQueued)
{
    Link t;
    CommType r;
    r.target = "h01";
    for (int i = 0; i < 10; ++i) {
        r.Message = "m" + std::to_string(i);
        ASSERT_TRUE(t.link.Send(r));
    }
    r.Message = "eleventh";
    EXPECT_FALSE(t.link.Send(r));
    EXPECT_EQ(t.link.member().OPackets, 1);
    EXPECT_EQ(t.link.member().LastOPacket, t.clock.now());
    ASSERT_EQ(t.link.member().BufferSize(), 10);
    EXPECT_EQ(t.link.member().outputBuffer().front().record.Message, "m0");
    EXPECT_EQ(t.link.member().outputBuffer().back().record.Message, "m9");
}

TEST(HubTransfer, FailedSendKeepsTheRecordAtTheHeadAndClosesThePort)
{
    Link t;
    t.login();
    t.socket.refuseSend = true;
    CommType r;
    r.target = "h01";
    r.Message = "kept";
    EXPECT_TRUE(t.link.Send(r));
    EXPECT_EQ(t.link.member().SystemState, 10);
    EXPECT_EQ(t.link.member().BufferSize(), 1);
    r.target = "toolong";
    t.socket.refuseSend = false;
    t.tick();   // closes the port
    EXPECT_FALSE(t.link.Connected());
    EXPECT_EQ(t.link.member().outputBuffer().front().record.Message, "kept");
}

TEST(HubTransfer, StreamSplittingHandlesWholeSplitAndBadPackets)
{
    Link t;
    t.login();
    const std::string a = t.packetOf("", "one", "s01");
    const std::string b = t.packetOf("", "two", "s01");
    t.socket.deliver(a + b);
    ASSERT_EQ(t.received.size(), 2u);
    EXPECT_EQ(t.received[0].Message, "one");
    EXPECT_EQ(t.received[1].Message, "two");

    const std::string c = t.packetOf("", "three", "s01");
    t.socket.deliver(c.substr(0, 10));
    EXPECT_EQ(t.received.size(), 2u);
    t.socket.deliver(c.substr(10));
    ASSERT_EQ(t.received.size(), 3u);
    EXPECT_EQ(t.received[2].Message, "three");

    std::string bad = t.packetOf("", "four", "s01");
    bad[bad.size() - 3] = 'X';
    t.socket.deliver(bad + t.packetOf("1007", "", "s01"));
    ASSERT_EQ(t.received.size(), 4u);   // the bad one dropped, the watchdog is data
    EXPECT_EQ(t.received[3].Mtype, "1007");
    EXPECT_EQ(t.link.member().RPackets, 4);
}

// The switch hands records one at a time when it asks for "request next":
// each record is handed on once, in order, and only then the next asked for.
TEST(HubTransfer, TheWaitingRequestModeHandsOnEveryRecordAndAsksForTheNext)
{
    Link t;
    t.login();
    t.link.TMode(static_cast<std::int16_t>(t.link.member().Mode | mode::SYN | mode::NWT));
    std::vector<std::size_t> sentWhenHandedOn;
    QObject::connect(&t.link, &CommDisplay::receivedData, [&] { sentWhenHandedOn.push_back(t.socket.sent.size()); });
    t.socket.deliver(t.packetOf("", "one", "s01") + t.packetOf("", "two", "s01"));
    t.socket.deliver(t.packetOf("", "three", "s01"));
    ASSERT_EQ(t.received.size(), 3u);
    EXPECT_EQ(t.received[0].Message, "one");
    EXPECT_EQ(t.received[2].Message, "three");
    EXPECT_EQ(t.link.recordsTaken(), 3);
    // Handed on before its request for the next went out.
    EXPECT_EQ(sentWhenHandedOn[1], sentWhenHandedOn[0] + 1);
    EXPECT_EQ(t.lastPacketMtype(), "1006");
    EXPECT_EQ(t.link.member().SystemState, 30);
    EXPECT_FALSE(t.link.member().Mode & mode::LTH);   // no latch while NWT is set
    t.tick();
    EXPECT_EQ(t.link.member().SystemState, 0);
    EXPECT_TRUE(t.logged("APPL: Requesting data ...."));
}

TEST(HubTransfer, PacketReaderKeepsOnlyWhatIsNotTaken)
{
    hub::PacketReader reader;
    std::string packet;
    reader.append(std::string("ab\x01" "cd\x01" "e"));
    ASSERT_TRUE(reader.next(packet));
    EXPECT_EQ(packet, std::string("ab\x01"));
    reader.append(std::string("f\x01"));   // arrives while packets are taken
    ASSERT_TRUE(reader.next(packet));
    EXPECT_EQ(packet, std::string("cd\x01"));
    ASSERT_TRUE(reader.next(packet));
    EXPECT_EQ(packet, std::string("ef\x01"));
    EXPECT_FALSE(reader.next(packet));
    EXPECT_EQ(reader.pending(), 0u);
    // A long stream of whole packets never counts towards the bound.
    for (int i = 0; i < 30000; ++i) {
        reader.append(std::string("abcdefghi\x01"));
        ASSERT_TRUE(reader.next(packet));
    }
    reader.append("tail");
    EXPECT_FALSE(reader.next(packet));
    EXPECT_EQ(reader.pending(), 4u);
}

TEST(HubTransfer, ReceiveBufferIsCapped)
{
    Link t;
    t.socket.deliver(std::string(150000, 'a'));
    EXPECT_EQ(t.link.bytesWaiting(), CommDisplay::kMaxReceiveBuffer);
}

TEST(HubTransfer, LinkWatchdogGoesOutAfterHalfAnIntervalOfSilence)
{
    Link t;
    t.login();
    const auto before = t.socket.sent.size();
    EXPECT_EQ(t.lastPacketMtype(), "1007");   // sent with the login
    t.clock.advanceSeconds(20);   // the hub's interval is a minute
    t.link.Engine_Timer();
    EXPECT_EQ(t.socket.sent.size(), before);
    t.clock.advanceSeconds(12);
    t.link.Engine_Timer();
    EXPECT_EQ(t.lastPacketMtype(), "1007");
    EXPECT_TRUE(t.link.member().Mode & mode::WDG);
    EXPECT_EQ(t.form.grdMember.cellBackColor(2, 1), 0xFFFF00u);
    t.link.Engine_Timer();   // idle tick clears WDG
    EXPECT_FALSE(t.link.member().Mode & mode::WDG);

    t.socket.refuseSend = true;
    t.clock.advanceSeconds(200);
    t.link.Engine_Timer();
    EXPECT_TRUE(t.link.watchdogFailed());
    EXPECT_EQ(t.link.member().SystemState, 8);
}

TEST(HubTransfer, OwnerTakesOnlyRecordsForThisClientOneAtATime)
{
    Link t;
    std::vector<std::string> delivered;
    hub::HubMessageRing owner(t.link);
    QObject::connect(&owner, &hub::HubMessageRing::hubMessage,
                     [&](const std::string& text) { delivered.push_back(text); });
    QObject::connect(&t.link, &CommDisplay::receivedData, &owner, &hub::HubMessageRing::client_ReceivedData);
    t.login();
    t.socket.deliver(t.packetOf("", "mine", "s01") + t.packetOf("", "theirs", "s02"));
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0], "mine");
    EXPECT_EQ(t.link.recordsTaken(), 2);
}

TEST(HubDisplay, GridShowsRecordAndWritesOnlyChanges)
{
    Link t;
    auto& g = t.form.grdMember;
    EXPECT_EQ(g.rows(), 31);
    EXPECT_EQ(g.textMatrix(0, 0), "Property");
    EXPECT_EQ(g.textMatrix(1, 0), "Identifier");
    EXPECT_EQ(g.textMatrix(30, 0), "State");
    EXPECT_EQ(g.textMatrix(1, 1), "NOTINIT");
    EXPECT_EQ(g.textMatrix(2, 1), "[...][...][...][...][...][...][...][...][...][...]");
    const long writes = g.writes();
    t.link.TMode(t.link.member().Mode);
    t.link.view().ShowCell(hub::RowSystemState, g.textMatrix(hub::RowSystemState, 1));
    EXPECT_EQ(g.writes(), writes);
    t.link.TMode(0x0180);
    EXPECT_EQ(g.textMatrix(2, 1), "[...][OUT][CON][...][...][...][...][...][...][...]");
    EXPECT_EQ(g.cellBackColor(2, 1), 0x00FF00u);
    t.link.TMode(0x01C0);
    EXPECT_EQ(g.cellBackColor(2, 1), 0xFFFF00u);
    t.link.TMode(0);
    EXPECT_EQ(g.cellBackColor(2, 1), Grid::kWhite);
}

TEST(HubDisplay, ClientLogKeepsTwoHundredNewestFirst)
{
    Link t;
    for (int i = 0; i < 250; ++i)
        t.link.view().InsertClientLog("line " + std::to_string(i));
    const auto& list = t.form.lstClientLog;
    ASSERT_EQ(list.listCount(), 200);
    EXPECT_NE(list.item(0).find("line 249"), std::string::npos);
    EXPECT_NE(list.item(199).find("line 50"), std::string::npos);
}

TEST(HubDisplay, LatchNeedsSynWithoutNoWait)
{
    Link t;
    t.login();
    CommType r;
    t.link.TMode(static_cast<std::int16_t>(t.link.member().Mode | mode::SYN));
    t.link.Request(r, true);
    EXPECT_TRUE(t.link.member().Mode & mode::LTH);
    EXPECT_TRUE(t.logged(std::string(35, ' ') + "LATCH SET"));
    EXPECT_EQ(t.lastPacketMtype(), "1006");
    EXPECT_FALSE(t.link.RequestDataHub(r));
}

}  // namespace
}  // namespace smtpin::test
