#include "SmtpHarness.h"

#include "smtp/SmtpSession.h"

using namespace smtpin;
using namespace smtpin::test;

namespace {

size_t indexOf(const std::vector<std::string>& log, const std::string& text, size_t from = 0)
{
    for (size_t i = from; i < log.size(); ++i)
        if (log[i] == text)
            return i;
    return std::string::npos;
}

TEST(SmtpListener, LoadListensAndLogs)
{
    SmtpHarness h;
    EXPECT_TRUE(h.listener.listenerReady());
    EXPECT_GT(h.port, 0);
    EXPECT_FALSE(h.form.txbServerPort.enabled());
    EXPECT_EQ(h.form.lbPETTicker.caption(), "Server Activated");
    EXPECT_TRUE(h.logged("Load: Local port <" + std::to_string(h.port) + ">"));
    EXPECT_TRUE(h.logged("Load: Local IP   <127.0.0.1>"));

    // The restart time starts at the date origin: the first tick restarts the listener.
    h.tick();
    const auto log = h.smtpLog();
    EXPECT_NE(indexOf(log, "[0]SYS: TCP Timer: Initiated a close on email hub socket. Now restart listener"),
              std::string::npos);
    EXPECT_NE(indexOf(log, "ReOPENPort: Closing port"), std::string::npos);
    EXPECT_NE(indexOf(log, "[0]ReOPENPort: Port Opened for Listening"), std::string::npos);
    EXPECT_NE(indexOf(log, "[0]SYS: Listening on 127.0.0.1 port " + std::to_string(h.port) + " socket [0]"),
              std::string::npos);
    // And it still takes connections on the same port.
    auto c = h.connectGreeted();
    EXPECT_EQ(c->lines()[0], "220 VORN_SMTP_Server Simple Mail Transfer Service Ready");
}

TEST(SmtpListener, LoadFailsOnBadPortOrPortInUse)
{
    SmtpHarness first;
    BareListener bare("127.0.0.1", "twenty-five");
    auto& [clock, form, log, parser, listener] = bare;
    listener.Form_Load();
    EXPECT_FALSE(listener.listenerReady());
    EXPECT_FALSE(listener.canRetry());
    form.txbServerPort.setText(std::to_string(first.port));
    listener.Form_Load();
    EXPECT_FALSE(listener.listenerReady());
    EXPECT_TRUE(listener.canRetry());
    // Each failure says why, once.
    EXPECT_NE(log.SMTPLogPending().find("Load: Listener not opened [10049] The port is not a port number: twenty-five"),
              std::string::npos);
    EXPECT_NE(log.SMTPLogPending().find("Load: Listener not opened [10048] "), std::string::npos);
    EXPECT_EQ(log.SMTPLogPending().find("Load: Local port"), std::string::npos);
}

TEST(SmtpListener, ItsTimersRunAfterALoadThatCouldNotListen)
{
    auto squatter = std::make_unique<SmtpHarness>();
    const int port = squatter->port;
    BareListener bare("127.0.0.1", std::to_string(port));
    bare.listener.setTimersEnabled(true);
    bare.listener.Form_Load();
    ASSERT_FALSE(bare.listener.listenerReady());
    squatter.reset();
    // No tick by hand: the port timer itself opens it.
    EXPECT_TRUE(pumpUntil([&] { return bare.listener.listenerReady(); }, 3000));
    EXPECT_EQ(bare.listener.socket(0).localPort(), port);
}

TEST(SmtpListener, AListenerThatCouldNotOpenIsOpenedByTheRestartOnceFree)
{
    auto squatter = std::make_unique<SmtpHarness>();
    BareListener bare("127.0.0.1", std::to_string(squatter->port));
    auto& [clock, form, log, parser, listener] = bare;
    std::vector<bool> told;
    QObject::connect(&listener, &SmtpListener::availabilityChanged, [&](bool ready) { told.push_back(ready); });
    listener.setListenerIdleTime(600.0 / 86400.0);
    listener.Form_Load();
    ASSERT_FALSE(listener.listenerReady());
    EXPECT_FALSE(listener.loadFailure().empty());

    // Busy: each failure is logged and tried again within seconds, not at the idle time.
    listener.tmrPortTimer_Timer();
    EXPECT_NE(log.SMTPLogPending().find("ReOPENPort Error: Closing port [10048] "), std::string::npos);
    const auto failures = [&] {
        const std::string& all = log.SMTPLogPending();
        int n = 0;
        for (size_t at = 0; (at = all.find("ReOPENPort Error", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    clock.advanceSeconds(4);
    listener.tmrPortTimer_Timer();
    EXPECT_EQ(failures(), 1);
    clock.advanceSeconds(2);
    listener.tmrPortTimer_Timer();
    EXPECT_EQ(failures(), 2);
    EXPECT_TRUE(told.empty());

    const int port = squatter->port;
    squatter.reset();
    clock.advanceSeconds(6);
    listener.tmrPortTimer_Timer();
    ASSERT_EQ(listener.socket(0).state(), SocketControl::Listening);
    EXPECT_EQ(listener.socket(0).localPort(), port);
    EXPECT_TRUE(listener.listenerReady());
    EXPECT_EQ(told, std::vector<bool>{true});
    EXPECT_TRUE(listener.loadFailure().empty());
    TestClient c;
    ASSERT_TRUE(c.connectTo(port));
    EXPECT_TRUE(pumpUntil([&] { return !c.lines().empty(); }, 3000, [&] { listener.tmrPortTimer_Timer(); }));
}

TEST(SmtpListener, AListenerWhoseAddressNeverBoundDoesNotListenElsewhere)
{
    BareListener bare("not-an-address", "0");
    auto& [clock, form, log, parser, listener] = bare;
    listener.Form_Load();
    EXPECT_FALSE(listener.listenerReady());
    EXPECT_FALSE(listener.canRetry());
    EXPECT_NE(log.SMTPLogPending().find("Load: Listener not opened [10049] "), std::string::npos);
    // Nothing to retry: no restart and no line every few seconds.
    for (int i = 0; i < 3; ++i) {
        listener.tmrPortTimer_Timer();
        clock.advanceSeconds(6);
    }
    EXPECT_EQ(listener.socket(0).state(), SocketControl::Closed);
    EXPECT_EQ(log.SMTPLogPending().find("ReOPENPort"), std::string::npos);
}

TEST(SmtpListener, ASocketTakenAgainBeforeTheTickIsStillGreeted)
{
    SmtpHarness h;
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto a = h.connectGreeted();
    // Closed inside an event, and the next connection lands on it before
    // the port timer has seen it closed.
    h.listener.ClosePort(1);
    TestClient b;
    ASSERT_TRUE(b.connectTo(h.port));
    ASSERT_TRUE(pumpUntil([&] { return h.listener.socket(1).state() == SocketControl::Connected; }));
    EXPECT_EQ(h.listener.socketCount(), 2);
    ASSERT_TRUE(h.waitLines(b, 1));
    EXPECT_EQ(b.lines()[0], "220 VORN_SMTP_Server Simple Mail Transfer Service Ready");
    const auto log = h.smtpLog();
    const size_t closed = indexOf(log, "[0]SYS: Socket closed [1]");
    ASSERT_NE(closed, std::string::npos);
    EXPECT_NE(indexOf(log, "[0]SYS: Sent 220 SERVER READY", closed), std::string::npos);
}

TEST(SmtpListener, UnloadEndsTheSessionsToo)
{
    SmtpHarness h;
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto a = h.connectGreeted();
    h.listener.Form_Unload();
    EXPECT_EQ(h.listener.socket(0).state(), SocketControl::Closed);
    EXPECT_EQ(h.listener.socket(1).state(), SocketControl::Closed);
    EXPECT_TRUE(pumpUntil([&] { return a->disconnected(); }));
}

TEST(SmtpListener, IdleListenerIsRestarted)
{
    SmtpHarness h;
    h.listener.setListenerIdleTime(600.0 / 86400.0);
    h.tick();
    const size_t before = h.smtpLog().size();
    h.clock.advanceSeconds(599);
    h.tick();
    EXPECT_EQ(h.smtpLog().size(), before);
    h.clock.advanceSeconds(2);
    h.tick();
    EXPECT_TRUE(h.logged("[0]SYS: TCP Timer: Initiated a close on email hub socket. Now restart listener"));
    EXPECT_GT(h.smtpLog().size(), before);
}

TEST(SmtpListener, SocketChoiceLoadsReusesAndWraps)
{
    SmtpHarness h;
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto a = h.connectGreeted();
    EXPECT_TRUE(h.logged(" GNS: Load new socket 1"));
    EXPECT_TRUE(h.loggedContaining("Accept request id ["));
    EXPECT_TRUE(h.loggedContaining("] Socket 1  Remote IP 127.0.0.1 Port "));
    EXPECT_TRUE(h.logged("[0]SYS: Connected to 127.0.0.1 port " + std::to_string(a->socket().localPort())));
    EXPECT_TRUE(h.logged("[0]SYS: Sent 220 SERVER READY"));

    // Socket 1 busy: tried, wrapped, nothing found, socket 2 loaded.
    auto b = h.connectGreeted();
    const auto log = h.smtpLog();
    const size_t wrap = indexOf(log, " GNS: Back to 1 ");
    ASSERT_NE(wrap, std::string::npos);
    EXPECT_EQ(log[wrap + 1], " GNS: Try next 1");
    EXPECT_EQ(log[wrap + 2], " GNS: Load new socket 2");
    EXPECT_EQ(h.form.lbSocsLoaded.caption(), "MAX socket array cnt = 2");

    // Socket 1 closed: the next connection re-uses it.
    a->close();
    ASSERT_TRUE(pumpUntil([&] { return h.listener.socket(1).state() == 0; }, 3000, [&] { h.tick(); }));
    auto c = h.connectGreeted();
    EXPECT_TRUE(h.logged(" GNS: Found socket 1"));
    EXPECT_EQ(h.listener.socketCount(), 3);
}

TEST(SmtpListener, FullPoolRefusesWith421)
{
    SmtpHarness h(2);
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto a = h.connectGreeted();
    auto b = h.connectGreeted();
    TestClient c;
    ASSERT_TRUE(c.connectTo(h.port));
    ASSERT_TRUE(h.waitLines(c, 1));
    EXPECT_EQ(c.lines()[0], "421 VORN_SMTP_Server Service not available, closing transmission channel");
    EXPECT_TRUE(pumpUntil([&] { return c.disconnected(); }));
    EXPECT_TRUE(h.logged(" GNS: TCP Connect: Socket load request 3 exceeds maximum allowable socket limit of 2"));
    EXPECT_TRUE(h.loggedContaining("] intMax -1"));
    // The sessions already running are untouched.
    b->send("HELO x\r\n");
    ASSERT_TRUE(h.waitLines(*b, 2));
}

// When the pool is full, the session quiet longest (at least a second, and
// never one inside a mail) makes room for the new connection.
TEST(SmtpListener, FullPoolClosesTheLongestIdleSession)
{
    SmtpHarness h(3);
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto a = h.connectGreeted();
    h.clock.advanceSeconds(1);
    auto b = h.connectGreeted();
    auto inMail = h.connectGreeted();
    inMail->send("DATA\r\n");
    ASSERT_TRUE(h.waitLines(*inMail, 2));
    h.clock.advanceSeconds(2);
    auto d = h.connectGreeted();
    const std::string evicted = "421 VORN_SMTP_Server Idle too long, closing";
    EXPECT_EQ(d->lines().at(0), "220 VORN_SMTP_Server Simple Mail Transfer Service Ready");
    ASSERT_TRUE(h.waitLines(*a, 2));
    EXPECT_EQ(a->lines()[1], evicted);
    EXPECT_TRUE(pumpUntil([&] { return a->disconnected(); }));
    EXPECT_TRUE(h.loggedContaining("from 127.0.0.1 idle longest, closed to make room"));

    h.clock.advanceSeconds(0.5);
    auto e = h.connectGreeted();
    ASSERT_TRUE(h.waitLines(*b, 2));
    EXPECT_EQ(b->lines()[1], evicted);
    // Left: one in its mail and two quiet for under a second.
    TestClient f;
    ASSERT_TRUE(f.connectTo(h.port));
    ASSERT_TRUE(h.waitLines(f, 1));
    EXPECT_EQ(f.lines()[0], "421 VORN_SMTP_Server Service not available, closing transmission channel");
    for (TestClient* c : {inMail.get(), d.get(), e.get()})
        EXPECT_FALSE(c->disconnected());
    EXPECT_EQ(h.listener.counters().refused.at(421), 3u);
}

// A session whose mail waits for its commit is never closed as idle nor to
// make room; a reply whose sender left never reaches the next connection.
TEST(SmtpListener, ASessionWaitingForItsCommitIsKeptAndItsReplyNeverStrays)
{
    SmtpHarness h(1);
    h.parser.deferred = true;
    const std::string mail = "DATA\r\n<PagerMessage><PagerPin>1</PagerPin></PagerMessage>\r\n.\r\n";
    auto a = h.connectGreeted();
    a->send(mail);
    ASSERT_TRUE(h.waitLines(*a, 2));
    h.clock.advanceSeconds(20);
    h.tick();
    TestClient b;
    ASSERT_TRUE(b.connectTo(h.port));
    ASSERT_TRUE(h.waitLines(b, 1));
    EXPECT_EQ(b.lines()[0], "421 VORN_SMTP_Server Service not available, closing transmission channel");
    h.parser.commit();
    ASSERT_TRUE(h.waitLines(*a, 3));
    EXPECT_EQ(a->lines()[2], "250 OK");

    a->send(mail);
    ASSERT_TRUE(h.waitLines(*a, 4));
    a->close();
    h.settle();
    auto c = h.connectGreeted();   // the same socket, a new connection
    h.parser.commit();
    h.settle();
    EXPECT_EQ(c->lines().size(), 1u);
    EXPECT_TRUE(h.loggedContaining("SMTP: Sender left before its reply: 250 OK"));
    EXPECT_EQ(h.listener.counters().senderGone, 1u);
}

// One address holds at most its share; its own quietest session makes room
// (a relay's cached connections), else it is told to wait.
TEST(SmtpListener, OneAddressHoldsAtMostItsShareOfThePool)
{
    SmtpHarness h(10);
    h.listener.setMaxPerClient(2);
    auto a = h.connectGreeted();
    auto b = h.connectGreeted();
    a->send("DATA\r\n");
    ASSERT_TRUE(h.waitLines(*a, 2));
    h.clock.advanceSeconds(2);
    auto c = h.connectGreeted();   // b was idle: closed for it
    ASSERT_TRUE(h.waitLines(*b, 2));
    EXPECT_EQ(b->lines()[1], "421 VORN_SMTP_Server Idle too long, closing");
    c->send("MAIL FROM:<a>\r\n");   // a mail begun is never cut short
    ASSERT_TRUE(h.waitLines(*c, 2));
    h.clock.advanceSeconds(2);
    TestClient third;
    ASSERT_TRUE(third.connectTo(h.port));
    ASSERT_TRUE(h.waitLines(third, 1));
    EXPECT_EQ(third.lines()[0], "421 VORN_SMTP_Server Too many connections from your address");
    EXPECT_TRUE(pumpUntil([&] { return third.disconnected(); }));
    EXPECT_TRUE(h.loggedContaining("from 127.0.0.1: 2 sessions from that address already"));
    // Another address is served; a closed session frees its place.
    TestClient other;
    ASSERT_TRUE(other.connectTo(h.port, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(h.waitLines(other, 1));
    EXPECT_EQ(other.lines()[0], "220 VORN_SMTP_Server Simple Mail Transfer Service Ready");
    a->send(".\r\nQUIT\r\n");
    ASSERT_TRUE(pumpUntil([&] { return a->disconnected(); }, 3000, [&] { h.tick(); }));
    auto again = h.connectGreeted();
    EXPECT_EQ(again->lines()[0], "220 VORN_SMTP_Server Simple Mail Transfer Service Ready");
    EXPECT_FALSE(c->disconnected());
}

// A sender the allow list refuses is refused before it can make room.
TEST(SmtpListener, ARefusedSenderClosesNobody)
{
    SmtpHarness h(1);
    std::string why;
    h.listener.setAllowed(*AllowList::Parse("127.0.0.1", &why));
    auto idle = h.connectGreeted();
    h.clock.advanceSeconds(2);
    TestClient stranger;
    ASSERT_TRUE(stranger.connectTo(h.port, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(h.waitLines(stranger, 1));
    EXPECT_EQ(stranger.lines()[0], "554 VORN_SMTP_Server Access denied");
    idle->send("NOOP\r\n");
    ASSERT_TRUE(h.waitLines(*idle, 2));
    EXPECT_EQ(idle->lines()[1], "250 OK");
}

// "::" is every address of both kinds; IPv4 clients keep their IPv4 address.
TEST(SmtpListener, EveryAddressOfBothKinds)
{
    BareListener b("::", "0");
    b.listener.Form_Load();
    ASSERT_TRUE(b.listener.listenerReady());
    EXPECT_EQ(b.listener.socket(0).localIP(), "::");
    const int port = b.listener.socket(0).localPort();
    TestClient v4, v6;
    ASSERT_TRUE(v4.connectTo(port, "127.0.0.1"));
    ASSERT_TRUE(pumpUntil([&] { return v4.lines().size() == 1; }, 3000, [&] { b.listener.tmrPortTimer_Timer(); }));
    EXPECT_EQ(b.listener.record(1).RemoteIP, "127.0.0.1");
    if (!v6.connectTo(port, "::1"))
        GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(pumpUntil([&] { return v6.lines().size() == 1; }, 3000, [&] { b.listener.tmrPortTimer_Timer(); }));
    EXPECT_EQ(b.listener.record(2).RemoteIP, "::1");
}

TEST(SmtpListener, SessionIsClosedAtItsTimeLimit)
{
    SmtpHarness h;
    auto c = h.connectGreeted();
    h.clock.advanceSeconds(2);
    h.tick();
    EXPECT_FALSE(c->disconnected());
    h.clock.advanceSeconds(2);
    h.tick();
    EXPECT_TRUE(h.logged("[0]SYS: TCP Timer: Initiated a close on email socket[1]"));
    EXPECT_TRUE(pumpUntil([&] { return c->disconnected(); }, 3000, [&] { h.tick(); }));
    EXPECT_TRUE(h.logged("[0]SYS: Socket closed [1]"));
}

// A sender that keeps sending is not cut off by the idle limit; one that
// dribbles for ever meets the whole-session limit.
// Only a complete line renews the idle limit; a byte now and then holds nothing.
TEST(SmtpListener, IdleLimitCountsFromTheLastLineAndTheSessionHasAMaximum)
{
    SmtpHarness h;
    h.listener.setSessionMax(20.0 / 86400.0);
    auto slow = h.connectGreeted();
    auto busy = h.connectGreeted();
    for (int i = 0; i < 8; ++i) {   // 16 s, far beyond the 3 s idle limit
        h.clock.advanceSeconds(2);
        slow->send("x");
        busy->send("NOOP\r\n");
        ASSERT_TRUE(h.waitLines(*busy, static_cast<size_t>(i + 2)));
        h.tick();
    }
    EXPECT_TRUE(h.logged("[0]SYS: TCP Timer: Initiated a close on email socket[1]"));
    EXPECT_TRUE(pumpUntil([&] { return slow->disconnected(); }, 3000, [&] { h.tick(); }));
    EXPECT_FALSE(h.loggedContaining("Initiated a close on email socket[2]"));
    EXPECT_FALSE(busy->disconnected());
    h.clock.advanceSeconds(4.5);   // 20.5 s since accept, 2.5 s since the last line
    h.tick();
    EXPECT_TRUE(h.logged("[0]SYS: TCP Timer: Session on email socket[2] open longer than SESSION_MAX, closing"));
    EXPECT_TRUE(pumpUntil([&] { return busy->disconnected(); }, 3000, [&] { h.tick(); }));
}

TEST(SmtpListener, QuickRepliesGoOutThroughTheSendQueue)
{
    SmtpHarness h;
    auto c = h.connectGreeted();
    // Two replies in one event: the second waits for the first to be written.
    c->send("HELO x\r\nMAIL FROM:<a>\r\n");
    ASSERT_TRUE(h.waitLines(*c, 3));
    EXPECT_EQ(c->lines()[1], "250 VORN_SMTP_Server");
    EXPECT_EQ(c->lines()[2], "250 OK");
    EXPECT_TRUE(h.loggedContaining("Event: SendComplete has resent ->250 OK"));
}

TEST(SmtpListener, ClientThatNeverReadsIsClosed)
{
    SmtpHarness h;
    h.listener.setSocketTimeout(60.0 / 86400.0);
    // A small kernel buffer on the reader's side: unread replies are not
    // hidden in it.
    auto c = h.connectGreeted(4096);
    c->socket().setReadBufferSize(1);   // stop taking the replies in
    // The longest reply for the fewest bytes: each burst outgrows what the
    // kernel may keep for the server's side (up to 4 MB) within a few rounds.
    std::string burst;
    for (int i = 0; i < 20000; ++i)
        burst += "EHLO x\r\n";
    for (int i = 0; i < 10 && !h.loggedContaining("Replies not read by client"); ++i) {
        c->send(burst);
        h.settle(200);
    }
    EXPECT_TRUE(h.logged("soc[1] SMTP: Replies not read by client, session closed"));
    EXPECT_LE(h.listener.record(1).SendQueue.size(), SmtpSession::kMaxSendQueue);
}

// The close is handled inside its own event, with the port timer's lines
// in their order: the socket is free for the next sender at once.
TEST(SmtpListener, PeerCloseFreesTheSocketAtOnce)
{
    SmtpHarness h;
    auto c = h.connectGreeted();
    c->close();
    ASSERT_TRUE(pumpUntil([&] { return h.loggedContaining("Event: Remote Port initiated a close on socket [1]"); }));
    EXPECT_EQ(h.listener.socket(1).state(), SocketControl::Closed);
    const auto log = h.smtpLog();
    const size_t event = indexOf(log, "[0]Event: Remote Port initiated a close on socket [1]");
    const size_t closing = indexOf(log, "[0]SYS: Closing [1]", event);
    ASSERT_NE(closing, std::string::npos);
    EXPECT_NE(indexOf(log, "[0]SYS: Socket closed [1]", closing), std::string::npos);
}

TEST(SmtpListener, SendToClosedSocketIsDropped)
{
    SmtpHarness h;
    EXPECT_FALSE(h.listener.SendDataSocket(0, "x"));
}

TEST(SmtpListener, LogTickCycles)
{
    SmtpHarness h;
    for (int i = 0; i < 200; ++i)
        h.listener.tmrProcessing_Timer();
    EXPECT_EQ(h.listener.logTick(), 10000);
    h.listener.tmrProcessing_Timer();
    EXPECT_EQ(h.listener.logTick(), 0);
}

}  // namespace
