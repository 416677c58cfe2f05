#pragma once

#include "platform/Dialogs.h"

namespace smtpin::gui {

// Message boxes as real dialogs. Each text also goes to standard error, so
// a window nobody watches still leaves its reason in the journal.
class WidgetDialogs final : public Dialogs {
public:
    void MsgBox(const std::string& text, const std::string& title) override;
    bool AskYesNo(const std::string& text, const std::string& title) override;

    // The program is stopping: close the open box, and from now on show none
    // (a question then takes No, as headless without --yes).
    void dismiss();

private:
    bool dismissed_ = false;
};

}  // namespace smtpin::gui
