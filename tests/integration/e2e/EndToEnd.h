#pragma once

#include "SmtpinProcess.h"

#include "support/HubSimProcess.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

#include <gtest/gtest.h>

namespace smtpin::test {

// A data folder of its own prepared for the real program, with free ports
// for its SMTP listener and for the switch.
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        smtpPort = HubSimProcess::freePort();
        hubPort = HubSimProcess::freePort();
        ASSERT_TRUE(app.prepare(smtpPort, hubPort)) << app.errorText();
    }

    void startBoth(const QStringList& hubArgs = {})
    {
        ASSERT_TRUE(hub.startOn(hubPort, hubArgs));
        ASSERT_TRUE(app.start());
        ASSERT_TRUE(hub.waitForLine("RX READY", 20000)) << app.errorText();
        ASSERT_TRUE(app.waitForLine("s01 listening on")) << app.errorText();
    }

    // A headless start that fails: exit 1, the reason on standard error,
    // and no status line claiming it listens.
    void expectStartUpFails(const std::string& reason)
    {
        ASSERT_TRUE(app.start());
        EXPECT_EQ(app.waitForExit(), 1);
        EXPECT_NE(app.errorText().find(reason), std::string::npos) << app.errorText();
        EXPECT_EQ(app.count("listening on"), 0);
    }

    TempDir dir;
    SmtpinProcess app{dir.path()};
    HubSimProcess hub;
    int smtpPort = 0;
    int hubPort = 0;
};

}  // namespace smtpin::test
