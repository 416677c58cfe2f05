#include "SmtpHarness.h"

#include "platform/Text.h"
#include "smtp/SmtpSession.h"

using namespace smtpin;
using namespace smtpin::test;

namespace {

const std::string kPage =
    "<PagerMessage><PagerPin>1234</PagerPin><Message>Fire at gate 3</Message></PagerMessage>";

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

// One connection: what the client writes at once, the replies after the
// greeting, and whether the server then closes.
struct Dialogue {
    const char* name;
    std::string sent;
    std::vector<std::string> replies;
    bool closes = false;
    size_t mails = 0;
};

const std::string k221 = "221 VORN_SMTP_Server Service closing transmission channel";
const std::string k500 = "500 VORN_SMTP_Server Syntax error, command unrecognized";
const std::string k501 = "501 VORN_SMTP_Server Syntax error in parameters or arguments";

std::string repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const std::vector<Dialogue> kDialogues = {
    {"full mail, lines after the closing tag are still its data",
     "HELO x\r\nMAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\nSubject: page\r\n\r\n" + kPage +
         "\r\nafter the tag\r\nQUIT\r\n.\r\n",
     {"250 VORN_SMTP_Server", "250 OK", "250 OK", "354 OK", "250 OK"}, false, 1},
    {"every command of the table",
     "helo relay.example\r\nrcpt to:<ops@site>\r\nRCPT <b>\r\nNOOP\r\nRSET\r\nvrfy root\r\nMAIL FROM:<a>\r\n"
     "MAIL\r\nQUIT\r\n",
     {"250 VORN_SMTP_Server", "250 OK", k501, "250 OK", "250 OK", "252 VORN_SMTP_Server Cannot VRFY user", "250 OK",
      "250 OK", k221},
     true},
    {"lines that are no command get 500, whole words only",
     "\r\nHI\r\nHELLO\r\nDATAX\r\nMAILX FROM:<a>\r\nDEND\r\nQUIT \r\n",
     {k500, k500, k500, k500, k500, k500, k221}, true},
    {"SMTP words not carried out get 502",
     "HELP\r\nexpn list\r\nTURN\r\nETRN x\r\nBDAT 10 LAST\r\nAUTH PLAIN\r\nSTARTTLS\r\n",
     {"502 VORN_SMTP_Server [HELP] Command not implemented", "502 VORN_SMTP_Server [EXPN] Command not implemented",
      "502 VORN_SMTP_Server [TURN] Command not implemented", "502 VORN_SMTP_Server [ETRN] Command not implemented",
      "502 VORN_SMTP_Server [BDAT] Command not implemented", "502 VORN_SMTP_Server [AUTH] Command not implemented",
      "502 VORN_SMTP_Server [STARTTLS] Command not implemented"}},
    {"no command is read between the early end and the terminator",
     "DATA\r\n" + kPage + "\r\nQUIT\r\nquit\r\nRSET\r\nMAIL FROM:<x>\r\nDATA\r\n" + kPage + "\r\n.\r\nNOOP\r\nQUIT\r\n",
     {"354 OK", "250 OK", "250 OK", k221}, true, 1},
    {"a QUIT after the early end without its terminator is data",
     "DATA\r\n" + kPage + "\r\nQUIT\r\n", {"354 OK", "250 OK"}, false, 1},
    {"two mails in one connection, and the session goes on",
     "DATA\r\n" + kPage + "\r\n.\r\nRSET\r\nDATA\r\nno page\r\n.\r\nNOOP\r\n",
     {"354 OK", "250 OK", "250 OK", "354 OK", "250 OK", "250 OK"}, false, 2},
    {"a client that ends its lines with a bare LF",
     "HELO x\nMAIL FROM:<a>\nRCPT TO:<b>\nDATA\n" + kPage + "\n.\nQUIT\n",
     {"250 VORN_SMTP_Server", "250 OK", "250 OK", "354 OK", "250 OK", k221}, true, 1},
    {"a bare CR is part of the line", "HELO a\rb\r\nNOOP\r\n", {"250 VORN_SMTP_Server", "250 OK"}},
    {"EHLO: the extensions, then enhanced codes; HELO: the plain replies again",
     "EHLO relay\r\nMAIL FROM:<a> SIZE=1048577\r\nMAIL FROM:<a> AUTH=<>\r\nMAIL FROM:<a> SIZE=x\r\n"
     "mail from:<a> size=1048576 body=8bitmime\r\nRCPT TO:<b>\r\nDATA\r\n" + kPage + "\r\n.\r\nVRFY x\r\nBOGUS\r\n"
     "HELP\r\nSTARTTLS\r\nHELO relay\r\nMAIL FROM:<a> BODY=7BIT\r\nQUIT\r\n",
     {"250-VORN_SMTP_Server", "250-PIPELINING", "250-SIZE 1048576", "250-8BITMIME", "250 ENHANCEDSTATUSCODES",
      "552 5.3.4 VORN_SMTP_Server Message size exceeds fixed maximum message size",
      "555 5.5.4 VORN_SMTP_Server MAIL FROM/RCPT TO parameters not recognized or not implemented",
      "501 5.5.4 VORN_SMTP_Server Syntax error in parameters or arguments", "250 2.1.0 OK", "250 2.1.5 OK", "354 OK",
      "250 2.0.0 OK", "252 2.0.0 VORN_SMTP_Server Cannot VRFY user",
      "500 5.5.2 VORN_SMTP_Server Syntax error, command unrecognized",
      "502 5.5.1 VORN_SMTP_Server [HELP] Command not implemented",
      "502 5.5.1 VORN_SMTP_Server [STARTTLS] Command not implemented", "250 VORN_SMTP_Server", "250 OK", k221},
     true, 1},
    {"SIZE as RFC 1870 writes it, up to 20 digits",
     "EHLO relay\r\nMAIL FROM:<a> SIZE=00000000000000000001\r\nMAIL FROM:<a> SIZE=99999999999999999999\r\n",
     {"250-VORN_SMTP_Server", "250-PIPELINING", "250-SIZE 1048576", "250-8BITMIME", "250 ENHANCEDSTATUSCODES",
      "250 2.1.0 OK", "552 5.3.4 VORN_SMTP_Server Message size exceeds fixed maximum message size"}},
    {"too many errors end the session", repeat("BOGUS\r\n", 19) + "RCPT x\r\nNOOP\r\n",
     [] {
         std::vector<std::string> r(19, k500);
         r.push_back(k501);
         r.push_back("421 VORN_SMTP_Server Too many errors");
         return r;
     }(),
     true},
};

TEST_F(SessionTest, Dialogues)
{
    size_t mails = 0;
    for (const Dialogue& d : kDialogues) {
        SCOPED_TRACE(d.name);
        auto c = h.connectGreeted();
        const auto lines = converse(*c, d.sent, d.replies.size() + 1);
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), d.replies);
        EXPECT_EQ(c->disconnected(), d.closes);
        EXPECT_EQ(h.parser.mails.size(), mails += d.mails);
    }
}

TEST_F(SessionTest, LogLinesAndCaptions)
{
    auto c = h.connectGreeted();
    converse(*c, "ehlo relay.example\r\nrcpt to:<ops@site>\r\nMAIL FROM:<a>\r\nMAIL\r\nHELP\r\nXYZZY\r\n", 7);
    EXPECT_TRUE(h.loggedContaining("]CMD:  EHLO relay.example"));
    EXPECT_TRUE(h.loggedContaining("]CMD:  RCPT TO: <ops@site>"));
    EXPECT_TRUE(h.loggedContaining("]CMD:  MAIL FROM:<a>"));
    // A bare word has no argument: never the one of the command before.
    const auto log = h.smtpLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& s) { return s.ends_with("CMD:  MAIL "); }));
    EXPECT_TRUE(h.logged("502 VORN_SMTP_Server [HELP] Command not implemented"));
    EXPECT_TRUE(h.logged(k500));
    EXPECT_EQ(h.form.lbPETTicker.caption(), "Command: UNKNOWN Reply: 500 BAD");

    // Lines after the early end are counted, not logged one by one.
    converse(*c, "DATA\r\n" + kPage + "\r\nsignature line\r\nQUIT\r\n.\r\nQUIT\r\n", 10);
    EXPECT_FALSE(h.loggedContaining("signature line"));
    EXPECT_TRUE(h.logged("soc[1] SMTP: 22 bytes after the end of the page discarded"));
    EXPECT_TRUE(h.loggedContaining("]CMD:  QUIT:"));
    EXPECT_EQ(h.form.lbPETTicker.caption(), "Command: QUIT Reply: OK");
}

TEST_F(SessionTest, CommandSplitOverArrivalsIsHandledOnce)
{
    auto c = h.connectGreeted();
    c->send("HE");
    h.settle(60);
    c->send("LO x\r");
    h.settle(60);
    c->send("\n");
    ASSERT_TRUE(h.waitLines(*c, 2));
    h.settle();
    EXPECT_EQ(c->lines().size(), 2u);
    EXPECT_EQ(c->lines()[1], "250 VORN_SMTP_Server");
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
            EXPECT_EQ(converse(*c, "NOOP\r\n", 4).back(), "250 OK");
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

TEST_F(SessionTest, RefusalsOfTheMailAreReplied)
{
    const std::pair<PageOutcome, std::string> cases[] = {
        {PageOutcome::NoPagerNumber, "554 VORN_SMTP_Server No pager number, message not processed"},
        {PageOutcome::BadField, "554 VORN_SMTP_Server Markup in a field, message not processed"},
        {PageOutcome::QueueFull, "451 VORN_SMTP_Server Queue full, try again later"},
        {PageOutcome::CannotStore, "451 VORN_SMTP_Server Cannot store the page, try again later"},
        {PageOutcome::LinkBusy, "451 VORN_SMTP_Server Link buffer full, try again later"},
        {PageOutcome::TryLater, "451 VORN_SMTP_Server Pager number cannot be checked, try again later"},
        {PageOutcome::NoMessageId, "451 VORN_SMTP_Server No message number available, try again later"},
    };
    auto c = h.connectGreeted();
    size_t n = 1;
    for (const auto& [outcome, reply] : cases) {
        h.parser.outcome = outcome;
        n += 2;   // 354, then the reply
        EXPECT_EQ(converse(*c, "DATA\r\n" + kPage + "\r\n.\r\n", n).at(n - 1), reply);
    }
}

// A mail whose page waits for its commit: the replies before any commit,
// then after each commit in turn.
struct CommitDialogue {
    const char* name;
    std::string sent;
    PageOutcome outcome;
    std::vector<std::vector<std::string>> stages;
};

TEST_F(SessionTest, AMailWaitingForItsCommitHoldsTheLinesAfterIt)
{
    const std::string mail = "DATA\r\n" + kPage + "\r\n.\r\n";
    const std::string k252 = "252 VORN_SMTP_Server Cannot VRFY user";
    const CommitDialogue dialogues[] = {
        {"pipelined commands are answered after the mail's reply, in order",
         "HELO x\r\nMAIL FROM:<a>\r\nRCPT TO:<b>\r\n" + mail + "VRFY x\r\nNOOP\r\n", PageOutcome::Queued,
         {{"250 VORN_SMTP_Server", "250 OK", "250 OK", "354 OK"}, {"250 OK", k252, "250 OK"}}},
        {"the early end waits too, and what follows up to its dot stays data",
         "DATA\r\n" + kPage + "\r\nQUIT\r\n.\r\nVRFY x\r\n", PageOutcome::Queued,
         {{"354 OK"}, {"250 OK", k252}}},
        {"a commit that failed answers 451 and the session goes on", mail + "NOOP\r\n", PageOutcome::CannotStore,
         {{"354 OK"}, {"451 VORN_SMTP_Server Cannot store the page, try again later", "250 OK"}}},
        {"a second mail in the same write waits for a commit of its own", mail + mail + "NOOP\r\n",
         PageOutcome::Queued, {{"354 OK"}, {"250 OK", "354 OK"}, {"250 OK", "250 OK"}}},
    };
    h.parser.deferred = true;
    for (const CommitDialogue& d : dialogues) {
        SCOPED_TRACE(d.name);
        h.parser.outcome = d.outcome;
        auto c = h.connectGreeted();
        c->send(d.sent);
        std::vector<std::string> expected{c->lines().front()};
        for (size_t stage = 0; stage < d.stages.size(); ++stage) {
            if (stage > 0)
                h.parser.commit();
            expected.insert(expected.end(), d.stages[stage].begin(), d.stages[stage].end());
            EXPECT_TRUE(h.waitLines(*c, expected.size()));
            h.settle();
            EXPECT_EQ(c->lines(), expected) << "after commit " << stage;
        }
        EXPECT_TRUE(h.parser.waiting.empty());
    }
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
    EXPECT_EQ(rec.Phase, SessionPhase::Command);
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
