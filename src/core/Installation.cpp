#include "core/Installation.h"

#include "SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <iostream>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace smtpin::core {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// A data folder that holds more than this is no installation of ours.
constexpr std::size_t kMaxEntries = 10000;

}  // namespace

Installation::Installation(std::string dataDir, std::string configFile)
    : dataDir_(QDir(q(dataDir)).absolutePath().toStdString()),
      configFile_(configFile.empty() ? QDir(q(dataDir_)).absoluteFilePath("smtpin.ini").toStdString()
                                     : QDir(q(configFile)).absolutePath().toStdString()),
      settings_(configFile_)
{
}

std::optional<std::string> Installation::settingsValue(const std::string& key, std::size_t maxLength) const
{
    const auto slash = key.find('/');
    return settings_.Find(std::string(SettingsStore::kRootKey) + "\\" + key.substr(0, slash), key.substr(slash + 1),
                          maxLength);
}

std::string Installation::logFolder() const
{
    const std::string folder = settingsValue("Logs/Folder").value_or("");
    if (!folder.empty())
        return folder;
    return QDir(q(dataDir_)).absoluteFilePath("logs").toStdString();
}

std::string Installation::spoolFile() const
{
    const std::string folder = settingsValue("Spool/Folder").value_or("");
    return QDir(q(folder.empty() ? dataDir_ : folder)).absoluteFilePath(kSpoolFile).toStdString();
}

std::string Installation::lockFile() const { return QDir(q(dataDir_)).absoluteFilePath(kLockFile).toStdString(); }

std::optional<std::string> Installation::SettingsFileProblem() const { return settings_.Problem(); }

bool Installation::Prepare(std::string* why)
{
    if (!QDir().mkpath(q(dataDir_))) {
        *why = "cannot create the data folder " + dataDir_;
        return false;
    }
    std::string error;
    if (!WriteDefaultSettingsFile(configFile_, &error)) {
        *why = "cannot write the settings file " + configFile_ + ": " + error;
        return false;
    }
    if (const auto problem = SettingsFileProblem()) {
        *why = "the settings file " + configFile_ + " " + *problem;
        return false;
    }
    return true;
}

std::set<std::string> Installation::Contents() const
{
    std::set<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dataDir_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator() && found.size() < kMaxEntries;
         it.increment(ec))
        found.insert(it->path().string());
    return found;
}

void Installation::HandOverCreated(const std::set<std::string>& before) const
{
    struct stat folder {};
    if (geteuid() != 0 || ::stat(dataDir_.c_str(), &folder) != 0 || folder.st_uid == 0)
        return;
    for (const std::string& path : Contents())
        if (!before.contains(path) && ::lchown(path.c_str(), folder.st_uid, folder.st_gid) != 0)
            std::cerr << "smtpin: could not give " << path << " to the data folder's owner\n";
}

Installation::Catalogue& Installation::catalogue()
{
    if (!catalogue_)
        catalogue_ = std::make_unique<Catalogue>(clock_, settings_, dataDir_);
    return *catalogue_;
}

Installation::Catalogue::Catalogue(const Clock& clock, const SettingsStore& settings, const std::string& dataDir)
    : log(clock, {systemList, smtpList, errorLogging}),
      dialogs(nullptr, false, std::cerr),
      db(clock, log, {hits, dataSource, initialCatalog}, settings, dataDir),
      registration(db, log, dialogs),
      config(db, log, registration)
{
}

bool Installation::Catalogue::Open(std::string* why)
{
    if (db.EnsureSQLDatabase())
        return true;
    // "Fatal Error has occured opening database.\r<the driver's reason>"
    const std::string& text = db.lastDatabaseErrorText();
    *why = text.substr(text.rfind('\r') == std::string::npos ? 0 : text.rfind('\r') + 1);
    return false;
}

}  // namespace smtpin::core
