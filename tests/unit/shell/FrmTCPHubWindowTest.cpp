#include "ShellRig.h"

#include "forms/FrmTCPHub.h"
#include "shell/FrmHubSetupWindow.h"

using namespace smtpin;
using namespace smtpin::test;

namespace {

using TcpWindow = ShellTest;

TEST_P(TcpWindow, TheFirstStartNormalisesTheIdentifierAndConnects)
{
    start();
    EXPECT_TRUE(shell->shellLoaded());
    EXPECT_EQ(c->reg.clientId(), "s01");
    EXPECT_EQ(shell->userIdentifier(), "s01");
    EXPECT_EQ(shell->title(), "HXS SMTP Hub Shell - V1.00.00 (08) (s01)");
    EXPECT_EQ(caption(), "TCP Connection V1.00");
    EXPECT_EQ(form.txtMaxOutputList.text(), "200");
    EXPECT_EQ(form.labRecordsProcessed[0].caption(), "0");
    EXPECT_TRUE(driver().connectWanted());
    EXPECT_FALSE(linkForm.window.visible());

    const auto& lines = form.lstOutput.items();
    ASSERT_EQ(lines.size(), 5u);
    const char* expected[] = {"System Initilized ... ok", "Automaticly connecting to HOLV Hub",
                              "Restoring form postion ... ok", "Loading System Locale Date Format ... ok",
                              "Setting User Id ... ok"};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(lines[i], std::string("10:00:00 15/01/2026 : ") + expected[i]);
}

TEST_P(TcpWindow, ALaterStartLogsInWithTheNormalisedIdentifier)
{
    start();
    ASSERT_TRUE(window->Unload());
    restart();
    EXPECT_FALSE(shell->load());
    EXPECT_EQ(shell->userIdentifier(), "s01");
    EXPECT_EQ(shell->title(), "HXS SMTP Hub Shell - V1.00.00 (08) (s01)");
    login();
    EXPECT_EQ(link->member().Identifier, "s01");
    EXPECT_EQ(sentWithCode("1000"), 1);
}

TEST_P(TcpWindow, AWindowNeverLoadedSavesNothingWhenItCloses)
{
    setConfig("SetupPassword", "dispatch7");
    setConfig("Auto Connect", "True");
    setConfig("DFMaxDisplayEntries", "50");
    build();
    EXPECT_FALSE(window->Loaded());
    EXPECT_TRUE(window->Unload());
    // The defaults it holds in memory never reach the stored settings.
    EXPECT_EQ(configValue("SetupPassword"), "dispatch7");
    EXPECT_EQ(configValue("Auto Connect"), "True");
    EXPECT_EQ(configValue("DFMaxDisplayEntries"), "50");
    EXPECT_EQ(configValue("Load"), "");
}

TEST_P(TcpWindow, AClientWithoutIdentityGetsTheFailureMessageAndNoShell)
{
    c->reg.setClientId("xxx");
    start();
    EXPECT_EQ(c->dialogs.shown, std::vector<std::string>{"Failed to load TCP registry "});
    EXPECT_FALSE(shell->shellLoaded());
    EXPECT_FALSE(window->Loaded());
    EXPECT_FALSE(form.window.visible());
    EXPECT_TRUE(form.lstOutput.items().empty());
    EXPECT_FALSE(driver().connectWanted());
}

TEST_P(TcpWindow, AnIdentifierThatDoesNotNormaliseStopsTheStartWithTheWindowUp)
{
    c->reg.setClientId("S**");
    start();
    EXPECT_TRUE(c->dialogs.shown.empty());
    EXPECT_FALSE(shell->shellLoaded());
    EXPECT_TRUE(window->Loaded());
    EXPECT_EQ(c->reg.clientId(), "S**");
    EXPECT_TRUE(form.lstOutput.items().empty());
    EXPECT_FALSE(driver().connectWanted());
}

TEST_P(TcpWindow, TheCommsMenuFollowsLockCommsLockedAndConnection)
{
    start();
    auto menu = [&] {
        window->mnuComm_Click();
        std::string s;
        for (const MenuItem* m : {&form.mnuComms[0], &form.mnuComms[1], &form.mnuComms[2], &form.mnuCommsAutoConnect,
                                  &form.mnuCommsShow, &form.mnuCommsShowCC, &form.mnuCommsLockSetup})
            s += m->enabled() ? '1' : '0';
        return s + " " + form.mnuComms[1].caption();
    };
    // A fresh installation has "Comms Locked" checked.
    EXPECT_EQ(menu(), "0000011 Stop");
    window->mnuCommsLockSetup_Click();
    EXPECT_EQ(menu(), "1111111 Stop");
    shell->setSetupLocked(true);
    EXPECT_EQ(menu(), "0000000 Stop");
    shell->setSetupLocked(false);

    login();
    EXPECT_EQ(menu(), "0101111 Disconnect");
    window->mnuCommsLockSetup_Click();
    EXPECT_EQ(menu(), "0000011 Disconnect");
}

TEST_P(TcpWindow, ClosingWhileConnectedWaitsForTheDisconnection)
{
    start();
    form.window.setVisible(true);
    login();
    bool cancel = false;
    window->Form_QueryUnload(cancel);
    EXPECT_TRUE(cancel);
    EXPECT_EQ(driver().disconnectRequest(), 2);
    EXPECT_FALSE(window->Unload());
    EXPECT_TRUE(window->Loaded());
    EXPECT_TRUE(form.window.visible());
    EXPECT_EQ(configValue("Load"), "True");
}

TEST_P(TcpWindow, ShowCommsClassTogglesTheLinkWindow)
{
    start();
    window->mnuCommsShowCC_Click();
    EXPECT_TRUE(linkForm.window.visible());
    window->mnuCommsShowCC_Click();
    EXPECT_FALSE(linkForm.window.visible());
}

TEST_P(TcpWindow, OnlyMessagesForThisClientReachTheMainWindow)
{
    start();
    login();
    socket.deliver(packetOf("2", "DELETE,1", "s01") + packetOf("2", "DELETE,2", "s02") +
                   packetOf("2", "DELETE,3", "s01"));
    window->tmrTCP_Timer();
    EXPECT_EQ(delivered, (std::vector<std::string>{"DELETE,1", "DELETE,3"}));
}

TEST_P(TcpWindow, HubSetupStoresOnlyAValidPort)
{
    start();
    forms::FrmHubSetup setupForm;
    shell::FrmHubSetupWindow setup(setupForm, *shell, c->reg, c->dialogs);
    setup.Show();
    EXPECT_TRUE(setupForm.window.visible());
    EXPECT_EQ(setupForm.txtHubSetup[0].text(), "s01");
    EXPECT_EQ(setupForm.txtHubSetup[1].text(), "127.0.0.1");
    EXPECT_EQ(setupForm.txtHubSetup[2].text(), "6000");

    setupForm.txtHubSetup[0].setText("t07");
    setupForm.txtHubSetup[1].setText("10.0.0.9");
    for (const char* bad : {"abc", "0", "70000", "", "1.5", "-80", "6000x"}) {
        setupForm.txtHubSetup[2].setText(bad);
        setup.cmdControl_Click(0);
        EXPECT_TRUE(setupForm.window.visible()) << bad;
    }
    EXPECT_EQ(c->dialogs.shown.size(), 7u);
    EXPECT_EQ(c->dialogs.shown.front(), "Remote port must be a whole number from 1 to 65535");
    EXPECT_EQ(c->reg.remoteAddress(), "127.0.0.1");
    EXPECT_EQ(c->reg.remotePort(), 6000);
    EXPECT_EQ(shell->userIdentifier(), "s01");

    setupForm.txtHubSetup[2].setText(" 65535 ");
    setup.cmdControl_Click(0);
    EXPECT_FALSE(setupForm.window.visible());
    EXPECT_EQ(c->reg.remoteAddress(), "10.0.0.9");
    EXPECT_EQ(c->reg.remotePort(), 65535);
    EXPECT_EQ(shell->userIdentifier(), "t07");

    setup.Show();
    setupForm.txtHubSetup[1].setText("elsewhere");
    setup.cmdControl_Click(1);
    EXPECT_FALSE(setupForm.window.visible());
    EXPECT_EQ(c->reg.remoteAddress(), "10.0.0.9");
}

INSTANTIATE_TEST_SUITE_P(Embedded, TcpWindow, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
