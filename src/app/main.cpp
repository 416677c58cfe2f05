// smtpin: the SMTP input client of the paging switch.
#include "app/ConfigCommand.h"
#include "app/ConsoleText.h"
#include "app/Display.h"
#include "core/Client.h"
#include "core/Installation.h"
#include "db/CatalogueConnection.h"
#include "gui/HubSetupDialog.h"
#include "gui/LinkView.h"
#include "gui/MainWindowView.h"
#include "gui/Screenshots.h"
#include "gui/TcpSetupView.h"
#include "gui/WidgetDialogs.h"
#include "platform/Clock.h"
#include "platform/ShutdownSignals.h"
#include "spool/Spool.h"

#include <csignal>
#include <QApplication>
#include <QTimer>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <vector>

#include <sys/stat.h>

using namespace smtpin;

namespace {

struct CommandLine {
    core::Client::Options options;
    std::vector<std::string> words;   // "config", verb, name, value
    std::string device;
    bool headless = false;
    bool init = false;
    QString screenshots;   // folder for pictures of the three windows, then exit
    int screenshotDelayMs = 12000;
};

CommandLine parse(QCoreApplication& app)
{
    QCommandLineParser cli;
    cli.setApplicationDescription(
        "SMTP input client of the paging switch: every mail whose body carries a PagerMessage element\n"
        "becomes a pager message, queued and handed to the switch over its TCP link.\n"
        "The catalogue, the settings file and the logs live in the data folder; the embedded default\n"
        "(SQLite) is created there on first start.");
    cli.addHelpOption();
    cli.addVersionOption();
    const QCommandLineOption dataDir("data-dir", "Folder of the embedded catalogue, the settings file and the logs (default ./smtpin-data).", "DIR", "smtpin-data");
    const QCommandLineOption config("config", "The settings file (default DIR/smtpin.ini); written with commented defaults when missing.", "FILE");
    const QCommandLineOption headless("headless", "Run without windows, as a service: message boxes go to the log and standard error.");
    const QCommandLineOption yes("yes", "Answer Yes to the questions start-up may ask (default No).");
    const QCommandLineOption init("init", "Create and seed what is missing, print where everything is, and exit.");
    QCommandLineOption screenshots("screenshots", "Save a picture of each window into DIR after a few seconds, then close.", "DIR");
    screenshots.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption screenshotDelay("screenshots-delay", "Milliseconds before the pictures are taken (default 12000).", "MS", "12000");
    screenshotDelay.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption device("device", "With config: the client whose parameters are meant (default: the one "
                                              "this data folder runs, or the catalogue's only client).", "NAME");
    cli.addPositionalArgument("config", "config list | config get NAME | config set NAME VALUE: read or change any "
                                        "setting (the client's rows, the switch's rows, the settings file), checked "
                                        "as start-up checks it; config list shows them all.", "[config ...]");
    cli.addOptions({dataDir, config, headless, yes, init, screenshots, screenshotDelay, device});
    cli.process(app);
    CommandLine c;
    c.options.dataDir = QDir(cli.value(dataDir)).absolutePath().toStdString();
    if (cli.isSet(config))
        c.options.configFile = QDir(cli.value(config)).absolutePath().toStdString();
    c.options.answerYes = cli.isSet(yes);
    c.headless = cli.isSet(headless);
    c.init = cli.isSet(init);
    c.screenshots = cli.value(screenshots);
    c.device = cli.value(device).toStdString();
    for (const QString& word : cli.positionalArguments())
        c.words.push_back(word.toStdString());
    if (!c.words.empty() && c.words.front() != "config") {
        std::cerr << "smtpin: unexpected argument " << c.words.front() << " (see --help)\n";
        std::exit(2);
    }
    bool ok = false;
    c.screenshotDelayMs = cli.value(screenshotDelay).toInt(&ok);
    if (!ok || c.screenshotDelayMs < 0 || c.screenshotDelayMs > 600000) {
        std::cerr << "smtpin: --screenshots-delay takes milliseconds from 0 to 600000\n";
        std::exit(2);
    }
    return c;
}

// Creates what is missing and says where everything is; the catalogue and
// the spool are made here too, so a fault shows before the service starts.
int initialise(core::Installation& install)
{
    std::string why;
    auto& catalogue = install.catalogue();
    if (!catalogue.Open(&why)) {
        std::cerr << "smtpin: the catalogue cannot be opened (see [Database] in " << install.configFile()
                  << "): " << why << "\n";
        return 1;
    }
    std::cout << "settings file: " << install.configFile() << "\n"
              << "catalogue:     " << catalogue.db.location().databaseName << "\n"
              << "log folder:    " << install.logFolder() << "\n";
    catalogue.db.CloseSQLDatabase();
    spool::Spool spool;
    if (!spool.Open(install.spoolFile(), &why)) {
        std::cerr << "smtpin: the spool cannot be used: " << why << "\n";
        return 1;
    }
    std::cout << "spool:         " << install.spoolFile() << " (" << spool.Count() << " pages waiting)\n";
    spool.Close();
    return 0;
}

int runWindowed(QApplication& app, const CommandLine& cli, core::Client::Options options)
{
    SystemClock clock;
    gui::WidgetDialogs dialogs;
    options.dialogs = &dialogs;
    core::Client client(clock, options);
    const auto w = client.windows();
    gui::MainWindowView mainView(w.mainForm, w.main, w.testTraffic);
    gui::TcpSetupView tcpView(w.tcpForm, w.tcpHub, w.hubSetup, w.setupLock);
    gui::LinkView linkView(w.linkForm, w.link);
    gui::HubSetupDialog hubSetupView(w.hubSetupForm, w.hubSetup);
    int exitCode = 0;
    client.onFinished([&] {
        mainView.allowClose();
        mainView.close();
        app.exit(exitCode);
    });
    // A stop signal closes the windows the way the operator would; one that
    // comes while start-up waits on a message box closes the box, and the
    // close follows once start-up has run its course.
    bool starting = true;
    bool stopAfterStart = false;
    ShutdownSignals stopSignals([&](int signal) {
        if (signal == SIGHUP) {
            client.reloadTls();
            return;
        }
        dialogs.dismiss();
        if (starting)
            stopAfterStart = true;
        else
            client.requestClose();
    });
    mainView.show();
    client.start();
    starting = false;
    if (client.closed()) {
        std::cerr << "smtpin: start-up failed: " << client.failure() << "\n";
        return 1;
    }
    if (client.inert()) {
        // The window stays for the operator to read; its close ends the program.
        std::cerr << "smtpin: start-up failed: " << client.failure() << "\n";
        exitCode = 1;
    }
    if (stopAfterStart)
        client.requestClose();
    if (!cli.screenshots.isEmpty())
        QTimer::singleShot(cli.screenshotDelayMs, &app, [&] {
            if (gui::SaveScreenshots(client, cli.screenshots, mainView, tcpView, linkView) != 0) {
                std::cerr << "smtpin: could not save every picture in " << cli.screenshots.toStdString() << "\n";
                exitCode = 1;
            }
            client.requestClose();
        });
    return app.exec();
}

// The one line a service manager or an operator reads first: where mail is
// taken, or why it is not.
void printStatus(core::Client& client)
{
    const auto& form = client.windows().mainForm;
    const std::string where = form.txbServerAddress.text() + ":" + form.txbServerPort.text();
    const auto parts = client.parts();
    const auto& reg = parts.registration;
    const auto& listener = parts.listener;
    std::cout << "smtpin: client " << reg.clientId();
    if (listener.listenerReady())
        std::cout << " listening on " << where;
    else if (listener.canRetry())
        std::cout << " NOT listening on " << where << ": " << listener.loadFailure()
                  << "; the switch is told UNAVAIL, retrying every "
                  << static_cast<int>(SmtpListener::kRetryAfterFailedRestart * 86400.0 + 0.5) << " s";
    else
        std::cout << " cannot listen on " << where << ": " << listener.loadFailure()
                  << "; the switch is told UNAVAIL; mend SMTPIP or SMTPPORT and start again";
    std::cout << ", switch at " << reg.remoteAddress() << ":" << reg.remotePort() << ", logs in " << client.logFolder()
              << std::endl;
}

int runHeadless(QCoreApplication& app, core::Client::Options options)
{
    SystemClock clock;
    core::Client client(clock, options);
    // Headless: every log line also goes to the terminal, and so to the
    // journal, as UTF-8 lines; handed over a few times a second rather than
    // in one write per line.
    const auto parts = client.parts();
    parts.log.SetEcho([&extraction = parts.extraction](const std::string& line, SystemLog::EchoText kind) {
        std::cout << app::ConsoleText(line, kind, extraction.switchCodePage()) << '\n';
    });
    QTimer echoFlush;
    QObject::connect(&echoFlush, &QTimer::timeout, [] { std::cout.flush(); });
    echoFlush.start(200);
    int exitCode = 0;
    client.onFinished([&] { app.exit(exitCode); });
    // Under systemd (Type=notify) the manager hears when the close begins.
    ShutdownSignals stopSignals([&](int signal) {
        if (signal == SIGHUP) {
            client.reloadTls();
            return;
        }
        sd_notify(0, "STOPPING=1");
        client.requestClose();
    });

    client.start();
    if (client.closed()) {
        std::cerr << "smtpin: start-up failed: " << client.failure() << "\n";
        return 1;
    }
    if (client.inert()) {
        // Without a window to keep open there is nothing to wait for.
        std::cerr << "smtpin: start-up failed: " << client.failure() << "\n";
        exitCode = 1;
        client.requestClose();
    } else {
        printStatus(client);
        // Started: mail is taken from now on (nothing happens outside systemd).
        sd_notify(0, "READY=1");
    }
    return app.exec();
}

bool takesValue(const std::string& a)
{
    return a == "--data-dir" || a == "--config" || a == "--device" || a == "--screenshots" ||
           a == "--screenshots-delay";
}

// The words of "config get NAME" and "config set NAME VALUE" go after "--",
// so a value such as -1 is read as a value, not as an option; options may
// stand before or after them.
std::vector<std::string> withConfigWordsLast(int argc, char** argv)
{
    std::vector<std::string> options{argv[0]}, words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            words.insert(words.end(), argv + i + 1, argv + argc);
            break;
        }
        if (words.empty() && a == "config") {
            words.push_back(a);
            const std::string verb = i + 1 < argc ? argv[i + 1] : "";
            const int more = verb == "set" ? 3 : verb == "get" ? 2 : verb.empty() ? 0 : 1;
            for (int k = 1; k <= more && i + 1 < argc; ++k)
                words.push_back(argv[++i]);
            continue;
        }
        options.push_back(a);
        if (takesValue(a) && i + 1 < argc)
            options.push_back(argv[++i]);
    }
    if (!words.empty()) {
        options.push_back("--");
        options.insert(options.end(), words.begin(), words.end());
    }
    return options;
}

// Options that print or prepare something and end; they take no signals.
bool endsAtOnce(const std::string& a)
{
    return a == "config" || a == "--init" || a == "--help" || a == "-h" || a == "--version" || a == "-v" || a == "--help-all";
}

// What the words ask for before anything is made: no windows, or a run
// that ends at once (help, version, config, --init).
struct RunKind {
    bool headless = false;
    bool endsQuickly = false;
};

RunKind runKindOf(const std::vector<std::string>& args)
{
    RunKind kind;
    for (size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
        kind.headless = kind.headless || args[i] == "--headless";
        kind.endsQuickly = kind.endsQuickly || endsAtOnce(args[i]);
        // The value of an option is not a command ("--data-dir config").
        if (takesValue(args[i]))
            ++i;
    }
    kind.endsQuickly = kind.endsQuickly || std::find(args.begin(), args.end(), "config") != args.end();
    return kind;
}

}  // namespace

int main(int argc, char** argv)
{
    // Page text is never readable by other users: folders 0750, files 0640.
    ::umask(027);
    // The time zone is read once: without TZ every clock reading looks at
    // /etc/localtime again.
    setenv("TZ", ":/etc/localtime", 0);
    std::vector<std::string> args = withConfigWordsLast(argc, argv);
    const RunKind kind = runKindOf(args);
    const bool endsQuickly = kind.endsQuickly;
    // Windows need a QApplication and a display; the service does without
    // both, and so do --help and --version.
    const bool windowed = !kind.headless && !endsQuickly;
    if (windowed)
        if (const auto why = app::NoDisplay()) {
            std::cerr << "smtpin: no display found (" << *why << "); --headless runs without one\n";
            return 1;
        }
    // Before the application object: the display backend starts threads,
    // and a thread that does not block the stop signals would die of them.
    if (!endsQuickly)
        ShutdownSignals::BlockInProcess();
    std::vector<char*> argvQt;
    for (std::string& a : args)
        argvQt.push_back(a.data());
    int argcQt = static_cast<int>(argvQt.size());
    argvQt.push_back(nullptr);
    std::unique_ptr<QCoreApplication> appHolder(windowed ? new QApplication(argcQt, argvQt.data())
                                                         : new QCoreApplication(argcQt, argvQt.data()));
    QCoreApplication& app = *appHolder;
    QCoreApplication::setApplicationName("smtpin");
    QCoreApplication::setApplicationVersion(core::Client::fileVersion());
    CommandLine cli = parse(app);
    core::Client::Options options = cli.options;
    if (!cli.words.empty())
        return app::RunConfigCommand(options.dataDir, options.configFile, cli.words, cli.device, std::cout, std::cerr);
    core::Installation install(options.dataDir, options.configFile);
    // A settings file that is there but cannot be used would otherwise run
    // the defaults: another catalogue, port and switch, without a word.
    std::string why;
    const auto before = install.Contents();
    if (!install.Prepare(&why)) {
        std::cerr << "smtpin: " << why << "\n";
        return 1;
    }
    options.configFile = install.configFile();
    if (cli.init) {
        const int status = initialise(install);
        install.HandOverCreated(before);
        return status;
    }
    if (windowed)
        return runWindowed(static_cast<QApplication&>(app), cli, options);
    return runHeadless(app, options);
}
