#include "SettingsFile.h"

#include "DefaultSettings.h"
#include "platform/Text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fstream>
#include <sstream>
#include <vector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace smtpin::core {

namespace {

// The commented settings file, also installed as /etc/smtpin/smtpin.ini.
constexpr const char* kDefaults = kDefaultSettingsText;

std::string_view trimmed(std::string_view s) { return text::Trim(s, text::kBlanks); }

bool isGroupLine(std::string_view line) { return trimmed(line).starts_with('['); }

bool isGroup(std::string_view line, const std::string& group)
{
    const std::string_view t = trimmed(line);
    return t.size() >= 2 && t.front() == '[' && t.back() == ']' &&
           text::EqualsNoCase(trimmed(t.substr(1, t.size() - 2)), group);
}

// "key=..." (commented: ";key=..."), letters compared without case.
bool isKey(std::string_view line, const std::string& key, bool commented)
{
    std::string_view t = trimmed(line);
    if (commented) {
        if (!t.starts_with(';'))
            return false;
        t = trimmed(t.substr(1));
    }
    const size_t eq = t.find('=');
    return eq != std::string_view::npos && text::EqualsNoCase(trimmed(t.substr(0, eq)), key);
}

bool failed(std::string* error, const std::string& what)
{
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

// Written beside the file and renamed over it, with its owner and mode.
bool replaceFile(const std::string& fileName, const std::string& content, std::string* error)
{
    struct stat old {};
    const bool existed = ::stat(fileName.c_str(), &old) == 0;
    const std::string temp = fileName + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, existed ? (old.st_mode & 07777) : 0640);
    if (fd < 0)
        return failed(error, "cannot write " + temp);
    bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (ok && existed) {
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
        // Only root can hand a file to another owner; the owner keeps its own.
        if (ok && geteuid() == 0)
            ok = ::fchown(fd, old.st_uid, old.st_gid) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), fileName.c_str()) != 0) {
        failed(error, "cannot replace " + fileName);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool WriteDefaultSettingsFile(const std::string& fileName, std::string* error)
{
    const QString name = QString::fromStdString(fileName);
    if (QFileInfo::exists(name))
        return true;
    QDir().mkpath(QFileInfo(name).absolutePath());
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(kDefaults) < 0) {
        if (error)
            *error = file.errorString().toStdString();
        return false;
    }
    return true;
}

std::string SettingsFileValue(const std::string& given)
{
    // The reader takes a leading "@" for a typed value ("@Variant(...)"); "@@" is a plain "@".
    const std::string value = given.starts_with('@') ? "@" + given : given;
    const bool plain = value.find_first_of(";,\\\"='#") == std::string::npos && trimmed(value) == value;
    if (plain)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool SetSettingsFileValue(const std::string& fileName, const std::string& group, const std::string& key,
                          const std::string& value, std::string* error)
{
    std::vector<std::string> lines;
    {
        std::ifstream in(fileName, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
    }
    const std::string entry = key + "=" + SettingsFileValue(value);
    size_t groupAt = lines.size();
    for (size_t i = 0; i < lines.size() && groupAt == lines.size(); ++i)
        if (isGroup(lines[i], group))
            groupAt = i;
    if (groupAt == lines.size()) {
        if (!lines.empty() && !trimmed(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + group + "]");
        lines.push_back(entry);
    } else {
        size_t end = groupAt + 1;
        while (end < lines.size() && !isGroupLine(lines[end]))
            ++end;
        size_t set = end, commented = end, last = groupAt;
        for (size_t i = groupAt + 1; i < end; ++i) {
            if (isKey(lines[i], key, false) && set == end)
                set = i;
            if (isKey(lines[i], key, true))
                commented = i;
            if (!trimmed(lines[i]).empty())
                last = i;
        }
        if (set != end)
            lines[set] = entry;
        else if (commented != end)
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(commented + 1), entry);
        else
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last + 1), entry);
    }
    std::ostringstream out;
    for (const std::string& line : lines)
        out << line << '\n';
    return replaceFile(fileName, out.str(), error);
}

}  // namespace smtpin::core
