#include "Client.h"

#include "Version.h"

#include <QDir>

#include <iostream>

namespace smtpin::core {

namespace {

std::string logFolderOf(const SettingsStore& settings, const std::string& dataDir)
{
    const std::string folder = settings.ReadValue("Software\\VORN\\HXS\\Logs", "Folder", 1024);
    if (!folder.empty())
        return folder;
    return QDir(QString::fromStdString(dataDir)).absoluteFilePath("logs").toStdString();
}

// "spool.sqlite" in the data folder, or in the [Spool] Folder= of the settings.
std::string spoolFileOf(const SettingsStore& settings, const std::string& dataDir)
{
    const std::string folder = settings.ReadValue("Software\\VORN\\HXS\\Spool", "Folder", 1024);
    return QDir(QString::fromStdString(folder.empty() ? dataDir : folder)).absoluteFilePath("spool.sqlite").toStdString();
}

}  // namespace

std::string Client::configFileOf(const Options& o)
{
    if (!o.configFile.empty())
        return o.configFile;
    return QDir(QString::fromStdString(o.dataDir)).absoluteFilePath("smtpin.ini").toStdString();
}

SystemLog::Version Client::version() { return {version::kMajor, version::kMinor, version::kRevision}; }

const char* Client::fileVersion() { return version::kFile; }

Client::Client(const Clock& clock_, Options options_)
    : clock(clock_),
      options(std::move(options_)),
      configFile_(configFileOf(options)),
      logFolder_(logFolderOf(SettingsStore(configFile_), options.dataDir)),
      spoolFile_(spoolFileOf(SettingsStore(configFile_), options.dataDir)),
      settings(configFile_),
      log(clock, {mainForm.lbxSystemLog, mainForm.lbxSMTPLOG, mainForm.cbxErrorLogging}),
      headlessDialogs_(options.dialogs ? nullptr
                                       : std::make_unique<HeadlessDialogs>(
                                             [this](const std::string& line) {
                                                 log.ApplicationLine(line);
                                             },
                                             options.answerYes, options.err ? *options.err : std::cerr)),
      dialogs(options.dialogs ? *options.dialogs : *headlessDialogs_),
      db(clock, log, {mainForm.txbDatabaseHits, mainForm.txbDataSource, mainForm.txbInitialCatalog}, settings,
         QDir(QString::fromStdString(options.dataDir)).absolutePath().toStdString()),
      registration(db, log, dialogs),
      config(db, log, registration),
      dbLog(db, registration),
      link(clock, log, linkForm, mainForm.lbTCPProgress, hubSocket),
      queue(clock, log, {mainForm.lbQueSize, mainForm.txbOutgoingPkts}, registration, config, link),
      creation(clock, log, db, registration, queue, link),
      watchdog(clock, registration, queue, link),
      extraction(clock, log, db, [this] { return listener.tick(); },
                 [this](std::string& message, const std::string& pin, const std::string& hash, DateSerial requested,
                        const std::string& machine, const std::string& address) {
                     switch (creation.SendMessage(message, pin, hash, requested, machine, address)) {
                     case messages::Taken::Queued: return MailOutcome::Queued;
                     case messages::Taken::LinkBusy: return MailOutcome::LinkBusy;
                     case messages::Taken::NoMessageId: return MailOutcome::NoMessageId;
                     case messages::Taken::QueueFull:
                     case messages::Taken::SpoolRefused: break;
                     }
                     return MailOutcome::QueueFull;
                 }),
      listener(clock, log,
               {mainForm.lbPETTicker, mainForm.lbSocsLoaded, mainForm.txbServerAddress, mainForm.txbServerPort},
               extraction),
      backup(clock, log),
      shell(clock, registration, config, settings, tcpForm, mainForm.lbMainFormBanner),
      tcpHub(shell, tcpForm, link, registration, dialogs),
      hubSetup(hubSetupForm, shell, registration, dialogs),
      setupLock(shell, tcpForm, dialogs),
      startup({mainForm, log, dialogs, db, registration, config, queue, creation, watchdog, listener, extraction, backup,
               spool, dataLock_},
              {logFolder_, spoolFile_,
               QDir(QString::fromStdString(options.dataDir)).absoluteFilePath("smtpin.lock").toStdString()},
              version()),
      main({clock, mainForm, log, dialogs, db, registration, queue, watchdog, listener, backup, startup},
           MainWindow::Shell{tcpHub, tcpForm, shell, link, testTraffic},
           version()),
      testTraffic(clock, mainForm, main.ContinuousElapsed,
                  [this](std::string& message, const std::string& pin, const std::string& hash, DateSerial requested,
                         const std::string& machine, const std::string& address) {
                      return creation.SendMessage(message, pin, hash, requested, machine, address) ==
                             messages::Taken::Queued;
                  })
{
    mainForm.cbxErrorLogging.setValue(1);
    dbLog.attachTo(log);
    QObject::connect(&link, &hub::CommDisplay::tcpConnected, [this] { watchdog.SendSwitchWatchdog(); });
    QObject::connect(&link, &hub::CommDisplay::loginAccepted, [this] { queue.ResendAfterLogin(); });
    QObject::connect(&tcpHub.ring(), &hub::HubMessageRing::hubMessage,
                     [this](const std::string& text) { main.DoRecievedData(text); });
    queue.AttachSpool(&spool);
    QObject::connect(&backup, &LogBackup::backedUp, [this] { registration.UpdateLastBackUp(registration.ClientId); });
    QObject::connect(&backup, &LogBackup::reconnectWanted, [this] {
        db.CloseSQLDatabase();
        db.OpenSQLDatabase();
    });
    // The data folder's lock names the row this installation holds, so a
    // start after a crash can take it back; cleared when the row is given back.
    QObject::connect(&registration, &db::ClientRegistration::claimChanged, [this](const std::string& device,
                                                                                 const std::string& stamp) {
        if (dataLock_.Held() && !dataLock_.Record(device.empty() ? std::string() : device + "\t" + stamp))
            log.ApplicationLine("  IV: Could not note the client row in the data folder lock");
    });
    // A listener that opens late (or is lost) is told to the switch as at start-up.
    QObject::connect(&listener, &SmtpListener::availabilityChanged, [this](bool ready) {
        if (running())
            queue.SendUpdate(true, ready ? "READY" : "UNAVAIL");
    });
    const bool timers = options.timers;
    link.setTimersEnabled(timers);
    listener.setTimersEnabled(timers);
    tcpHub.setTimersEnabled(timers);
    main.setTimersEnabled(timers);
    // Log rows the catalogue could not take go as soon as it takes them again.
    QObject::connect(&main.tmrDummyPkts, &QTimer::timeout, [this] { dbLog.FlushWaiting(); });
    QObject::connect(&main, &MainWindow::closed, [this] {
        if (finished_)
            finished_();
    });
    shell.SetBanners();
}

Client::~Client()
{
    // The parts go one by one; none may reach one already gone.
    const QObject* senders[] = {&link, &tcpHub.ring(), &backup, &registration, &listener, &main};
    for (const QObject* sender : senders)
        sender->disconnect();
}

void Client::start()
{
    main.Form_Load();
    if (running())
        openStatusEndpoint();
}

// [Status] Listen= of the settings file; absent: 127.0.0.1:9125, empty: none.
void Client::openStatusEndpoint()
{
    const std::string where =
        settings.Find("Software\\VORN\\HXS\\Status", "Listen", 256).value_or("127.0.0.1:9125");
    if (where.empty()) {
        log.ApplicationLine("  IV: No status endpoint ([Status] Listen is empty)");
        return;
    }
    statusServer_ = std::make_unique<status::StatusServer>([this] { return snapshot(); });
    std::string why;
    const std::uint16_t port = statusServer_->Listen(where, &why);
    if (port == 0) {
        statusServer_.reset();
        log.ApplicationLine("  IV: Status endpoint not opened: " + why);
        return;
    }
    log.ApplicationLine("  IV: Status endpoint /healthz and /metrics on port " + std::to_string(port));
}

status::Snapshot Client::snapshot() const
{
    status::Snapshot s;
    s.listening = listener.listenerReady();
    s.loggedIn = link.isLoggedIn();
    s.catalogueOpen = db.isOpen();
    s.mailsAccepted = listener.counters().accepted;
    s.refusedByCode = listener.counters().refused;
    s.queueDepth = queue.Depth();
    s.queueSize = queue.queueSize() + 1;
    s.spoolDepth = static_cast<int>(spool.Count());
    s.logins = link.logins();
    s.recordsSent = link.recordsSent();
    s.recordsDeleted = queue.recordsDeleted();
    if (queue.recordsDeleted() > 0)
        s.secondsSinceDelete = (clock.now().days() - queue.lastDelete().days()) * 86400.0;
    s.databaseErrors = db.ErrorsReported();
    return s;
}

void Client::requestClose()
{
    if (closed())
        return;
    if (main.Form_QueryUnload(0))
        main.Form_Unload();
}

std::string Client::failure() const { return main.failure(); }

}  // namespace smtpin::core
