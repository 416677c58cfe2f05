#include "core/ClientParameters.h"
#include "status/StatusServer.h"

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
    EXPECT_EQ(m.back(), '\n');
    // No series twice.
    size_t lines = 0, types = 0;
    for (size_t at = 0; (at = m.find('\n', at)) != std::string::npos; ++at)
        ++lines;
    for (size_t at = 0; (at = m.find("# TYPE ", at)) != std::string::npos; ++at)
        ++types;
    EXPECT_EQ(lines, types * 3 + 4);   // the refused family has five series under one TYPE
}

TEST(ClientParameters, RangesAreCheckedAsStartUpChecksThem)
{
    const auto* maxSockets = core::FindClientParameter("max_sockets");
    ASSERT_NE(maxSockets, nullptr);
    EXPECT_EQ(maxSockets->check("1"), std::nullopt);
    EXPECT_EQ(maxSockets->check("100"), std::nullopt);
    EXPECT_NE(maxSockets->check("101"), std::nullopt);
    EXPECT_NE(maxSockets->check("0"), std::nullopt);
    EXPECT_NE(maxSockets->check("5x"), std::nullopt);
    EXPECT_NE(maxSockets->check(""), std::nullopt);
    EXPECT_NE(core::FindClientParameter("SWITCH_CODEPAGE")->check("utf-8"), std::nullopt);
    EXPECT_EQ(core::FindClientParameter("SMTPIP")->check("::1"), std::nullopt);
    EXPECT_NE(core::FindClientParameter("SMTPIP")->check("localhost"), std::nullopt);
    EXPECT_EQ(core::FindClientParameter("NOT_ONE"), nullptr);
}

}  // namespace

namespace {

// The endpoint's address is checked before anything listens.
TEST(Status, TheListenAddressIsCheckedAndAFreePortTaken)
{
    status::StatusServer server([] { return status::Snapshot{}; });
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
