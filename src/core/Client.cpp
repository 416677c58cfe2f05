#include "Client.h"

#include "StatusStrip.h"
#include "smtp/TlsCredentials.h"

#include "Version.h"
#include "db/Parameters.h"

#include <iostream>

namespace smtpin::core {
namespace {

// The link's state as the status strip and the metrics tell it.
status::Snapshot::Link linkOf(hub::CommDisplay::LinkState state)
{
    using L = hub::CommDisplay::LinkState;
    using S = status::Snapshot::Link;
    switch (state) {
    case L::LoggedIn: return S::LoggedIn;
    case L::LoggedInWithoutOutput: return S::WithoutOutput;
    case L::Connecting: return S::Connecting;
    case L::TakenDownByOperator: return S::TakenDown;
    case L::Down: break;
    }
    return S::Down;
}

}  // namespace

SystemLog::Version Client::version() { return {version::kMajor, version::kMinor, version::kRevision}; }

const char* Client::fileVersion() { return version::kFile; }

Client::Client(const Clock& clock, Options options)
    : clock_(clock),
      options_(std::move(options)),
      install_(options_.dataDir, options_.configFile),
      logFolder_(install_.logFolder()),
      spoolFile_(install_.spoolFile()),
      settings_(install_.settings()),
      log_(clock_, {mainForm_.lbxSystemLog, mainForm_.lbxSMTPLOG, mainForm_.cbxErrorLogging}),
      headlessDialogs_(options_.dialogs ? nullptr
                                       : std::make_unique<HeadlessDialogs>(
                                             [this](const std::string& line) {
                                                 log_.ApplicationLine(line);
                                             },
                                             options_.answerYes, options_.err ? *options_.err : std::cerr)),
      dialogs_(options_.dialogs ? *options_.dialogs : *headlessDialogs_),
      db_(clock_, log_, {mainForm_.txbDatabaseHits, mainForm_.txbDataSource, mainForm_.txbInitialCatalog}, settings_,
         install_.dataDir()),
      registration_(db_, log_, dialogs_),
      config_(db_, log_, registration_),
      dbLog_(db_, registration_),
      link_(clock_, log_, linkForm_, mainForm_.lbTCPProgress, hubSocket_),
      queue_(clock_, log_, {mainForm_.lbQueSize, mainForm_.txbOutgoingPkts}, registration_, config_, link_),
      store_(clock_, log_, queue_),
      inbox_(clock_, registration_, queue_, store_),
      creation_(clock_, log_, db_, registration_, queue_, store_, link_),
      watchdog_(clock_, registration_, queue_, link_),
      extraction_(clock_, log_, db_, [this] { return listener_.tick(); }, creation_),
      listener_(clock_, log_,
               {mainForm_.lbPETTicker, mainForm_.lbSocsLoaded, mainForm_.txbServerAddress, mainForm_.txbServerPort},
               extraction_),
      backup_(clock_, log_),
      shell_(clock_, registration_, config_, settings_, tcpForm_, mainForm_.lbMainFormBanner),
      tcpHub_(shell_, tcpForm_, link_, registration_, dialogs_),
      hubSetup_(hubSetupForm_, shell_, registration_, dialogs_),
      setupLock_(shell_, tcpForm_, dialogs_),
      startup_({mainForm_, log_, dialogs_, db_, registration_, config_, queue_, store_, creation_, watchdog_, listener_,
                extraction_, backup_, spool_, dataLock_, healthMaxPageAge_},
              {logFolder_, spoolFile_, install_.lockFile(), install_.settingsValue("TLS/Cert").value_or(""),
               install_.settingsValue("TLS/Key").value_or("")},
              version()),
      main_({clock_, mainForm_, log_, dialogs_, db_, registration_, queue_, inbox_, store_, watchdog_, listener_,
             backup_, startup_},
           MainWindow::Shell{tcpHub_, tcpForm_, shell_, link_, testTraffic_},
           version()),
      testTraffic_(clock_, mainForm_,
                  [this](PageRequest& page) { return creation_.SendMessage(page) == PageOutcome::Queued; })
{
    wire();
    setTimersEnabled(options_.timers);
}

// The parts that tell each other what happened, after all are built.
void Client::wire()
{
    mainForm_.cbxErrorLogging.setValue(1);
    dbLog_.attachTo(log_);
    QObject::connect(&link_, &hub::CommDisplay::tcpConnected, [this] { watchdog_.SendSwitchWatchdog(); });
    QObject::connect(&link_, &hub::CommDisplay::loginAccepted, [this] { queue_.ResendAfterLogin(); });
    QObject::connect(&tcpHub_.ring(), &hub::HubMessageRing::hubMessage,
                     [this](const std::string& text) { main_.DoRecievedData(text); });
    store_.AttachSpool(&spool_);
    QObject::connect(&backup_, &LogBackup::backedUp,
                     [this] { registration_.UpdateLastBackUp(registration_.clientId()); });
    QObject::connect(&backup_, &LogBackup::reconnectWanted, [this] {
        db_.CloseSQLDatabase();
        db_.OpenSQLDatabase();
    });
    // The data folder's lock names the row this installation holds, so a
    // start after a crash can take it back; cleared when the row is given back.
    QObject::connect(&registration_, &db::ClientRegistration::claimChanged, [this](const std::string& device,
                                                                                 const std::string& stamp) {
        if (dataLock_.Held() && !dataLock_.Record(device.empty() ? std::string() : device + "\t" + stamp))
            log_.ApplicationLine("  IV: Could not note the client row in the data folder lock");
    });
    // A listener that opens late (or is lost) is told to the switch as at start-up.
    QObject::connect(&listener_, &SmtpListener::availabilityChanged, [this](bool ready) {
        if (running())
            queue_.SendUpdate(true, ready ? "READY" : "UNAVAIL");
    });
    // Log rows the catalogue could not take go as soon as it takes them again.
    QObject::connect(&main_.housekeepingTimer(), &QTimer::timeout, [this] { dbLog_.FlushWaiting(); });
    QObject::connect(&main_, &MainWindow::closed, [this] {
        if (finished_)
            finished_();
    });
    shell_.SetBanners();
    statusTimer_.setInterval(1000);
    QObject::connect(&statusTimer_, &QTimer::timeout, [this] { refreshStatusStrip(); });
}

void Client::setTimersEnabled(bool timers)
{
    link_.setTimersEnabled(timers);
    listener_.setTimersEnabled(timers);
    tcpHub_.setTimersEnabled(timers);
    main_.setTimersEnabled(timers);
}

Client::~Client()
{
    // The parts go one by one; none may reach one already gone.
    const QObject* senders[] = {&link_, &tcpHub_.ring(), &backup_, &registration_, &listener_, &main_};
    for (const QObject* sender : senders)
        sender->disconnect();
}

void Client::start()
{
    main_.Form_Load();
    if (running())
        openStatusEndpoint();
    refreshStatusStrip();
    if (options_.timers)
        statusTimer_.start();
}

void Client::refreshStatusStrip() { ShowStatusStrip(snapshot(), mainForm_); }

// SIGHUP: a renewed certificate is taken without a restart; sessions
// already running keep theirs.
void Client::reloadTls()
{
    const std::string cert = install_.settingsValue("TLS/Cert").value_or("");
    const std::string key = install_.settingsValue("TLS/Key").value_or("");
    if (cert.empty() || key.empty()) {
        log_.ApplicationLine("  IV: SIGHUP: no TLS certificate in the settings file; "
                             "STARTTLS stays as it was");
        return;
    }
    std::string why;
    auto tls = TlsCredentials::Load(cert, key, &why);
    if (!tls) {
        log_.ApplicationLine("  IV: SIGHUP: TLS certificate not reloaded, the one in use stays: " + why);
        return;
    }
    listener_.setTls(std::move(tls));
    log_.ApplicationLine("  IV: SIGHUP: TLS certificate reloaded from " + cert);
}

// [Status] Listen= of the settings file; absent: 127.0.0.1:9125, empty: none.
void Client::openStatusEndpoint()
{
    const db::Parameter& listen = db::ParameterNamed("STATUS_LISTEN");
    const std::string where = install_.settingsValue(listen.key, listen.maxLength).value_or(listen.whenEmpty);
    if (where.empty()) {
        log_.ApplicationLine("  IV: No status endpoint ([Status] Listen is empty)");
        return;
    }
    statusServer_ = std::make_unique<status::StatusServer>(clock_, [this] { return snapshot(); });
    std::string why;
    const std::uint16_t port = statusServer_->Listen(where, &why);
    if (port == 0) {
        statusServer_.reset();
        log_.ApplicationLine("  IV: Status endpoint not opened: " + why);
        return;
    }
    log_.ApplicationLine("  IV: Status endpoint /healthz and /metrics on port " + std::to_string(port));
}

status::Snapshot Client::snapshot() const
{
    status::Snapshot s;
    s.listening = listener_.listenerReady();
    s.loggedIn = link_.isLoggedIn();
    s.withoutOutput = link_.loggedInWithoutOutput();
    s.link = linkOf(link_.linkState());
    s.linkSince = link_.linkSince();
    s.lastPageSent = link_.lastPageSent();
    s.lastDelete = inbox_.lastDelete();
    s.linkLosses = link_.losses();
    s.spoolFailures = spool_.Failures();
    if (!link_.lastPageSent().isZero())
        s.secondsSincePageSent = (clock_.now().days() - link_.lastPageSent().days()) * 86400.0;
    s.pagesWaiting = spool_.Count();
    if (const auto oldest = spool_.OldestTaken())
        s.oldestPageAge = std::max(0.0, static_cast<double>(clock_.now().toDateTime().toMSecsSinceEpoch() - *oldest) / 1000.0);
    s.maxPageAge = healthMaxPageAge_;
    s.catalogueOpen = db_.isOpen();
    s.mailsAccepted = listener_.counters().accepted;
    s.refusedByCode = listener_.counters().refused;
    s.sessions = listener_.counters().sessions;
    s.tlsSessions = listener_.counters().tlsSessions;
    s.tlsFailures = listener_.counters().tlsFailures;
    s.queueDepth = queue_.Depth();
    s.queueSize = queue_.queueSize() + 1;
    s.spoolDepth = static_cast<int>(spool_.Count());
    s.spoolCommits = spool_.Commits();
    s.pagesCommitted = spool_.MessagesCommitted();
    s.senderGone = listener_.counters().senderGone;
    s.logins = link_.logins();
    s.recordsSent = link_.recordsSent();
    s.recordsDeleted = inbox_.recordsDeleted();
    if (inbox_.recordsDeleted() > 0)
        s.secondsSinceDelete = (clock_.now().days() - inbox_.lastDelete().days()) * 86400.0;
    s.databaseErrors = db_.ErrorsReported();
    return s;
}

void Client::requestClose() { main_.RequestClose(); }

std::string Client::failure() const { return main_.failure(); }

}  // namespace smtpin::core
