// smtpin: the SMTP input client of the paging switch.
#include "ShutdownSignals.h"

#include "core/Client.h"
#include "core/SettingsFile.h"
#include "db/CatalogueConnection.h"
#include "platform/Clock.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <iostream>

using namespace smtpin;

namespace {

struct CommandLine {
    core::Client::Options options;
    bool headless = false;
    bool init = false;
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
    cli.addOptions({dataDir, config, headless, yes, init});
    cli.process(app);
    CommandLine c;
    c.options.dataDir = QDir(cli.value(dataDir)).absolutePath().toStdString();
    if (cli.isSet(config))
        c.options.configFile = QDir(cli.value(config)).absolutePath().toStdString();
    c.options.answerYes = cli.isSet(yes);
    c.headless = cli.isSet(headless);
    c.init = cli.isSet(init);
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
    if (!client.db.OpenSQLDatabase()) {
        std::cerr << "smtpin: the catalogue cannot be opened; see " << client.logFolder() << " and the settings file\n";
        return 1;
    }
    const auto& loc = client.db.location();
    std::cout << "settings file: " << client.configFile() << "\n"
              << "catalogue:     " << loc.databaseName << "\n"
              << "log folder:    " << client.logFolder() << "\n";
    client.db.CloseSQLDatabase();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("smtpin");
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(SMTPIN_VERSION_MAJOR).arg(SMTPIN_VERSION_MINOR).arg(SMTPIN_VERSION_PATCH));
    CommandLine cli = parse(app);
    if (!cli.headless && !cli.init) {
        std::cerr << "smtpin: this build has no operator windows yet; run it with --headless\n";
        return 2;
    }
    SystemClock clock;
    core::Client::Options options = cli.options;
    const std::string configFile = options.configFile.empty()
                                       ? QDir(QString::fromStdString(options.dataDir)).absoluteFilePath("smtpin.ini").toStdString()
                                       : options.configFile;
    if (!prepareFolder(options, configFile))
        return 1;
    options.configFile = configFile;
    core::Client client(clock, options);
    if (cli.init)
        return initialise(client);

    // Headless: every log line also goes to the terminal.
    client.log.SetEcho([](const std::string& line) { std::cout << line << std::endl; });
    int exitCode = 0;
    client.onFinished([&] { app.exit(exitCode); });
    ShutdownSignals stopSignals([&](int) { client.requestClose(); });

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
    }
    std::cout << "smtpin: client " << client.registration.ClientId << " listening on "
              << client.mainForm.txbServerAddress.text() << ":" << client.mainForm.txbServerPort.text()
              << ", switch at " << client.registration.RemoteAddress << ":" << client.registration.RemotePort
              << ", logs in " << client.logFolder() << std::endl;
    return app.exec();
}
