// smtpin: the SMTP input client of the paging switch.
#include "ConfigCommand.h"
#include "platform/ShutdownSignals.h"

#include "core/Client.h"
#include "core/SettingsFile.h"
#include "db/CatalogueConnection.h"
#include "gui/HubSetupDialog.h"
#include "gui/LinkView.h"
#include "gui/MainWindowView.h"
#include "gui/Screenshots.h"
#include "gui/TcpSetupView.h"
#include "gui/WidgetDialogs.h"
#include "platform/Clock.h"

#include <QApplication>
#include <QTimer>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <iostream>
#include <vector>

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
    cli.addPositionalArgument("config", "config list | config get NAME | config set NAME VALUE: read or change the "
                                        "client's configuration parameters in the catalogue, checked against their "
                                        "ranges.", "[config ...]");
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

bool prepareFolder(const core::Client::Options& o, const std::string& configFile)
{
    if (!QDir().mkpath(QString::fromStdString(o.dataDir))) {
        std::cerr << "smtpin: cannot create the data folder " << o.dataDir << "\n";
        return false;
    }
    std::string error;
    if (!core::WriteDefaultSettingsFile(configFile, &error)) {
        std::cerr << "smtpin: cannot write the settings file " << configFile << ": " << error << "\n";
        return false;
    }
    return true;
}

int initialise(core::Client& client)
{
    if (!client.db().OpenSQLDatabase()) {
        std::cerr << "smtpin: the catalogue cannot be opened; see " << client.logFolder() << " and the settings file\n";
        return 1;
    }
    const auto& loc = client.db().location();
    std::cout << "settings file: " << client.configFile() << "\n"
              << "catalogue:     " << loc.databaseName << "\n"
              << "log folder:    " << client.logFolder() << "\n";
    client.db().CloseSQLDatabase();
    // Created here too, so a spool that cannot be made shows before the service starts.
    std::string why;
    if (!client.spool().Open(client.spoolFile(), &why)) {
        std::cerr << "smtpin: the spool cannot be used: " << why << "\n";
        return 1;
    }
    std::cout << "spool:         " << client.spoolFile() << " (" << client.spool().Count() << " pages waiting)\n";
    client.spool().Close();
    return 0;
}

int runWindowed(QApplication& app, const CommandLine& cli, core::Client::Options options)
{
    SystemClock clock;
    gui::WidgetDialogs dialogs;
    options.dialogs = &dialogs;
    core::Client client(clock, options);
    gui::MainWindowView mainView(client);
    gui::TcpSetupView tcpView(client);
    gui::LinkView linkView(client);
    gui::HubSetupDialog hubSetupView(client);
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
    ShutdownSignals stopSignals([&](int) {
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
void printStatus(const core::Client& client)
{
    const auto& form = client.mainForm();
    const std::string where = form.txbServerAddress.text() + ":" + form.txbServerPort.text();
    const auto& reg = client.registration();
    const auto& listener = client.listener();
    std::cout << "smtpin: client " << reg.ClientId;
    if (listener.listenerReady())
        std::cout << " listening on " << where;
    else if (listener.canRetry())
        std::cout << " NOT listening on " << where << ": " << listener.loadFailure()
                  << "; the switch is told UNAVAIL, retrying every "
                  << static_cast<int>(SmtpListener::kRetryAfterFailedRestart * 86400.0 + 0.5) << " s";
    else
        std::cout << " cannot listen on " << where << ": " << listener.loadFailure()
                  << "; the switch is told UNAVAIL; mend SMTPIP or SMTPPORT and start again";
    std::cout << ", switch at " << reg.RemoteAddress << ":" << reg.RemotePort << ", logs in " << client.logFolder()
              << std::endl;
}

int runHeadless(QCoreApplication& app, core::Client::Options options)
{
    SystemClock clock;
    core::Client client(clock, options);
    // Headless: every log line also goes to the terminal, handed over a few
    // times a second rather than in one write per line.
    client.log().SetEcho([](const std::string& line) { std::cout << line << '\n'; });
    QTimer echoFlush;
    QObject::connect(&echoFlush, &QTimer::timeout, [] { std::cout.flush(); });
    echoFlush.start(200);
    int exitCode = 0;
    client.onFinished([&] { app.exit(exitCode); });
    // Under systemd (Type=notify) the manager hears when the close begins.
    ShutdownSignals stopSignals([&](int) {
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

// Options that print or prepare something and end; they take no signals.
bool endsAtOnce(const std::string& a)
{
    return a == "config" || a == "--init" || a == "--help" || a == "-h" || a == "--version" || a == "-v" || a == "--help-all";
}

}  // namespace

int main(int argc, char** argv)
{
    // The time zone is read once: without TZ every clock reading looks at
    // /etc/localtime again.
    setenv("TZ", ":/etc/localtime", 0);
    bool headless = false;
    bool endsQuickly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        headless = headless || a == "--headless";
        endsQuickly = endsQuickly || endsAtOnce(a);
        // The value of an option is not a command ("--data-dir config").
        if (takesValue(a))
            ++i;
    }
    // Before the application object: the display backend starts threads,
    // and a thread that does not block the stop signals would die of them.
    if (!endsQuickly)
        ShutdownSignals::BlockInProcess();
    // Windows need a QApplication; the service does without one, and so do
    // --help and --version.
    const bool windowed = !headless && !endsQuickly;
    std::unique_ptr<QCoreApplication> appHolder(windowed ? new QApplication(argc, argv) : new QCoreApplication(argc, argv));
    QCoreApplication& app = *appHolder;
    QCoreApplication::setApplicationName("smtpin");
    QCoreApplication::setApplicationVersion(core::Client::fileVersion());
    CommandLine cli = parse(app);
    core::Client::Options options = cli.options;
    const std::string configFile = core::Client::configFileOf(options);
    // The config command changes an installation that exists; it makes none.
    if (!cli.words.empty())
        return app::RunConfigCommand(options, cli.words, cli.device, std::cout, std::cerr);
    if (!prepareFolder(options, configFile))
        return 1;
    options.configFile = configFile;
    if (cli.init) {
        SystemClock clock;
        core::Client client(clock, options);
        return initialise(client);
    }
    if (windowed)
        return runWindowed(static_cast<QApplication&>(app), cli, options);
    return runHeadless(app, options);
}
