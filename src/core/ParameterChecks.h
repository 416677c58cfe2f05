#pragma once

#include "db/Parameters.h"

#include <optional>
#include <string>

namespace smtpin::core {

// Why value cannot be used for p, or nothing: the one check of the config
// command, and of start-up for what it does not read with a fallback.
std::optional<std::string> CheckParameter(const db::Parameter& p, const std::string& value);

// The value as it is written: a whole number in its plain form, anything
// else as given.
std::string NormalParameterValue(const db::Parameter& p, const std::string& value);

// A host name as DNS takes it (letters, digits, "-" and "." in labels).
bool IsHostName(const std::string& name);

}  // namespace smtpin::core
