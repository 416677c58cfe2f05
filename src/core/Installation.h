#pragma once

#include "db/CatalogueConnection.h"
#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "platform/Controls.h"
#include "platform/Dialogs.h"
#include "platform/SettingsStore.h"

#include <memory>
#include <optional>
#include <set>
#include <string>

namespace smtpin::core {

// One installation on disk: its data folder, settings file, catalogue,
// spool and lock, without a listener, windows or link. The config command
// and --init work from it; the client finds its files through it.
class Installation {
public:
    static constexpr const char* kLockFile = "smtpin.lock";
    static constexpr const char* kSpoolFile = "spool.sqlite";

    Installation(std::string dataDir, std::string configFile = {});

    const std::string& dataDir() const { return dataDir_; }
    const std::string& configFile() const { return configFile_; }
    const SettingsStore& settings() const { return settings_; }
    std::string logFolder() const;
    std::string spoolFile() const;
    std::string lockFile() const;
    // The settings file's value of a settings-file key ("Status/Listen");
    // nothing when it is not there.
    std::optional<std::string> settingsValue(const std::string& key, std::size_t maxLength = 1024) const;

    // Why the settings file cannot be used: it exists but cannot be read,
    // or does not parse. Nothing when it is fine or missing.
    std::optional<std::string> SettingsFileProblem() const;
    // The data folder and the settings file, made when missing, as the
    // service's first start makes them. False with why.
    bool Prepare(std::string* why);

    // What the data folder holds now, to tell later what a run created.
    std::set<std::string> Contents() const;
    // Run as root: what was created since `before` is handed to the owner
    // and group of the data folder, so the service can use it.
    void HandOverCreated(const std::set<std::string>& before) const;

    // The catalogue as the settings file describes it, opened (and, for a
    // new embedded one, created and seeded) on first use.
    struct Catalogue;
    Catalogue& catalogue();

private:
    std::string dataDir_;
    std::string configFile_;
    SettingsStore settings_;
    SystemClock clock_;
    std::unique_ptr<Catalogue> catalogue_;
};

// The catalogue's parts the config command needs, on a log of their own
// that nobody sees: what matters is told on the terminal.
struct Installation::Catalogue {
    Catalogue(const Clock& clock, const SettingsStore& settings, const std::string& dataDir);

    ListBox systemList, smtpList;
    CheckBox errorLogging;
    TextBox hits, dataSource, initialCatalog;
    SystemLog log;
    HeadlessDialogs dialogs;
    db::CatalogueConnection db;
    db::ClientRegistration registration;
    db::ClientConfig config;

    // Open it; false with why.
    bool Open(std::string* why);
    bool odbc() const { return db.ReadLocation().driver == db::CatalogueConnection::Driver::Odbc; }
};

}  // namespace smtpin::core
