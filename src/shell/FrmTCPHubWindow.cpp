#include "FrmTCPHubWindow.h"

#include "ShellSettings.h"
#include "db/ClientRegistration.h"
#include "forms/FrmTCPHub.h"
#include "hub/CommDisplay.h"
#include "platform/Dialogs.h"

namespace smtpin::shell {

FrmTCPHubWindow::FrmTCPHubWindow(ShellSettings& shell, forms::FrmTCPHub& form, hub::CommDisplay& client,
                                 db::ClientRegistration& registration, Dialogs& dialogs)
    : shell_(shell), form_(form), client_(client), registration_(registration), dialogs_(dialogs), ring_(client),
      driver_(client, registration, *this)
{
    tmrTCP.setInterval(kTickMs);
    QObject::connect(&tmrTCP, &QTimer::timeout, [this] { tmrTCP_Timer(); });
}

FrmTCPHubWindow::~FrmTCPHubWindow()
{
    tmrTCP.stop();
    QObject::disconnect(received_);
}

void FrmTCPHubWindow::setTimersEnabled(bool on)
{
    timersEnabled_ = on;
    driver_.setTimersEnabled(on);
}

void FrmTCPHubWindow::output(const std::string& text) { shell_.AddOutputLine(form_.lstOutput, text); }

std::string FrmTCPHubWindow::userIdentifier() const { return shell_.userIdentifier(); }
std::string FrmTCPHubWindow::title() const { return shell_.title(); }
bool FrmTCPHubWindow::autoShow() const { return form_.mnuCommsShow.checked(); }
Window& FrmTCPHubWindow::ownerWindow() { return form_.window; }

void FrmTCPHubWindow::Form_Load()
{
    loaded_ = true;
    // A load after a close starts its output afresh, not below the last one's.
    form_.lstOutput.clear();
    if (!InitialiseShell()) {
        shell_.setShellLoaded(false);
        return;
    }
    form_.window.setCaption("TCP Connection V1.00");
    shell_.SetShellBanners();
    form_.txtMaxOutputList.setText(std::to_string(shell_.maxDisplayEntries()));
    received_ = QObject::connect(&client_, &hub::CommDisplay::receivedData, &ring_,
                                 &hub::HubMessageRing::client_ReceivedData);
    client_.Form_Load();
    // A loaded link window stays hidden until shown from the menu or by Auto Show.
    client_.form().window.setVisible(false);
    clientLoaded_ = true;
    driver_.start();
    shell_.setShellLoaded(true);
}

void FrmTCPHubWindow::Form_QueryUnload(bool& Cancel)
{
    // The driver disconnects first and then closes the window itself.
    if (client_.Connected()) {
        driver_.requestTerminate();
        Cancel = true;
    }
}

void FrmTCPHubWindow::Form_Unload()
{
    tmrTCP.stop();
    shell_.SaveTCPSettings();
    if (clientLoaded_) {
        driver_.stop();
        client_.StopCommDisplay();
        QObject::disconnect(received_);
        clientLoaded_ = false;
    }
}

bool FrmTCPHubWindow::Unload()
{
    if (!loaded_)
        return true;
    bool cancel = false;
    Form_QueryUnload(cancel);
    if (cancel)
        return false;
    Form_Unload();
    form_.window.setVisible(false);
    loaded_ = false;
    return true;
}

void FrmTCPHubWindow::OperatorClose()
{
    // While the link is up, closing takes it down: asked first, and No
    // keeps the link and only hides the window.
    if (client_.Connected() &&
        !dialogs_.AskYesNo("Closing this window disconnects the switch link. Disconnect?", shell_.title())) {
        cmdHideTCP_Click();
        return;
    }
    // Up, or still trying (perhaps lost while the question was open): the
    // close stops it, and that is the operator's doing.
    if (client_.Connected() || client_.linkState() == hub::CommDisplay::LinkState::Connecting)
        client_.markTakenDownByOperator();
    Unload();
}

bool FrmTCPHubWindow::InitialiseShell()
{
    const std::string version = ShellSettings::kVersion;
    if (!shell_.LoadTCPSettings()) {
        dialogs_.MsgBox("Failed to load TCP registry ", db::ClientRegistration::kDialogTitle);
        Unload();
        return false;
    }
    if (shell_.load()) {
        shell_.setTitle(std::string(ShellSettings::kShellName) + " - V" + version);
        form_.window.setCaption(shell_.title());
        mnuComms_Click(2);
        registration_.setClientId(shell_.userIdentifier());
    }
    const std::string asClaimed = shell_.ClientId();
    std::string normalised = asClaimed;
    if (!ShellSettings::NormaliseClientId(normalised))
        return false;
    registration_.setClientId(normalised);
    // The hub addresses this client by its normalised identifier, so the
    // login identifier follows it unless the operator set another one.
    if (shell_.userIdentifier().empty() || shell_.userIdentifier() == asClaimed)
        shell_.setUserIdentifier(shell_.ClientId());

    output("Setting User Id ... ok");
    shell_.setTitle(std::string(ShellSettings::kShellName) + " - V" + version + " (" + shell_.ClientId() + ")");
    form_.window.setCaption(shell_.title() + " - Version " + version + " (" + shell_.ClientId() + ")");

    output("Loading System Locale Date Format ... ok");
    shell_.LoadLocaleDateFormat();

    form_.labRecordsProcessed[0].setCaption("0");
    if (timersEnabled_)
        tmrTCP.start();

    output("Restoring form postion ... ok");
    shell_.ResetPasswordState();

    if (form_.mnuCommsAutoConnect.checked()) {
        output("Automaticly connecting to HOLV Hub");
        mnuComms_Click(0);
    }
    output("System Initilized ... ok");
    return true;
}

void FrmTCPHubWindow::tmrTCP_Timer()
{
    client_.GetNextPktBuffer();
    ring_.DeliverHubMessage();
    shell_.RotateShellBanner();
}

void FrmTCPHubWindow::mnuComm_Click()
{
    const bool L = shell_.setupLocked();
    const bool K = form_.mnuCommsLockSetup.checked();
    const bool C = client_.Connected();
    form_.mnuComms[0].setEnabled(!L && !K && !C);
    form_.mnuComms[1].setEnabled(!L && !K);
    form_.mnuComms[1].setCaption(C ? "Disconnect" : "Stop");
    form_.mnuComms[2].setEnabled(!L && !K && !C);
    form_.mnuCommsAutoConnect.setEnabled(!L && !K);
    form_.mnuCommsShow.setEnabled(!L && !K);
    form_.mnuCommsShowCC.setEnabled(!L);
    form_.mnuCommsLockSetup.setEnabled(!L);
}

void FrmTCPHubWindow::mnuComms_Click(int index)
{
    switch (index) {
    case 0:
        driver_.requestConnect();
        break;
    case 1:
        driver_.requestDisconnect();
        break;
    case 2:
        shell_.setUserIdentifier(shell_.ClientId());
        break;
    default:
        break;
    }
}

void FrmTCPHubWindow::mnuCommsAutoConnect_Click()
{
    form_.mnuCommsAutoConnect.setChecked(!form_.mnuCommsAutoConnect.checked());
}

void FrmTCPHubWindow::mnuCommsShow_Click() { form_.mnuCommsShow.setChecked(!form_.mnuCommsShow.checked()); }

void FrmTCPHubWindow::mnuCommsShowCC_Click()
{
    Window& link = client_.form().window;
    link.setVisible(!link.visible());
}

void FrmTCPHubWindow::mnuCommsLockSetup_Click()
{
    form_.mnuCommsLockSetup.setChecked(!form_.mnuCommsLockSetup.checked());
}

void FrmTCPHubWindow::cmdHideTCP_Click() { form_.window.setVisible(false); }

// The monitor takes no test flags from this client: the button does nothing.
void FrmTCPHubWindow::cmdMonitorTest_Click() {}

void FrmTCPHubWindow::txtMaxOutputList_GotFocus()
{
    form_.txtMaxOutputList.setText(std::to_string(shell_.maxDisplayEntries()));
}

}  // namespace smtpin::shell
