#pragma once

#include <QObject>

#include <cstdint>
#include <string>

namespace smtpin {
class Dialogs;
namespace forms { struct FrmTCPHub; }
}  // namespace smtpin

namespace smtpin::shell {

class ShellSettings;

// The setup lock of the TCP setup window: the lock state and code live in
// the shell settings; this drives the frame "Setup Password Control"
// through its entry states. It plugs itself into the shell's hooks for as
// long as it exists.
class SetupLock {
public:
    enum State : std::int16_t { Idle = 0, Unlocking = 1, ChangeCurrent = 2, ChangeNew = 3, ChangeConfirm = 4 };
    static constexpr int kEnter = 13;

    static constexpr const char* kIncorrect = "Incorrect password";
    static constexpr const char* kChanged = "Password Changed";
    static constexpr const char* kMismatch = "New Password and Confirmed Password do not match";

    SetupLock(ShellSettings& shell, forms::FrmTCPHub& form, Dialogs& dialogs);
    ~SetupLock();
    SetupLock(const SetupLock&) = delete;
    SetupLock& operator=(const SetupLock&) = delete;

    void SetPasswordState(std::int16_t state);
    void ApplySetupLock(bool locked);

    void cmdSetupPassword_Click(int index);
    void txtSetupPassword_KeyPress(int index, int keyAscii);
    void txtSetupPassword_LostFocus(int index);

    std::int16_t PasswordState() const { return state_; }

private:
    QMetaObject::Connection lockRead_;
    QMetaObject::Connection stateWanted_;
    // The box that takes the entry in a state, or -1.
    static int entryBox(std::int16_t state);
    // The check of leaving a box, with that box's text.
    void checkEntry(const std::string& text);
    void tell(const char* text);

    ShellSettings& shell_;
    forms::FrmTCPHub& form_;
    Dialogs& dialogs_;
    std::int16_t state_ = Idle;
    std::string pendingPassword_;
    bool checking_ = false;
};

}  // namespace smtpin::shell
