#include "SmtpHarness.h"

#include "smtp/TlsCredentials.h"

#include <QDir>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>

using namespace smtpin;
using namespace smtpin::test;

namespace {

const std::string kPage = "<PagerMessage><PagerPin>1234</PagerPin><Message>Encrypted page</Message></PagerMessage>";

// A self-signed certificate and its key, made as an administrator makes a test pair.
struct TestCertificate {
    QTemporaryDir dir;
    std::string cert = (dir.path() + "/cert.pem").toStdString();
    std::string key = (dir.path() + "/key.pem").toStdString();

    explicit TestCertificate(const char* keyType = "rsa:2048")
    {
        QProcess p;
        p.start("openssl", {"req", "-x509", "-newkey", keyType, "-nodes", "-days", "2", "-subj", "/CN=localhost",
                            "-keyout", QString::fromStdString(key), "-out", QString::fromStdString(cert)});
        p.waitForFinished(60000);
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    }
};

// A client that can turn to TLS halfway, as a relay does.
struct TlsClient {
    QSslSocket socket;
    std::string buffer;

    bool connectTo(int port, const std::string& from = "")
    {
        if (!from.empty() && !socket.bind(QHostAddress(QString::fromStdString(from))))
            return false;
        socket.connectToHost("127.0.0.1", static_cast<quint16>(port));
        return pumpUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
    void send(const std::string& s)
    {
        socket.write(s.data(), static_cast<qint64>(s.size()));
        socket.flush();
    }
    std::vector<std::string> lines()
    {
        buffer += socket.readAll().toStdString();
        std::vector<std::string> out;
        size_t pos = 0;
        for (size_t k; (k = buffer.find("\r\n", pos)) != std::string::npos; pos = k + 2)
            out.push_back(buffer.substr(pos, k - pos));
        return out;
    }
    bool startTls()
    {
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.startClientEncryption();
        return pumpUntil([&] { return socket.isEncrypted(); });
    }
};

struct TlsTest : ::testing::Test {
    TestCertificate pair;
    SmtpHarness h;

    TlsTest()
    {
        std::string why;
        auto tls = TlsCredentials::Load(pair.cert, pair.key, &why);
        EXPECT_TRUE(tls.has_value()) << why;
        h.listener.setTls(std::move(tls));
    }
    // Replies after those already read, once n have come.
    std::vector<std::string> await(TlsClient& c, size_t n)
    {
        EXPECT_TRUE(pumpUntil([&] { return c.lines().size() >= n; }, 5000, [&] { h.tick(); }))
            << "got " << c.lines().size();
        h.settle(100);
        return c.lines();
    }
};

const std::vector<std::string> kEhloWithTls = {"250-VORN_SMTP_Server", "250-PIPELINING", "250-SIZE 1048576",
                                               "250-8BITMIME",         "250-ENHANCEDSTATUSCODES", "250 STARTTLS"};

TEST_F(TlsTest, StartTlsUpgradesAndTheSessionStartsAfresh)
{
    TlsClient c;
    ASSERT_TRUE(c.connectTo(h.port));
    c.send("EHLO relay\r\nSTARTTLS\r\n");
    auto lines = await(c, 8);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 7), kEhloWithTls);
    EXPECT_EQ(lines[7], "220 2.0.0 VORN_SMTP_Server Ready to start TLS");
    ASSERT_TRUE(c.startTls());
    c.buffer.clear();
    // Afresh: no enhanced codes until EHLO, and no STARTTLS offered again.
    c.send("NOOP\r\nEHLO relay\r\nSTARTTLS\r\nMAIL FROM:<a>\r\nDATA\r\n" + kPage + "\r\n.\r\n");
    lines = await(c, 10);
    const std::vector<std::string> expected = {
        "250 OK", "250-VORN_SMTP_Server", "250-PIPELINING", "250-SIZE 1048576", "250-8BITMIME",
        "250 ENHANCEDSTATUSCODES", "503 5.5.1 VORN_SMTP_Server TLS already active", "250 2.1.0 OK", "354 OK",
        "250 2.0.0 OK"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(h.parser.mails.size(), 1u);
    EXPECT_TRUE(h.loggedContaining("soc[1] TLS: TLSv1."));
    EXPECT_EQ(h.listener.counters().tlsSessions, 1u);
}

// Text behind STARTTLS in the same write is never taken as sent under TLS.
TEST_F(TlsTest, NothingSentInClearBehindStartTlsIsRead)
{
    TlsClient c;
    ASSERT_TRUE(c.connectTo(h.port));
    c.send("EHLO relay\r\nSTARTTLS\r\nMAIL FROM:<evil>\r\nDATA\r\n" + kPage + "\r\n.\r\n");
    auto lines = await(c, 8);
    EXPECT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.back(), "220 2.0.0 VORN_SMTP_Server Ready to start TLS");
    ASSERT_TRUE(c.startTls());
    c.buffer.clear();
    c.send("NOOP\r\n");
    lines = await(c, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"250 OK"});
    EXPECT_TRUE(h.parser.mails.empty());
    EXPECT_FALSE(h.loggedContaining("evil"));
}

TEST_F(TlsTest, RequiredTlsRefusesPlainCommandsButNotExemptSenders)
{
    std::string why;
    h.listener.setTlsRequired(true, *AllowList::Parse("127.0.0.2", &why));
    TlsClient plain;
    ASSERT_TRUE(plain.connectTo(h.port));
    plain.send("HELO x\r\nMAIL FROM:<a>\r\nEHLO x\r\nDATA\r\nNOOP\r\nRSET\r\n");
    auto lines = await(plain, 12);
    EXPECT_EQ(lines[2], "530 Must issue a STARTTLS command first");
    EXPECT_EQ(lines[9], "530 5.7.0 Must issue a STARTTLS command first");
    EXPECT_EQ(lines[10], "250 2.0.0 OK");
    EXPECT_EQ(lines[11], "250 2.0.0 OK");
    ASSERT_EQ(lines.size(), 12u);

    TlsClient exempt;
    ASSERT_TRUE(exempt.connectTo(h.port, "127.0.0.2"));
    exempt.send("HELO x\r\nMAIL FROM:<a>\r\n");
    EXPECT_EQ(await(exempt, 3).back(), "250 OK");

    TlsClient upgraded;
    ASSERT_TRUE(upgraded.connectTo(h.port));
    upgraded.send("STARTTLS\r\n");
    await(upgraded, 2);
    ASSERT_TRUE(upgraded.startTls());
    upgraded.buffer.clear();
    upgraded.send("MAIL FROM:<a>\r\n");
    EXPECT_EQ(await(upgraded, 1).back(), "250 OK");
}

TEST_F(TlsTest, AFailedOrStalledHandshakeClosesThatConnectionOnly)
{
    TlsClient garbage;
    ASSERT_TRUE(garbage.connectTo(h.port));
    garbage.send("STARTTLS\r\n");
    await(garbage, 2);
    garbage.send("this is no client hello\r\n\r\n");
    EXPECT_TRUE(pumpUntil([&] { return garbage.socket.state() == QAbstractSocket::UnconnectedState; }, 5000,
                          [&] { h.tick(); }));
    EXPECT_TRUE(h.loggedContaining("soc[1] TLS: Handshake failed: "));

    TlsClient silent;
    ASSERT_TRUE(silent.connectTo(h.port));
    silent.send("STARTTLS\r\n");
    await(silent, 2);
    h.clock.advanceSeconds(4);
    h.tick();
    EXPECT_TRUE(h.logged("soc[1] TLS: Handshake not finished in time, closing") ||
                h.logged("soc[2] TLS: Handshake not finished in time, closing"));
    EXPECT_EQ(h.listener.counters().tlsFailures, 2u);

    TlsClient next;
    ASSERT_TRUE(next.connectTo(h.port));
    next.send("NOOP\r\n");
    EXPECT_EQ(await(next, 2).back(), "250 OK");
}

TEST(TlsCredentials, WhatCannotBeUsedIsNamed)
{
    TestCertificate rsa, other;
    std::string why;
    EXPECT_FALSE(TlsCredentials::Load(rsa.cert, other.key, &why));
    EXPECT_EQ(why, other.key + " is not the key of the certificate in " + rsa.cert);
    EXPECT_FALSE(TlsCredentials::Load(rsa.cert + ".missing", rsa.key, &why));
    EXPECT_NE(why.find(rsa.cert + ".missing cannot be read"), std::string::npos) << why;
    EXPECT_FALSE(TlsCredentials::Load(rsa.key, rsa.key, &why));
    EXPECT_EQ(why, rsa.key + " holds no PEM certificate");
    EXPECT_FALSE(TlsCredentials::Load(rsa.cert, rsa.cert, &why));
    EXPECT_EQ(why, rsa.cert + " holds no unencrypted PEM private key");
    EXPECT_TRUE(TlsCredentials::Load(rsa.cert, rsa.key, &why)) << why;
}

}  // namespace
