#include "RawHubClient.h"

#include "support/HubSimProcess.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace smtpin;
using namespace smtpin::test;
using messages::MessageType;

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
    client.write(client.loginPacket(hub::mode::SYN | hub::mode::NWT));
    const auto accept = client.next();
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->Mtype, "1003");
    EXPECT_EQ(accept->Source, "h01");
    EXPECT_EQ(accept->target, "s01");

    hub::CommMemberType granted;
    ASSERT_TRUE(granted.ExtractPacket(accept->Message));
    EXPECT_EQ(granted.Identifier, "s01");
    EXPECT_EQ(granted.Mode, hub::mode::SYN | hub::mode::NWT | hub::mode::OUT);
    EXPECT_EQ(granted.BufferMax, 7);
    EXPECT_EQ(granted.RemoteBuffer, 100);
    EXPECT_NEAR(granted.WatchDog.days(), 1.0 / 1440.0, 1e-12);
    EXPECT_EQ(granted.socket, 1);
    EXPECT_EQ(granted.Description, "raw test client");
    EXPECT_EQ(granted.ServerPort, hub.port());

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
    EXPECT_EQ(p->Mtype, "");
    EXPECT_EQ(p->Source, "h01");
    EXPECT_EQ(p->target, "s01");
    EXPECT_EQ(p->Userid, "h01");
    MessageType del;
    ASSERT_TRUE(del.ConvertIntoMtype(p->Message));
    EXPECT_EQ(del.ComChannel, "DELETE");
    EXPECT_EQ(del.MessId, 1000123);
    EXPECT_EQ(del.Source, "h01");

    EXPECT_TRUE(hub.waitForLine("TX DELETE 1000123 to s01"));
    EXPECT_EQ(hub.count("RX NEWMESS 1000123 to 1234: Test page"), 1);

    // A watchdog record is shown and not answered.
    MessageType dog;
    dog.MessId = 6666666;
    dog.Source = "S01";
    dog.ComChannel = "WATCHDOG";
    client.write(client.recordPacket(dog));
    EXPECT_TRUE(hub.waitForLine("RX WATCHDOG 6666666"));
    client.write(client.controlPacket(1006));
    const auto empty = client.next();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Mtype, "1005");
}

TEST_F(HubSimRun, RequestNextIsAnsweredWithBufferEmpty)
{
    runLoggedIn();
    client.write(client.controlPacket(1006));
    const auto p = client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Mtype, "1005");
    EXPECT_EQ(p->Message, "Buffer Emtpy token (Nothing to Receive)");
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
    EXPECT_EQ(del->MessId, 5);
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
        EXPECT_EQ(del->MessId, id);
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
    EXPECT_EQ(p->Mtype, "1005");
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
    EXPECT_EQ(del->ComChannel, "DELETE");
    EXPECT_GE(t.elapsed(), 600);
}

TEST_F(HubSimRun, ScriptedRecordsFollowTheClientsFirstPacketAfterLogin)
{
    runLoggedIn({"--send", "READY:S01", "--send", "NEWMESS:77:555:hello: world"});
    // Nothing may reach a client that has not yet taken its accept.
    EXPECT_FALSE(pumpUntil([&] { return !client.nothingPending(); }, 300));
    EXPECT_EQ(hub.count("TX READY"), 0);

    client.write(client.controlPacket(1007));
    const auto ready = client.next();
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->target, "s01");
    MessageType r;
    ASSERT_TRUE(r.ConvertIntoMtype(ready->Message));
    EXPECT_EQ(r.ComChannel, "READY");
    EXPECT_EQ(r.Source, "S01");
    const auto msg = client.nextRecord();
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->ComChannel, "NEWMESS");
    EXPECT_EQ(msg->MessId, 77);
    EXPECT_EQ(msg->Number, "555");
    EXPECT_EQ(msg->Message, "hello: world");
    EXPECT_TRUE(hub.waitForLine("TX NEWMESS 77 to s01: 555: hello: world"));
    EXPECT_EQ(hub.count("TX READY S01 to s01"), 1);
    EXPECT_EQ(hub.count("RX 1007 watchdog s01"), 1);

    // Once only: a second client gets none.
    RawHubClient other("s02");
    ASSERT_TRUE(other.connectTo(hub.port()));
    ASSERT_TRUE(other.login());
    other.write(other.controlPacket(1006));
    const auto p = other.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Mtype, "1005");
}

TEST_F(HubSimRun, HubWatchdogGoesToLoggedInClients)
{
    run({"--watchdog-ms", "150"});
    RawHubClient idle("s09");
    ASSERT_TRUE(idle.connectTo(hub.port()));   // never logs in
    ASSERT_TRUE(client.login());
    const auto p = client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Mtype, "1007");
    EXPECT_EQ(p->Message, "Commclass System WatchDog (Level 1) ....");
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
    for (const QStringList& args : {QStringList{"--port", "70000"}, QStringList{"--buffer-max", "0"},
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
                               "--no-delete", "--send", "--max-connections"})
        EXPECT_TRUE(text.contains(option)) << option;
}

}  // namespace
