// The real views on the offscreen platform, over a whole client whose
// timers the test drives.
#include "core/Client.h"
#include "gui/HubSetupDialog.h"
#include "gui/LinkView.h"
#include "gui/MainWindowView.h"
#include "gui/TcpSetupView.h"
#include "platform/Clock.h"
#include "support/HubSimProcess.h"
#include "support/RecordingDialogs.h"
#include "support/TestClient.h"

#include <QAction>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <utility>

namespace smtpin::test {
namespace {

class Views : public ::testing::Test {
protected:
    void SetUp() override
    {
        options.dataDir = dir.path().toStdString();
        options.timers = false;
        options.dialogs = &dialogs;
        {
            core::Client init(clock, options);
            ASSERT_TRUE(init.parts().db.OpenSQLDatabase());
            init.parts().db.Execute("UPDATE HXSClientConfig SET [Value] = '0' WHERE [Parameter] = 'SMTPPORT'");
            init.parts().db.CloseSQLDatabase();
        }
        client = std::make_unique<core::Client>(clock, options);
        client->start();
        ASSERT_TRUE(client->running()) << client->failure();
        const auto w = client->windows();
        main = std::make_unique<gui::MainWindowView>(w.mainForm, w.main, w.testTraffic);
        tcp = std::make_unique<gui::TcpSetupView>(w.tcpForm, w.tcpHub, w.hubSetup, w.setupLock);
        link = std::make_unique<gui::LinkView>(w.linkForm, w.link);
        setup = std::make_unique<gui::HubSetupDialog>(w.hubSetupForm, w.hubSetup);
    }

    void TearDown() override
    {
        // Views go before the client whose forms they show.
        setup.reset();
        link.reset();
        tcp.reset();
        main.reset();
    }

    QPushButton* button(QWidget* window, const QString& text)
    {
        for (auto* b : window->findChildren<QPushButton*>())
            if (b->text() == text && b->isVisible())
                return b;
        ADD_FAILURE() << "no button " << text.toStdString();
        return nullptr;
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
    std::unique_ptr<gui::MainWindowView> main;
    std::unique_ptr<gui::TcpSetupView> tcp;
    std::unique_ptr<gui::LinkView> link;
    std::unique_ptr<gui::HubSetupDialog> setup;
};

TEST_F(Views, CommsMenusFollowTheLockAndTheLink)
{
    // "Comms Locked" is checked on a new installation.
    ASSERT_TRUE(client->windows().tcpForm.mnuCommsLockSetup.checked());
    auto settings = open(tcp->settingsMenu());
    auto comms = open(tcp->commsMenu());
    EXPECT_FALSE(comms["Connect"]->isEnabled());
    EXPECT_FALSE(comms["Setup"]->isEnabled());
    EXPECT_FALSE(settings["Auto Connect"]->isEnabled());
    EXPECT_TRUE(settings["Show Comms Class"]->isEnabled());
    EXPECT_TRUE(settings["Comms Locked"]->isEnabled());
    EXPECT_FALSE(settings["Hub Setup..."]->isEnabled());

    client->windows().tcpForm.mnuCommsLockSetup.setChecked(false);
    comms = open(tcp->commsMenu());
    settings = open(tcp->settingsMenu());
    EXPECT_TRUE(comms["Connect"]->isEnabled());
    EXPECT_EQ(comms.count("Stop"), 1u);
    EXPECT_TRUE(settings["Hub Setup..."]->isEnabled());

    client->windows().tcpForm.mnuCommsLockSetup.setChecked(false);
    client->windows().setupLock.ApplySetupLock(true);
    settings = open(tcp->settingsMenu());
    for (const auto& [name, action] : settings)
        EXPECT_FALSE(action->isEnabled()) << name;

    client->windows().setupLock.ApplySetupLock(false);
    client->windows().link.TMode(static_cast<std::int16_t>(client->windows().link.member().Mode | 0x0080));
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
    client->windows().link.TMode(0x0180);
    EXPECT_EQ(grid->item(2, 1)->text(), "[...][OUT][CON][...][...][...][...][...][...][...]");
    EXPECT_EQ(grid->item(2, 1)->background().color(), QColor(0, 255, 0));
    client->windows().link.TMode(0x01C0);
    EXPECT_EQ(grid->item(2, 1)->background().color(), QColor(255, 255, 0));
    client->windows().link.TMode(0);
    EXPECT_EQ(grid->item(2, 1)->background().color(), QColor(255, 255, 255));
}

TEST_F(Views, HubSetupRefusesABadPortAndStaysOpen)
{
    client->windows().hubSetup.Show();
    EXPECT_TRUE(setup->isVisible());
    client->windows().hubSetupForm.txtHubSetup[2].setText("abc");
    setup->okButton()->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0], "Remote port must be a whole number from 1 to 65535");
    EXPECT_TRUE(setup->isVisible());
    client->windows().hubSetupForm.txtHubSetup[2].setText("6001");
    setup->okButton()->click();
    EXPECT_FALSE(setup->isVisible());
    EXPECT_EQ(client->parts().registration.remotePort(), 6001);
}

TEST_F(Views, ShowCommsClassTogglesTheLinkWindow)
{
    const bool before = link->isVisible();
    client->windows().tcpHub.mnuCommsShowCC_Click();
    EXPECT_NE(link->isVisible(), before);
    client->windows().tcpHub.mnuCommsShowCC_Click();
    EXPECT_EQ(link->isVisible(), before);
}

TEST_F(Views, CodeBoxesShowStarsAndAWrongCodeIsToldOnce)
{
    client->windows().main.mnuShowTCP_Click();
    ASSERT_TRUE(tcp->isVisible());
    tcp->findChild<QTabWidget*>()->setCurrentIndex(1);
    button(tcp.get(), "&Lock")->click();
    ASSERT_TRUE(client->parts().shell.setupLocked());
    button(tcp.get(), "&UnLock")->click();
    auto* box = tcp->findChild<QLineEdit*>("txtSetupPassword0");
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(box->isVisible());
    QTest::keyClicks(box, "wrong");
    EXPECT_EQ(client->windows().tcpForm.txtSetupPassword[0].text(), "wrong");
    EXPECT_EQ(box->displayText(), "*****");

    // The message box takes the focus from the box while it is up.
    dialogs.whileShown = [box, left = false]() mutable {
        // Once: the focus is away from the box after that.
        if (std::exchange(left, true))
            return;
        QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QCoreApplication::sendEvent(box, &out);
    };
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"Incorrect password"});
    EXPECT_TRUE(client->parts().shell.setupLocked());
    EXPECT_FALSE(box->isVisible());

    button(tcp.get(), "&UnLock")->click();
    QTest::keyClicks(box, "quoltabe");
    QTest::keyClick(box, Qt::Key_Enter);
    EXPECT_FALSE(client->parts().shell.setupLocked());
    EXPECT_EQ(dialogs.shown.size(), 1u);
}

TEST_F(Views, TcpWindowStartsHiddenAndClosingItUnloadsTheShellOnceOffline)
{
    EXPECT_FALSE(tcp->isVisible());
    client->windows().main.mnuShowTCP_Click();
    EXPECT_TRUE(tcp->isVisible());
    EXPECT_FALSE(tcp->windowTitle().isEmpty());

    // Connected: the operator is asked first; No only hides the window.
    client->windows().link.TMode(static_cast<std::int16_t>(client->windows().link.member().Mode | 0x0080));
    tcp->close();
    EXPECT_EQ(dialogs.asked, std::vector<std::string>{"Closing this window disconnects the switch link. Disconnect?"});
    EXPECT_FALSE(tcp->isVisible());
    EXPECT_TRUE(client->windows().tcpHub.Loaded());
    EXPECT_EQ(client->windows().tcpHub.driver().disconnectRequest(), 0);
    // Yes: the close waits for the driver's logoff.
    client->windows().main.mnuShowTCP_Click();
    dialogs.answer = true;
    tcp->close();
    EXPECT_TRUE(tcp->isVisible());
    EXPECT_TRUE(client->windows().tcpHub.Loaded());
    EXPECT_EQ(client->windows().tcpHub.driver().disconnectRequest(), 2);

    client->windows().link.TMode(0);
    tcp->close();
    EXPECT_FALSE(tcp->isVisible());
    EXPECT_FALSE(client->windows().tcpHub.Loaded());

    // "Show TCP" loads it again, its output afresh.
    client->windows().main.mnuShowTCP_Click();
    EXPECT_TRUE(client->windows().tcpHub.Loaded());
    EXPECT_TRUE(tcp->isVisible());
    const auto& output = client->windows().tcpForm.lstOutput.items();
    EXPECT_EQ(std::count_if(output.begin(), output.end(),
                            [](const std::string& l) { return l.ends_with(" : System Initilized ... ok"); }),
              1);
}

TEST_F(Views, MainWindowFollowsItsTabsMinimisedStateAndLogTooltips)
{
    auto* tabs = main->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->currentIndex(), 0);
    client->windows().mainForm.SSTab1.setTab(2);
    EXPECT_EQ(tabs->currentIndex(), 2);
    tabs->setCurrentIndex(1);
    EXPECT_EQ(client->windows().mainForm.SSTab1.tab(), 1);

    main->show();
    for (QAction* a : main->menuBar()->actions().front()->menu()->actions())
        if (a->text() == "Minimise")
            a->trigger();
    EXPECT_TRUE(main->isMinimized());
    main->showNormal();
    EXPECT_FALSE(client->windows().mainForm.window.minimised());

    // Both logs: the clicked line becomes the list's tooltip.
    const auto lists = main->findChildren<QListWidget*>();
    ASSERT_EQ(lists.size(), 2);
    for (QListWidget* list : lists) {
        ASSERT_GT(list->count(), 0);
        const QRect first = list->visualItemRect(list->item(0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first.center());
        EXPECT_EQ(list->toolTip(), list->item(0)->text());
    }
}

TEST_F(Views, LinkWindowShowsEveryRowItsStatusAndACaption)
{
    client->windows().tcpHub.mnuCommsShowCC_Click();
    ASSERT_TRUE(link->isVisible());
    QCoreApplication::processEvents();
    QTableWidget* grid = link->grid();
    // Every row reachable: in sight, or by the grid's own scroll bar.
    grid->scrollToItem(grid->item(30, 0));
    QCoreApplication::processEvents();
    EXPECT_LE(grid->rowViewportPosition(30) + grid->rowHeight(30), grid->viewport()->height());
    EXPECT_EQ(link->windowTitle(), "Hub Link");

    client->windows().link.ShowLinkStatus("Connecting to hub");
    auto* status = link->findChild<QLabel*>("lblError");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text(), "Connecting to hub");
    client->windows().link.cmdHide_Click();
    EXPECT_FALSE(link->isVisible());
    EXPECT_EQ(link->windowTitle(), "Hub Link");
}

// Every window fits a 1366x768 screen with a title bar above it: the member
// grid and the logs scroll inside their windows.
TEST_F(Views, EveryWindowFitsA1366x768Screen)
{
    client->windows().main.mnuShowTCP_Click();
    client->windows().tcpHub.mnuCommsShowCC_Click();
    const std::pair<const char*, QWidget*> windows[] = {
        {"main", main.get()}, {"tcp", tcp.get()}, {"link", link.get()}, {"setup", setup.get()}};
    for (const auto& [name, w] : windows) {
        SCOPED_TRACE(name);
        const QSize least = w->minimumSizeHint().expandedTo(w->minimumSize());
        EXPECT_LE(least.width(), 1366);
        EXPECT_LE(least.height(), 768 - 40);
        EXPECT_LE(w->width(), 1366);
        // The hub link window takes the screen's height, up to every row of its grid.
        EXPECT_LE(w->height(), w == link.get() ? QGuiApplication::primaryScreen()->availableGeometry().height() - 40
                                              : 768 - 40);
    }
}

// Scrolled away from the newest line, a log list keeps its lines in view
// and says how many came; back at the newest line it follows them again.
TEST_F(Views, ALogListBeingReadKeepsItsPlace)
{
    main->show();
    auto* list = main->findChildren<QListWidget*>().at(0);   // the application log
    const auto add = [this](const std::string& text) {
        client->parts().log.ApplicationLine(text);
        client->parts().log.ProcessWholeSystemLogQueue(false);
    };
    for (int i = 0; i < 40; ++i)
        add("before " + std::to_string(i));
    QCoreApplication::processEvents();
    list->verticalScrollBar()->setValue(10);
    const QString reading = list->item(list->indexAt(QPoint(1, 1)).row())->text();
    for (int i = 0; i < 50; ++i)
        add("new " + std::to_string(i));
    QCoreApplication::processEvents();
    EXPECT_EQ(list->item(list->indexAt(QPoint(1, 1)).row())->text(), reading);
    auto* news = list->findChild<QLabel*>("newLines");
    ASSERT_NE(news, nullptr);
    EXPECT_TRUE(news->isVisible());
    EXPECT_EQ(news->text(), "50 new lines above");

    // The lines read gone off the end: it follows the newest again.
    list->verticalScrollBar()->setValue(list->verticalScrollBar()->maximum());
    for (int i = 0; i < 100; ++i)
        add("more " + std::to_string(i));
    QCoreApplication::processEvents();
    EXPECT_FALSE(news->isVisible());
    list->verticalScrollBar()->setValue(5);
    add("one more");
    QCoreApplication::processEvents();
    EXPECT_EQ(news->text(), "1 new lines above");

    list->verticalScrollBar()->setValue(0);
    EXPECT_FALSE(news->isVisible());
    add("newest");
    QCoreApplication::processEvents();
    EXPECT_EQ(list->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(list->item(0)->text().endsWith("newest"));
}

// With a real switch: the strip shows the pages waiting while it is down
// and the link once it is back; a return after a loss is logged. Closing
// the setup window from its title bar asks: No keeps the link, Yes logs off
// and the strip says the operator took it down.
TEST_F(Views, TheStatusStripAndTheSetupWindowsCloseMeetARealSwitch)
{
    const int port = HubSimProcess::freePort();
    const auto connect = [this, port] {
        client->windows().hubSetupForm.txtHubSetup[0].setText("S01");
        client->windows().hubSetupForm.txtHubSetup[1].setText("127.0.0.1");
        client->windows().hubSetupForm.txtHubSetup[2].setText(std::to_string(port));
        client->windows().hubSetup.cmdControl_Click(0);
        client->windows().tcpHub.mnuComms_Click(0);
    };
    connect();
    const auto drive = [this] {
        clock.advanceSeconds(0.5);
        client->windows().tcpHub.driver().DriveHubConnection();
        client->windows().link.Engine_Timer();
        client->windows().tcpHub.tmrTCP_Timer();
    };
    const auto strip = [this](Label& label) {
        client->refreshStatusStrip();
        return label.caption();
    };
    auto& f = client->windows().mainForm;
    for (int i = 0; i < 4; ++i)
        drive();
    EXPECT_EQ(strip(f.lbLinkState).rfind("Switch link: connecting since ", 0), 0u) << f.lbLinkState.caption();
    // Closed while still trying: nothing to ask, and the link stays down as the operator's doing.
    tcp->close();
    EXPECT_TRUE(dialogs.asked.empty());
    EXPECT_EQ(strip(f.lbLinkState).rfind("Switch link: taken down by the operator since ", 0), 0u)
        << f.lbLinkState.caption();
    client->windows().main.mnuShowTCP_Click();
    connect();
    PageRequest page{"while the switch is down", "77", "h", clock.now(), "M", "1.2.3.4"};
    ASSERT_EQ(client->parts().creation.SendMessage(page), PageOutcome::Queued);
    for (int i = 0; i < 4; ++i)
        drive();
    EXPECT_EQ(strip(f.lbPagesWaiting).rfind("Pages waiting: 1, the oldest ", 0), 0u) << f.lbPagesWaiting.caption();
    EXPECT_NE(f.lbLinkState.tone(), Label::Tone::Good);
    EXPECT_EQ(f.lbLastSent.caption(), "Last page sent: none yet");

    HubSimProcess hub;
    ASSERT_TRUE(hub.startOn(port));
    ASSERT_TRUE(pumpUntil([&] { drive(); return client->parts().queue.Depth() == 0; }, 20000));
    EXPECT_EQ(strip(f.lbLinkState).rfind("Switch link: logged in since ", 0), 0u) << f.lbLinkState.caption();
    EXPECT_EQ(f.lbLinkState.tone(), Label::Tone::Good);
    EXPECT_EQ(f.lbPagesWaiting.caption(), "Pages waiting: 0");
    EXPECT_NE(f.lbLastSent.caption(), "Last page sent: none yet");
    EXPECT_NE(f.lbLastDelete.caption(), "Last DELETE: none yet");

    hub.kill();
    ASSERT_TRUE(pumpUntil([&] { drive(); return !client->windows().link.isLoggedIn(); }, 10000));
    EXPECT_EQ(strip(f.lbErrors), "Errors since start: 1");
    ASSERT_TRUE(hub.startOn(port));
    ASSERT_TRUE(pumpUntil([&] { drive(); return client->windows().link.isLoggedIn(); }, 20000));
    client->parts().log.ProcessWholeSystemLogQueue(false);
    const auto& lines = f.lbxSystemLog.items();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.ends_with("  HUB: Link to the switch restored");
    }));

    client->windows().main.mnuShowTCP_Click();
    tcp->close();
    for (int i = 0; i < 10; ++i)
        drive();
    EXPECT_TRUE(client->windows().link.isLoggedIn());
    EXPECT_EQ(hub.count("logoff"), 0);
    client->windows().main.mnuShowTCP_Click();
    dialogs.answer = true;
    tcp->close();
    EXPECT_TRUE(hub.waitForLine("RX 1002 logoff", 10000, drive));
    ASSERT_TRUE(pumpUntil([&] { drive(); return !client->windows().tcpHub.Loaded(); }, 10000));
    EXPECT_EQ(strip(f.lbLinkState).rfind("Switch link: taken down by the operator since ", 0), 0u)
        << f.lbLinkState.caption();
    EXPECT_EQ(f.lbLinkState.tone(), Label::Tone::Bad);
}

// Records every widget shown as a window of its own.
class WindowShows : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            if (auto* w = qobject_cast<QWidget*>(watched); w && w->isWindow())
                shown.push_back(w->metaObject()->className());
        return false;
    }
    std::vector<std::string> shown;
};

TEST_F(Views, BuildingTheViewsOpensNoStrayWindows)
{
    WindowShows shows;
    qApp->installEventFilter(&shows);
    {
        // Only the main window is shown by its form; the others start hidden.
        const auto w = client->windows();
        gui::MainWindowView mainView(w.mainForm, w.main, w.testTraffic);
        gui::TcpSetupView tcpView(w.tcpForm, w.tcpHub, w.hubSetup, w.setupLock);
        gui::LinkView linkView(w.linkForm, w.link);
        gui::HubSetupDialog setupView(w.hubSetupForm, w.hubSetup);
        QCoreApplication::processEvents();
    }
    qApp->removeEventFilter(&shows);
    EXPECT_EQ(shows.shown, std::vector<std::string>{"QMainWindow"});
}

}  // namespace
}  // namespace smtpin::test
