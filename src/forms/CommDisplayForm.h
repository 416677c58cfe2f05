#pragma once

#include "platform/Controls.h"

namespace smtpin::forms {

// Controls of the hub link window, under their original names.
struct CommDisplayForm {
    // Shown from the TCP setup window's menu or by Auto Show.
    CommDisplayForm() { window.setVisible(false); }

    Window window;
    Grid grdMember;          // property grid of this client's member record
    ListBox lstClientLog;    // client log, newest first
    Label lblError;          // link status text
};

}  // namespace smtpin::forms
