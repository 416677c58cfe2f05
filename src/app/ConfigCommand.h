#pragma once

#include "core/Client.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace smtpin::app {

// "smtpin config list | get NAME | set NAME VALUE": the client's
// configuration parameters in the catalogue, checked against the ranges
// start-up applies. The exit status: 0 done, 1 the catalogue or the client
// cannot be found, 2 a wrong name, value or use.
int RunConfigCommand(const core::Client::Options& options, const std::vector<std::string>& words,
                     const std::string& device, std::ostream& out, std::ostream& err);

}  // namespace smtpin::app
