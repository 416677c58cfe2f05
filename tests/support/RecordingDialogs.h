#pragma once

#include "platform/Dialogs.h"

#include <functional>
#include <string>
#include <vector>

namespace smtpin::test {

// Message boxes that remember what they showed and answer as told.
class RecordingDialogs final : public Dialogs {
public:
    void MsgBox(const std::string& text, const std::string&) override
    {
        shown.push_back(text);
        // A real message box is modal: window events run while it is up.
        if (whileShown)
            whileShown();
    }
    bool AskYesNo(const std::string& text, const std::string&) override
    {
        asked.push_back(text);
        return answer;
    }
    std::function<void()> whileShown;
    bool answer = false;
    std::vector<std::string> shown;
    std::vector<std::string> asked;
};

}  // namespace smtpin::test
