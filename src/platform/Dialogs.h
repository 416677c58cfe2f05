#pragma once

#include <functional>
#include <iosfwd>
#include <string>

namespace smtpin {

// Message boxes. Windowed they are real dialogs; headless they go to the
// application log and standard error, and questions take a fixed answer.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual void MsgBox(const std::string& text, const std::string& title) = 0;
    virtual bool AskYesNo(const std::string& text, const std::string& title) = 0;
};

class HeadlessDialogs final : public Dialogs {
public:
    using LogLine = std::function<void(const std::string&)>;
    HeadlessDialogs(LogLine log, bool answerYes, std::ostream& err);

    void MsgBox(const std::string& text, const std::string& title) override;
    bool AskYesNo(const std::string& text, const std::string& title) override;

private:
    void tell(const std::string& line);

    LogLine log_;
    bool answerYes_;
    std::ostream& err_;
};

}  // namespace smtpin
