#pragma once

#include <optional>
#include <string>

namespace smtpin::app {

// Why the windows cannot be shown, or nothing when a display may be there:
// checked before Qt tries one, which aborts the program when it finds none.
std::optional<std::string> NoDisplay();

}  // namespace smtpin::app
