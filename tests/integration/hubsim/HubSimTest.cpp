#include "HubSim.h"
#include "RawHubClient.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

using namespace smtpin;
using namespace smtpin::test;
using namespace smtpin::hubsim;
using messages::MessageType;

namespace {

TEST(SendSpec, ReadsTheThreeRecordForms)
{
    std::string error;
    auto ready = parseSendOption("READY:S01", &error);
    ASSERT_TRUE(ready) << error;
    EXPECT_EQ(ready->ComChannel, "READY");
    EXPECT_EQ(ready->Source, "S01");
    auto unavail = parseSendOption("UNAVAIL:S02", &error);
    ASSERT_TRUE(unavail);
    EXPECT_EQ(unavail->ComChannel, "UNAVAIL");
    EXPECT_EQ(unavail->Source, "S02");

    auto msg = parseSendOption("NEWMESS:2147483647:0712:a: b :c", &error);
    ASSERT_TRUE(msg) << error;
    EXPECT_EQ(msg->MessId, 2147483647);
    EXPECT_EQ(msg->Number, "0712");
    EXPECT_EQ(msg->Message, "a: b :c");
    EXPECT_EQ(msg->Source, "h01");
    EXPECT_TRUE(parseSendOption("NEWMESS:1:2:", &error));   // an empty text is a text
}

TEST(SendSpec, RefusesWhatWouldNotTravelAsOneRecord)
{
    const std::vector<std::string> bad = {
        "READY", "READY:", "ready:S01", "FOO:1", "UNAVAIL:" + std::string(33, 'x'), "READY:S|01",
        "NEWMESS:1:2", "NEWMESS::2:t", "NEWMESS:x:2:t", "NEWMESS:-1:2:t", "NEWMESS:2147483648:2:t",
        "NEWMESS:1::t", "NEWMESS:1:2:a|b", "NEWMESS:1:2:line\nbreak", "NEWMESS:1:2:" + std::string(1001, 't'),
    };
    for (const auto& option : bad) {
        std::string error;
        EXPECT_FALSE(parseSendOption(option, &error)) << option;
        EXPECT_EQ(error.rfind("--send ", 0), 0u) << option;
    }
}

// The switch in this process, with its lines kept.
struct HubSimInProcess : ::testing::Test {
    ManualClock clock;
    std::vector<std::string> out, err;
    std::unique_ptr<HubSim> sim;

    void start(HubSimOptions options = {})
    {
        options.port = 0;
        options.watchdogMs = 0;
        sim = std::make_unique<HubSim>(
            options, clock, [this](const std::string& l) { out.push_back(l); },
            [this](const std::string& l) { err.push_back(l); });
        ASSERT_TRUE(sim->listen());
    }
    int count(const std::string& s, const std::vector<std::string>& lines) const
    {
        int n = 0;
        for (const auto& l : lines)
            n += l.find(s) != std::string::npos;
        return n;
    }
};

TEST_F(HubSimInProcess, ReceiveBufferKeepsTheLast100000Characters)
{
    start();
    RawHubClient client;
    ASSERT_TRUE(client.connectTo(sim->serverPort()));
    client.write(std::string(150000, 'x'));
    long dropped = 0;
    ASSERT_TRUE(pumpUntil([&] {
        dropped = 0;
        for (const auto& l : err)
            if (const auto p = l.find("dropped the oldest "); p != std::string::npos)
                dropped += std::stol(l.substr(p + 19));
        return dropped >= 50000;
    }));
    EXPECT_EQ(dropped, 50000);

    // The leftover text poisons only the packet it runs into.
    client.write(client.loginPacket());
    ASSERT_TRUE(pumpUntil([&] { return count("dropped a bad packet of 100000 characters", err) == 1; }));
    EXPECT_TRUE(client.nothingPending());
    EXPECT_TRUE(client.login());
}

TEST_F(HubSimInProcess, ConnectionsBeyondTheLimitAreRefused)
{
    HubSimOptions options;
    options.maxConnections = 2;
    start(options);
    RawHubClient a, b, c("s03");
    ASSERT_TRUE(a.connectTo(sim->serverPort()));
    ASSERT_TRUE(b.connectTo(sim->serverPort()));
    ASSERT_TRUE(pumpUntil([&] { return sim->connectionCount() == 2; }));
    ASSERT_TRUE(c.connectTo(sim->serverPort()));
    EXPECT_TRUE(c.waitClosed());
    EXPECT_EQ(count("refused a connection: 2 already open", err), 1);
    EXPECT_EQ(sim->connectionCount(), 2);

    a.socket().disconnectFromHost();
    ASSERT_TRUE(pumpUntil([&] { return sim->connectionCount() == 1; }));
    EXPECT_EQ(count("CLOSED #1", out), 1);
}

TEST_F(HubSimInProcess, ALoginWithAnUnreadableMemberPacketIsAnsweredByItsSource)
{
    start();
    RawHubClient client("s07");
    ASSERT_TRUE(client.connectTo(sim->serverPort()));
    client.write(client.controlPacket(1000, "0001 not a member packet"));
    const auto accept = client.next();
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->target, "s07");
    const auto granted = wire::decodeMember(accept->message);
    ASSERT_TRUE(granted);
    EXPECT_EQ(granted->at("Identifier"), "s07");
    EXPECT_EQ(granted->at("Mode"), std::to_string(0x0100));   // OUT alone
    EXPECT_EQ(count("unreadable member packet", err), 1);
}

TEST_F(HubSimInProcess, RecordsAreShownOnOneBoundedLine)
{
    start();
    RawHubClient client;
    ASSERT_TRUE(client.connectTo(sim->serverPort()));
    ASSERT_TRUE(client.login());
    // A line break in the text must not split the output line.
    client.write(client.recordPacket(RawHubClient::newMessage(8, "12", "two\nlines " + std::string(500, 'z'))));
    const auto del = client.nextRecord();
    ASSERT_TRUE(del);
    EXPECT_EQ(del->created(), clock.now().generalDate());
    const auto it = std::find_if(out.begin(), out.end(), [](const auto& l) { return l.rfind("RX NEWMESS 8", 0) == 0; });
    ASSERT_NE(it, out.end());
    EXPECT_EQ(it->find('\n'), std::string::npos);
    EXPECT_NE(it->find("two.lines "), std::string::npos);
    EXPECT_LT(it->size(), 260u);

    // A record that does not convert is shown and not answered.
    wire::Packet junk;
    junk.source = "s01";
    junk.target = "h01";
    junk.message = "notanumber|x";
    client.write(wire::encode(junk));
    ASSERT_TRUE(pumpUntil([&] { return count("RX BADRECORD from s01", out) == 1; }));
    EXPECT_TRUE(client.nothingPending());
}

TEST_F(HubSimInProcess, ADelayedDeleteForAClosedConnectionIsDropped)
{
    HubSimOptions options;
    options.deleteDelayMs = 200;
    start(options);
    {
        RawHubClient client;
        ASSERT_TRUE(client.connectTo(sim->serverPort()));
        ASSERT_TRUE(client.login());
        client.write(client.recordPacket(RawHubClient::newMessage(9, "1", "x")));
        ASSERT_TRUE(pumpUntil([&] { return count("RX NEWMESS 9", out) == 1; }));
        client.write(client.controlPacket(1002));
        ASSERT_TRUE(client.waitClosed());
    }
    ASSERT_TRUE(pumpUntil([&] { return count("DELETE 9 not sent", err) == 1; }));
    EXPECT_EQ(count("TX DELETE", out), 0);
}

}  // namespace
