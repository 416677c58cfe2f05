// The real program under a stream of mail while its switch is killed,
// frozen and restarted again and again: every page answered 250 reaches a
// switch, and no message id is ever new to the switch twice.
#include "EndToEnd.h"

#include <QElapsedTimer>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <map>
#include <memory>
#include <set>

namespace smtpin::test {
namespace {

class Chaos : public EndToEnd {
protected:
    // Every switch run so far, the live one last.
    std::vector<std::unique_ptr<HubSimProcess>> runs;
    QStringList hubArgs;

    HubSimProcess& live() { return *runs.back(); }

    bool restart()
    {
        runs.push_back(std::make_unique<HubSimProcess>());
        return live().startOn(hubPort, hubArgs);
    }

    // Sends one probe mail until it is answered 250; the milliseconds it took,
    // or -1.
    qint64 untilAccepted(const std::string& text, int timeoutMs = 20000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (sendMail(smtpPort, pagerXml("7000", text)) == "250 OK")
                return t.elapsed();
            pumpUntil([] { return false; }, 200);
        }
        return -1;
    }

    // Text -> the message ids it arrived under (new or repeat) over all
    // runs, and the ids printed as new, with how often.
    void tally(std::map<std::string, std::set<std::string>>& arrivals, std::map<std::string, int>& newIds,
               int& repeats)
    {
        for (auto& run : runs)
            for (const auto& line : run->lines()) {
                const bool fresh = line.rfind("RX NEWMESS ", 0) == 0;
                const bool repeat = line.rfind("RX REPEAT ", 0) == 0;
                if (!fresh && !repeat)
                    continue;
                const auto to = line.find(" to 7000: ");
                if (to == std::string::npos)
                    continue;
                const std::size_t idAt = fresh ? 11 : 10;
                const std::string id = line.substr(idAt, line.find(' ', idAt) - idAt);
                arrivals[line.substr(to + 10)].insert(id);
                if (fresh)
                    ++newIds[id];
                else
                    ++repeats;
            }
    }
};

TEST_F(Chaos, EveryPageAnswered250ReachesASwitchThatKeepsDying)
{
    // Under the sanitizers everything is slower: the same chaos, less of it.
    const bool light = qEnvironmentVariableIsSet("SMTPIN_SANITIZED");
    const int mails = light ? 300 : 1000;
    const int rounds = light ? 5 : 13;   // every fourth a freeze that thaws, the rest a restart
    TempDir ids;
    // Answers come late, so pages are in flight whenever the switch dies.
    hubArgs = {"--watchdog-after-accept", "--watchdog-ms", "1000", "--delete-delay-ms", "300", "--id-file",
               QString::fromStdString(ids.file("ids"))};
    ASSERT_TRUE(restart());
    ASSERT_TRUE(app.start());
    ASSERT_TRUE(live().waitForLine("RX READY", 20000)) << app.errorText();

    QProcess burst;
    burst.start("python3", {QStringLiteral(BURST_SENDER), QString::number(smtpPort), QString::number(mails), "4",
                            "25", light ? "0.05" : "0.12", "30"});
    ASSERT_TRUE(burst.waitForStarted(10000));

    int restarts = 0, freezes = 0;
    qint64 slowest = 0;
    std::vector<std::string> probes;
    for (int round = 0; round < rounds; ++round) {
        pumpUntil([] { return false; }, 800);
        if (round % 4 == 3) {
            live().signal(SIGSTOP);
            pumpUntil([] { return false; }, 1500);
            live().signal(SIGCONT);
            ++freezes;
            continue;
        }
        if (round % 2 == 1) {   // frozen with bytes unread, then killed
            live().signal(SIGSTOP);
            pumpUntil([] { return false; }, 1000);
            ++freezes;
        }
        live().kill();
        pumpUntil([] { return false; }, 500);
        QElapsedTimer sinceRestart;
        sinceRestart.start();
        ASSERT_TRUE(restart()) << "round " << round;
        ++restarts;
        ASSERT_TRUE(live().waitForLine("RX 1000 login", 15000)) << "round " << round;
        probes.push_back("Probe after restart " + std::to_string(restarts));
        ASSERT_GE(untilAccepted(probes.back()), 0) << probes.back();
        slowest = std::max(slowest, sinceRestart.elapsed());
    }
    ASSERT_TRUE(pumpUntil([&] { return burst.state() == QProcess::NotRunning; }, 180000));

    std::vector<std::string> accepted = probes;
    int refused = 0;
    for (const QByteArray& line : burst.readAllStandardOutput().split('\n')) {
        if (line.startsWith("OK "))
            accepted.push_back(line.mid(3).toStdString());
        else if (!line.isEmpty() && ++refused <= 3)
            std::cout << "chaos: refused " << line.toStdString() << "\n";
    }
    std::map<std::string, std::set<std::string>> arrivals;
    std::map<std::string, int> newIds;
    int repeats = 0;
    const auto allArrived = [&] {
        arrivals.clear();
        newIds.clear();
        repeats = 0;
        tally(arrivals, newIds, repeats);
        return std::all_of(accepted.begin(), accepted.end(), [&](const auto& t) { return arrivals.count(t) > 0; });
    };
    EXPECT_TRUE(pumpUntil(allArrived, 30000));

    int missing = 0;
    for (const auto& text : accepted)
        if (!arrivals.count(text)) {
            ++missing;
            ADD_FAILURE() << "answered 250, never reached a switch: " << text;
        }
    for (const auto& [id, n] : newIds)
        EXPECT_EQ(n, 1) << "message id " << id << " was new to the switch " << n << " times";
    // A page sent again under another id would be a second page on the pager.
    for (const auto& [text, idsOfText] : arrivals)
        EXPECT_EQ(idsOfText.size(), 1u) << text << " reached the switch under " << idsOfText.size() << " ids";
    EXPECT_GE(restarts, light ? 3 : 10);
    EXPECT_LE(slowest, 10000) << "a restarted switch waited that long for its login and the next 250";
    std::cout << "chaos: " << accepted.size() << " answered 250 (" << probes.size() << " probes), " << refused
              << " refused, " << missing << " missing, " << repeats << " repeats, " << restarts << " restarts, "
              << freezes << " freezes, slowest 250 after a restart " << slowest << " ms\n";
    EXPECT_EQ(app.terminate(), 0);
}

}  // namespace
}  // namespace smtpin::test
