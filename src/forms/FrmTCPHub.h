#pragma once

#include "platform/Controls.h"

#include <array>

namespace smtpin::forms {

// Where logic asks the view to put the keyboard focus: an element index, or
// -1 for none. Every request notifies, also a repeated one.
class FocusRequest : public Control {
public:
    int index() const { return index_; }
    void request(int index)
    {
        index_ = index;
        changed();
    }

private:
    int index_ = -1;
};

// Controls of the TCP setup window, under their original names. Buttons are
// labels: a caption that can be enabled, shown and pressed.
struct FrmTCPHub {
    FrmTCPHub()
    {
        window.setCaption("TCP Setup");
        // Loaded at start-up, shown from the main window's menu.
        window.setVisible(false);
        cmdHideTCP.setCaption("Hide");
        frameBanner.setCaption("Banner");
        Banner.setCaption("Starting");
        cmdMonitorTest.setCaption("Test");
        mnuComm.setCaption("Comms");
        mnuComms[0].setCaption("Connect");
        mnuComms[1].setCaption("Disconnect");
        mnuComms[2].setCaption("Setup");
        mnuCommGeneral.setCaption("Comm Settings");
        mnuCommsAutoConnect.setCaption("Auto Connect");
        mnuCommsShow.setCaption("Auto Show");
        mnuCommsShowCC.setCaption("Show Comms Class");
        mnuCommsLockSetup.setCaption("Comms Locked");
        frmSetup[1].setCaption("General Setup");
        frmSetupTEST.setCaption("Test");
        frmSetupPassword.setCaption("Setup Password Control");
        cmdSetupPassword[0].setCaption("Lock");
        cmdSetupPassword[1].setCaption("Change");
        cmdSetupPassword[2].setCaption("Cancel");
        lblSetupPassword[0].setCaption("Old Password");
        lblSetupPassword[1].setCaption("New Password");
        lblSetupPassword[2].setCaption("Confirm Password");
        lblSetupPasswordD.setCaption("LOCKED");
    }

    Window window;
    Label cmdHideTCP;
    Label frameBanner;
    Label Banner;                 // rotating banner line
    Label cmdMonitorTest;
    TextBox txtMaxOutputList;     // "Maximum List Size in Output Window"
    Label lblVersion;
    ListBox lstOutput;            // shell output, newest first (fixed-pitch font)
    std::array<Label, 2> labRecordsProcessed;   // "Last Processed", "Processed"

    MenuItem mnuComm;             // the Comms menu itself
    std::array<MenuItem, 3> mnuComms;           // Connect, Disconnect/Stop, Setup
    MenuItem mnuCommGeneral;      // the Comm Settings menu itself
    MenuItem mnuCommsAutoConnect;
    MenuItem mnuCommsShow;
    MenuItem mnuCommsShowCC;
    MenuItem mnuCommsLockSetup;

    // The frames the setup lock disables; frmSetup element 0 is not used.
    std::array<Label, 2> frmSetup;
    Label frmSetupTEST;
    // The setup lock itself.
    Label frmSetupPassword;
    std::array<Label, 3> cmdSetupPassword;     // Lock/UnLock, Change, Cancel
    std::array<TextBox, 3> txtSetupPassword;   // code entry; typed characters show as PasswordChar
    static constexpr char PasswordChar = '*';
    std::array<Label, 3> lblSetupPassword;     // captions of the three boxes
    Label lblSetupPasswordD;                   // "LOCKED" / "UNLOCKED"
    FocusRequest txtSetupPasswordFocus;        // the code box that should have the focus
};

// Controls of the small hub setup dialog.
struct FrmHubSetup {
    FrmHubSetup()
    {
        window.setCaption("Form1");
        window.setVisible(false);
        cmdControl[0].setCaption("&Ok");
        cmdControl[1].setCaption("&Cancel");
    }

    Window window;
    std::array<TextBox, 3> txtHubSetup;   // user identifier, remote address, remote port
    std::array<Label, 2> cmdControl;
};

}  // namespace smtpin::forms
