// The real program run as a service: its status endpoint, its link lines on
// standard output, and the config command.
#include "EndToEnd.h"

#include <QProcess>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace smtpin::test {
namespace {

// One plain HTTP/1.0 request: the status code and the body.
std::pair<int, std::string> httpGet(int port, const std::string& path)
{
    QTcpSocket s;
    s.connectToHost("127.0.0.1", static_cast<quint16>(port));
    if (!s.waitForConnected(5000))
        return {0, ""};
    s.write(QByteArray::fromStdString("GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n"));
    std::string all;
    // Whole once the body holds Content-Length bytes (the server may keep the connection).
    auto whole = [&] {
        const size_t head = all.find("\r\n\r\n");
        const size_t length = all.find("Content-Length: ");
        return head != std::string::npos && length != std::string::npos && length < head &&
               all.size() - head - 4 >= std::stoul(all.substr(length + 16));
    };
    pumpUntil([&] {
        all += s.readAll().toStdString();
        return whole() || s.state() == QAbstractSocket::UnconnectedState;
    }, 5000);
    all += s.readAll().toStdString();
    const size_t body = all.find("\r\n\r\n");
    if (all.size() < 12 || body == std::string::npos)
        return {0, all};
    return {std::stoi(all.substr(9, 3)), all.substr(body + 4)};
}

// "name{labels} value" of a metric, or -2 when it is missing.
double metric(const std::string& text, const std::string& series)
{
    const size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos)
        return -2;
    return std::stod(text.substr(at + series.size() + 2));
}

class Service : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        statusPort = HubSimProcess::freePort();
        std::string ini = TempDir::read(dir.file("smtpin.ini"));
        const std::string key = ";Listen=127.0.0.1:9125";
        ASSERT_NE(ini.find(key), std::string::npos);
        ini.replace(ini.find(key), key.size(), "Listen=127.0.0.1:" + std::to_string(statusPort));
        TempDir::write(dir.file("smtpin.ini"), ini);
    }

    int statusPort = 0;
};

TEST_F(Service, HealthAndMetricsFollowTheMailsAndTheLink)
{
    startBoth();
    ASSERT_TRUE(app.waitForLine("link: logged in"));
    EXPECT_EQ(httpGet(statusPort, "/healthz"), (std::pair<int, std::string>{200, "ok\n"}));

    const std::string dispatch = "<IsDispatchMessage>True</IsDispatchMessage>";
    EXPECT_EQ(sendMail(smtpPort, pagerXml("7101", "one", "h", dispatch)), "250 OK");
    EXPECT_EQ(sendMail(smtpPort, pagerXml("7102", "two", "h", dispatch)), "250 OK");
    EXPECT_EQ(sendMail(smtpPort, pagerXml("", "no number", "h", dispatch)),
              "554 VORN_SMTP_Server No pager number, message not processed");
    ASSERT_TRUE(hub.waitForCount("TX DELETE", 2, 10000));
    ASSERT_TRUE(pumpUntil([&] { return metric(httpGet(statusPort, "/metrics").second, "smtpin_records_deleted_total") == 2; },
                          5000));
    const std::string m = httpGet(statusPort, "/metrics").second;
    EXPECT_EQ(metric(m, "smtpin_mails_accepted_total"), 2);
    EXPECT_EQ(metric(m, "smtpin_mails_refused_total{code=\"554\"}"), 1);
    EXPECT_EQ(metric(m, "smtpin_mails_refused_total{code=\"451\"}"), 0);
    EXPECT_EQ(metric(m, "smtpin_queue_depth"), 0);
    EXPECT_EQ(metric(m, "smtpin_spool_depth"), 0);
    EXPECT_EQ(metric(m, "smtpin_link_logged_in"), 1);
    EXPECT_EQ(metric(m, "smtpin_link_logins_total"), 1);
    EXPECT_GE(metric(m, "smtpin_records_sent_total"), 2);
    EXPECT_GE(metric(m, "smtpin_seconds_since_last_delete"), 0);
    EXPECT_NE(m.find("# TYPE smtpin_mails_accepted_total counter\n"), std::string::npos);

    // The switch goes: 503 naming the link, and the terminal hears of it.
    hub.signal(SIGKILL);
    ASSERT_TRUE(app.waitForLine("link: lost", 15000));
    ASSERT_TRUE(pumpUntil([&] { return httpGet(statusPort, "/healthz").first == 503; }, 5000));
    EXPECT_EQ(httpGet(statusPort, "/healthz").second, "switch link not logged in\n");
    EXPECT_TRUE(app.waitForLine("link: retrying"));
    EXPECT_TRUE(pumpUntil([&] { return app.applicationLog().find("  HUB: Link to the switch lost") != std::string::npos; },
                          5000));

    // And comes back.
    ASSERT_TRUE(hub.startOn(hubPort));
    ASSERT_TRUE(pumpUntil([&] { return app.count("link: logged in") == 2; }, 20000));
    EXPECT_TRUE(pumpUntil([&] { return httpGet(statusPort, "/healthz").first == 200; }, 5000));
    EXPECT_EQ(metric(httpGet(statusPort, "/metrics").second, "smtpin_link_logins_total"), 2);
    EXPECT_EQ(app.terminate(), 0);
}

// A switch whose accept leaves OUT clear: the link is up and nothing can be
// sent. Pages wait, safely, and the operator is told in every place.
TEST_F(Service, ALoginWithoutOutputIsToldAndThePagesWaitingAreCounted)
{
    QProcess config;
    config.start(SmtpinProcess::program(), {"--data-dir", QString::fromStdString(dir.path()), "config", "set",
                                            "HEALTH_MAX_PAGE_AGE", "1"});
    ASSERT_TRUE(config.waitForFinished(20000));
    ASSERT_EQ(config.exitCode(), 0) << config.readAllStandardError().toStdString();
    // Not even READY can reach this switch.
    ASSERT_TRUE(hub.startOn(hubPort, {"--accept-without-output"}));
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.waitForLine("link: logged in without output")) << app.errorText();
    EXPECT_TRUE(pumpUntil([&] {
        return app.applicationLog().find("  HUB: The switch accepted the login without output; pages wait") !=
               std::string::npos;
    }, 5000));
    EXPECT_EQ(httpGet(statusPort, "/healthz"), (std::pair<int, std::string>{503, "switch accepted the login without output\n"}));
    for (const char* text : {"wait one", "wait two", "wait three"})
        EXPECT_EQ(sendMail(smtpPort, pagerXml("7201", text)), "250 OK");
    const std::string m = httpGet(statusPort, "/metrics").second;
    EXPECT_EQ(metric(m, "smtpin_pages_waiting"), 3);
    EXPECT_GE(metric(m, "smtpin_oldest_page_age_seconds"), 0);
    EXPECT_EQ(metric(m, "smtpin_link_logged_in"), 1);
    // Past HEALTH_MAX_PAGE_AGE the age is named as well.
    EXPECT_TRUE(pumpUntil([&] { return httpGet(statusPort, "/healthz").second.find("oldest page ") != std::string::npos; },
                          5000));
    EXPECT_EQ(hub.count("RX NEWMESS"), 0);
    EXPECT_EQ(app.terminate(), 0);
}

// Pages taken the moment the program starts, before its first connect to
// the switch, meet the configured room, never a smaller default.
TEST_F(Service, PagesTakenAtOnceAfterTheStartAreNotRefused)
{
    ASSERT_TRUE(hub.startOn(hubPort));
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(app.waitForLine("s01 listening on")) << app.errorText();
    const Burst burst = sendBurst(smtpPort, 40, 4);
    EXPECT_EQ(burst.refused, 0);
    EXPECT_EQ(burst.accepted.size(), 40u);
    EXPECT_EQ(app.count("message not processed"), 0);   // "451" alone may be in a port number
    EXPECT_TRUE(hub.waitForCount("RX NEWMESS", 40, 20000));
    EXPECT_EQ(app.terminate(), 0);
}

// A spool damaged on disk stops the start, named, and is left as it is.
TEST_F(Service, ADamagedSpoolStopsTheStart)
{
    startBoth({"--no-delete"});
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(sendMail(smtpPort, pagerXml("7301", "kept " + std::to_string(i) + std::string(300, 'x'))), "250 OK");
    EXPECT_EQ(app.terminate(), 0);
    const std::string spool = dir.file("spool.sqlite");
    std::string bytes = TempDir::read(spool);
    ASSERT_GT(bytes.size(), 8192u + 2000u);
    // A bad sector over the table's first leaf page.
    for (size_t i = 8192; i < 8192 + 2000; ++i)
        bytes[i] = static_cast<char>(0x5a);
    TempDir::write(spool, bytes);
    ASSERT_TRUE(app.start());
    EXPECT_EQ(app.waitForExit(), 1);
    EXPECT_NE(app.errorText().find(spool + " is damaged"), std::string::npos) << app.errorText();
    EXPECT_EQ(TempDir::read(spool), bytes);
}

// The config command with the real binary against the embedded catalogue.
TEST_F(Service, SettingsAreChangedFromTheCommandLineWithinTheirRanges)
{
    auto run = [&](const QStringList& words) {
        QProcess p;
        p.start(SmtpinProcess::program(), QStringList{"--data-dir", QString::fromStdString(dir.path())} + words);
        p.waitForFinished(20000);
        return std::tuple{p.exitCode(), p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
    };
    auto [code, out, err] = run({"config", "set", "MAX_SOCKETS", "500"});
    EXPECT_EQ(code, 2);
    EXPECT_NE(err.find("MAX_SOCKETS not changed: \"500\" is not a whole number from 1 to 100"), std::string::npos) << err;
    std::tie(code, out, err) = run({"config", "set", "allowed_senders", "10.0.0.0/33"});
    EXPECT_EQ(code, 2);
    std::tie(code, out, err) = run({"config", "set", "NO_SUCH", "1"});
    EXPECT_EQ(code, 2);
    EXPECT_NE(err.find("NO_SUCH is no setting of smtpin"), std::string::npos) << err;

    std::tie(code, out, err) = run({"config", "set", "max_sockets", "20"});
    EXPECT_EQ(code, 0) << err;
    std::tie(code, out, err) = run({"config", "get", "MAX_SOCKETS"});
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, "20\n");
    std::tie(code, out, err) = run({"config", "set", "ALLOWED_SENDERS", "10.0.0.0/8, ::1"});
    EXPECT_EQ(code, 0) << err;
    std::tie(code, out, err) = run({"config", "list"});
    EXPECT_EQ(code, 0);
    for (const char* name : {"SMTPPORT", "MAX_SOCKETS=20", "SESSION_MAX=600", "SWITCH_CODEPAGE=windows-1252",
                             "LOG_KEEP_DAYS=90", "ALLOWED_SENDERS=10.0.0.0/8, ::1"})
        EXPECT_NE(out.find(name), std::string::npos) << name;

    // Start-up reads what was set: loopback is not in the list.
    startBoth();
    EXPECT_NE(app.applicationLog().find("  IV: ALLOWED_SENDERS: mail is taken only from 10.0.0.0/8, ::1/128"),
              std::string::npos);
    EXPECT_EQ(sendMail(smtpPort, pagerXml("7103", "refused")), "554 VORN_SMTP_Server Access denied");
    EXPECT_TRUE(pumpUntil([&] { return app.smtpLog().find("SMTP: Access denied to 127.0.0.1") != std::string::npos; },
                          5000));
}

}  // namespace
}  // namespace smtpin::test
