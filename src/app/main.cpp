#include "ShutdownSignals.h"

#include "forms/FrmSMTP.h"
#include "log/SystemLog.h"
#include "platform/Clock.h"
#include "smtp/SmtpListener.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <iostream>

using namespace smtpin;

namespace {

// Until the switch link is built, a finished mail cannot be delivered: the
// sender is told to try again later and keeps the mail.
class NoSwitchYet final : public PagerMessageParser {
public:
    explicit NoSwitchYet(SystemLog& log) : log_(log) {}
    MailOutcome ParsePagerMessage(int index, SMTPSocketType& record) override
    {
        log_.UpdateSMTPLog("soc[" + std::to_string(index) + "] SMTP: mail of " + std::to_string(record.Body.size()) +
                           " bytes not taken: no switch link");
        record.Base64Mode = false;
        record.QPMode = false;
        return MailOutcome::QueueFull;
    }

private:
    SystemLog& log_;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("smtpin");
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3").arg(SMTPIN_VERSION_MAJOR).arg(SMTPIN_VERSION_MINOR).arg(SMTPIN_VERSION_PATCH));

    QCommandLineParser cli;
    cli.setApplicationDescription("SMTP input client of the paging switch: mails carrying a PagerMessage become pages.");
    cli.addHelpOption();
    cli.addVersionOption();
    const QCommandLineOption dataDir("data-dir", "Folder of the logs (default ./smtpin-data).", "DIR", "smtpin-data");
    const QCommandLineOption headless("headless", "Run without windows (the only mode so far).");
    const QCommandLineOption port("port", "SMTP port (default 2525).", "PORT", "2525");
    const QCommandLineOption address("address", "SMTP address (default 127.0.0.1).", "IP", "127.0.0.1");
    cli.addOptions({dataDir, headless, port, address});
    cli.process(app);

    const QString logs = QDir(cli.value(dataDir)).absoluteFilePath("logs");
    SystemClock clock;
    forms::FrmSMTP form;
    SystemLog log(clock, form);
    log.OpenSystemLogs(logs.toStdString(), "S01",
                       {SMTPIN_VERSION_MAJOR, SMTPIN_VERSION_MINOR, SMTPIN_VERSION_PATCH});
    // Headless: every log line also goes to the terminal.
    log.SetEcho([](const std::string& line) { std::cout << line << std::endl; });
    NoSwitchYet parser(log);
    SmtpListener listener(clock, log, form, parser);
    form.txbServerPort.setText(cli.value(port).toStdString());
    form.txbServerAddress.setText(cli.value(address).toStdString());
    listener.Form_Load();
    if (!listener.ListenerReady) {
        std::cerr << "smtpin: cannot listen on " << cli.value(address).toStdString() << ":"
                  << cli.value(port).toStdString() << "\n";
        return 1;
    }
    std::cout << "smtpin: listening on " << listener.socket(0).localIP() << ":" << listener.socket(0).localPort()
              << ", logs in " << logs.toStdString() << std::endl;

    ShutdownSignals stopSignals([&](int) {
        listener.Form_Unload();
        log.FlushSMTPLog();
        app.quit();
    });
    return app.exec();
}
