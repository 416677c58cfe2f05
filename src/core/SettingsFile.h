#pragma once

#include <string>

namespace smtpin::core {

// The settings file (the registry stand-in): written with every value
// commented out and explained on first start, so the embedded default runs
// and an operator sees what can be set.
bool WriteDefaultSettingsFile(const std::string& fileName, std::string* error);

}  // namespace smtpin::core
