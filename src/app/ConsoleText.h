#pragma once

#include "log/SystemLog.h"
#include "smtp/CodePage.h"

#include <string>

namespace smtpin::app {

// A log line as the terminal and the journal take it: UTF-8, lines ended by
// LF alone. Text the program made is in the switch's code page and is
// converted; a line from the wire passes as it is when it is UTF-8.
std::string ConsoleText(const std::string& line, SystemLog::EchoText kind, const CodePage& codePage);

}  // namespace smtpin::app
