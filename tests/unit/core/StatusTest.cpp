#include "core/ParameterChecks.h"
#include "core/StartupSettings.h"
#include "core/StatusStrip.h"
#include "db/Parameters.h"
#include "status/StatusServer.h"
#include "support/TestClient.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace smtpin;

namespace {

TEST(Status, HealthNamesEveryFailingPart)
{
    status::Snapshot s;
    s.listening = s.loggedIn = s.catalogueOpen = true;
    EXPECT_EQ(status::Health(s), (std::pair<int, std::string>{200, "ok\n"}));
    s.loggedIn = false;
    s.catalogueOpen = false;
    EXPECT_EQ(status::Health(s),
              (std::pair<int, std::string>{503, "switch link not logged in\ncatalogue not open\n"}));
    // Logged in is not enough: the switch must let pages out, and they must leave.
    s.loggedIn = s.catalogueOpen = true;
    s.withoutOutput = true;
    s.oldestPageAge = 120.5;
    EXPECT_EQ(status::Health(s), (std::pair<int, std::string>{503, "switch accepted the login without output\noldest page 120 s old\n"}));
    s.withoutOutput = false;
    s.maxPageAge = 121;
    EXPECT_EQ(status::Health(s).first, 200);
    s.maxPageAge = 0;   // not checked
    s.oldestPageAge = 1e6;
    EXPECT_EQ(status::Health(s).first, 200);
}

// Each series once, with HELP and TYPE before it, in the text format.
TEST(Status, MetricsInThePrometheusTextFormat)
{
    status::Snapshot s;
    s.mailsAccepted = 12;
    s.refusedByCode = {{451, 3}, {554, 1}};
    s.queueDepth = 4;
    s.queueSize = 301;
    s.secondsSinceDelete = 2.5;
    s.linkLosses = 2;
    const std::string m = status::MetricsText(s);
    EXPECT_NE(m.find("# HELP smtpin_mails_accepted_total "), std::string::npos);
    EXPECT_NE(m.find("# TYPE smtpin_mails_accepted_total counter\nsmtpin_mails_accepted_total 12\n"),
              std::string::npos);
    EXPECT_NE(m.find("\nsmtpin_mails_refused_total{code=\"451\"} 3\n"), std::string::npos);
    EXPECT_NE(m.find("\nsmtpin_mails_refused_total{code=\"554\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("\nsmtpin_mails_refused_total{code=\"421\"} 0\n"), std::string::npos);
    EXPECT_NE(m.find("# TYPE smtpin_queue_depth gauge\nsmtpin_queue_depth 4\n"), std::string::npos);
    EXPECT_NE(m.find("\nsmtpin_seconds_since_last_delete 2.5\n"), std::string::npos);
    EXPECT_NE(m.find("\nsmtpin_link_logged_in 0\n"), std::string::npos);
    EXPECT_NE(m.find("\nsmtpin_link_losses_total 2\n"), std::string::npos);
    EXPECT_NE(m.find("\nsmtpin_seconds_since_last_page_sent -1\n"), std::string::npos);
    EXPECT_EQ(m.back(), '\n');
    // No series twice.
    size_t lines = 0, types = 0;
    for (size_t at = 0; (at = m.find('\n', at)) != std::string::npos; ++at)
        ++lines;
    for (size_t at = 0; (at = m.find("# TYPE ", at)) != std::string::npos; ++at)
        ++types;
    EXPECT_EQ(lines, types * 3 + 5);   // five refused series under one TYPE, two session series under one
}

// The main window's strip, from the figures /metrics gives: one row per
// state of the link, what it reads and its colour.
TEST(Status, TheStripTellsTheStateAtAGlance)
{
    using L = status::Snapshot::Link;
    using T = Label::Tone;
    const struct {
        L link;
        const char* caption;
        T tone;
    } links[] = {
        {L::LoggedIn, "Switch link: logged in since 10:15:30", T::Good},
        {L::WithoutOutput, "Switch link: logged in without output since 10:15:30", T::Warning},
        {L::Connecting, "Switch link: connecting since 10:15:30", T::Warning},
        {L::Down, "Switch link: down since 10:15:30", T::Bad},
        {L::TakenDown, "Switch link: taken down by the operator since 10:15:30", T::Bad},
    };
    forms::FrmSMTP form;
    status::Snapshot s;
    s.linkSince = DateSerial::fromParts(2026, 12, 9, 10, 15, 30);
    for (const auto& row : links) {
        s.link = row.link;
        core::ShowStatusStrip(s, form);
        EXPECT_EQ(form.lbLinkState.caption(), row.caption);
        EXPECT_EQ(form.lbLinkState.tone(), row.tone) << row.caption;
    }
    EXPECT_EQ(form.lbPagesWaiting.caption(), "Pages waiting: 0");
    EXPECT_EQ(form.lbLastSent.caption(), "Last page sent: none yet");
    EXPECT_EQ(form.lbErrors.caption(), "Errors since start: 0");

    s.pagesWaiting = 3;
    s.oldestPageAge = 130.7;
    s.maxPageAge = 120;
    s.lastPageSent = DateSerial::fromParts(2026, 12, 9, 10, 16, 1);
    s.databaseErrors = 2;
    s.linkLosses = 1;
    core::ShowStatusStrip(s, form);
    EXPECT_EQ(form.lbPagesWaiting.caption(), "Pages waiting: 3, the oldest 130 s old");
    EXPECT_EQ(form.lbPagesWaiting.tone(), T::Bad);   // past HEALTH_MAX_PAGE_AGE
    EXPECT_EQ(form.lbLastSent.caption(), "Last page sent: 10:16:01");
    EXPECT_EQ(form.lbErrors.caption(), "Errors since start: 3");
    EXPECT_EQ(form.lbErrors.toolTip(), "catalogue 2, link lost 1, spool 0");
}

// The config command refuses exactly what start-up would not use as it
// stands: one table, one reading.
TEST(Parameters, TheCommandAndStartUpReadAValueAlike)
{
    struct Case {
        const char* name;
        const char* value;
        bool accepted;
    };
    const Case cases[] = {
        {"max_sockets", "1", true},      {"MAX_SOCKETS", "100", true},   {"MAX_SOCKETS", "101", false},
        {"MAX_SOCKETS", "0", false},     {"MAX_SOCKETS", "5x", false},   {"MAX_SOCKETS", "", false},
        {"SMTPPORT", "-1", false},       {"SMTPPORT", "0", true},        {"SMTPPORT", "65536", false},
        {"TCP_HUB_TIMEOUT", "59", false}, {"TCP_HUB_TIMEOUT", "60", true},
        {"SWITCH_CODEPAGE", "utf-8", false}, {"SWITCH_CODEPAGE", "iso-8859-15", true},
        {"SMTPIP", "::1", true},         {"SMTPIP", "localhost", false},
        {"SWITCH_ADDRESS", "hub01.example.lan", true}, {"SWITCH_ADDRESS", "10.0.0.7", true},
        {"SWITCH_ADDRESS", "hub 01", false}, {"Remote Port", "0", false}, {"SWITCH_PORT", "6001", true},
        {"STATUS_LISTEN", "[::1]:9125", true}, {"STATUS_LISTEN", "", true}, {"STATUS_LISTEN", "9125", false},
        {"ALLOWED_SENDERS", "10.0.0.0/8, ::1", true}, {"ALLOWED_SENDERS", "10.0.0.0/33", false},
        {"DEBUG", "on", true},           {"DEBUG", "yes", false},        {"DB_DRIVER", "qodbc", true},
        {"GROUP_TEST_DEVICE_1", "a\nb", false},
    };
    for (const Case& c : cases) {
        const db::Parameter* p = db::FindParameter(c.name);
        ASSERT_NE(p, nullptr) << c.name;
        EXPECT_EQ(!core::CheckParameter(*p, c.value).has_value(), c.accepted) << c.name << "=" << c.value;
        // Whatever the command takes, start-up uses as it is, without a fallback.
        if (c.accepted && p->kind == db::Kind::Whole) {
            EXPECT_EQ(core::StartupSettings::ReadWhole(*p, c.value).number, *db::WholeNumber(c.value)) << c.name;
        }
    }
    EXPECT_EQ(db::FindParameter("NOT_ONE"), nullptr);
    EXPECT_EQ(core::NormalParameterValue(db::ParameterNamed("SMTPPORT"), " 0025"), "25");
}

// Start-up's reading of a whole number: the table's empty value, its
// lines, and the older settings' fallback inside 16 bits only.
TEST(Parameters, StartUpLinesAndFallbacksComeFromTheTable)
{
    using core::StartupSettings;
    const db::Parameter& hub = db::ParameterNamed("TCP_HUB_TIMEOUT");
    EXPECT_EQ(StartupSettings::ReadWhole(hub, "").number, 3);
    EXPECT_EQ(StartupSettings::ReadWhole(hub, "").line, "  IV: TCP Timeout is empty. Setting to 3 seconds");
    EXPECT_EQ(StartupSettings::ReadWhole(hub, "59").line,
              "  IV: SMTP Listener Socket Timeout is set to small [59]. Setting to 600 seconds");
    EXPECT_EQ(StartupSettings::ReadWhole(hub, "10001").number, 600);
    EXPECT_THROW(StartupSettings::ReadWhole(hub, "40000"), core::StartupFault);
    const db::Parameter& port = db::ParameterNamed("SMTPPORT");
    EXPECT_EQ(StartupSettings::ReadWhole(port, "0025").line, "  IV: PORT found in startup. Using port 0025");
    EXPECT_THROW(StartupSettings::ReadWhole(port, "70000"), core::StartupFault);
    EXPECT_EQ(StartupSettings::ReadWhole(db::ParameterNamed("LOG_KEEP_DAYS"), "0").line,
              "  IV: LOG_KEEP_DAYS is 0. Log backups are kept for ever");
    // Every catalogue setting the embedded default needs is seeded, and each seed is one the command would take.
    for (const db::Parameter& p : db::Parameters())
        if (p.seed) {
            EXPECT_EQ(core::CheckParameter(p, p.seed), std::nullopt) << p.name;
        }
}

}  // namespace

namespace {

// The endpoint's address is checked before anything listens.
TEST(Status, TheListenAddressIsCheckedAndAFreePortTaken)
{
    ManualClock clock;
    status::StatusServer server(clock, [] { return status::Snapshot{}; });
    for (const char* bad : {"9125", "localhost:9125", "127.0.0.1:", "127.0.0.1:70000", "127.0.0.1:x", "[::1]"}) {
        std::string why;
        EXPECT_EQ(server.Listen(bad, &why), 0) << bad;
        EXPECT_NE(why.find(bad), std::string::npos) << why;
    }
    std::string why;
    // Brackets as an IPv6 address is written; port 0 takes a free one.
    EXPECT_NE(server.Listen("[127.0.0.1]:0", &why), 0) << why;
}

}  // namespace

namespace {

// One request head to the endpoint: its status line and what follows.
TEST(Status, AnswersOnlyTheTwoPathsWithoutABody)
{
    const auto snapshot = [] {
        status::Snapshot s;
        s.listening = s.loggedIn = s.catalogueOpen = true;
        return s;
    };
    struct Case {
        const char* head;
        int code;
        bool close;
    };
    const Case cases[] = {
        {"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n", 200, false},
        {"GET /healthz?x=1 HTTP/1.1\r\n\r\n", 200, false},
        {"GET /healthz HTTP/1.0\r\n\r\n", 200, true},
        {"GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n", 200, true},
        {"GET /metrics HTTP/1.1\r\nconnection: Keep-Alive, Close\r\n\r\n", 200, true},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", 200, false},
        {"GET / HTTP/1.1\r\n\r\n", 404, false},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\n", 413, true},
        {"GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 413, true},
        {"DELETE /metrics HTTP/1.1\r\n\r\n", 405, true},
        {"GET /metrics\r\n\r\n", 400, true},
        {"garbage\r\n\r\n", 400, true},
    };
    for (const Case& c : cases) {
        const status::Reply r = status::Answer(c.head, snapshot);
        EXPECT_EQ(r.code, c.code) << c.head;
        EXPECT_EQ(r.close, c.close) << c.head;
    }
    const std::string head = status::ReplyText(status::Answer("HEAD /healthz HTTP/1.1\r\n\r\n", snapshot));
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 3\r\n\r\n");
}

class StatusEndpoint : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        port = server.Listen("127.0.0.1:0", &why);
        ASSERT_NE(port, 0) << why;
    }
    std::unique_ptr<QTcpSocket> connectOne()
    {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost("127.0.0.1", port);
        EXPECT_TRUE(s->waitForConnected(3000));
        return s;
    }
    ManualClock clock;
    status::StatusServer server{clock, [] { return status::Snapshot{}; }};
    quint16 port = 0;
};

// No one who reaches the port holds more than a few descriptors, for long,
// or much memory.
TEST_F(StatusEndpoint, ConnectionsAreCappedAndIdleOnesClosed)
{
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < status::StatusServer::kMaxConnections; ++i)
        held.push_back(connectOne());
    ASSERT_TRUE(test::pumpUntil([&] { return server.connections() == status::StatusServer::kMaxConnections; }));
    auto extra = connectOne();
    ASSERT_TRUE(test::pumpUntil([&] { return extra->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(extra->readAll().startsWith("HTTP/1.1 503 "));
    EXPECT_EQ(server.connections(), status::StatusServer::kMaxConnections);

    // A request answered renews the time; silence, or a head that never ends, does not.
    held[0]->write("GET /healthz HTTP/1.1\r\n\r\n");
    held[1]->write("GET /healthz HTTP/1.1\r\n");
    ASSERT_TRUE(test::pumpUntil([&] { return held[0]->bytesAvailable() > 0; }));
    clock.advanceSeconds(4);
    held[0]->write("GET /metrics HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(test::pumpUntil([&] { return held[0]->bytesAvailable() > 500; }));
    clock.advanceSeconds(1.5);
    server.CheckIdle();
    ASSERT_TRUE(test::pumpUntil([&] { return server.connections() == 1; }));
    EXPECT_EQ(held[0]->state(), QAbstractSocket::ConnectedState);
    EXPECT_TRUE(test::pumpUntil([&] { return held[1]->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(StatusEndpoint, AHeadOverTheBoundIsRefusedAndNotKept)
{
    auto s = connectOne();
    s->write(QByteArray("GET /") + QByteArray(64 * 1024, 'a'));
    ASSERT_TRUE(test::pumpUntil([&] { return s->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(s->readAll().startsWith("HTTP/1.1 431 "));
    // Two requests in one write are both answered, in order.
    auto t = connectOne();
    t->write("GET /healthz HTTP/1.1\r\n\r\nGET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n");
    std::string all;
    ASSERT_TRUE(test::pumpUntil([&] {
        all += t->readAll().toStdString();
        return t->state() == QAbstractSocket::UnconnectedState;
    }));
    all += t->readAll().toStdString();
    EXPECT_EQ(all.find("HTTP/1.1 503 "), 0u) << all;
    EXPECT_NE(all.find("HTTP/1.1 404 "), std::string::npos) << all;
}

}  // namespace
