#include "SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <utility>

namespace smtpin {
namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](unsigned char a, unsigned char b) {
               return std::tolower(a) == std::tolower(b);
           });
}

// The stored spelling of `wanted` among `names`, or empty.
QString findNoCase(const QStringList& names, const QString& wanted)
{
    for (const QString& n : names)
        if (n.compare(wanted, Qt::CaseInsensitive) == 0)
            return n;
    return {};
}

}  // namespace

SettingsStore::SettingsStore(std::string fileName) : fileName_(std::move(fileName)) {}

std::optional<std::string> SettingsStore::Problem() const
{
    const QString name = QString::fromStdString(fileName_);
    const QFileInfo info(name);
    if (fileName_.empty() || !info.exists())
        return std::nullopt;
    QFile file(name);
    if (info.isDir())
        return std::string("cannot be read: it is a folder");
    if (!file.open(QIODevice::ReadOnly))
        return "cannot be read: " + file.errorString().toStdString();
    QSettings ini(name, QSettings::IniFormat);
    ini.childGroups();
    if (ini.status() == QSettings::FormatError)
        return std::string("does not parse: a line is neither [group], key=value nor a ; comment "
                           "(a group line without its ], say)");
    if (ini.status() == QSettings::AccessError)
        return std::string("cannot be read");
    return std::nullopt;
}

std::string SettingsStore::groupOf(const std::string& keyPath)
{
    std::string path = keyPath;
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string root = kRootKey;
    std::replace(root.begin(), root.end(), '\\', '/');
    if (startsWithNoCase(path, root + "/"))
        path.erase(0, root.size() + 1);
    else if (startsWithNoCase(path, root) && path.size() == root.size())
        path.clear();
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

std::string SettingsStore::ReadRegistryValue(const std::string& keyPath, const std::string& name) const
{
    return ReadValue(keyPath, name, kMaxValueLength);
}

std::string SettingsStore::ReadValue(const std::string& keyPath, const std::string& name, std::size_t maxLength) const
{
    return Find(keyPath, name, maxLength).value_or(std::string());
}

std::optional<std::string> SettingsStore::Find(const std::string& keyPath, const std::string& name,
                                               std::size_t maxLength) const
{
    if (fileName_.empty() || name.empty())
        return {};
    QSettings ini(QString::fromStdString(fileName_), QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return {};
    const QString group = QString::fromLatin1(groupOf(keyPath).c_str());
    for (const QString& part : group.split('/', Qt::SkipEmptyParts)) {
        const QString stored = findNoCase(ini.childGroups(), part);
        if (stored.isEmpty())
            return {};
        ini.beginGroup(stored);
    }
    const QString key = findNoCase(ini.childKeys(), QString::fromLatin1(name.c_str()));
    if (key.isEmpty())
        return {};
    const QVariant v = ini.value(key);
    // An unquoted value with commas comes back as a list; give it back whole.
    const QString text = v.typeId() == QMetaType::QStringList ? v.toStringList().join(',') : v.toString();
    const QByteArray bytes = text.toLatin1();
    if (static_cast<std::size_t>(bytes.size()) > maxLength)
        return std::string();
    return bytes.toStdString();
}

}  // namespace smtpin
