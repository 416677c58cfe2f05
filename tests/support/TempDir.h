#pragma once

#include <QTemporaryDir>

#include <string>

namespace smtpin::test {

// A fresh folder removed at the end of the test.
class TempDir {
public:
    TempDir();
    std::string path() const { return dir_.path().toStdString(); }
    std::string file(const std::string& name) const { return path() + "/" + name; }
    static std::string read(const std::string& path);
    static void write(const std::string& path, const std::string& bytes);

private:
    QTemporaryDir dir_;
};

}  // namespace smtpin::test
