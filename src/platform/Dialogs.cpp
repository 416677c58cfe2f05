#include "Dialogs.h"

#include <ostream>
#include <utility>

namespace smtpin {

HeadlessDialogs::HeadlessDialogs(LogLine log, bool answerYes, std::ostream& err)
    : log_(std::move(log)), answerYes_(answerYes), err_(err)
{
}

void HeadlessDialogs::tell(const std::string& line)
{
    if (log_)
        log_(line);
    err_ << line << '\n';
    err_.flush();
}

void HeadlessDialogs::MsgBox(const std::string& text, const std::string& title)
{
    tell(title.empty() ? text : title + ": " + text);
}

bool HeadlessDialogs::AskYesNo(const std::string& text, const std::string& title)
{
    tell((title.empty() ? text : title + ": " + text) + (answerYes_ ? " [answered Yes]" : " [answered No]"));
    return answerYes_;
}

}  // namespace smtpin
