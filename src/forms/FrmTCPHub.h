#pragma once

#include "platform/Controls.h"

#include <array>

namespace smtpin::forms {

// Controls of the TCP setup window, under their original names. Buttons are
// labels: a caption that can be enabled, shown and pressed.
struct FrmTCPHub {
    FrmTCPHub()
    {
        window.setCaption("TCP Setup");
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
