#pragma once

#include "log/SystemLog.h"

#include <QTimer>

#include <cstdint>
#include <string>

namespace smtpin {
class Clock;
class Dialogs;
class LogBackup;
class SmtpListener;
namespace forms {
struct FrmSMTP;
struct FrmTCPHub;
}
namespace hub { class CommDisplay; }
namespace shell {
class FrmTCPHubWindow;
class ShellSettings;
}
namespace testtraffic { class TestTraffic; }
namespace db {
class CatalogueConnection;
class ClientRegistration;
}
namespace messages {
class InputQueue;
class PageStore;
class SwitchInbox;
class Watchdog;
}
}  // namespace smtpin

namespace smtpin::core {

class StartupSettings;

// The main window's behaviour: the start-up sequence, the staged close,
// the two housekeeping timers and the handlers of its buttons and menu.
class MainWindow final : public QObject {
    Q_OBJECT
public:
    // The TCP setup window, its shell and the link, as the main window
    // starts, shows and closes them; and the continuous test messages.
    struct Shell {
        shell::FrmTCPHubWindow& window;
        forms::FrmTCPHub& form;
        shell::ShellSettings& settings;
        hub::CommDisplay& link;
        testtraffic::TestTraffic& testTraffic;
    };
    struct Services {
        const Clock& clock;
        forms::FrmSMTP& form;
        SystemLog& log;
        Dialogs& dialogs;
        db::CatalogueConnection& db;
        db::ClientRegistration& registration;
        messages::InputQueue& queue;
        messages::SwitchInbox& inbox;
        messages::PageStore& store;
        messages::Watchdog& watchdog;
        SmtpListener& listener;
        LogBackup& backup;
        StartupSettings& startup;
    };
    enum class Phase { Loading, Running, Inert, Closing, Closed };

    static constexpr int kSystemMs = 100;
    static constexpr int kDummyPktsMs = 500;
    static constexpr long kRecordsWrap = 1000000000;

    MainWindow(Services services, Shell shell, SystemLog::Version version);

    void setTimersEnabled(bool on) { timersEnabled_ = on; }

    void Form_Load();
    // Returns true when the close may proceed.
    bool Form_QueryUnload();
    void Form_Unload();
    // A close request, as closing the window or a stop signal makes it.
    void RequestClose();
    void tmrSystem_Timer();
    void tmrDummyPkts_Timer();
    void DoRecievedData(const std::string& text);
    void UpdateTCPMain(const std::string& text);

    void cmdDatabaseRESET_Click();
    void cmdRefreshDatasource_Click();
    void lbxSystemLog_Click();
    void lbxSMTPLOG_Click();
    void mnuShowTCP_Click();
    void mnuMinimise_Click();
    void mnuExit_Click();

    // The staged close, numbered as the original's stage word.
    enum class Closing : std::int16_t {
        NotBegun = 0,
        Begun = 1,            // sessions closed, the row given back; the setup window next
        ShellUnloading = 2,   // the setup window logs off and closes
    };
    Closing closeStage() const { return CloseStage; }
    Phase phase() const { return phase_; }
    // Why start-up failed, for a one-line report.
    const std::string& failure() const { return failure_; }
    // Records from the switch so far, as the setup window shows them; the
    // count after n.
    long recordsProcessed() const { return RecordsProcessed; }
    static long NextRecordCount(long n) { return (n + 1) % kRecordsWrap; }
    // The half-second housekeeping timer, for those that work on its beat.
    const QTimer& housekeepingTimer() const { return tmrDummyPkts; }

signals:
    // The window really closed (the program then ends).
    void closed();

private:
    void loadShell();
    void unloadShell();
    bool loadSequence();
    void abandonStartUp();
    void drainLogInOneCommit();
    std::string versionText() const;
    // Asks for the close the platform would raise, and closes when allowed.
    void unloadWindow();

    Closing CloseStage = Closing::NotBegun;
    bool ClosePending = false;   // the system timer carries the close on
    long RecordsProcessed = 0;
    QTimer tmrSystem;
    QTimer tmrDummyPkts;

    Services s_;
    Shell shell_;
    SystemLog::Version version_;
    bool timersEnabled_ = true;
    Phase phase_ = Phase::Loading;
    std::string failure_;
};

}  // namespace smtpin::core
