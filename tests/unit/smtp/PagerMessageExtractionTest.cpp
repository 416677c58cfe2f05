#include "smtp/PagerMessageExtraction.h"

#include "../../integration/db/CatalogueHarness.h"
#include "smtp/Base64.h"

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

TEST(DecodeXmlEntities, DecodesEachEntityOnce)
{
    auto decoded = [](std::string s) {
        X::DecodeXmlEntities(s);
        return s;
    };
    EXPECT_EQ(decoded("a &lt; b &amp;&amp; c"), "a < b && c");
    EXPECT_EQ(decoded("&amp;quot;"), "&quot;");
    EXPECT_EQ(decoded("&amp;lt;"), "&lt;");
    EXPECT_EQ(decoded("&lt;&gt;&amp;&apos;&quot;"), "<>&'\"");
    // Exact, and no numeric references.
    EXPECT_EQ(decoded("&LT; &#60; &Amp;"), "&LT; &#60; &Amp;");
    // Entities cut short by the end of the text stay.
    EXPECT_EQ(decoded("x&lt"), "x&lt");
    EXPECT_EQ(decoded("&quot"), "&quot");
    EXPECT_EQ(decoded("a&"), "a&");
    EXPECT_EQ(decoded("&"), "&");
    EXPECT_EQ(decoded(""), "");
}

TEST(DecodeXmlEntities, MegabyteOfEntities)
{
    std::string s;
    while (s.size() < 1024 * 1024)
        s += "&lt;";
    X::DecodeXmlEntities(s);
    EXPECT_EQ(s, std::string(256 * 1024, '<'));
}

struct Sent {
    std::string message, pin, hash;
    DateSerial requested;
    std::string machine, iface;
};

class ExtractionTest : public CatalogueTest {
protected:
    void SetUp() override
    {
        c = openClient();
        x = std::make_unique<X>(
            clock, c->log, c->db, [] { return std::string("[7]"); },
            [this](std::string& m, const std::string& pin, const std::string& hash, DateSerial t,
                   const std::string& machine, const std::string& iface) {
                sent.push_back({m, pin, hash, t, machine, iface});
                return answer;
            });
    }

    // The mail as the session keeps it: every line ends with CR.
    static std::string mail(const std::string& inner)
    {
        return "From: cad@example.org\rSubject: page\r\r<?xml version=\"1.0\"?>\r<PagerMessage>\r" + inner +
               "</PagerMessage>\r";
    }

    static std::string el(const std::string& name, const std::string& value)
    {
        return "<" + name + ">" + value + "</" + name + ">\r";
    }

    MailOutcome parse(const std::string& body)
    {
        SMTPSocketType rec;
        rec.Body = body;
        return x->ParsePagerMessage(1, rec);
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
    std::unique_ptr<X> x;
    std::vector<Sent> sent;
    MailOutcome answer = MailOutcome::Queued;

private:
    size_t seen_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Catalogue, ExtractionTest, ::testing::Values(Backend::SQLite), backendName);

TEST_P(ExtractionTest, DispatchMailWithAllSevenElements)
{
    // A siren row for the number proves that dispatch mails skip the lookup.
    exec("INSERT INTO HXSSirenSites (PAGER_ID, MESS_ID) VALUES ('0412345678', '0499')");
    const MailOutcome outcome = parse(mail(el("IsDispatchMessage", "True") + el("PagerPin", "0412345678") +
                                           el("MessageHash", "ABC123") +
                                           el("Message", "Fire &amp; smoke at &lt;Site 4&gt;") +
                                           el("TimeRequested", "15/01/2026 09:30:00") + el("MachineName", "CAD01") +
                                           el("InterfaceAddress", "10.0.0.5")));
    EXPECT_EQ(outcome, MailOutcome::Queued);
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
    EXPECT_TRUE(x->MailIsDispatch);
}

TEST_P(ExtractionTest, SirenTableSwapsTheNumberOfOtherMails)
{
    exec("INSERT INTO HXSSirenSites (PAGER_ID, MESS_ID) VALUES ('04''12', '0499000111')");
    EXPECT_EQ(parse(mail(el("PagerPin", "04'12") + el("IsDispatchMessage", "False") + el("Message", "m"))),
              MailOutcome::Queued);
    const auto lines = newLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "\tXML: Dispatch flag is False");
    EXPECT_EQ(lines[1], "\tXML: Siren table match: Pager number swapped to 0499000111");
    EXPECT_EQ(lines[2], "\tXML:  Pager Number:      \t0499000111");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "0499000111");

    // Pasted into the statement this number would match every row.
    const std::string sly = "9') OR ('1'='1";
    EXPECT_EQ(parse(mail(el("PagerPin", sly) + el("IsDispatchMessage", "0"))), MailOutcome::Queued);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].pin, sly);
    EXPECT_EQ(countContaining(newLines(), "swapped"), 0);
}

// The number may be a siren's: without the table it is not paged at all,
// and the sender tries again later. A dispatch mail needs no lookup.
TEST_P(ExtractionTest, AnUnreadableSirenTablePagesNobody)
{
    exec("DROP TABLE HXSSirenSites");
    EXPECT_EQ(parse(mail(el("PagerPin", "0412") + el("IsDispatchMessage", "False"))), MailOutcome::TryLater);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(countContaining(c->drain(), " CFT: Unable to access siren sites database error is "), 1);
    EXPECT_EQ(countContaining(newLines(), "XML: Siren table cannot be read, message not processed"), 1);
    EXPECT_EQ(parse(mail(el("PagerPin", "0412") + el("IsDispatchMessage", "True"))), MailOutcome::Queued);
}

TEST_P(ExtractionTest, MailWithoutPagerNumberIsRejected)
{
    for (const std::string& pin : {std::string(), el("PagerPin", ""), std::string("<PagerPin>0412\r")}) {
        SCOPED_TRACE(pin);
        EXPECT_EQ(parse(mail(pin + el("Message", "m") + el("IsDispatchMessage", "True"))),
                  MailOutcome::NoPagerNumber);
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
    answer = MailOutcome::QueueFull;
    EXPECT_EQ(parse(page), MailOutcome::QueueFull);
    EXPECT_EQ(newLines().back(), "[7]\tXML: Queue full, message not processed");
    answer = MailOutcome::LinkBusy;
    EXPECT_EQ(parse(page), MailOutcome::LinkBusy);
    const auto lines = newLines();
    EXPECT_EQ(lines.back(), "[7]\tXML: Link buffer full, message not processed");
    EXPECT_EQ(countContaining(lines, "Mail Processed OK"), 0);
    EXPECT_EQ(sent.size(), 2u);
}

TEST_P(ExtractionTest, Base64MailIsReadFromTheDecodedText)
{
    const std::string xml = "<PagerMessage><PagerPin>0412</PagerPin><Message>b64 &amp; ok</Message>"
                            "<IsDispatchMessage>True</IsDispatchMessage></PagerMessage>";
    const std::string encoded = QByteArray::fromStdString(xml).toBase64().toStdString();
    SMTPSocketType rec;
    rec.Body = "Content-Transfer-Encoding: base64\r\r";
    // Lines of 76 characters, decoded one by one as the session does.
    for (size_t at = 0; at < encoded.size(); at += 76) {
        const std::string line = encoded.substr(at, 76);
        rec.Body += line + "\r";
        rec.Decoded += Base64DecodeLine(line);
    }
    rec.Base64Mode = true;
    EXPECT_EQ(x->ParsePagerMessage(1, rec), MailOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "0412");
    EXPECT_EQ(sent[0].message, "b64 & ok");
    EXPECT_FALSE(rec.Base64Mode);
    EXPECT_FALSE(rec.QPMode);
}

TEST_P(ExtractionTest, QuotedPrintableJoinsSoftBreaksAndWinsOverBase64)
{
    SMTPSocketType rec;
    rec.Body = mail(el("PagerPin", "0412=\r345678") + el("Message", "Hello=\r World=3D") +
                    el("IsDispatchMessage", "True"));
    rec.Decoded = mail(el("PagerPin", "222"));
    rec.QPMode = true;
    rec.Base64Mode = true;
    EXPECT_EQ(x->ParsePagerMessage(1, rec), MailOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "0412345678");
    EXPECT_EQ(sent[0].message, "Hello World=3D");
    EXPECT_FALSE(rec.Base64Mode);
    EXPECT_FALSE(rec.QPMode);
}

TEST_P(ExtractionTest, SeparatorAndControlCharactersBecomeBlanks)
{
    exec("INSERT INTO HXSSirenSites (PAGER_ID, MESS_ID) VALUES ('0413', '05|99')");
    const std::string message = std::string("a|b\x01") + '\0' + "c\rd";
    EXPECT_EQ(parse(mail(el("PagerPin", "04|12") + el("MessageHash", "h\x01x") + el("Message", message) +
                         el("MachineName", std::string("M") + '\0') + el("InterfaceAddress", "10.0.0.5\r") +
                         el("IsDispatchMessage", "True"))),
              MailOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pin, "04 12");
    EXPECT_EQ(sent[0].hash, "h x");
    EXPECT_EQ(sent[0].message, "a b  c\rd");
    EXPECT_EQ(sent[0].machine, "M ");
    EXPECT_EQ(sent[0].iface, "10.0.0.5\r");
    const auto lines = newLines();
    for (const char* field : {"PagerPin", "MessageHash", "Message", "MachineName"})
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             std::string("[7]\tXML: Replaced separator or control characters in ") + field),
                  1)
            << field;
    EXPECT_EQ(countContaining(lines, "characters in InterfaceAddress"), 0);

    // A number from the siren table is cleaned as well.
    EXPECT_EQ(parse(mail(el("PagerPin", "0413") + el("IsDispatchMessage", "False"))), MailOutcome::Queued);
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
              MailOutcome::Queued);
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
    EXPECT_EQ(parse(mail(el("PagerPin", "0412"))), MailOutcome::Queued);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].message, "");
    EXPECT_EQ(sent[0].hash, "NULL");
    EXPECT_EQ(sent[0].machine, "NULL");
    EXPECT_EQ(sent[0].iface, "NULL");
    EXPECT_EQ(sent[0].requested, clock.now());
    EXPECT_FALSE(x->MailIsDispatch);

    clock.advanceSeconds(30);
    parse(mail(el("PagerPin", "0412") + el("TimeRequested", "soon") + el("IsDispatchMessage", "maybe")));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].requested, clock.now());
    EXPECT_FALSE(x->MailIsDispatch);

    for (const auto& [flag, dispatch] : std::vector<std::pair<std::string, bool>>{
             {"TRUE", true}, {" false ", false}, {"1", true}, {"-1", true}, {"0", false}, {"2.5", true}, {"", false}}) {
        parse(mail(el("PagerPin", "0412") + el("IsDispatchMessage", flag)));
        EXPECT_EQ(x->MailIsDispatch, dispatch) << "'" << flag << "'";
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
    EXPECT_FALSE(x->MailIsDispatch);
    EXPECT_EQ(newLines().front(), "\tXML: Dispatch flag is False");
}

}  // namespace
