#pragma once

#include "platform/Controls.h"

#include <array>

namespace smtpin::forms {

// Controls of the main window, under their original names.
struct FrmSMTP {
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
    bool minimised = false;
    Label lbMainFormBanner;
    Label lbDefaultMessID;
    TextBox txbMaxSockets;
    Label lbClientStart;
    Label lbLastTimeResetDBH;
    std::array<TextBox, 5> txbPagerNo;   // 0-3 group test devices, 4 single test device
    int SSTab1 = 0;                       // selected tab
    MenuItem mnuShowTCP;
    MenuItem mnuMinimise;
    MenuItem mnuExit;
};

}  // namespace smtpin::forms
