#pragma once

#include "Installation.h"
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
#include "messages/PageStore.h"
#include "messages/SwitchInbox.h"
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

#include <QTimer>

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
    // Reads the TLS certificate and key again (SIGHUP).
    void reloadTls();
    // Runs once the main window has really closed.
    void onFinished(std::function<void()> finished) { finished_ = std::move(finished); }

    bool running() const { return main_.phase() == MainWindow::Phase::Running; }
    bool inert() const { return main_.phase() == MainWindow::Phase::Inert; }
    bool closed() const { return main_.phase() == MainWindow::Phase::Closed; }
    // Why start-up failed; empty when it did not.
    std::string failure() const;
    // What /healthz and /metrics report.
    status::Snapshot snapshot() const;
    // The main window's status strip from the same figures (once a second).
    void refreshStatusStrip();

    const std::string& logFolder() const { return logFolder_; }
    // V2.1(35) in the captions and logs; "2.1.0.35" as a file version.
    static SystemLog::Version version();
    static const char* fileVersion();

    // Each window as its controls, which its view renders, and its
    // behaviour, whose handlers the view calls.
    struct Windows {
        forms::FrmSMTP& mainForm;
        MainWindow& main;
        testtraffic::TestTraffic& testTraffic;
        forms::FrmTCPHub& tcpForm;
        shell::FrmTCPHubWindow& tcpHub;
        shell::SetupLock& setupLock;
        forms::FrmHubSetup& hubSetupForm;
        shell::FrmHubSetupWindow& hubSetup;
        forms::CommDisplayForm& linkForm;
        hub::CommDisplay& link;
    };
    Windows windows()
    {
        return {mainForm_,  main_,         testTraffic_, tcpForm_,  tcpHub_,
                setupLock_, hubSetupForm_, hubSetup_,    linkForm_, link_};
    }

    // The parts the command line's status and the tests look at.
    struct Parts {
        SystemLog& log;
        db::CatalogueConnection& db;
        db::ClientRegistration& registration;
        messages::InputQueue& queue;
        messages::PageStore& store;
        messages::MessageCreation& creation;
        const PagerMessageExtraction& extraction;
        SmtpListener& listener;
        LogBackup& backup;
        shell::ShellSettings& shell;
    };
    Parts parts()
    {
        return {log_, db_, registration_, queue_, store_, creation_, extraction_, listener_, backup_, shell_};
    }

private:
    void wire();
    void setTimersEnabled(bool timers);
    void openStatusEndpoint();

    // In the order they are built: each part is handed those before it, but
    // for the main window, which keeps a reference to the test traffic made
    // after it.
    const Clock& clock_;
    Options options_;
    Installation install_;
    std::string logFolder_;
    std::string spoolFile_;
    FolderLock dataLock_;
    const SettingsStore& settings_;
    forms::FrmSMTP mainForm_;
    forms::FrmTCPHub tcpForm_;
    forms::FrmHubSetup hubSetupForm_;
    forms::CommDisplayForm linkForm_;
    SystemLog log_;
    std::unique_ptr<HeadlessDialogs> headlessDialogs_;
    std::function<void()> finished_;
    Dialogs& dialogs_;
    db::CatalogueConnection db_;
    db::ClientRegistration registration_;
    db::ClientConfig config_;
    db::DatabaseLog dbLog_;
    spool::Spool spool_;
    int healthMaxPageAge_ = 120;
    hub::SocketControlLink hubSocket_;
    hub::CommDisplay link_;
    messages::InputQueue queue_;
    messages::PageStore store_;
    messages::SwitchInbox inbox_;
    messages::MessageCreation creation_;
    messages::Watchdog watchdog_;
    PagerMessageExtraction extraction_;
    SmtpListener listener_;
    LogBackup backup_;
    shell::ShellSettings shell_;
    shell::FrmTCPHubWindow tcpHub_;
    shell::FrmHubSetupWindow hubSetup_;
    shell::SetupLock setupLock_;
    StartupSettings startup_;
    MainWindow main_;
    testtraffic::TestTraffic testTraffic_;
    std::unique_ptr<status::StatusServer> statusServer_;
    QTimer statusTimer_;
};

}  // namespace smtpin::core
