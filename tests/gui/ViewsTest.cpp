// The real views on the offscreen platform, over a whole client whose
// timers the test drives.
#include "core/Client.h"
#include "gui/HubSetupDialog.h"
#include "gui/LinkView.h"
#include "gui/MainWindowView.h"
#include "gui/TcpSetupView.h"
#include "platform/Clock.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

namespace smtpin::test {
namespace {

class RecordingDialogs final : public Dialogs {
public:
    void MsgBox(const std::string& text, const std::string&) override { shown.push_back(text); }
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    std::vector<std::string> shown;
};

class Views : public ::testing::Test {
protected:
    void SetUp() override
    {
        options.dataDir = dir.path().toStdString();
        options.timers = false;
        options.dialogs = &dialogs;
        {
            core::Client init(clock, options);
            ASSERT_TRUE(init.db.OpenSQLDatabase());
            init.db.Execute("UPDATE HXSClientConfig SET [Value] = '0' WHERE [Parameter] = 'SMTPPORT'");
            init.db.CloseSQLDatabase();
        }
        client = std::make_unique<core::Client>(clock, options);
        client->start();
        ASSERT_TRUE(client->running()) << client->failure();
        tcp = std::make_unique<gui::TcpSetupView>(*client);
        link = std::make_unique<gui::LinkView>(*client);
        setup = std::make_unique<gui::HubSetupDialog>(*client);
    }

    // The items of a menu as the operator finds them when it opens.
    std::map<std::string, QAction*> open(QMenu* menu)
    {
        emit menu->aboutToShow();
        std::map<std::string, QAction*> items;
        for (QAction* a : menu->actions())
            if (!a->isSeparator())
                items[a->text().toStdString()] = a;
        return items;
    }

    QTemporaryDir dir;
    ManualClock clock;
    RecordingDialogs dialogs;
    core::Client::Options options;
    std::unique_ptr<core::Client> client;
    std::unique_ptr<gui::TcpSetupView> tcp;
    std::unique_ptr<gui::LinkView> link;
    std::unique_ptr<gui::HubSetupDialog> setup;
};

TEST_F(Views, CommsMenusFollowTheLockAndTheLink)
{
    // "Comms Locked" is checked on a new installation.
    ASSERT_TRUE(client->tcpForm.mnuCommsLockSetup.checked());
    auto settings = open(tcp->settingsMenu());
    auto comms = open(tcp->commsMenu());
    EXPECT_FALSE(comms["Connect"]->isEnabled());
    EXPECT_FALSE(comms["Setup"]->isEnabled());
    EXPECT_FALSE(settings["Auto Connect"]->isEnabled());
    EXPECT_TRUE(settings["Show Comms Class"]->isEnabled());
    EXPECT_TRUE(settings["Comms Locked"]->isEnabled());
    EXPECT_FALSE(settings["Hub Setup..."]->isEnabled());

    client->tcpForm.mnuCommsLockSetup.setChecked(false);
    comms = open(tcp->commsMenu());
    settings = open(tcp->settingsMenu());
    EXPECT_TRUE(comms["Connect"]->isEnabled());
    EXPECT_EQ(comms.count("Stop"), 1u);
    EXPECT_TRUE(settings["Hub Setup..."]->isEnabled());

    client->tcpForm.mnuCommsLockSetup.setChecked(false);
    client->setupLock.ApplySetupLock(true);
    settings = open(tcp->settingsMenu());
    for (const auto& [name, action] : settings)
        EXPECT_FALSE(action->isEnabled()) << name;

    client->setupLock.ApplySetupLock(false);
    client->link.TMode(static_cast<std::int16_t>(client->link.ThisMember.Mode | 0x0080));
    comms = open(tcp->commsMenu());
    EXPECT_FALSE(comms["Connect"]->isEnabled());
    EXPECT_FALSE(comms["Setup"]->isEnabled());
    ASSERT_EQ(comms.count("Disconnect"), 1u);
    EXPECT_TRUE(comms["Disconnect"]->isEnabled());
}

TEST_F(Views, GridShowsTheModeAndItsColour)
{
    QTableWidget* grid = link->grid();
    ASSERT_EQ(grid->rowCount(), 31);
    EXPECT_EQ(grid->item(1, 0)->text(), "Identifier");
    client->link.TMode(0x0180);
    EXPECT_EQ(grid->item(2, 1)->text(), "[...][OUT][CON][...][...][...][...][...][...][...]");
    EXPECT_EQ(grid->item(2, 1)->background().color(), QColor(0, 255, 0));
    client->link.TMode(0x01C0);
    EXPECT_EQ(grid->item(2, 1)->background().color(), QColor(255, 255, 0));
    client->link.TMode(0);
    EXPECT_EQ(grid->item(2, 1)->background().color(), QColor(255, 255, 255));
}

TEST_F(Views, HubSetupRefusesABadPortAndStaysOpen)
{
    client->hubSetup.Show();
    EXPECT_TRUE(setup->isVisible());
    client->hubSetupForm.txtHubSetup[2].setText("abc");
    setup->okButton()->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0], "Remote port must be a whole number from 1 to 65535");
    EXPECT_TRUE(setup->isVisible());
    client->hubSetupForm.txtHubSetup[2].setText("6001");
    setup->okButton()->click();
    EXPECT_FALSE(setup->isVisible());
    EXPECT_EQ(client->registration.RemotePort, 6001);
}

TEST_F(Views, ShowCommsClassTogglesTheLinkWindow)
{
    const bool before = link->isVisible();
    client->tcpHub.mnuCommsShowCC_Click();
    EXPECT_NE(link->isVisible(), before);
    client->tcpHub.mnuCommsShowCC_Click();
    EXPECT_EQ(link->isVisible(), before);
}

}  // namespace
}  // namespace smtpin::test
