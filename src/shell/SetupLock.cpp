#include "SetupLock.h"

#include "ShellSettings.h"
#include "db/ClientRegistration.h"
#include "forms/FrmTCPHub.h"
#include "platform/Dialogs.h"

namespace smtpin::shell {

SetupLock::SetupLock(ShellSettings& shell, forms::FrmTCPHub& form, Dialogs& dialogs)
    : shell_(shell), form_(form), dialogs_(dialogs)
{
    lockRead_ = QObject::connect(&shell_, &ShellSettings::setupLockRead, [this](bool locked) { ApplySetupLock(locked); });
    stateWanted_ = QObject::connect(&shell_, &ShellSettings::passwordStateWanted,
                                    [this](int state) { SetPasswordState(static_cast<std::int16_t>(state)); });
}

SetupLock::~SetupLock()
{
    QObject::disconnect(lockRead_);
    QObject::disconnect(stateWanted_);
}

int SetupLock::entryBox(std::int16_t state)
{
    switch (state) {
    case Unlocking:
    case ChangeCurrent:
        return 0;
    case ChangeNew:
        return 1;
    case ChangeConfirm:
        return 2;
    default:
        return -1;
    }
}

void SetupLock::SetPasswordState(std::int16_t state)
{
    const bool idle = state == Idle;
    const bool entering = state >= Unlocking && state <= ChangeConfirm;
    const bool changing = state >= ChangeCurrent && state <= ChangeConfirm;

    form_.cmdSetupPassword[0].setVisible(idle);
    form_.cmdSetupPassword[1].setVisible(idle);
    form_.cmdSetupPassword[2].setVisible(entering);

    const bool shown[3] = {entering, changing, changing};
    for (int i = 0; i < 3; ++i) {
        form_.txtSetupPassword[static_cast<size_t>(i)].setVisible(shown[i]);
        form_.lblSetupPassword[static_cast<size_t>(i)].setVisible(shown[i]);
        form_.txtSetupPassword[static_cast<size_t>(i)].setEnabled(i == entryBox(state));
    }
    form_.lblSetupPasswordD.setVisible(idle);

    const bool locked = shell_.setupLocked();
    form_.cmdSetupPassword[0].setCaption(locked ? "&UnLock" : "&Lock");
    form_.lblSetupPasswordD.setCaption(locked ? "LOCKED" : "UNLOCKED");
    form_.cmdSetupPassword[2].setCaption(entering ? "&Cancel" : "&Ok");

    if (state == Unlocking || state == ChangeCurrent) {
        for (auto& box : form_.txtSetupPassword)
            box.setText("");
        form_.lblSetupPassword[0].setCaption("Enter Password");
    } else {
        form_.lblSetupPassword[0].setCaption("Old Password");
    }
    // No box is left to type in when idle.
    form_.txtSetupPasswordFocus.request(entryBox(state));
    state_ = state;
}

void SetupLock::ApplySetupLock(bool locked)
{
    shell_.setSetupLocked(locked);
    form_.frmSetup[1].setEnabled(!locked);
    form_.frmSetupTEST.setEnabled(!locked);
}

void SetupLock::cmdSetupPassword_Click(int index)
{
    switch (index) {
    case 0:
        if (shell_.setupLocked()) {
            SetPasswordState(Unlocking);
        } else {
            ApplySetupLock(true);
            SetPasswordState(Idle);
        }
        break;
    case 1:
        SetPasswordState(ChangeCurrent);
        break;
    case 2:
        // Still asking for the code: the box did not report its entry, so
        // the unlock is refused as a wrong code would be.
        if (state_ == Unlocking)
            checkEntry(form_.txtSetupPassword[1].text());
        SetPasswordState(Idle);
        break;
    default:
        break;
    }
}

void SetupLock::txtSetupPassword_KeyPress(int index, int keyAscii)
{
    if (keyAscii == kEnter)
        txtSetupPassword_LostFocus(index);
}

void SetupLock::txtSetupPassword_LostFocus(int index)
{
    // A box the current state does not ask for (one that loses the focus
    // because the lock itself moved it on) has nothing to report.
    if (index < 0 || index > 2 || index != entryBox(state_))
        return;
    // The message box of a check takes the focus from the box; that leave
    // belongs to the check already running.
    if (checking_)
        return;
    checking_ = true;
    checkEntry(form_.txtSetupPassword[static_cast<size_t>(index)].text());
    checking_ = false;
}

void SetupLock::checkEntry(const std::string& text)
{
    switch (state_) {
    case Unlocking:
        if (text == shell_.setupPassword())
            ApplySetupLock(false);
        else
            tell(kIncorrect);
        SetPasswordState(Idle);
        break;
    case ChangeCurrent:
        if (text == shell_.setupPassword()) {
            SetPasswordState(ChangeNew);
        } else {
            tell(kIncorrect);
            SetPasswordState(Idle);
        }
        break;
    case ChangeNew:
        pendingPassword_ = text;
        SetPasswordState(ChangeConfirm);
        break;
    case ChangeConfirm:
        if (text == pendingPassword_) {
            shell_.setSetupPassword(text);
            tell(kChanged);
        } else {
            tell(kMismatch);
        }
        SetPasswordState(Idle);
        break;
    default:
        break;
    }
}

void SetupLock::tell(const char* text) { dialogs_.MsgBox(text, db::ClientRegistration::kDialogTitle); }

}  // namespace smtpin::shell
