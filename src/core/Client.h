#pragma once

#include "MainWindow.h"
#include "StartupSettings.h"
#include "db/CatalogueConnection.h"
#include "db/ClientConfig.h"
#include "db/ClientRegistration.h"
#include "db/DatabaseLog.h"
#include "forms/CommDisplayForm.h"
#include "forms/FrmSMTP.h"
#include "forms/FrmTCPHub.h"
#include "hub/CommDisplay.h"
#include "hub/SocketControlLink.h"
#include "log/LogBackup.h"
#include "log/SystemLog.h"
#include "messages/InputQueue.h"
#include "messages/MessageCreation.h"
#include "messages/SwitchWatchdog.h"
#include "platform/Dialogs.h"
#include "platform/FolderLock.h"
#include "platform/SettingsStore.h"
#include "shell/FrmHubSetupWindow.h"
#include "shell/FrmTCPHubWindow.h"
#include "shell/SetupLock.h"
#include "shell/ShellSettings.h"
#include "smtp/PagerMessageExtraction.h"
#include "smtp/SmtpListener.h"
#include "spool/Spool.h"
#include "status/StatusServer.h"
#include "testtraffic/TestTraffic.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

namespace smtpin::core {

// One SMTP input client: every window's controls and every subsystem,
// wired together. Nothing of it is global, so two can run in one process.
class Client {
public:
    struct Options {
        std::string dataDir = "smtpin-data";
        std::string configFile;            // default <dataDir>/smtpin.ini
        bool answerYes = false;            // headless answer to Yes/No questions
        Dialogs* dialogs = nullptr;        // windowed message boxes; headless when null
        std::ostream* err = nullptr;       // headless message boxes; standard error when null
        bool timers = true;                // tests drive the timer handlers themselves
    };

    Client(const Clock& clock, Options options);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The main window's load: the whole start-up.
    void start();
    // A close request, as closing the main window or a stop signal makes it.
    void requestClose();
    // Runs once the main window has really closed.
    void onFinished(std::function<void()> finished) { finished_ = std::move(finished); }

    bool running() const { return main.phase() == MainWindow::Phase::Running; }
    bool inert() const { return main.phase() == MainWindow::Phase::Inert; }
    bool closed() const { return main.phase() == MainWindow::Phase::Closed; }
    // Why start-up failed; empty when it did not.
    std::string failure() const;
    // What /healthz and /metrics report.
    status::Snapshot snapshot() const;

    const std::string& logFolder() const { return logFolder_; }
    const std::string& spoolFile() const { return spoolFile_; }
    const std::string& configFile() const { return configFile_; }
    // The settings file the options name: theirs, or the one in the data folder.
    static std::string configFileOf(const Options& options);
    // V2.1(35) in the captions and logs; "2.1.0.35" as a file version.
    static SystemLog::Version version();
    static const char* fileVersion();

    const Clock& clock;
    Options options;

private:
    std::string configFile_;
    std::string logFolder_;
    std::string spoolFile_;
    FolderLock dataLock_;

private:
    SettingsStore settings;

public:
    forms::FrmSMTP mainForm;
    forms::FrmTCPHub tcpForm;
    forms::FrmHubSetup hubSetupForm;
    forms::CommDisplayForm linkForm;
    SystemLog log;

private:
    std::unique_ptr<HeadlessDialogs> headlessDialogs_;
    std::function<void()> finished_;

    // Wiring only: what the windows and the tests never reach.
    Dialogs& dialogs;

public:
    db::CatalogueConnection db;
    db::ClientRegistration registration;
    db::ClientConfig config;

private:
    db::DatabaseLog dbLog;

public:
    spool::Spool spool;

private:
    hub::SocketControlLink hubSocket;

public:
    hub::CommDisplay link;
    messages::InputQueue queue;
    messages::MessageCreation creation;

private:
    messages::Watchdog watchdog;
    PagerMessageExtraction extraction;

public:
    SmtpListener listener;
    LogBackup backup;
    shell::ShellSettings shell;
    shell::FrmTCPHubWindow tcpHub;
    shell::FrmHubSetupWindow hubSetup;
    shell::SetupLock setupLock;

private:
    StartupSettings startup;

public:
    MainWindow main;
    testtraffic::TestTraffic testTraffic;

private:
    void openStatusEndpoint();
    std::unique_ptr<status::StatusServer> statusServer_;
};

}  // namespace smtpin::core
