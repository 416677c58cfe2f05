#pragma once

#include <string>

namespace smtpin::core {

// The settings file (the registry stand-in): written with every value
// commented out and explained on first start, so the embedded default runs
// and an operator sees what can be set.
bool WriteDefaultSettingsFile(const std::string& fileName, std::string* error);

// Sets key in [group] of the settings file, keeping its comments, layout,
// owner and mode: the line of the key is replaced, or the new line goes
// after its commented default, or at the end of the group. The file is
// replaced whole, so a crash leaves the old one or the new one.
bool SetSettingsFileValue(const std::string& fileName, const std::string& group, const std::string& key,
                          const std::string& value, std::string* error);

// A value as the settings file must hold it: in double quotes, with \ and "
// escaped, when it holds what the INI reader would take apart.
std::string SettingsFileValue(const std::string& value);

}  // namespace smtpin::core
