#include "SmtpHarness.h"

#include "platform/Text.h"
#include "smtp/SmtpSession.h"

using namespace smtpin;
using namespace smtpin::test;

namespace {

const std::string kPage =
    "<PagerMessage><PagerPin>1234</PagerPin><Message>Fire at gate 3</Message></PagerMessage>";

const std::vector<std::string> kFullConversation = {
    "220 VORN_SMTP_Server Simple Mail Transfer Service Ready",
    "250 VORN_SMTP_Server", "250 OK", "250 OK", "354 OK", "250 OK"};

struct SessionTest : ::testing::Test {
    SmtpHarness h;

    std::vector<std::string> converse(TestClient& c, const std::string& text, size_t expectLines)
    {
        c.send(text);
        EXPECT_TRUE(h.waitLines(c, expectLines)) << "got " << c.lines().size() << " lines";
        h.settle();
        return c.lines();
    }
};

TEST_F(SessionTest, FullMailGetsExactlyOneReplyPerCommand)
{
    auto c = h.connectGreeted();
    const auto lines = converse(*c,
                                "HELO x\r\nMAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\n"
                                "Subject: page\r\n\r\n" + kPage + "\r\nafter the tag\r\n.\r\n",
                                6);
    EXPECT_EQ(lines, kFullConversation);
    ASSERT_EQ(h.parser.mails.size(), 1u);
    EXPECT_NE(h.parser.mails[0].body.find("<PagerPin>1234</PagerPin>"), std::string::npos);
    EXPECT_TRUE(h.logged("soc[1] CONTENT: END of DATA"));
    // Lines after the closing tag are still data, not commands.
    EXPECT_TRUE(h.logged("soc[1] CMD: [Data mode] after the tag"));
    EXPECT_EQ(h.form.lbPETTicker.caption(), "Command: DEND Reply: OK");

    // A second mail in the same connection.
    const auto more = converse(*c, "DATA\r\n" + kPage + "\r\n.\r\nQUIT\r\n", 9);
    EXPECT_EQ(more[6], "354 OK");
    EXPECT_EQ(more[7], "250 OK");
    EXPECT_EQ(more[8], "221 VORN_SMTP_Server Service closing transmission channel");
    EXPECT_EQ(more.size(), 9u);
    EXPECT_EQ(h.parser.mails.size(), 2u);
}

TEST_F(SessionTest, CommandTableRepliesAndLogLines)
{
    auto c = h.connectGreeted();
    const auto lines = converse(*c,
                                "ehlo relay.example\r\nrcpt to:<ops@site>\r\nRCPT <b>\r\nNOOP\r\nRSET\r\n"
                                "MAIL FROM:<a>\r\nMAIL\r\nQUIT\r\n",
                                9);
    const std::vector<std::string> expected = {
        "220 VORN_SMTP_Server Simple Mail Transfer Service Ready",
        "250 VORN_SMTP_Server",
        "250 OK",
        "501 VORN_SMTP_Server Syntax error in parameters or arguments",
        "502 VORN_SMTP_Server [NOOP] Command not implemented",
        "502 VORN_SMTP_Server [RSET] Command not implemented",
        "250 OK",
        "250 OK",
        "221 VORN_SMTP_Server Service closing transmission channel"};
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(h.loggedContaining("]CMD:  EHLO relay.example"));
    EXPECT_TRUE(h.loggedContaining("]CMD:  RCPT TO: <ops@site>"));
    EXPECT_TRUE(h.logged("502 VORN_SMTP_Server [NOOP] Command not implemented"));
    // A bare MAIL logs the argument of the command before it.
    const auto log = h.smtpLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& s) { return s.ends_with("CMD:  MAIL FROM:<a>"); }),
              2);
    EXPECT_TRUE(h.loggedContaining("]CMD:  QUIT:"));
    EXPECT_EQ(h.form.lbPETTicker.caption(), "Command: QUIT Reply: OK");
    // QUIT leaves the socket to the client or the time limit.
    EXPECT_FALSE(c->disconnected());
}

TEST_F(SessionTest, LineSplitting)
{
    auto c = h.connectGreeted();
    // Split over two arrivals, handled once the line end arrives.
    c->send("HE");
    h.settle(60);
    c->send("LO x\r");
    h.settle(60);
    c->send("\n");
    ASSERT_TRUE(h.waitLines(*c, 2));
    // A word and one space is the word; short lines get no reply; a bare LF
    // ends a line as CR LF does; a bare CR is part of the line.
    c->send("QUIT \r\nab\r\n\r\nJUNKLINE\nMAIL FROM:<z>\r\nHELO a\rb\r\n");
    ASSERT_TRUE(h.waitLines(*c, 6));
    h.settle();
    const std::vector<std::string> expected = {
        "220 VORN_SMTP_Server Simple Mail Transfer Service Ready",
        "250 VORN_SMTP_Server",
        "221 VORN_SMTP_Server Service closing transmission channel",
        "502 VORN_SMTP_Server [JUNK] Command not implemented",
        "250 OK",
        "250 VORN_SMTP_Server"};
    EXPECT_EQ(c->lines(), expected);
    EXPECT_TRUE(h.loggedContaining("]CMD:  HELO a\rb"));
}

// A client that ends every line with a bare LF is answered throughout.
TEST_F(SessionTest, BareLineFeedClientIsServed)
{
    auto c = h.connectGreeted();
    const auto lines = converse(*c, "HELO x\nMAIL FROM:<a>\nRCPT TO:<b>\nDATA\n" + kPage + "\n.\nQUIT\n", 7);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), kFullConversation);
    EXPECT_EQ(lines[6], "221 VORN_SMTP_Server Service closing transmission channel");
    EXPECT_EQ(h.parser.mails.size(), 1u);
}

// Text that a relay passes on as data can neither end the data nor be read
// as the commands of a second mail.
TEST_F(SessionTest, OnlyCrLfDotCrLfEndsTheData)
{
    const std::string second = "MAIL FROM:<x>\r\nRCPT TO:<y>\r\nDATA\r\n<PagerMessage><PagerPin>666</PagerPin>"
                               "<Message>SMUGGLED</Message></PagerMessage>\r\n";
    int n = 0;
    for (const std::string& outer : {std::string("no page yet"), kPage}) {
        for (const std::string end : {"\r\n.\r", "\r.\r", "\r.\r\n", "\n.\n", "\r\n.\n", "\n.\r\n", "\r\n.\r\r\n"}) {
            SCOPED_TRACE(testing::PrintToString(outer + end));
            auto c = h.connectGreeted();
            const auto lines = converse(*c, "DATA\r\nSubject: x\r\n\r\n" + outer + end + second + ".\r\n", 3);
            EXPECT_EQ(lines.size(), 3u);
            EXPECT_EQ(lines.back(), "250 OK");
            ASSERT_EQ(h.parser.mails.size(), static_cast<size_t>(++n));
            if (outer != kPage) {   // not ended early: the second page is this mail's data
                EXPECT_NE(h.parser.mails.back().body.find("SMUGGLED"), std::string::npos);
            }
            // The session goes on normally after the real end.
            EXPECT_EQ(converse(*c, "NOOP\r\n", 4).back(), "502 VORN_SMTP_Server [NOOP] Command not implemented");
        }
    }
}

TEST_F(SessionTest, ClosingTagEndsTheDataOnlyInTheBody)
{
    auto c = h.connectGreeted();
    converse(*c, "DATA\r\nSubject: re: </PagerMessage>\r\n\tcontinued </PagerMessage>\r\n\r\n" + kPage + "\r\n.\r\n", 3);
    ASSERT_EQ(h.parser.mails.size(), 1u);
    EXPECT_NE(h.parser.mails[0].body.find("<Message>Fire at gate 3</Message>"), std::string::npos);
    EXPECT_TRUE(h.logged("soc[1] CONTENT: END of DATA"));
}

TEST_F(SessionTest, DotTransparencyAndTerminator)
{
    auto c = h.connectGreeted();
    converse(*c, "DATA\r\n..leading dot\r\n.\r\n", 3);
    ASSERT_EQ(h.parser.mails.size(), 1u);
    EXPECT_EQ(h.parser.mails[0].body, ".leading dot\r\n");
    EXPECT_TRUE(h.logged("soc[1] SMTP: END of DATA"));
}

TEST_F(SessionTest, Base64MailEndsAtDecodedClosingTag)
{
    auto c = h.connectGreeted();
    // "<PagerMessage><PagerPin>77</PagerPin></PagerMessage>" in base64, broken over two lines
    // so that the closing tag straddles them.
    const std::string b64a = "PFBhZ2VyTWVzc2FnZT48UGFnZXJQaW4+Nzc8L1BhZ2VyUGluPjwvUGFn";
    const std::string b64b = "ZXJNZXNzYWdlPg==";
    const auto lines = converse(*c,
                                "DATA\r\ncontent-transfer-encoding:  Base64\r\n\r\n" + b64a + "\r\n" + b64b +
                                    "\r\n--boundary--\r\n.\r\n",
                                3);
    EXPECT_EQ(lines.size(), 3u);
    ASSERT_EQ(h.parser.mails.size(), 1u);
    EXPECT_TRUE(h.parser.mails[0].base64);
    EXPECT_EQ(h.parser.mails[0].decoded, "<PagerMessage><PagerPin>77</PagerPin></PagerMessage>");
    EXPECT_TRUE(h.logged("soc[1] CONTENT: BASE64"));
    EXPECT_TRUE(h.logged("soc[1] CONTENT: base64 END of DATA"));
    EXPECT_FALSE(h.listener.record(1).Base64Mode);
}

TEST_F(SessionTest, QuotedPrintableHeaderSetsMode)
{
    auto c = h.connectGreeted();
    converse(*c, "DATA\r\nContent-Transfer-Encoding: quoted-printable\r\nab=\r\n.\r\n", 3);
    ASSERT_EQ(h.parser.mails.size(), 1u);
    EXPECT_TRUE(h.parser.mails[0].qp);
    EXPECT_TRUE(h.logged("soc[1] CONTENT: Quoted-Printable"));
}

TEST_F(SessionTest, QuitIsHeardAfterEarlyEndOfData)
{
    auto c = h.connectGreeted();
    // What follows the QUIT is still the mail's: never a second mail. A
    // body line that merely starts with the word is no QUIT.
    const auto lines = converse(*c, "DATA\r\n" + kPage + "\r\nQuit smoking\r\nQUIT\r\nDATA\r\n" + kPage +
                                        "\r\n.\r\nNOOP\r\n", 4);
    h.settle(100);
    ASSERT_EQ(c->lines().size(), 4u);
    EXPECT_EQ(lines[3], "221 VORN_SMTP_Server Service closing transmission channel");
    EXPECT_EQ(h.parser.mails.size(), 1u);
}

TEST_F(SessionTest, RefusalsOfTheMailAreReplied)
{
    auto c = h.connectGreeted();
    h.parser.outcome = MailOutcome::NoPagerNumber;
    converse(*c, "DATA\r\nno page here\r\n.\r\n", 3);
    h.parser.outcome = MailOutcome::QueueFull;
    const auto lines = converse(*c, "DATA\r\n" + kPage + "\r\n.\r\n", 5);
    EXPECT_EQ(lines[2], "554 VORN_SMTP_Server No pager number, message not processed");
    EXPECT_EQ(lines[4], "451 VORN_SMTP_Server Queue full, try again later");
}

TEST_F(SessionTest, OversizedMailGets552AndSessionGoesOn)
{
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto c = h.connectGreeted();
    c->send("DATA\r\n");
    ASSERT_TRUE(h.waitLines(*c, 2));
    const std::string line(998, 'x');
    std::string chunk;
    for (int i = 0; i < 64; ++i)
        chunk += line + "\r\n";
    for (int i = 0; i < 33; ++i)   // about 2 MiB
        c->send(chunk);
    c->send(kPage + "\r\n.\r\nMAIL FROM:<a>\r\n");
    ASSERT_TRUE(h.waitLines(*c, 4, 10000));
    h.settle();
    const auto lines = c->lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "552 VORN_SMTP_Server Message size exceeds fixed maximum message size");
    EXPECT_EQ(lines[3], "250 OK");
    EXPECT_TRUE(h.parser.mails.empty());
    EXPECT_TRUE(h.loggedContaining("soc[1] SMTP: Mail larger than 1048576 bytes"));
    const auto& rec = h.listener.record(1);
    EXPECT_LE(rec.Body.capacity(), SmtpSession::kMaxMail + 4096);
    EXPECT_FALSE(rec.DataMode);
}

TEST_F(SessionTest, OverlongLineIsDroppedAndBounded)
{
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto c = h.connectGreeted();
    const std::string big(200 * 1024, 'A');
    c->send("HELO " + big);
    h.settle(300);
    EXPECT_LE(h.listener.record(1).Pending.size(), SmtpSession::kMaxLine);
    c->send(big + "\r\nHELO x\r\n");
    ASSERT_TRUE(h.waitLines(*c, 3));
    const auto lines = c->lines();
    EXPECT_EQ(lines[1], "500 VORN_SMTP_Server Line too long");
    EXPECT_EQ(lines[2], "250 VORN_SMTP_Server");
}

// A line too long to keep still ends only where it ends: its CR or bare LF
// decides whether a "." after it can end the data.
TEST_F(SessionTest, AnOverlongLineEndedByABareLineFeedEndsNoData)
{
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto c = h.connectGreeted();
    c->send("DATA\r\n" + std::string(100 * 1024, 'B'));
    h.settle(100);
    c->send("\n.\r\nMAIL FROM:<x>\r\n");
    h.settle(200);
    EXPECT_EQ(c->lines().size(), 2u);
    c->send("\r\n.\r\n");
    ASSERT_TRUE(h.waitLines(*c, 3));
    EXPECT_EQ(c->lines().back(), "552 VORN_SMTP_Server Message size exceeds fixed maximum message size");
    h.settle();
    EXPECT_EQ(c->lines().size(), 3u);
}

TEST_F(SessionTest, OverlongLineInsideMailGets552)
{
    h.listener.setSocketTimeout(60.0 / 86400.0);
    auto c = h.connectGreeted();
    c->send("DATA\r\n" + std::string(100 * 1024, 'B') + "\r\n" + kPage + "\r\n.\r\n");
    ASSERT_TRUE(h.waitLines(*c, 3));
    h.settle();
    EXPECT_EQ(c->lines().back(), "552 VORN_SMTP_Server Message size exceeds fixed maximum message size");
    EXPECT_EQ(c->lines().size(), 3u);
}

TEST(FindNoCase, FindsAcrossLetterCase)
{
    EXPECT_EQ(text::FindNoCase("abc</pagermessage>", "</PagerMessage>"), 3u);
    EXPECT_EQ(text::FindNoCase("</PAGERMESSAGE>", "</PagerMessage>", 1), std::string::npos);
    EXPECT_EQ(text::FindNoCase("short", "</PagerMessage>"), std::string::npos);
}

}  // namespace
