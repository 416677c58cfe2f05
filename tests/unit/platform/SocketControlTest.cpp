#include "platform/SocketControl.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

using namespace smtpin;
using namespace smtpin::test;

namespace {

// A listening control, a session control that accepts, and a client control
// that connects: the states and events both ends see.
TEST(SocketControl, ListenAcceptConnectSendAndPeerClose)
{
    SocketControl listener, session, client;
    long request = 0;
    QObject::connect(&listener, &SocketControl::connectionRequest, [&](long id) { request = id; });
    ASSERT_TRUE(listener.bind(0, "127.0.0.1"));
    ASSERT_TRUE(listener.listen());
    EXPECT_EQ(listener.state(), SocketControl::Listening);
    EXPECT_GT(listener.localPort(), 0);

    bool connected = false;
    QObject::connect(&client, &SocketControl::connected, [&] { connected = true; });
    ASSERT_TRUE(client.connectTo("127.0.0.1", listener.localPort()));
    EXPECT_EQ(client.state(), SocketControl::Connecting);
    ASSERT_TRUE(pumpUntil([&] { return request != 0 && connected; }));
    EXPECT_EQ(client.state(), SocketControl::Connected);

    ASSERT_TRUE(session.accept(listener, request));
    EXPECT_EQ(session.state(), SocketControl::Connected);
    EXPECT_EQ(session.remoteHostIP(), "127.0.0.1");
    EXPECT_FALSE(session.accept(listener, request));   // taken once

    int completes = 0;
    QObject::connect(&session, &SocketControl::sendComplete, [&] { ++completes; });
    std::string got;
    QObject::connect(&client, &SocketControl::dataArrival, [&](long) { got += client.receive(); });
    ASSERT_TRUE(session.send(std::string("hi\0\xff", 4)));
    ASSERT_TRUE(pumpUntil([&] { return got.size() == 4 && completes == 1; }));
    EXPECT_EQ(got, std::string("hi\0\xff", 4));

    // Peer close: the close event, state 8 until close().
    bool closed = false;
    int errors = 0;
    QObject::connect(&session, &SocketControl::closed, [&] { closed = true; });
    QObject::connect(&session, &SocketControl::error, [&](int, const std::string&) { ++errors; });
    client.close();
    EXPECT_EQ(client.state(), SocketControl::Closed);
    ASSERT_TRUE(pumpUntil([&] { return closed; }));
    EXPECT_EQ(session.state(), SocketControl::Closing);
    EXPECT_EQ(errors, 0);
    EXPECT_FALSE(session.send("late"));
    session.close();
    EXPECT_EQ(session.state(), SocketControl::Closed);
}

TEST(SocketControl, ErrorsLeaveState9UntilClose)
{
    // A port nobody listens on: take a free one and give it back.
    int port;
    {
        SocketControl probe;
        ASSERT_TRUE(probe.bind(0, "127.0.0.1") && probe.listen());
        port = probe.localPort();
    }
    SocketControl client;
    int number = 0;
    QObject::connect(&client, &SocketControl::error, [&](int n, const std::string&) { number = n; });
    ASSERT_TRUE(client.connectTo("127.0.0.1", port));
    ASSERT_TRUE(pumpUntil([&] { return number != 0; }));
    EXPECT_EQ(number, 10061);
    EXPECT_EQ(client.state(), SocketControl::Error);
    client.close();
    EXPECT_EQ(client.state(), SocketControl::Closed);

    SocketControl bad;
    SocketControl::Failure f;
    EXPECT_FALSE(bad.bind(25, "not-an-address", &f));
    EXPECT_EQ(f.number, 10049);
}

TEST(SocketControl, RefusedRequestGetsItsTextAndIsClosed)
{
    SocketControl listener;
    QObject::connect(&listener, &SocketControl::connectionRequest, [&](long id) { listener.refuse(id, "421 busy\r\n"); });
    ASSERT_TRUE(listener.bind(0, "127.0.0.1") && listener.listen());
    TestClient c;
    ASSERT_TRUE(c.connectTo(listener.localPort()));
    ASSERT_TRUE(pumpUntil([&] { return c.disconnected(); }));
    EXPECT_EQ(c.received(), "421 busy\r\n");
}

}  // namespace
