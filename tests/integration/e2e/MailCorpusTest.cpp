// Mails written by real mail software, through the real program, to the
// switch: the text the pager gets is the text the sender wrote.
#include "EndToEnd.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace smtpin::test {
namespace {

struct CorpusMail {
    std::string name, pin, producer;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<CorpusMail> manifest()
{
    std::vector<CorpusMail> mails;
    std::istringstream in(readFile(std::string(MAIL_CORPUS) + "/MANIFEST"));
    CorpusMail m;
    while (in >> m.name >> m.pin >> m.producer)
        mails.push_back(m);
    return mails;
}

// The text of the one page the switch got for a pin, or why not.
std::string pageFor(HubSimProcess& hub, const std::string& pin)
{
    const std::string marker = " to " + pin + ": ";
    std::string text = "(no page)";
    int seen = 0;
    for (const std::string& line : hub.lines()) {
        const size_t at = line.find(marker);
        if (line.rfind("RX NEWMESS ", 0) == 0 && at != std::string::npos) {
            text = line.substr(at + marker.size());
            ++seen;
        }
    }
    return seen > 1 ? "(" + std::to_string(seen) + " pages)" : text;
}

TEST_F(EndToEnd, EveryMailOfTheCorpusReachesTheSwitchByteForByte)
{
    const std::vector<CorpusMail> mails = manifest();
    ASSERT_GE(mails.size(), 30u);
    startBoth();
    for (const CorpusMail& m : mails) {
        const std::string data = readFile(std::string(MAIL_CORPUS) + "/" + m.name + ".eml");
        EXPECT_EQ(sendMailData(smtpPort, data + ".\r\n"), "250 OK") << m.name;
    }
    ASSERT_TRUE(hub.waitForCount("RX NEWMESS", static_cast<int>(mails.size()), 20000));
    for (const CorpusMail& m : mails)
        EXPECT_EQ(pageFor(hub, m.pin), readFile(std::string(MAIL_CORPUS) + "/" + m.name + ".expect"))
            << m.name << " (" << m.producer << ")";
    EXPECT_TRUE(app.waitForLine("  SM: Message of 194 characters cut to 160"));
}

// A raw client hides a second mail inside the data of the first in each of
// the ways a relay passes on as data; only the outer mail may become a page.
TEST_F(EndToEnd, AMailCannotCarryAnotherMail)
{
    startBoth();
    const std::string smuggled = "MAIL FROM:<x@test>\r\nRCPT TO:<y@test>\r\nDATA\r\n" +
                                 pagerXml("666", "SMUGGLED") + "\r\n.\r\n";
    const std::vector<std::string> ends = {"\r\n.\r", "\r.\r", "\r.\r\n", "\n.\n", "\r\n.\n", "\n.\r\n"};
    int pin = 6100;
    for (const std::string& end : ends) {
        // The outer page complete (ended early at its tag), or open so that
        // the hidden one is read as the rest of its data.
        for (const bool closed : {true, false}) {
            const std::string outer = closed ? pagerXml(std::to_string(++pin), "outer") + "\r\ntrailer"
                                             : "Subject: x\r\n\r\n<PagerMessage><PagerPin>" + std::to_string(++pin) + "</PagerPin>";
            EXPECT_EQ(sendMailData(smtpPort, outer + end + smuggled), "250 OK") << testing::PrintToString(end);
        }
    }
    const int pages = static_cast<int>(2 * ends.size());
    ASSERT_TRUE(hub.waitForCount("RX NEWMESS", pages, 10000));
    EXPECT_EQ(hub.count("to 666"), 0);
    EXPECT_EQ(hub.count("RX NEWMESS"), pages);
}

}  // namespace
}  // namespace smtpin::test
