// Starting and stopping the real program without harm: a start-up that
// cannot go on gives back what it took and overwrites nothing, and a stop
// signal after a burst of mail still writes every log entry.
#include "EndToEnd.h"

#include "support/XvfbDisplay.h"

#include <QStringList>

#include <map>
#include <regex>
#include <set>

namespace smtpin::test {
namespace {

class Lifecycle : public EndToEnd {
protected:
    std::string config(const std::string& parameter)
    {
        return app.value("SELECT [Value] FROM HXSClientConfig WHERE [Parameter] = '" + parameter + "'")
            .toString()
            .toStdString();
    }
    void setConfig(const std::string& parameter, const std::string& value)
    {
        ASSERT_TRUE(app.exec("DELETE FROM HXSClientConfig WHERE [Parameter] = ?", {QString::fromStdString(parameter)}));
        ASSERT_TRUE(app.exec("INSERT INTO HXSClientConfig ([Device], [Parameter], [Value]) VALUES ('S01', ?, ?)",
                             {QString::fromStdString(parameter), QString::fromStdString(value)}));
    }
    int logRows(const std::string& messageId, const std::string& text)
    {
        return app.value("SELECT COUNT(*) FROM HXSLog WHERE [messid] = '" + messageId + "' AND [log data] LIKE '%" +
                         text + "%'")
            .toInt();
    }

    // The message id each page text got, from the application log's "SM:" lines.
    std::map<std::string, std::string> idsOfPages()
    {
        std::map<std::string, std::string> ids;
        static const std::regex sm(R"(SM: Adding new mess (\d+)\|(?:[^|]*\|){7}([^|]*)\|)");
        const std::string log = app.applicationLog();
        for (std::sregex_iterator m(log.begin(), log.end(), sm), end; m != end; ++m)
            ids[(*m)[2]] = (*m)[1];
        return ids;
    }

    // Every page answered 250 has its lines in the log file and the database log.
    void expectEveryPageLogged(const Burst& burst)
    {
        ASSERT_FALSE(burst.accepted.empty());
        const auto ids = idsOfPages();
        const std::string log = app.applicationLog();
        int missing = 0;
        for (const std::string& text : burst.accepted) {
            const auto it = ids.find(text);
            if (it == ids.end()) {
                ADD_FAILURE() << "no SM line for \"" << text << "\"";
                ++missing;
                continue;
            }
            const std::string& id = it->second;
            if (log.find("AIQF: Request DELETE message " + id) == std::string::npos ||
                logRows(id, "SM: Adding new mess") != 1 || logRows(id, "AIQF: Request DELETE message") != 1) {
                ADD_FAILURE() << "page \"" << text << "\" (" << id << ") is not logged in full";
                ++missing;
            }
            if (missing > 5)
                break;
        }
        EXPECT_EQ(missing, 0) << "of " << burst.accepted.size() << " pages answered 250";
        // The SMTP log says "processed" exactly for the pages answered 250.
        std::size_t processed = 0;
        const std::string smtp = app.smtpLog();
        for (std::size_t at = 0; (at = smtp.find("XML: Mail Processed OK", at)) != std::string::npos; ++at)
            ++processed;
        EXPECT_EQ(processed, burst.accepted.size());
    }

    void burstThenStop(const QString& display)
    {
        ASSERT_TRUE(hub.startOn(hubPort));
        ASSERT_TRUE(display.isEmpty() ? app.start() : app.startWindowed({}, display));
        ASSERT_TRUE(hub.waitForLine("RX READY", 20000)) << app.errorText();
        const Burst burst = sendBurst(smtpPort, 300, 4);
        EXPECT_EQ(app.terminate(), 0) << app.errorText();
        EXPECT_TRUE(hub.waitForLine("RX 1002 logoff"));
        std::map<std::string, int> atSwitch;
        const std::string to = "to 7000: ";
        for (const std::string& line : hub.lines())
            if (const auto at = line.find(to); line.rfind("RX NEWMESS", 0) == 0 && at != std::string::npos)
                ++atSwitch[line.substr(at + to.size())];
        for (const std::string& text : burst.accepted)
            EXPECT_EQ(atSwitch[text], 1) << "times the switch has \"" << text << "\"";
        expectEveryPageLogged(burst);
    }
};

TEST_F(Lifecycle, AnInertStartUpLeavesTheStoredShellSettingsAlone)
{
    const std::map<std::string, std::string> stored = {{"SetupPassword", "dispatch7"},
                                                       {"SetupLocked", "True"},
                                                       {"Auto Connect", "True"},
                                                       {"DFMaxDisplayEntries", "50"},
                                                       {"Load", "False"}};
    for (const auto& [name, value] : stored)
        setConfig(name, value);
    ASSERT_TRUE(app.exec("UPDATE HXSClient SET [PortClass] = '' WHERE [Device] = 'S01'"));

    expectStartUpFails("Unable to locate the port class for this user type S01");
    // The windowed program shows why and stays up, inert, until it is closed;
    // a stop signal closes its message box too.
    ASSERT_TRUE(app.startWindowed());
    ASSERT_TRUE(pumpUntil([&] { return app.errorText().find("Unable to locate the port class") != std::string::npos; },
                          20000));
    EXPECT_EQ(app.terminate(), 1) << app.errorText();
    EXPECT_NE(app.applicationLog().find("Client is unable initialise"), std::string::npos);
    for (const auto& [name, value] : stored)
        EXPECT_EQ(config(name), value) << name;
    EXPECT_EQ(app.rowState(), "00");

    // With the cause mended, the stored "Auto Connect" takes it to the switch.
    ASSERT_TRUE(app.exec("UPDATE HXSClient SET [PortClass] = 'TCP' WHERE [Device] = 'S01'"));
    startBoth();
    EXPECT_EQ(sendMail(smtpPort, pagerXml("4100", "After an inert start")), "250 OK");
    EXPECT_TRUE(hub.waitForLine("to 4100: After an inert start", 10000));
}

TEST_F(Lifecycle, AStartUpThatGivesUpReleasesItsClientRow)
{
    ASSERT_TRUE(app.exec("UPDATE HXSClientConfig SET [Value] = 'abc' WHERE [Parameter] = 'TCPTIMEOUT'"));
    expectStartUpFails("start-up failed: setting TCPTIMEOUT = \"abc\"");
    EXPECT_EQ(app.rowState(), "00");

    ASSERT_TRUE(app.startWindowed());
    ASSERT_TRUE(pumpUntil([&] { return app.errorText().find("Client is unable to function") != std::string::npos; },
                          20000));
    EXPECT_EQ(app.terminate(), 1) << app.errorText();
    EXPECT_EQ(app.rowState(), "00");

    ASSERT_TRUE(app.exec("UPDATE HXSClientConfig SET [Value] = '10' WHERE [Parameter] = 'TCPTIMEOUT'"));
    startBoth();
}

TEST_F(Lifecycle, AStopSignalAfterABurstLosesNoLogEntryHeadless)
{
    burstThenStop({});
}

TEST_F(Lifecycle, AStopSignalAfterABurstLosesNoLogEntryWindowed)
{
    XvfbDisplay x;
    ASSERT_FALSE(x.display().isEmpty()) << x.errorText().toStdString();
    burstThenStop(x.display());
}

}  // namespace
}  // namespace smtpin::test
