// The setup lock on a real catalogue: locking, unlocking, changing the code,
// and the code and lock state kept across a restart.
#include "ShellRig.h"

#include "shell/SetupLock.h"

using namespace smtpin;
using namespace smtpin::test;

namespace {

class SetupLockTest : public ShellTest {
protected:
    void startWithLock()
    {
        build();
        lock = std::make_unique<shell::SetupLock>(*shell, form, c->dialogs);
        window->Form_Load();
    }
    // The window closes normally, then the program starts again.
    void restartWithLock()
    {
        ASSERT_TRUE(window->Unload());
        lock.reset();
        window.reset();
        shell.reset();
        link.reset();
        c.reset();
        c = openClient("S01");
        startWithLock();
    }

    void press(int button) { lock->cmdSetupPassword_Click(button); }
    // Types into a box and presses Enter, as an operator does.
    void enter(int box, const std::string& code)
    {
        form.txtSetupPassword[static_cast<size_t>(box)].setText(code);
        lock->txtSetupPassword_KeyPress(box, 13);
    }
    void unlockWith(const std::string& code)
    {
        press(0);
        enter(0, code);
    }
    void changeTo(const std::string& code, const std::string& confirmation)
    {
        press(1);
        enter(0, shell->setupPassword());
        enter(1, code);
        enter(2, confirmation);
    }

    // Shown buttons, shown boxes, enabled boxes, status label, focus box.
    std::string layout() const
    {
        std::string s;
        for (const auto& b : form.cmdSetupPassword)
            s += b.visible() ? '1' : '0';
        s += ' ';
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(form.lblSetupPassword[i].visible(), form.txtSetupPassword[i].visible()) << i;
            s += form.txtSetupPassword[i].visible() ? '1' : '0';
        }
        s += ' ';
        for (const auto& t : form.txtSetupPassword)
            s += t.enabled() ? '1' : '0';
        s += form.lblSetupPasswordD.visible() ? " D" : " -";
        s += " f" + std::to_string(form.txtSetupPasswordFocus.index());
        return s;
    }
    std::string menu()
    {
        window->mnuComm_Click();
        std::string s;
        for (const MenuItem* m : {&form.mnuComms[0], &form.mnuComms[1], &form.mnuComms[2], &form.mnuCommsAutoConnect,
                                  &form.mnuCommsShow, &form.mnuCommsShowCC, &form.mnuCommsLockSetup})
            s += m->enabled() ? '1' : '0';
        return s;
    }
    void expectLocked(bool locked)
    {
        EXPECT_EQ(shell->setupLocked(), locked);
        EXPECT_EQ(form.cmdSetupPassword[0].caption(), locked ? "&UnLock" : "&Lock");
        EXPECT_EQ(form.lblSetupPasswordD.caption(), locked ? "LOCKED" : "UNLOCKED");
        EXPECT_EQ(form.frmSetup[1].enabled(), !locked);
        EXPECT_EQ(form.frmSetupTEST.enabled(), !locked);
    }
    std::vector<std::string>& shown() { return c->dialogs.shown; }

    std::unique_ptr<shell::SetupLock> lock;
};

TEST_P(SetupLockTest, AFreshWindowIsUnlockedAndLockLocksAtOnce)
{
    startWithLock();
    EXPECT_EQ(lock->PasswordState(), 0);
    EXPECT_EQ(layout(), "110 000 000 D f-1");
    expectLocked(false);

    press(0);
    EXPECT_EQ(lock->PasswordState(), 0);
    EXPECT_EQ(layout(), "110 000 000 D f-1");
    expectLocked(true);
    EXPECT_TRUE(shown().empty());
}

TEST_P(SetupLockTest, TheDefaultCodeUnlocksAndEnterActsAsLeavingTheBox)
{
    startWithLock();
    press(0);
    form.txtSetupPassword[0].setText("left over");
    press(0);
    EXPECT_EQ(lock->PasswordState(), 1);
    EXPECT_EQ(layout(), "001 100 100 - f0");
    EXPECT_EQ(form.cmdSetupPassword[2].caption(), "&Cancel");
    EXPECT_EQ(form.lblSetupPassword[0].caption(), "Enter Password");
    EXPECT_EQ(form.txtSetupPassword[0].text(), "");

    enter(0, "quoltabe");
    expectLocked(false);
    EXPECT_EQ(layout(), "110 000 000 D f-1");
    EXPECT_EQ(form.lblSetupPassword[0].caption(), "Old Password");
    // The box then really loses the focus, and Cancel may follow: both idle.
    lock->txtSetupPassword_LostFocus(0);
    press(2);
    expectLocked(false);
    EXPECT_TRUE(shown().empty());

    // Leaving the box without Enter does the same; other keys do nothing.
    press(0);
    press(0);
    form.txtSetupPassword[0].setText("quoltabe");
    lock->txtSetupPassword_KeyPress(0, 'x');
    EXPECT_EQ(lock->PasswordState(), 1);
    lock->txtSetupPassword_LostFocus(0);
    expectLocked(false);
}

TEST_P(SetupLockTest, AWrongCodeIsRefusedAndTheLockStays)
{
    startWithLock();
    press(0);
    // Exact comparison: no letter case folding, no trimming.
    for (const char* wrong : {"Quoltabe", "quoltabe ", "", "quolt"}) {
        press(0);
        enter(0, wrong);
        EXPECT_EQ(lock->PasswordState(), 0) << wrong;
        expectLocked(true);
    }
    EXPECT_EQ(shown(), std::vector<std::string>(4, "Incorrect password"));

    // Cancel while the code was still being asked for counts as a wrong code.
    press(0);
    form.txtSetupPassword[0].setText("quoltabe");
    press(2);
    EXPECT_EQ(shown().size(), 5u);
    EXPECT_EQ(shown().back(), "Incorrect password");
    EXPECT_EQ(layout(), "110 000 000 D f-1");
    expectLocked(true);
}

TEST_P(SetupLockTest, TheMessageBoxTakingTheFocusDoesNotCheckTheBoxAgain)
{
    startWithLock();
    press(0);
    // The box loses the focus to the message box of its own check.
    int shownBoxes = 0;
    c->dialogs.whileShown = [this, &shownBoxes] {
        // Each box loses the focus to the first message box only.
        if (++shownBoxes > 1)
            return;
        lock->txtSetupPassword_LostFocus(0);
        lock->txtSetupPassword_LostFocus(2);
    };
    press(0);
    enter(0, "wrong");
    EXPECT_EQ(shown(), std::vector<std::string>{"Incorrect password"});
    expectLocked(true);

    shown().clear();
    shownBoxes = 0;
    press(1);
    enter(0, shell->setupPassword());
    enter(1, "next");
    enter(2, "other");
    EXPECT_EQ(shown(), std::vector<std::string>{"New Password and Confirmed Password do not match"});
    EXPECT_EQ(shell->setupPassword(), "quoltabe");
    c->dialogs.whileShown = nullptr;
}

TEST_P(SetupLockTest, AChangeNeedsTheCurrentCodeAndAMatchingConfirmation)
{
    startWithLock();
    press(1);
    EXPECT_EQ(lock->PasswordState(), 2);
    EXPECT_EQ(layout(), "001 111 100 - f0");
    EXPECT_EQ(form.lblSetupPassword[0].caption(), "Enter Password");
    enter(0, "guess");
    EXPECT_EQ(shown(), std::vector<std::string>{"Incorrect password"});
    EXPECT_EQ(lock->PasswordState(), 0);

    press(1);
    enter(0, "quoltabe");
    EXPECT_EQ(lock->PasswordState(), 3);
    EXPECT_EQ(layout(), "001 111 010 - f1");
    EXPECT_EQ(form.lblSetupPassword[0].caption(), "Old Password");
    // The first box loses the focus only now; it must not become the new code.
    lock->txtSetupPassword_LostFocus(0);
    EXPECT_EQ(lock->PasswordState(), 3);
    enter(1, "n3w code");
    EXPECT_EQ(lock->PasswordState(), 4);
    EXPECT_EQ(layout(), "001 111 001 - f2");
    EXPECT_EQ(form.txtSetupPassword[1].text(), "n3w code");
    enter(2, "n3w Code");
    EXPECT_EQ(shown().back(), "New Password and Confirmed Password do not match");
    EXPECT_EQ(lock->PasswordState(), 0);
    EXPECT_EQ(shell->setupPassword(), "quoltabe");

    // Cancel in the middle of a change changes nothing either.
    press(1);
    enter(0, "quoltabe");
    press(2);
    EXPECT_EQ(layout(), "110 000 000 D f-1");
    EXPECT_EQ(shell->setupPassword(), "quoltabe");
    EXPECT_EQ(shown().size(), 2u);
}

TEST_P(SetupLockTest, AnAcceptedCodeUnlocksFromThenOnAndSurvivesARestart)
{
    startWithLock();
    changeTo("n3w code", "n3w code");
    EXPECT_EQ(shown(), std::vector<std::string>{"Password Changed"});
    EXPECT_EQ(shell->setupPassword(), "n3w code");
    press(0);
    unlockWith("quoltabe");
    expectLocked(true);
    unlockWith("n3w code");
    expectLocked(false);
    press(0);
    // Kept in memory until the window closes.
    EXPECT_EQ(configValue("SetupPassword"), "quoltabe");
    EXPECT_EQ(configValue("SetupLocked"), "False");

    restartWithLock();
    EXPECT_EQ(configValue("SetupPassword"), "n3w code");
    EXPECT_EQ(lock->PasswordState(), 0);
    EXPECT_EQ(layout(), "110 000 000 D f-1");
    expectLocked(true);
    unlockWith("quoltabe");
    expectLocked(true);
    unlockWith("n3w code");
    expectLocked(false);

    restartWithLock();
    expectLocked(false);
}

TEST_P(SetupLockTest, TheCommsMenuIsGreyedWhileLocked)
{
    startWithLock();
    window->mnuCommsLockSetup_Click();   // "Comms Locked" off
    EXPECT_EQ(menu(), "1111111");
    press(0);
    EXPECT_EQ(menu(), "0000000");
    unlockWith("quoltabe");
    EXPECT_EQ(menu(), "1111111");
    window->mnuCommsLockSetup_Click();
    EXPECT_EQ(menu(), "0000011");

    press(0);
    restartWithLock();
    EXPECT_EQ(menu(), "0000000");
}

INSTANTIATE_TEST_SUITE_P(Embedded, SetupLockTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
