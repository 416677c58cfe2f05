// The real program killed (or stopped) again and again under a stream of
// mail, and started at once on the same data folder: a page answered 250 is
// on disk, so every one reaches the switch, and none is new to it twice.
#include "EndToEnd.h"

#include <QElapsedTimer>

#include <algorithm>
#include <iostream>

namespace smtpin::test {
namespace {

class Crash : public EndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(Crash, EveryPageAnswered250SurvivesTheProgramEnding)
{
    QElapsedTimer testTime;
    testTime.start();
    const bool kill = GetParam();
    const bool light = qEnvironmentVariableIsSet("SMTPIN_SANITIZED");
    const int mails = light ? 300 : 1000;
    // Answers come late, so pages wait for their DELETE whenever the program ends.
    startBoth({"--delete-delay-ms", "300"});

    BurstProcess burst;
    ASSERT_TRUE(burst.start(smtpPort, mails, 4, light ? 0.01 : 0.02, 60));
    qint64 slowest = 0;
    for (int round = 0; round < 3; ++round) {
        pumpUntil([] { return false; }, 1500);
        if (kill)
            app.kill();
        else   // the staged close logs off the switch first; slow under the sanitizers and a busy machine
            ASSERT_EQ(app.terminate(light ? 120000 : 30000), 0) << "round " << round;
        QElapsedTimer upAgain;
        upAgain.start();
        ASSERT_TRUE(app.start());
        ASSERT_TRUE(app.waitForLine("s01 listening on", 20000)) << "round " << round << ": " << app.errorText();
        slowest = std::max(slowest, upAgain.elapsed());
    }
    // Ends before ctest's 120 s for the whole test, so this says why rather than ctest killing it.
    ASSERT_TRUE(pumpUntil([&] { return burst.finished(); }, static_cast<int>(std::max<qint64>(1000, 110000 - testTime.elapsed()))));

    const Burst sent = burst.result();
    Arrivals arrivals;
    const auto allArrived = [&] {
        arrivals = {};
        arrivals.add(hub.lines());
        return std::all_of(sent.accepted.begin(), sent.accepted.end(),
                           [&](const auto& t) { return arrivals.byText.count(t) > 0; });
    };
    EXPECT_TRUE(pumpUntil(allArrived, 30000));
    int missing = 0, twice = 0;
    for (const auto& text : sent.accepted)
        if (!arrivals.byText.count(text)) {
            ++missing;
            ADD_FAILURE() << "answered 250, never reached the switch: " << text;
        }
    for (const auto& [id, n] : arrivals.newIds)
        EXPECT_EQ(n, 1) << "message id " << id << " was new to the switch " << n << " times";
    // A sender that lost its connection before the reply sends again: that
    // page may come under two ids, as with any mail server.
    for (const auto& [text, ids] : arrivals.byText)
        twice += ids.size() > 1 ? 1 : 0;
    if (kill)
        EXPECT_NE(app.applicationLog().find("LWAI: Took back user id S01"), std::string::npos);
    else
        EXPECT_NE(app.applicationLog().find("messages stay spooled for the next start"), std::string::npos);
    std::cout << (kill ? "crash (SIGKILL): " : "crash (SIGTERM): ") << sent.accepted.size() << " answered 250, "
              << sent.refused << " refused, " << missing << " missing, " << arrivals.repeats << " repeats, " << twice
              << " sent twice by their sender, slowest restart to listening " << slowest << " ms\n";
    EXPECT_EQ(app.terminate(light ? 120000 : 30000), 0);
}

INSTANTIATE_TEST_SUITE_P(Ending, Crash, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? std::string("Sigkill") : std::string("Sigterm"); });

}  // namespace
}  // namespace smtpin::test
