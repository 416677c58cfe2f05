#pragma once

#include "platform/Controls.h"

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
};

}  // namespace smtpin::forms
