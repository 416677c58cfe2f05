#pragma once

#include "platform/Controls.h"

#include <array>

namespace smtpin::forms {

// Controls of the main window, under their original names.
struct FrmSMTP {
    FrmSMTP()
    {
        window.setCaption("VORN Communications          SMTP Server Client");
        lbSocsLoaded.setCaption("MAX socket array cnt = 0");
        lbPETTicker.setCaption("Not Running");
        lbQueSize.setCaption("Queue size = ");
        lbDefaultMessID.setCaption("Default Start MessID = ");
        cbxErrorLogging.setCaption("Error Logging");
        mnuShowTCP.setCaption("Show TCP");
        mnuMinimise.setCaption("Minimise");
        mnuExit.setCaption("Exit");
        txbMessage.setText("This is a test message from SMTP CLient");
        chkUnique.setCaption("Unique Messages (Prefix message with message counter 1-1000000)");
        chkUniqueSingle.setCaption("Unique Messages");
        cmdSEND.setCaption("Single");
        cmdPause.setCaption("Continuous");
        cmdGroup.setCaption("Group");
        cmdSynGroup.setCaption("Syn Grp Wh");
        Command2.setCaption("Syn Grp SMS");
    }

    // The status strip at the top: the state at a glance, from the figures
    // /metrics gives.
    Label lbLinkState;      // "Switch link: logged in since hh:mm:ss", in the state's colour
    Label lbPagesWaiting;   // pages answered 250 and not yet deleted, and the oldest's age
    Label lbLastSent;       // when a page last went to the switch
    Label lbLastDelete;     // when the switch last deleted one
    Label lbErrors;         // errors since start

    ListBox lbxSystemLog;   // application log, newest first
    ListBox lbxSMTPLOG;     // SMTP log, newest first
    Label lbPETTicker;      // last SMTP activity
    Label lbSocsLoaded;     // highest session socket in use
    TextBox txbServerPort;
    TextBox txbServerAddress;
    CheckBox cbxErrorLogging;  // copy application log entries to the database
    TextBox txbDatabaseHits;   // database operations since start
    TextBox txbDataSource;     // where the catalogue is
    TextBox txbInitialCatalog; // which catalogue
    Label lbQueSize;           // "Input Queue Size = n"
    TextBox txbOutgoingPkts;   // records handed to the hub link
    Label lbTCPProgress;       // hub link status text
    Window window;             // caption, shown, minimised
    Label lbMainFormBanner;
    Label lbDefaultMessID;
    TextBox txbMaxSockets;
    Label lbClientStart;
    Label lbLastTimeResetDBH;
    std::array<TextBox, 5> txbPagerNo;   // 0-3 group test devices, 4 single test device
    TabStrip SSTab1;                      // the pages: logs, settings, testing
    MenuItem mnuShowTCP;
    MenuItem mnuMinimise;
    MenuItem mnuExit;

    // Test controls; buttons are labels, as a caption that can be pressed.
    TextBox txbMessage;        // frame "Test Message"
    TextBox txbMachineName;    // "Machine Name", frame "Test XML Config"
    TextBox txbAckSocket;      // "ACK Socket (format  IP:Port)"
    CheckBox chkUnique;        // numbering of group tests
    CheckBox chkUniqueSingle;  // numbering of single tests
    Label cmdSEND;             // "Single"
    Label cmdPause;            // "Continuous" while stopped, "Pause" while running
    Label cmdGroup;
    Label cmdSynGroup;
    Label Command2;
};

}  // namespace smtpin::forms
