#include "SettingsFile.h"

#include "DefaultSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace smtpin::core {

namespace {

// The commented settings file, also installed as /etc/smtpin/smtpin.ini.
constexpr const char* kDefaults = kDefaultSettingsText;

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

}  // namespace smtpin::core
