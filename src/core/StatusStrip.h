#pragma once

#include "forms/FrmSMTP.h"
#include "status/StatusServer.h"

namespace smtpin::core {

// The main window's status strip, written from the figures /metrics gives:
// the link's state and since when, the pages waiting and the oldest's age,
// the last page sent and the last DELETE, and the errors since start.
void ShowStatusStrip(const status::Snapshot& s, forms::FrmSMTP& form);

}  // namespace smtpin::core
