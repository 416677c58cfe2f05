#include "support/TempDir.h"

#include <fstream>
#include <sstream>

namespace smtpin::test {

TempDir::TempDir() = default;

std::string TempDir::read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void TempDir::write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace smtpin::test
