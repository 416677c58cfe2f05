#pragma once

#include "log/SystemLog.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace smtpin {
class Dialogs;
class FolderLock;
namespace spool { class Spool; }
class LogBackup;
class SmtpListener;
class PagerMessageExtraction;
namespace forms { struct FrmSMTP; }
namespace db {
struct Parameter;
class CatalogueConnection;
class ClientConfig;
class ClientRegistration;
}
namespace messages {
class InputQueue;
class PageStore;
class MessageCreation;
class Watchdog;
}
}  // namespace smtpin

namespace smtpin::core {

// A setting start-up cannot work with; the text names it.
struct StartupFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Prepares the client before it takes mail: catalogue, identity, log
// files, every setting with its default and limits, the input queue.
class StartupSettings {
public:
    struct Services {
        forms::FrmSMTP& form;
        SystemLog& log;
        Dialogs& dialogs;
        db::CatalogueConnection& db;
        db::ClientRegistration& registration;
        db::ClientConfig& config;
        messages::InputQueue& queue;
        messages::PageStore& store;
        messages::MessageCreation& creation;
        messages::Watchdog& watchdog;
        SmtpListener& listener;
        PagerMessageExtraction& extraction;
        LogBackup& backup;
        spool::Spool& spool;
        FolderLock& dataLock;   // held while the program runs; names the row it claimed
        int& healthMaxPageAge;  // seconds a page may wait before /healthz says so
    };
    struct Files {
        std::string logFolder;
        std::string spool;      // the spool's SQLite file
        std::string lock;       // the data folder's lock file
        std::string tlsCert;    // [TLS] Cert and Key; empty: no STARTTLS
        std::string tlsKey;
    };

    static constexpr const char* kClientType = "SMTPIN";

    StartupSettings(Services services, Files files, SystemLog::Version version);

    // False: the client may not run (the reason is logged or shown). Throws
    // StartupFault for a setting that cannot be used at all.
    bool InitialiseSystem();
    // The last reason InitialiseSystem gave false, for a one-line report.
    const std::string& failure() const { return failure_; }

    // A whole-number setting's value as start-up reads it: the number used
    // and its "  IV: " line. Throws StartupFault for one it cannot use.
    struct Reading {
        std::int32_t number;
        std::string line;
    };
    static Reading ReadWhole(const db::Parameter& p, const std::string& value);

private:
    bool run();
    void readListenerSettings();
    void readTls();
    bool identify();
    void openSpool();
    void readCodePage();
    void readSwitch();
    // A whole-number parameter of the table: read, checked, applied, logged.
    void readNumber(const char* name);
    std::string readText(const char* name, std::string* line);
    std::string config(const char* parameter);

    Services s_;
    Files files_;
    SystemLog::Version version_;
    std::string failure_;
};

}  // namespace smtpin::core
