#pragma once

#include "hub/HubDriver.h"
#include "hub/HubMessageRing.h"

#include <QTimer>

#include <string>

namespace smtpin {
class Dialogs;
namespace forms { struct FrmTCPHub; }
namespace db { class ClientRegistration; }
namespace hub { class CommDisplay; }
}  // namespace smtpin

namespace smtpin::shell {

class ShellSettings;

// The TCP setup window: starts the shell, owns the connection driver and
// the hand-over of received hub messages, and answers the Comms menus.
class FrmTCPHubWindow final : private hub::HubDriver::Owner {
public:
    static constexpr int kTickMs = 500;
    FrmTCPHubWindow(ShellSettings& shell, forms::FrmTCPHub& form, hub::CommDisplay& client,
                    db::ClientRegistration& registration, Dialogs& dialogs);
    ~FrmTCPHubWindow() override;
    FrmTCPHubWindow(const FrmTCPHubWindow&) = delete;
    FrmTCPHubWindow& operator=(const FrmTCPHubWindow&) = delete;

    // Off in tests: tmrTCP and the driver's timer are then driven by hand.
    void setTimersEnabled(bool on);

    void Form_Load();
    void Form_QueryUnload(bool& Cancel);
    void Form_Unload();
    // Unload as the window system does it: ask, then unload and hide.
    // False when the close was refused.
    bool Unload();
    // The operator closes the window (its close button, Alt+F4): asked
    // first while the link is up; the program's own close asks nothing.
    void OperatorClose();
    bool Loaded() const { return loaded_; }

    bool InitialiseShell();
    void tmrTCP_Timer();

    void mnuComm_Click();
    void mnuComms_Click(int index);
    void mnuCommsAutoConnect_Click();
    void mnuCommsShow_Click();
    void mnuCommsShowCC_Click();
    void mnuCommsLockSetup_Click();
    void cmdHideTCP_Click();
    void cmdMonitorTest_Click();
    void txtMaxOutputList_GotFocus();

    hub::HubDriver& driver() { return driver_; }
    // Hands each text from the switch on to the main window.
    hub::HubMessageRing& ring() { return ring_; }
    QTimer tmrTCP;

private:
    void output(const std::string& text);
    // What the connection driver asks of this window.
    std::string userIdentifier() const override;
    std::string title() const override;
    bool autoShow() const override;
    Window& ownerWindow() override;
    void unloadOwner() override { Unload(); }

    ShellSettings& shell_;
    forms::FrmTCPHub& form_;
    hub::CommDisplay& client_;
    db::ClientRegistration& registration_;
    Dialogs& dialogs_;
    hub::HubMessageRing ring_;
    hub::HubDriver driver_;
    bool timersEnabled_ = true;
    bool loaded_ = false;   // only a window whose load ran saves its settings
    bool clientLoaded_ = false;
    QMetaObject::Connection received_;
};

}  // namespace smtpin::shell
