#include "smtp/PagerMessageExtraction.h"

#include "../../integration/db/CatalogueHarness.h"
#include "smtp/Base64.h"
#include "smtp/CodePage.h"
#include "smtp/FieldText.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <string>
#include <vector>

using namespace smtpin;
using namespace smtpin::test;

namespace {

using X = PagerMessageExtraction;

TEST(GetTagValue, FirstStartTagWithAnEndAfterItWins)
{
    EXPECT_EQ(X::GetTagValue("<A>x</A><A>y</A>", "A"), "x");
    // An end tag before any start tag does not count.
    EXPECT_EQ(X::GetTagValue("</A>junk<A>z</A>", "A"), "z");
    // The first start tag is kept even with another one before the end.
    EXPECT_EQ(X::GetTagValue("<A>one<A>two</A>", "A"), "one<A>two");
    EXPECT_EQ(X::GetTagValue("<A>open only", "A"), "NULL");
    EXPECT_EQ(X::GetTagValue("no tags at all", "A"), "NULL");
    // The value is taken as it stands.
    EXPECT_EQ(X::GetTagValue("<A> a&amp;\r </A>", "A"), " a&amp;\r ");
}

TEST(GetTagValue, NamesMatchExactly)
{
    const std::string c = "<MessageHash>h1</MessageHash><Message>text</Message>";
    EXPECT_EQ(X::GetTagValue(c, "Message"), "text");
    EXPECT_EQ(X::GetTagValue(c, "MessageHash"), "h1");
    EXPECT_EQ(X::GetTagValue("<Message>a</MessageHash>b</Message>", "Message"), "a</MessageHash>b");
    EXPECT_EQ(X::GetTagValue("<pagerpin>1</pagerpin><PAGERPIN>2</PAGERPIN>", "PagerPin"), "NULL");
    EXPECT_EQ(X::GetTagValue("<PagerPin>1</pagerpin>", "PagerPin"), "NULL");
}

TEST(GetTagValue, EmptyElementIsNull)
{
    EXPECT_EQ(X::GetTagValue("<PagerPin></PagerPin>", "PagerPin"), "NULL");
    EXPECT_EQ(X::GetTagValue("<PagerPin></PagerPin><PagerPin>5</PagerPin>", "PagerPin"), "NULL");
}

TEST(GetTagValue, FoundAmongMimeHeaders)
{
    const std::string mail =
        "Received: from cad\rContent-Type: text/xml\r\r--b1\r<?xml version=\"1.0\"?>\r"
        "<PagerMessage><IsDispatchMessage>True</IsDispatchMessage>\r<PagerPin>0412</PagerPin>"
        "</PagerMessage>\r--b1--\r";
    EXPECT_EQ(X::GetTagValue(mail, "PagerPin"), "0412");
    EXPECT_EQ(X::GetTagValue(mail, "IsDispatchMessage"), "True");
}

TEST(GetTagValue, MailOfManyUnendedStartTagsStaysFast)
{
    std::string c;
    while (c.size() < 1024 * 1024)
        c += "<PagerPin>";
    EXPECT_EQ(X::GetTagValue(c, "PagerPin"), "NULL");
    c += "</PagerPin>";
    EXPECT_EQ(X::GetTagValue(c, "PagerPin").size(), c.size() - 10 - 11);
}

TEST(DecodeEntities, DecodesEachEntityOnce)
{
    auto decoded = [](const std::string& s) { return DecodeEntities(s); };
    EXPECT_EQ(decoded("a &lt; b &amp;&amp; c"), "a < b && c");
    EXPECT_EQ(decoded("&amp;quot;"), "&quot;");
    EXPECT_EQ(decoded("&amp;lt;"), "&lt;");
    EXPECT_EQ(decoded("&lt;&gt;&amp;&apos;&quot;"), "<>&'\"");
    // Named ones exactly; numeric ones in decimal and hex, as UTF-8.
    EXPECT_EQ(decoded("&LT; &#60; &Amp;"), "&LT; < &Amp;");
    EXPECT_EQ(decoded("caf&#233; caf&#xE9; &#X20AC;"), "caf\xC3\xA9 caf\xC3\xA9 \xE2\x82\xAC");
    // No character, or no reference at all: left as written.
    EXPECT_EQ(decoded("&#0; &#xD800; &#1114112; &#; &#x; &#12a; &#233"), "&#0; &#xD800; &#1114112; &#; &#x; &#12a; &#233");
    // Entities cut short by the end of the text stay.
    EXPECT_EQ(decoded("x&lt"), "x&lt");
    EXPECT_EQ(decoded("&quot"), "&quot");
    EXPECT_EQ(decoded("a&"), "a&");
    EXPECT_EQ(decoded("&"), "&");
    EXPECT_EQ(decoded(""), "");
}

TEST(DecodeEntities, MegabyteOfEntities)
{
    std::string s;
    while (s.size() < 1024 * 1024)
        s += "&lt;";
    EXPECT_EQ(DecodeEntities(s), std::string(256 * 1024, '<'));
}

TEST(CleanFieldValue, TrimsUnwrapsAndRefusesMarkup)
{
    EXPECT_EQ(CleanFieldValue("\r\n    5302\r\n  "), "5302");
    EXPECT_EQ(CleanFieldValue(" \t "), "");
    EXPECT_EQ(CleanFieldValue("<![CDATA[Fire & smoke <3rd floor>]]>"), "Fire & smoke <3rd floor>");
    // Entities outside a CDATA section only.
    EXPECT_EQ(CleanFieldValue("a&amp;<![CDATA[&amp;]]>b"), "a&&amp;b");
    // Lines of a message keep one CR between them.
    EXPECT_EQ(CleanFieldValue("line 1\r\nline 2\nline 3"), "line 1\rline 2\rline 3");
    EXPECT_EQ(CleanFieldValue("<PagerPin>118"), std::nullopt);
    // A "<" that starts no tag is text.
    EXPECT_EQ(CleanFieldValue("Temp < 5, 3<4 <"), "Temp < 5, 3<4 <");
    EXPECT_EQ(CleanFieldValue("<!-- note -->"), std::nullopt);
    EXPECT_EQ(CleanFieldValue("a <b>bold</b>"), std::nullopt);
    EXPECT_EQ(CleanFieldValue("<![CDATA[never closed"), std::nullopt);
}

TEST(CodePage, ConvertsToTheSwitchsCodePageWithReplacement)
{
    const CodePage cp1252;
    const Converted out = cp1252.FromUtf8("caf\xC3\xA9 \xE2\x82\xAC \xC5\x81\xC3\xB3" "d\xC5\xBA \xF0\x9F\x94\xA5!");
    EXPECT_EQ(out.text, "caf\xE9 \x80 ?\xF3" "d? ?!");
    EXPECT_EQ(out.replaced, 3);
    EXPECT_EQ(CodePage("iso-8859-15").FromUtf8("\xE2\x82\xAC").text, "\xA4");
    // Bytes the code page does not define come back as "?".
    const Converted back = cp1252.ToUtf8("\xE9\x81x");
    EXPECT_EQ(back.text, "\xC3\xA9?x");
    EXPECT_EQ(back.replaced, 1);
    EXPECT_EQ(CodePage::Decode("\xE9", "no-such-charset"), std::nullopt);
}

TEST(CodePage, OnlySingleByteAsciiCodePagesServeTheSwitch)
{
    EXPECT_EQ(CodePage::Check("windows-1252"), std::nullopt);
    EXPECT_EQ(CodePage::Check("ISO-8859-15"), std::nullopt);
    EXPECT_EQ(CodePage::Check("cp850"), std::nullopt);
    EXPECT_NE(CodePage::Check("UTF-8"), std::nullopt);
    EXPECT_NE(CodePage::Check("UTF-16"), std::nullopt);
    EXPECT_NE(CodePage::Check("no-such-charset"), std::nullopt);
    EXPECT_NE(CodePage::Check(""), std::nullopt);
}

struct Sent {
    std::string message, pin, hash;
    DateSerial requested;
    std::string machine, iface;
};

// Message creation as the extraction meets it: keeps each page and its
// completion, and answers as told.
struct RecordingSink final : PageSink {
    PageOutcome Submit(PageRequest& p, Done done) override
    {
        sent.push_back({p.message, p.pagerNumber, p.hash, p.requested, p.machine, p.interfaceAddress});
        later = std::move(done);
        return answer;
    }
    std::vector<Sent> sent;
    PageOutcome answer = PageOutcome::Queued;
    Done later;
};

class ExtractionTest : public CatalogueTest {
protected:
    void SetUp() override
    {
        c = openClient();
        x = std::make_unique<X>(clock, c->log, c->db, [] { return std::string("[7]"); }, sink);
    }

    // The mail as the session keeps it: every line ends with CR LF.
    static std::string mail(const std::string& inner)
    {
        return "From: cad@example.org\r\nSubject: page\r\n\r\n<?xml version=\"1.0\"?>\r\n<PagerMessage>\r\n" +
               inner + "</PagerMessage>\r\n";
    }

    static std::string el(const std::string& name, const std::string& value)
    {
        return "<" + name + ">" + value + "</" + name + ">\r\n";
    }

    PageOutcome parse(const std::string& body)
    {
        SMTPSocketType rec;
        rec.Body = body;
        return x->ParsePagerMessage(1, rec, [this](PageOutcome o) { finally.push_back(o); });
    }

    // SMTP log texts written since the last call.
    std::vector<std::string> newLines()
    {
        const std::string& all = c->log.SMTPLogPending();
        std::vector<std::string> out;
        for (size_t k; (k = all.find("\r\n", seen_)) != std::string::npos; seen_ = k + 2) {
            const std::string line = all.substr(seen_, k - seen_);
            out.push_back(line.substr(line.find('\t') + 1));
        }
        return out;
    }

    std::unique_ptr<CatalogueClient> c;
    RecordingSink sink;
    std::unique_ptr<X> x;
    std::vector<Sent>& sent = sink.sent;
    PageOutcome& answer = sink.answer;
    X::Done& later = sink.later;   // message creation's answer after the commit

    // The dispatch flag the last mail was read with, as its log line tells it.
    bool dispatchFlag() const
    {
        const std::string& all = c->log.SMTPLogPending();
        const std::string flag = "XML: Dispatch flag is ";
        const size_t at = all.rfind(flag);
        return at != std::string::npos && all.compare(at + flag.size(), 4, "True") == 0;
    }
    std::vector<PageOutcome> finally;   // what the session was told after it

private:
    size_t seen_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Catalogue, ExtractionTest, ::testing::Values(Backend::SQLite), backendName);

TEST_P(ExtractionTest, DispatchMailWithAllSevenElements)
{
    // A siren row for the number proves that dispatch mails skip the lookup.
    exec("INSERT INTO HXSSirenSites (PAGER_ID, MESS_ID) VALUES ('0412345678', '0499')");
    const PageOutcome outcome = parse(mail(el("IsDispatchMessage", "True") + el("PagerPin", "0412345678") +
                                           el("MessageHash", "ABC123") +
                                           el("Message", "Fire &amp; smoke at &lt;Site 4&gt;") +
                                           el("TimeRequested", "15/01/2026 09:30:00") + el("MachineName", "CAD01") +
                                           el("InterfaceAddress", "10.0.0.5")));
    EXPECT_EQ(outcome, PageOutcome::Queued);
    const std::vector<std::string> expected = {
        "\tXML: Dispatch flag is True",
        "\tXML:  Pager Number:      \t0412345678",
        "\tXML:  Message Hash:      \tABC123",
        "\tXML:  Pager Message:      \tFire & smoke at <Site 4>",
        "\tXML:  Time Requsted:      \t15/01/2026 09:30:00",
        "\tXML:  Client Machine:      \tCAD01",
        "\tXML:  Interface Address:      \t10.0.0.5",
        "[7]\tXML: Mail Processed OK",
    };
    EXPECT_EQ(newLines(), expected);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].message, "Fire & smoke at <Site 4>");
    EXPECT_EQ(sent[0].pin, "0412345678");
    EXPECT_EQ(sent[0].hash, "ABC123");
    EXPECT_EQ(sent[0].requested, DateSerial::fromParts(2026, 1, 15, 9, 30, 0));
    EXPECT_EQ(sent[0].machine, "CAD01");
    EXPECT_EQ(sent[0].iface, "10.0.0.5");
    EXPECT_TRUE(dispatchFlag());
}

TEST_P(ExtractionTest, SirenTableSwapsTheNumberOfOtherMails)
{
    exec("INSERT INTO HXSSirenSites (PAGER_ID, MESS_ID) VALUES ('04''12', '0499000111')");
    EXPECT_EQ(parse(mail(el("PagerPin", "04'12") + el("IsDispatchMessage", "False") + el("Message", "m"))),
              PageOutcome::Queued);
    const auto lines = newLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "\tXML: Dispatch flag is False");
    EXPECT_EQ(lines[1], "\tXML: Siren table match: Pager number swapped to 0499000111");
    EXPECT_EQ(lines[2], "\tXML:  Pager Number:      \t0499000111");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "0499000111");

    // Pasted into the statement this number would match every row.
    const std::string sly = "9')OR('1'='1";
    EXPECT_EQ(parse(mail(el("PagerPin", sly) + el("IsDispatchMessage", "0"))), PageOutcome::Queued);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].pin, sly);
    EXPECT_EQ(countContaining(newLines(), "swapped"), 0);
}

// The number may be a siren's: without the table it is not paged at all,
// and the sender tries again later. A dispatch mail needs no lookup.
TEST_P(ExtractionTest, AnUnreadableSirenTablePagesNobody)
{
    exec("DROP TABLE HXSSirenSites");
    EXPECT_EQ(parse(mail(el("PagerPin", "0412") + el("IsDispatchMessage", "False"))), PageOutcome::TryLater);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(countContaining(c->drain(), " CFT: Unable to access siren sites database error is "), 1);
    EXPECT_EQ(countContaining(newLines(), "XML: Siren table cannot be read, message not processed"), 1);
    EXPECT_EQ(parse(mail(el("PagerPin", "0412") + el("IsDispatchMessage", "True"))), PageOutcome::Queued);
}

TEST_P(ExtractionTest, MailWithoutPagerNumberIsRejected)
{
    for (const std::string& pin :
         {std::string(), el("PagerPin", ""), el("PagerPin", " \r\n\t "), std::string("<PagerPin>0412\r\n")}) {
        SCOPED_TRACE(pin);
        EXPECT_EQ(parse(mail(pin + el("Message", "m") + el("IsDispatchMessage", "True"))),
                  PageOutcome::NoPagerNumber);
        const auto lines = newLines();
        ASSERT_EQ(lines.size(), 8u);
        EXPECT_EQ(lines[1], "\tXML:  Pager Number:      \tNULL");
        EXPECT_EQ(lines[7], "[7]\tXML:  Bad Pager Number message not processed");
    }
    EXPECT_TRUE(sent.empty());
}

TEST_P(ExtractionTest, ARefusedSendSaysWhyTheMailWasNotTaken)
{
    const std::string page = mail(el("PagerPin", "0412") + el("IsDispatchMessage", "True"));
    answer = PageOutcome::QueueFull;
    EXPECT_EQ(parse(page), PageOutcome::QueueFull);
    EXPECT_EQ(newLines().back(), "[7]\tXML: Queue full, message not processed");
    answer = PageOutcome::LinkBusy;
    EXPECT_EQ(parse(page), PageOutcome::LinkBusy);
    const auto lines = newLines();
    EXPECT_EQ(lines.back(), "[7]\tXML: Link buffer full, message not processed");
    EXPECT_EQ(countContaining(lines, "Mail Processed OK"), 0);
    EXPECT_EQ(sent.size(), 2u);
}

// A page waiting for its commit is told about when the commit is done, in
// the words it would have had at once.
TEST_P(ExtractionTest, APageWaitingForItsCommitIsToldWhenItIsDone)
{
    const std::string page = mail(el("PagerPin", "0412") + el("IsDispatchMessage", "True"));
    answer = PageOutcome::Pending;
    EXPECT_EQ(parse(page), PageOutcome::Pending);
    EXPECT_EQ(countContaining(newLines(), "Mail Processed OK"), 0);
    EXPECT_TRUE(finally.empty());
    later(PageOutcome::Queued);
    EXPECT_EQ(newLines().back(), "[7]\tXML: Mail Processed OK");
    ASSERT_EQ(parse(page), PageOutcome::Pending);
    later(PageOutcome::CannotStore);
    EXPECT_EQ(newLines().back(), "[7]\tXML: Page not stored, message not processed");
    EXPECT_EQ(finally, (std::vector<PageOutcome>{PageOutcome::Queued, PageOutcome::CannotStore}));
}

TEST_P(ExtractionTest, SeparatorAndControlCharactersBecomeBlanks)
{
    exec("INSERT INTO HXSSirenSites (PAGER_ID, MESS_ID) VALUES ('0413', '05|99')");
    const std::string message = std::string("a|b\x01") + '\0' + "c\rd";
    EXPECT_EQ(parse(mail(el("PagerPin", "0412") + el("MessageHash", "h\x01x") + el("Message", message) +
                         el("MachineName", std::string("M") + '\0') + el("InterfaceAddress", "10.0.0.5\r\n ") +
                         el("IsDispatchMessage", "True"))),
              PageOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "0412");
    EXPECT_EQ(sent[0].hash, "h x");
    EXPECT_EQ(sent[0].message, "a b  c\rd");
    EXPECT_EQ(sent[0].machine, "M ");
    EXPECT_EQ(sent[0].iface, "10.0.0.5");
    const auto lines = newLines();
    for (const char* field : {"MessageHash", "Message", "MachineName"})
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             std::string("[7]\tXML: Replaced separator or control characters in ") + field),
                  1)
            << field;
    EXPECT_EQ(countContaining(lines, "characters in InterfaceAddress"), 0);
    EXPECT_EQ(countContaining(lines, "characters in PagerPin"), 0);

    // A number from the siren table is cleaned as well.
    EXPECT_EQ(parse(mail(el("PagerPin", "0413") + el("IsDispatchMessage", "False"))), PageOutcome::Queued);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].pin, "05 99");
}

TEST_P(ExtractionTest, LongFieldsAreCut)
{
    const std::string longText(300, '7');
    const std::string exact(255, '8');
    EXPECT_EQ(parse(mail(el("PagerPin", longText) + el("MessageHash", exact) + el("MachineName", longText) +
                         el("InterfaceAddress", longText) + el("Message", longText) +
                         el("IsDispatchMessage", "True"))),
              PageOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, longText.substr(0, 255));
    EXPECT_EQ(sent[0].hash, exact);
    EXPECT_EQ(sent[0].machine.size(), 255u);
    EXPECT_EQ(sent[0].iface.size(), 255u);
    // Message creation cuts the text itself.
    EXPECT_EQ(sent[0].message, longText);
}

TEST_P(ExtractionTest, MissingElementsAndUnreadableValues)
{
    EXPECT_EQ(parse(mail(el("PagerPin", "0412"))), PageOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].message, "");
    EXPECT_EQ(sent[0].hash, "NULL");
    EXPECT_EQ(sent[0].machine, "NULL");
    EXPECT_EQ(sent[0].iface, "NULL");
    EXPECT_EQ(sent[0].requested, clock.now());
    EXPECT_FALSE(dispatchFlag());

    clock.advanceSeconds(30);
    parse(mail(el("PagerPin", "0412") + el("TimeRequested", "soon") + el("IsDispatchMessage", "maybe")));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].requested, clock.now());
    EXPECT_FALSE(dispatchFlag());

    for (const auto& [flag, dispatch] : std::vector<std::pair<std::string, bool>>{
             {"TRUE", true}, {" false ", false}, {"1", true}, {"-1", true}, {"0", false}, {"2.5", true}, {"", false}}) {
        parse(mail(el("PagerPin", "0412") + el("IsDispatchMessage", flag)));
        EXPECT_EQ(dispatchFlag(), dispatch) << "'" << flag << "'";
    }
}

TEST_P(ExtractionTest, NothingCarriesOverToTheNextMail)
{
    parse(mail(el("PagerPin", "0412") + el("TimeRequested", "01/01/2025 10:00:00") +
               el("IsDispatchMessage", "True")));
    newLines();
    clock.advanceSeconds(60);
    parse(mail(el("PagerPin", "0413")));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].requested, DateSerial::fromParts(2025, 1, 1, 10, 0, 0));
    EXPECT_EQ(sent[1].requested, clock.now());
    EXPECT_FALSE(dispatchFlag());
    EXPECT_EQ(newLines().front(), "\tXML: Dispatch flag is False");
}

}  // namespace

// Mails as senders' libraries write them, read by the MIME parser.
class MimeExtractionTest : public ExtractionTest {
protected:
    static std::string page(const std::string& pin, const std::string& message)
    {
        return "<PagerMessage><PagerPin>" + pin + "</PagerPin><Message>" + message +
               "</Message><IsDispatchMessage>True</IsDispatchMessage></PagerMessage>\r\n";
    }

    static std::string textPart(const std::string& charset, const std::string& encoding, const std::string& body)
    {
        return "Content-Type: text/plain; charset=\"" + charset + "\"\r\nContent-Transfer-Encoding: " + encoding +
               "\r\n\r\n" + body;
    }

    static std::string top(const std::string& part) { return "From: cad@example.org\r\nMIME-Version: 1.0\r\n" + part; }

    static std::string base64(const std::string& text)
    {
        const std::string all = QByteArray::fromStdString(text).toBase64().toStdString();
        std::string lines;
        for (size_t at = 0; at < all.size(); at += 76)
            lines += all.substr(at, 76) + "\r\n";
        return lines;
    }

    std::string sentText(const std::string& body)
    {
        const size_t before = sent.size();
        EXPECT_EQ(parse(body), PageOutcome::Queued);
        return sent.size() == before + 1 ? sent.back().message : std::string("<nothing sent>");
    }
};

INSTANTIATE_TEST_SUITE_P(Catalogue, MimeExtractionTest, ::testing::Values(Backend::SQLite), backendName);

TEST_P(MimeExtractionTest, TransferEncodingsAndCharsetsReachTheSwitchInItsCodePage)
{
    // Every "=XX" decoded, soft breaks joined.
    EXPECT_EQ(sentText(top(textPart("utf-8", "quoted-printable",
                                    page("5302", "caf=C3=A9 a=3Db 100% sure =3D=\r\n yes")))),
              "caf\xE9 a=b 100% sure = yes");
    EXPECT_EQ(sentText(top(textPart("iso-8859-1", "8bit", page("5302", "Stra\xDF" "e")))), "Stra\xDF" "e");
    EXPECT_EQ(sentText(top(textPart("utf-8", "8bit", page("5302", "Stra\xC3\x9F" "e")))), "Stra\xDF" "e");
    // Header names and values in any letter case.
    EXPECT_EQ(sentText("mime-version: 1.0\r\ncontent-type: TEXT/PLAIN; CHARSET=UTF-8\r\n"
                       "content-transfer-encoding: BASE64\r\n\r\n" + base64(page("5302", "\xC3\x89tage 3"))),
              "\xC9tage 3");
    // No MIME headers: the bytes are the code page's, as they always were.
    EXPECT_EQ(sentText("Subject: page\r\n\r\n" + page("5302", "d\xE9j\xE0")), "d\xE9j\xE0");
    EXPECT_EQ(sentText(page("5302", "no headers at all")), "no headers at all");
    EXPECT_EQ(countContaining(newLines(), "not in windows-1252"), 0);
}

// Text without a charset label: UTF-8 when its 8-bit bytes are, as mail
// clients read it; otherwise the code page's bytes, as they always were.
TEST_P(MimeExtractionTest, UnlabeledTextIsUtf8WhenItsBytesAre)
{
    struct Case {
        std::string mail, page;
    };
    const std::string eglise = page("5302", "Feu rue de l'\xC3\x89glise");
    const Case cases[] = {
        {"Subject: page\r\n\r\n" + eglise, "Feu rue de l'\xC9glise"},
        {top("Content-Type: text/plain\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + eglise), "Feu rue de l'\xC9glise"},
        {top(textPart("us-ascii", "8bit", eglise)), "Feu rue de l'\xC9glise"},
        {top(textPart("us-ascii", "base64", base64(eglise))), "Feu rue de l'\xC9glise"},
        // windows-1252 bytes are no UTF-8: read as the code page.
        {"Subject: page\r\n\r\n" + page("5302", "Caf\xE9 cr\xE8me \x80 5"), "Caf\xE9 cr\xE8me \x80 5"},
        {top(textPart("us-ascii", "8bit", page("5302", "l'\xC9glise"))), "l'\xC9glise"},
        // One stray byte makes the whole part the code page's.
        {"Subject: page\r\n\r\n" + page("5302", "\xC3\xA9 and \xE9"), "\xC3\xA9 and \xE9"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sentText(c.mail), c.page) << testing::PrintToString(c.mail);
    EXPECT_EQ(countContaining(newLines(), "XML: No charset declared; the 8-bit text is UTF-8 and read so"), 4);
}

TEST_P(MimeExtractionTest, ThePartHoldingThePageIsFoundWhereverItStands)
{
    const std::string logo = "Content-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                             base64(std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300, '\x01'));
    const std::string html = "Content-Type: text/html; charset=utf-8\r\n\r\n<p>&lt;PagerMessage&gt; see the text</p>\r\n";
    const std::string text = textPart("utf-8", "quoted-printable", page("5302", "Feu =C3=A0 l'=C3=A9tage"));
    const std::string nested = "Content-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n--inner\r\n" + html +
                               "--inner\r\n" + text + "--inner--\r\n";
    const std::string mail = top("Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n--outer\r\n" + logo +
                                 "--outer\r\n" + nested + "--outer--\r\n");
    EXPECT_EQ(sentText(mail), "Feu \xE0 l'\xE9tage");

    // A mail that ended early at the closing tag lacks its last boundaries.
    EXPECT_EQ(sentText(mail.substr(0, mail.find("--inner--"))), "Feu \xE0 l'\xE9tage");
}

TEST_P(MimeExtractionTest, WhatTheCodePageLacksIsReplacedAndCounted)
{
    EXPECT_EQ(sentText(top(textPart("utf-8", "8bit", page("5302", "\xC5\x81\xC3\xB3" "d\xC5\xBA \xE2\x80\x93 &#x1F525;")))),
              "?\xF3" "d? \x96 ?");
    EXPECT_EQ(countContaining(newLines(), "\tXML:  3 characters not in windows-1252 sent as ?"), 1);

    // A charset no one knows is read as the code page, and said so.
    EXPECT_EQ(sentText(top(textPart("x-unheard-of", "8bit", page("5302", "\xE9t\xE9")))), "\xE9t\xE9");
    EXPECT_EQ(countContaining(newLines(), "XML: Unknown charset x-unheard-of, text read as windows-1252"), 1);
    // Bytes that are not UTF-8 in a mail that says it is.
    EXPECT_EQ(sentText(top(textPart("utf-8", "8bit", page("5302", "caf\xE9")))), "caf?");
    EXPECT_EQ(countContaining(newLines(), "XML: 1 bytes not readable as utf-8, read as ?"), 1);

    x->SetSwitchCodePage(CodePage("iso-8859-15"));
    EXPECT_EQ(sentText(top(textPart("utf-8", "quoted-printable", page("5302", "5 =E2=82=AC")))), "5 \xA4");
}

// Only real tags of the page's own element count: not text in a CDATA
// section or a comment, nor anything outside the PagerMessage.
TEST_P(MimeExtractionTest, TagsInsideCDataCommentsOrOtherTextAreNotFields)
{
    const std::string mail = "Subject: x\r\n\r\nQuoted: <PagerPin>111</PagerPin>\r\n"
                             "<PagerMessage><Message><![CDATA[call <PagerPin>999</PagerPin> </Message>]]></Message>"
                             "<!-- <PagerPin>888</PagerPin> --><PagerPin>5302</PagerPin>"
                             "<IsDispatchMessage>True</IsDispatchMessage></PagerMessage>\r\n";
    EXPECT_EQ(parse(mail), PageOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "5302");
    EXPECT_EQ(sent[0].message, "call <PagerPin>999</PagerPin> </Message>");
}

TEST_P(MimeExtractionTest, FieldsAreCleanOrTheMailIsRefused)
{
    const std::string pretty = "<PagerMessage>\r\n  <PagerPin>\r\n    5302\r\n  </PagerPin>\r\n"
                               "  <Message>\r\n    Fire at gate 3\r\n  </Message>\r\n"
                               "  <IsDispatchMessage> True </IsDispatchMessage>\r\n</PagerMessage>\r\n";
    EXPECT_EQ(parse(pretty), PageOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "5302");
    EXPECT_EQ(sent[0].message, "Fire at gate 3");
    EXPECT_EQ(sentText(page("5302", "caf&#233; caf&#xE9; <![CDATA[Fire & smoke <3rd floor>]]>")),
              "caf\xE9 caf\xE9 Fire & smoke <3rd floor>");
    newLines();

    EXPECT_EQ(parse(page("<PagerPin>118", "m")), PageOutcome::BadField);
    EXPECT_EQ(newLines().back(), "[7]\tXML: Markup in field PagerPin, message not processed");
    EXPECT_EQ(parse(page("118", "a <b>bold</b> page")), PageOutcome::BadField);
    EXPECT_EQ(newLines().back(), "[7]\tXML: Markup in field Message, message not processed");
    // A separator would be a blank once cleaned; a character beyond ASCII
    // (a no-break space) would be changed by the code page: no pager number
    // holds any of them.
    for (const std::string pin : {"53 02", "53\t02", "53|02", "53\x01" "02", "5302\xC2\xA0", "53\xC3\xA9"}) {
        EXPECT_EQ(parse(page(pin, "m")), PageOutcome::NoPagerNumber) << pin;
        EXPECT_EQ(newLines().back(), "[7]\tXML: Blank, separator, control or non-ASCII character inside field "
                                     "PagerPin, message not processed");
    }
    EXPECT_EQ(sent.size(), 2u);
}

// Nesting no sender writes is read within bounds: the plain text still
// holds the page.
TEST_P(MimeExtractionTest, DeeplyNestedMailsAreReadWithinBounds)
{
    for (const int depth : {150, 20000}) {
        std::string mail = "MIME-Version: 1.0\r\n";
        for (int i = 0; i < depth; ++i)
            mail += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
                    std::to_string(i) + "\r\n";
        mail += "Content-Type: text/plain\r\n\r\n" + page("5302", "deep");
        EXPECT_EQ(sentText(mail), "deep") << depth;
        // Mails attached inside mails.
        std::string attached = "MIME-Version: 1.0\r\n";
        for (int i = 0; i < depth; ++i)
            attached += "Content-Type: message/rfc822\r\n\r\nMIME-Version: 1.0\r\n";
        attached += "Content-Type: text/plain\r\n\r\n" + page("5302", "attached");
        EXPECT_EQ(sentText(attached), "attached") << depth;
    }
}
