#include "ConsoleText.h"

#include "platform/Text.h"

namespace smtpin::app {

std::string ConsoleText(const std::string& line, SystemLog::EchoText kind, const CodePage& codePage)
{
    std::string text;
    text.reserve(line.size());
    // CR LF and a lone CR both end a line.
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\r')
            text += line[i];
        else if (i + 1 >= line.size() || line[i + 1] != '\n')
            text += '\n';
    }
    if (!text::HasEightBit(text) || (kind == SystemLog::EchoText::Wire && text::IsUtf8(text)))
        return text;
    return codePage.ToUtf8(text).text;
}

}  // namespace smtpin::app
