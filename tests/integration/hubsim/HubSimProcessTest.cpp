#include "RawHubClient.h"

#include "support/HubSimProcess.h"
#include "support/TempDir.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace smtpin;
using namespace smtpin::test;

namespace {

// The switch as its own program, spoken to over a plain socket.
struct HubSimRun : ::testing::Test {
    HubSimProcess hub;
    RawHubClient client;

    void run(const QStringList& args = {})
    {
        ASSERT_TRUE(hub.start(args)) << "hubsim did not start: " << HubSimProcess::program().toStdString();
        ASSERT_TRUE(client.connectTo(hub.port()));
    }
    void runLoggedIn(const QStringList& args = {})
    {
        run(args);
        ASSERT_TRUE(client.login());
    }
};

TEST_F(HubSimRun, LoginIsAcceptedWithAMemberPacketForTheClient)
{
    run({"--buffer-max", "7"});
    client.write(client.loginPacket(0x0001 | 0x0002));   // SYN and NWT
    const auto accept = client.next();
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->mtype, "1003");
    EXPECT_EQ(accept->source, "h01");
    EXPECT_EQ(accept->target, "s01");

    const auto granted = wire::decodeMember(accept->message);
    ASSERT_TRUE(granted);
    EXPECT_EQ(granted->at("Identifier"), "s01");
    EXPECT_EQ(granted->at("Mode"), std::to_string(0x0001 | 0x0002 | 0x0100));   // and OUT
    EXPECT_EQ(granted->at("BufferMax"), "7");
    EXPECT_EQ(granted->at("RemoteBuffer"), "100");
    EXPECT_NEAR(std::stod(granted->at("WatchDog")), 1.0 / 1440.0, 1e-12);
    EXPECT_EQ(granted->at("socket"), "1");
    EXPECT_EQ(granted->at("Description"), "raw test client");
    EXPECT_EQ(granted->at("ServerPort"), std::to_string(hub.port()));

    EXPECT_TRUE(hub.waitForLine("TX 1003 accept s01"));
    EXPECT_EQ(hub.count("OPEN 1 127.0.0.1:"), 1);
    EXPECT_EQ(hub.count("RX 1000 login s01"), 1);
}

TEST_F(HubSimRun, NewMessageIsAnsweredWithADeleteForItsId)
{
    runLoggedIn();
    client.write(client.recordPacket(RawHubClient::newMessage(1000123, "1234", "Test page")));
    const auto p = client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mtype, "");
    EXPECT_EQ(p->source, "h01");
    EXPECT_EQ(p->target, "s01");
    EXPECT_EQ(p->userid, "h01");
    const auto del = wire::Record::parse(p->message);
    ASSERT_EQ(del.fields.size(), 18u);
    EXPECT_EQ(del.word(), "DELETE");
    EXPECT_EQ(del.id(), 1000123);
    EXPECT_EQ(del.source(), "h01");
    EXPECT_NE(del.created().find('/'), std::string::npos);
    EXPECT_NE(p->sdate.find('.'), std::string::npos);

    EXPECT_TRUE(hub.waitForLine("TX DELETE 1000123 to s01"));
    EXPECT_EQ(hub.count("RX NEWMESS 1000123 to 1234: Test page"), 1);

    // A watchdog record is shown and not answered.
    auto dog = RawHubClient::newMessage(6666666, "", "");
    dog.fields[17] = "WATCHDOG";
    client.write(client.recordPacket(dog));
    EXPECT_TRUE(hub.waitForLine("RX WATCHDOG 6666666"));
    client.write(client.controlPacket(1006));
    const auto empty = client.next();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->mtype, "1005");
}

TEST_F(HubSimRun, RequestNextIsAnsweredWithBufferEmpty)
{
    runLoggedIn();
    client.write(client.controlPacket(1006));
    const auto p = client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mtype, "1005");
    EXPECT_EQ(p->message, "Buffer Emtpy token (Nothing to Receive)");
    EXPECT_EQ(p->target, "s01");
    EXPECT_TRUE(hub.waitForLine("TX 1005 empty s01"));
    EXPECT_EQ(hub.count("RX 1006 request s01"), 1);
}

TEST_F(HubSimRun, LogoffClosesThatConnectionOnly)
{
    runLoggedIn();
    RawHubClient other("s02");
    ASSERT_TRUE(other.connectTo(hub.port()));
    ASSERT_TRUE(other.login());

    client.write(client.controlPacket(1002));
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(hub.waitForLine("CLOSED s01"));
    EXPECT_EQ(hub.count("RX 1002 logoff s01"), 1);

    other.write(other.recordPacket(RawHubClient::newMessage(5, "99", "still here")));
    const auto del = other.nextRecord();
    ASSERT_TRUE(del);
    EXPECT_EQ(del->id(), 5);
    EXPECT_EQ(hub.count("CLOSED s02"), 0);
}

TEST_F(HubSimRun, StreamIsSplitAtTheTerminator)
{
    runLoggedIn();
    // Two in one write, then one split over two writes with a bad one before it.
    client.write(client.recordPacket(RawHubClient::newMessage(11, "1", "a")) +
                 client.recordPacket(RawHubClient::newMessage(12, "2", "b")));
    std::string bad = client.recordPacket(RawHubClient::newMessage(13, "3", "c"));
    bad[6] = bad[6] == '0' ? '1' : '0';
    const std::string split = client.recordPacket(RawHubClient::newMessage(14, "4", "d"));
    client.write(bad + split.substr(0, 20));
    ASSERT_TRUE(pumpUntil([&] { return !hub.errorLines().empty(); }));
    client.write(split.substr(20));

    for (int id : {11, 12, 14}) {
        const auto del = client.nextRecord();
        ASSERT_TRUE(del) << id;
        EXPECT_EQ(del->id(), id);
    }
    EXPECT_EQ(hub.count("RX NEWMESS 13"), 0);
    ASSERT_EQ(hub.errorLines().size(), 1u);
    EXPECT_NE(hub.errorLines()[0].find("dropped a bad packet"), std::string::npos);
}

TEST_F(HubSimRun, NoDeleteSendsNoDelete)
{
    runLoggedIn({"--no-delete"});
    client.write(client.recordPacket(RawHubClient::newMessage(21, "1", "kept")));
    // Packets are answered in order: the 1005 comes first only if nothing
    // was sent for the message.
    client.write(client.controlPacket(1006));
    const auto p = client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mtype, "1005");
    EXPECT_EQ(hub.count("RX NEWMESS 21"), 1);
    EXPECT_EQ(hub.count("TX DELETE"), 0);
}

TEST_F(HubSimRun, DeleteWaitsForItsDelay)
{
    runLoggedIn({"--delete-delay-ms", "700"});
    QElapsedTimer t;
    t.start();
    client.write(client.recordPacket(RawHubClient::newMessage(31, "1", "later")));
    const auto del = client.nextRecord(5000);
    ASSERT_TRUE(del);
    EXPECT_EQ(del->word(), "DELETE");
    EXPECT_GE(t.elapsed(), 600);
}

// Like a switch with something queued for a client: the records go in the
// same write as the accept, before the client could have acted on it.
TEST_F(HubSimRun, ScriptedRecordsGoInTheSameWriteAsTheAccept)
{
    run({"--send", "READY:S01", "--send", "NEWMESS:77:555:hello: world"});
    client.write(client.loginPacket());
    ASSERT_TRUE(pumpUntil([&] { return client.socket().bytesAvailable() > 0; }));
    const auto accept = client.next(0);
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->mtype, "1003");
    const auto ready = client.next(0);   // already there, nothing more read
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->target, "s01");
    const auto r = wire::Record::parse(ready->message);
    EXPECT_EQ(r.word(), "READY");
    EXPECT_EQ(r.source(), "S01");
    const auto msg = client.nextRecord(0);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->word(), "NEWMESS");
    EXPECT_EQ(msg->id(), 77);
    EXPECT_EQ(msg->number(), "555");
    EXPECT_EQ(msg->message(), "hello: world");
    EXPECT_TRUE(hub.waitForLine("TX NEWMESS 77 to s01: 555: hello: world"));
    EXPECT_EQ(hub.count("TX READY S01 to s01"), 1);

    // Once only: a second client gets none.
    RawHubClient other("s02");
    ASSERT_TRUE(other.connectTo(hub.port()));
    ASSERT_TRUE(other.login());
    other.write(other.controlPacket(1006));
    const auto p = other.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mtype, "1005");
}

TEST_F(HubSimRun, WatchdogAfterAcceptRidesWithTheAccept)
{
    run({"--watchdog-after-accept", "--watchdog-ms", "0"});
    client.write(client.loginPacket());
    ASSERT_TRUE(pumpUntil([&] { return client.socket().bytesAvailable() > 0; }));
    const auto accept = client.next(0);
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->mtype, "1003");
    const auto dog = client.next(0);
    ASSERT_TRUE(dog);
    EXPECT_EQ(dog->mtype, "1007");
    EXPECT_EQ(dog->target, "s01");
    EXPECT_TRUE(hub.waitForLine("TX 1007 watchdog s01"));
}

// A switch remembers what it was given: a message id seen before (in this
// run or, with an id file, an earlier one) is a repeat, answered again.
TEST_F(HubSimRun, ARepeatedMessageIdIsToldAndDeletedAgainAcrossRestarts)
{
    TempDir dir;
    const QString ids = QString::fromStdString(dir.file("ids"));
    runLoggedIn({"--id-file", ids});
    client.write(client.recordPacket(RawHubClient::newMessage(41, "7", "first")));
    ASSERT_TRUE(client.nextRecord());
    client.write(client.recordPacket(RawHubClient::newMessage(41, "7", "first")));
    const auto again = client.nextRecord();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->word(), "DELETE");
    EXPECT_EQ(again->id(), 41);
    EXPECT_EQ(hub.count("RX NEWMESS 41 to 7: first"), 1);
    EXPECT_EQ(hub.count("RX REPEAT 41 to 7: first"), 1);
    hub.kill();

    HubSimProcess next;
    ASSERT_TRUE(next.start({"--id-file", ids}));
    RawHubClient later;
    ASSERT_TRUE(later.connectTo(next.port()));
    ASSERT_TRUE(later.login());
    later.write(later.recordPacket(RawHubClient::newMessage(41, "7", "first")) +
                later.recordPacket(RawHubClient::newMessage(42, "7", "second")));
    ASSERT_TRUE(later.nextRecord());
    ASSERT_TRUE(later.nextRecord());
    EXPECT_EQ(next.count("RX REPEAT 41 to 7: first"), 1);
    EXPECT_EQ(next.count("RX NEWMESS 42 to 7: second"), 1);
    EXPECT_EQ(next.count("RX NEWMESS 41"), 0);
}

TEST_F(HubSimRun, RecordsBeforeLoginOrForAnotherSwitchAreRefused)
{
    run();
    client.write(client.recordPacket(RawHubClient::newMessage(51, "1", "early")));
    EXPECT_TRUE(hub.waitForLine("RX REFUSED from #1: a record before login"));
    ASSERT_TRUE(client.login());
    client.write(client.recordPacket(RawHubClient::newMessage(52, "1", "elsewhere"), "h02"));
    EXPECT_TRUE(hub.waitForLine("RX REFUSED from s01: addressed to 'h02', not h01"));
    client.write(client.controlPacket(1006));
    const auto p = client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mtype, "1005");   // nothing was answered for either
    EXPECT_EQ(hub.count("RX NEWMESS"), 0);
}

TEST_F(HubSimRun, DropAfterClosesWithoutAnswering)
{
    runLoggedIn({"--drop-after", "2"});
    client.write(client.recordPacket(RawHubClient::newMessage(61, "1", "one")));
    ASSERT_TRUE(client.nextRecord());
    client.write(client.recordPacket(RawHubClient::newMessage(62, "1", "two")));
    EXPECT_TRUE(client.waitClosed());
    EXPECT_TRUE(hub.waitForLine("DROP s01 after 2 records, without answering"));
    EXPECT_EQ(hub.count("TX DELETE 62"), 0);
    EXPECT_EQ(hub.count("RX NEWMESS 62"), 0);
}

TEST_F(HubSimRun, FreezeAfterStopsReadingAndKeepsTheConnection)
{
    runLoggedIn({"--freeze-after", "1", "--watchdog-ms", "100"});
    client.write(client.recordPacket(RawHubClient::newMessage(71, "1", "unread")));
    EXPECT_TRUE(hub.waitForLine("FREEZE s01 after 1 records: no longer read"));
    client.write(client.controlPacket(1006));
    EXPECT_FALSE(client.next(600));   // no DELETE, no 1005, no watchdog
    EXPECT_EQ(client.socket().state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(hub.count("RX 1006"), 0);
}

TEST_F(HubSimRun, Send1001AfterAnswersThenAsksTheClientToGo)
{
    runLoggedIn({"--send-1001-after", "1"});
    client.write(client.recordPacket(RawHubClient::newMessage(81, "1", "last")));
    const auto del = client.nextRecord();
    ASSERT_TRUE(del);
    EXPECT_EQ(del->id(), 81);
    const auto bye = client.next();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->mtype, "1001");
    EXPECT_EQ(bye->message, "Requesting Logoff ... (Server Disconnection Request)");
    EXPECT_TRUE(hub.waitForLine("TX 1001 disconnect s01"));
}

TEST_F(HubSimRun, DatesAreWrittenAsTheChosenSwitchWritesThem)
{
    runLoggedIn({"--date-format", "us"});
    client.write(client.recordPacket(RawHubClient::newMessage(91, "1", "us")));
    const auto us = client.nextRecord();
    ASSERT_TRUE(us);
    const std::string created = us->created();
    EXPECT_TRUE(created.ends_with(" AM") || created.ends_with(" PM")) << created;

    HubSimProcess comma;
    ASSERT_TRUE(comma.start({"--date-format", "comma"}));
    RawHubClient other;
    ASSERT_TRUE(other.connectTo(comma.port()));
    other.write(other.loginPacket());
    const auto accept = other.next();
    ASSERT_TRUE(accept);   // its check still matches
    EXPECT_NE(accept->sdate.find(','), std::string::npos) << accept->sdate;
    EXPECT_EQ(accept->sdate.find('.'), std::string::npos) << accept->sdate;
}

TEST_F(HubSimRun, ABufferOfZeroOrLessIsGrantedAsAsked)
{
    for (const char* granted : {"0", "-5"}) {
        HubSimProcess h;
        ASSERT_TRUE(h.start({"--buffer-max", granted}));
        RawHubClient c;
        ASSERT_TRUE(c.connectTo(h.port()));
        c.write(c.loginPacket());
        const auto accept = c.next();
        ASSERT_TRUE(accept);
        const auto member = wire::decodeMember(accept->message);
        ASSERT_TRUE(member);
        EXPECT_EQ(member->at("BufferMax"), granted);
    }
}

TEST_F(HubSimRun, HubWatchdogGoesToLoggedInClients)
{
    run({"--watchdog-ms", "150"});
    RawHubClient idle("s09");
    ASSERT_TRUE(idle.connectTo(hub.port()));   // never logs in
    ASSERT_TRUE(client.login());
    const auto p = client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mtype, "1007");
    EXPECT_EQ(p->message, "Commclass System WatchDog (Level 1) ....");
    EXPECT_EQ(p->target, "s01");
    EXPECT_TRUE(hub.waitForCount("TX 1007 watchdog s01", 2));
    EXPECT_TRUE(idle.nothingPending());
}

TEST(HubSimProgram, StopsCleanlyOnSigterm)
{
    HubSimProcess hub;
    ASSERT_TRUE(hub.start());
    RawHubClient client;
    ASSERT_TRUE(client.connectTo(hub.port()));
    ASSERT_TRUE(client.login());
    EXPECT_EQ(hub.terminate(), 0);
    EXPECT_EQ(hub.count("STOPPED"), 1);
}

TEST(HubSimProgram, RefusesBadArgumentsAndExplainsItsOptions)
{
    for (const QStringList& args : {QStringList{"--port", "70000"}, QStringList{"--buffer-max", "40000"},
                                    QStringList{"--drop-after", "-1"}, QStringList{"--date-format", "iso"},
                                    QStringList{"--send", "NEWMESS:x:1:t"}, QStringList{"--watchdog-ms", "-1"},
                                    QStringList{"--address", "not-an-ip", "--port", "0"}}) {
        QProcess p;
        p.start(HubSimProcess::program(), args);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_NE(p.exitCode(), 0) << args.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().startsWith("hubsim: ")) << args.join(' ').toStdString();
    }
    QProcess help;
    help.start(HubSimProcess::program(), {"--help"});
    ASSERT_TRUE(help.waitForFinished(5000));
    EXPECT_EQ(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* option : {"--port", "--address", "--buffer-max", "--watchdog-ms", "--delete-delay-ms",
                               "--no-delete", "--send", "--max-connections", "--watchdog-after-accept",
                               "--drop-after", "--freeze-after", "--send-1001-after", "--date-format", "--id-file"})
        EXPECT_TRUE(text.contains(option)) << option;
}

}  // namespace
