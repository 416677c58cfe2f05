#include "MainWindow.h"

#include "StartupSettings.h"
#include "db/CatalogueConnection.h"
#include "db/ClientRegistration.h"
#include "forms/FrmSMTP.h"
#include "forms/FrmTCPHub.h"
#include "hub/CommDisplay.h"
#include "log/LogBackup.h"
#include "messages/InputQueue.h"
#include "messages/PageStore.h"
#include "messages/SwitchInbox.h"
#include "messages/SwitchWatchdog.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "shell/FrmTCPHubWindow.h"
#include "shell/ShellSettings.h"
#include "smtp/SmtpListener.h"
#include "testtraffic/TestTraffic.h"

#include <exception>

namespace smtpin::core {

MainWindow::MainWindow(Services services, Shell shell, SystemLog::Version version)
    : s_(services), shell_(std::move(shell)), version_(version)
{
    tmrSystem.setInterval(kSystemMs);
    tmrDummyPkts.setInterval(kDummyPktsMs);
    QObject::connect(&tmrSystem, &QTimer::timeout, [this] { tmrSystem_Timer(); });
    QObject::connect(&tmrDummyPkts, &QTimer::timeout, [this] { tmrDummyPkts_Timer(); });
}

std::string MainWindow::versionText() const
{
    return "V" + std::to_string(version_.major) + "." + std::to_string(version_.minor) + "(" +
           std::to_string(version_.revision) + ")";
}

void MainWindow::Form_Load()
{
    CloseStage = Closing::NotBegun;
    ClosePending = false;
    s_.form.window.setCaption("Initialising variables");
    s_.form.window.setVisible(true);
    if (timersEnabled_)
        tmrSystem.start();
    try {
        if (!loadSequence()) {
            phase_ = Phase::Inert;
            s_.dialogs.MsgBox("Client is unable initialise. Terminating application", db::ClientRegistration::kDialogTitle);
            s_.log.ApplicationLine("*********************** Client is unable initialise. Terminating application",
                                   true);
            s_.form.SSTab1.setTab(0);
            // No housekeeping timer runs in an inert window to write the rest.
            s_.log.ProcessWholeSystemLogQueue();
            return;
        }
        phase_ = Phase::Running;
    } catch (const std::exception& e) {
        failure_ = e.what();
        // Given back before the box, which may stay up for a long time.
        abandonStartUp();
        s_.dialogs.MsgBox("Client is unable to function. Closing application", db::ClientRegistration::kDialogTitle);
        emit closed();
    }
}

void MainWindow::abandonStartUp()
{
    // The program ends without its staged close, but what start-up took is
    // given back: the client row above all, or the next start finds it taken.
    phase_ = Phase::Closed;
    tmrSystem.stop();
    tmrDummyPkts.stop();
    unloadShell();
    s_.listener.Form_Unload();
    // Only a row this start-up claimed: the identifier may still name
    // another instance's row when the claim never happened.
    if (s_.registration.HoldsRow())
        s_.registration.SetUserIdInactive();
    s_.store.CloseSpool();
    s_.log.FlushSMTPLog();
    s_.log.ProcessWholeSystemLogQueue();
    s_.db.CloseSQLDatabase();
    s_.log.ProcessWholeSystemLogQueue(false);
}

bool MainWindow::loadSequence()
{
    if (!s_.startup.InitialiseSystem()) {
        failure_ = s_.startup.failure();
        return false;
    }
    s_.form.window.setCaption("Loading TCP comms to Hub");
    loadShell();
    cmdDatabaseRESET_Click();
    s_.form.lbClientStart.setCaption(s_.clock.now().generalDate());
    const auto& id = s_.registration.clientId();
    s_.log.ApplicationLine("Main: SMTP " + id + " now operational using version  " + versionText() + " 2022", true);
    if (timersEnabled_)
        tmrDummyPkts.start();
    s_.form.window.setCaption("Loading SMTP TCP comms");
    s_.listener.Form_Load();
    s_.queue.SendUpdate(true, s_.listener.listenerReady() ? "READY" : "UNAVAIL");
    s_.form.window.setCaption("SMTP " + id + "  VORN     Version  " + versionText() + " 2022");
    s_.form.SSTab1.setTab(0);
    s_.log.ProcessSystemLogQueue();
    return true;
}

void MainWindow::tmrSystem_Timer()
{
    if (!ClosePending)
        return;
    if (!shell_.link.Connected())
        unloadWindow();
    else
        // The link came up again while the close waited for it (it was
        // reconnecting when the close began): it logs off too.
        unloadShell();
}

void MainWindow::tmrDummyPkts_Timer()
{
    shell_.settings.RotateBanner();
    s_.backup.TimeForBackUp();
    s_.watchdog.SwitchWatchdog();
    s_.store.FlushSpool();
    s_.db.CheckWhileIdle();
    s_.log.ProcessSystemLogQueue();
    shell_.testTraffic.ContinuousTest(kDummyPktsMs);
}

void MainWindow::unloadWindow()
{
    if (phase_ == Phase::Closed)
        return;
    if (Form_QueryUnload())
        Form_Unload();
}

bool MainWindow::Form_QueryUnload()
{
    if (CloseStage == Closing::NotBegun) {
        const std::string text = " SYS: *************************** Application has initiated a close.";
        s_.log.UpdateSMTPLog(text);
        s_.log.SystemLogFile().AddLog(s_.clock.now().generalDate() + "\t " + text);
        if (shell_.link.Connected()) {
            // The logoff takes a few seconds: the window says what it waits for.
            UpdateTCPMain("Logging off the switch ...");
            unloadShell();
        }
        s_.registration.SetUserIdInactive();
        tmrDummyPkts.stop();
        CloseStage = Closing::Begun;
        ClosePending = true;
        phase_ = phase_ == Phase::Inert ? Phase::Inert : Phase::Closing;
        s_.listener.Form_Unload();
        s_.log.FlushSMTPLog();
        s_.log.SMTPLogFile().Disconnect();
        if (timersEnabled_ && !tmrSystem.isActive())
            tmrSystem.start();
        return false;
    }
    if (CloseStage == Closing::Begun && shell_.window.Loaded()) {
        shell_.window.Unload();
        CloseStage = Closing::ShellUnloading;
        return false;
    }
    return true;
}

// Every entry still pending, to the file and the database log too, in one
// commit: a close under load takes a moment, not a disk sync per entry.
void MainWindow::drainLogInOneCommit()
{
    // The log copies its rows to the catalogue in one commit per drain.
    if (s_.db.isOpen())
        s_.log.ProcessWholeSystemLogQueue();
    s_.log.ProcessWholeSystemLogQueue(false);
}

void MainWindow::RequestClose()
{
    if (phase_ == Phase::Closed)
        return;
    if (Form_QueryUnload())
        Form_Unload();
}

void MainWindow::Form_Unload()
{
    tmrSystem.stop();
    tmrDummyPkts.stop();
    s_.store.CloseSpool();
    drainLogInOneCommit();
    s_.db.CloseSQLDatabase();
    s_.log.ProcessWholeSystemLogQueue(false);
    phase_ = Phase::Closed;
    s_.form.window.setVisible(false);
    emit closed();
}

void MainWindow::DoRecievedData(const std::string& text)
{
    s_.inbox.AddInputQueFromSwitch(text);
    shell_.settings.AddOutputLine(shell_.form.lstOutput, text);
    RecordsProcessed = NextRecordCount(RecordsProcessed);
    shell_.form.labRecordsProcessed[0].setCaption(std::to_string(RecordsProcessed));
    shell_.form.labRecordsProcessed[1].setCaption(s_.clock.now().format(DateSerial::kTimeDate));
}

void MainWindow::UpdateTCPMain(const std::string& text) { s_.form.lbTCPProgress.setCaption(text); }

void MainWindow::cmdDatabaseRESET_Click()
{
    s_.form.lbLastTimeResetDBH.setCaption(s_.clock.now().generalDate());
    s_.db.ResetDatabaseHits();
    s_.form.txbDatabaseHits.setText("0");
    s_.queue.resetOutgoingCount();
}

void MainWindow::cmdRefreshDatasource_Click()
{
    s_.db.CloseSQLDatabase();
    s_.db.OpenSQLDatabase();
}

namespace {
// A long log line can be read in full in the list's tooltip.
void tipSelectedLine(ListBox& list)
{
    const int i = list.listIndex();
    list.setToolTip(i >= 0 && i < list.listCount() ? list.item(i) : std::string());
}
}  // namespace

void MainWindow::lbxSystemLog_Click() { tipSelectedLine(s_.form.lbxSystemLog); }

void MainWindow::lbxSMTPLOG_Click() { tipSelectedLine(s_.form.lbxSMTPLOG); }

void MainWindow::mnuShowTCP_Click()
{
    // Closed by the operator: showing it loads it again, as at start-up.
    if (!shell_.window.Loaded() && phase_ == Phase::Running)
        shell_.window.Form_Load();
    shell_.form.window.setVisible(true);
}

// frmTCPHub's load, with its shell start. The tuning values are read by
// start-up, before the shell starts the link.
void MainWindow::loadShell()
{
    shell_.window.driver().setRetries(s_.registration.tcpVars().HubAttempts, s_.registration.tcpVars().HubWait);
    shell_.link.SetBufferMax(s_.registration.tcpVars().HubMaxBuffer);
    shell_.window.Form_Load();
}

// A close request to frmTCPHub, while it is loaded.
void MainWindow::unloadShell()
{
    if (shell_.window.Loaded())
        shell_.window.Unload();
}

void MainWindow::mnuMinimise_Click() { s_.form.window.setMinimised(true); }

void MainWindow::mnuExit_Click()
{
    tmrDummyPkts.stop();
    if (Form_QueryUnload())
        Form_Unload();
}

}  // namespace smtpin::core
