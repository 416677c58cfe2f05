#pragma once

#include "platform/Dialogs.h"

namespace smtpin::gui {

// Message boxes as real dialogs.
class WidgetDialogs final : public Dialogs {
public:
    void MsgBox(const std::string& text, const std::string& title) override;
    bool AskYesNo(const std::string& text, const std::string& title) override;
};

}  // namespace smtpin::gui
