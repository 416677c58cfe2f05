#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace smtpin::app {

// "smtpin config list | get NAME | set NAME VALUE": every setting of the
// client, wherever it lives (the client's rows, the switch's rows, the
// settings file), checked as start-up checks it. The exit status: 0 done,
// 1 the installation, catalogue or client cannot be used, 2 a wrong name,
// value or use.
int RunConfigCommand(const std::string& dataDir, const std::string& configFile, const std::vector<std::string>& words,
                     const std::string& device, std::ostream& out, std::ostream& err);

}  // namespace smtpin::app
