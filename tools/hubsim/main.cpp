#include "HubSim.h"

#include "platform/ShutdownSignals.h"
#include "platform/Clock.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <string>

using namespace smtpin;
using namespace smtpin::hubsim;

namespace {

void writeLine(std::FILE* stream, const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Wall-clock seconds with microseconds, to match lines against a sender's own times.
std::string wallStamp()
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch()).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    return text;
}

bool number(const QCommandLineParser& cli, const QCommandLineOption& option, long min, long max, long& value)
{
    bool ok = false;
    value = cli.value(option).toLong(&ok);
    if (ok && value >= min && value <= max)
        return true;
    writeLine(stderr, "hubsim: --" + option.names().first().toStdString() + " must be a number from " +
                          std::to_string(min) + " to " + std::to_string(max));
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("hubsim");
    QCoreApplication::setApplicationVersion("1.0.0");

    QCommandLineParser cli;
    cli.setApplicationDescription(
        "A small paging switch (member h01) for tests and demonstrations. It accepts client logins (1000 -> 1003), "
        "answers each NEWMESS record with a DELETE record for the same message id, answers \"Request next packet\" "
        "(1006) with \"Buffer Emtpy\" (1005), closes a connection on logoff (1002), sends its own link watchdog (1007) "
        "and prints one line per event to standard output, problems to standard error:\n"
        "  LISTENING <ip>:<port>    OPEN <n> <ip>:<port>    CLOSED <client>    STOPPED\n"
        "  RX 1000 login <client>   TX 1003 accept <client>   RX <code> <word> <client>   TX 1005 empty <client>\n"
        "  RX NEWMESS <id> to <number>: <text>   RX REPEAT <id> to <number>: <text>   RX READY <name>   RX <word> <id>\n"
        "  RX BADRECORD from <client>   RX REFUSED from <client>: <why>   DROP <client> ...   FREEZE <client> ...\n"
        "  TX DELETE <id> to <client>   TX READY <name> to <client>   TX NEWMESS <id> to <client>: <number>: <text>\n"
        "  TX 1001 disconnect <client>   TX 1007 watchdog <client>\n"
        "A message id it has seen before is a repeat: shown as RX REPEAT and answered with DELETE again. Records "
        "before the login, or not addressed to h01, are refused. --drop-after, --freeze-after and --send-1001-after "
        "count the records read over the whole run and act once.");
    cli.addHelpOption();
    cli.addVersionOption();
    const QCommandLineOption port("port", "TCP port to listen on (default 6000; 0 picks a free port).", "PORT", "6000");
    const QCommandLineOption address("address", "IP address to listen on (default 127.0.0.1).", "IP", "127.0.0.1");
    const QCommandLineOption bufferMax("buffer-max",
                                       "BufferMax granted to each client in the accept (default 10; 0 or less "
                                       "as some switches grant it).",
                                       "N", "10");
    const QCommandLineOption watchdogMs("watchdog-ms",
                                        "Milliseconds between the hub's link watchdogs (1007) to logged-in clients "
                                        "(default 20000; 0: none).",
                                        "MS", "20000");
    const QCommandLineOption deleteDelayMs("delete-delay-ms",
                                           "Milliseconds before the DELETE answer to a NEWMESS record (default 0).",
                                           "MS", "0");
    const QCommandLineOption noDelete("no-delete", "Never answer NEWMESS records with DELETE.");
    const QCommandLineOption acceptWithoutOutput("accept-without-output",
                                                 "Accept logins with the OUT flag of the Mode word clear.");
    const QCommandLineOption send("send",
                                  "A record to send once, to the first client that logs in, in the same write as "
                                  "the accept: READY:<client>, UNAVAIL:<client> (the client name goes in Source) or "
                                  "NEWMESS:<id>:<number>:<text>. Repeatable; sent in the order given.",
                                  "RECORD");
    const QCommandLineOption maxConnections("max-connections",
                                            "Client connections open at once; more are refused (default 16).", "N",
                                            "16");
    const QCommandLineOption watchdogAfterAccept("watchdog-after-accept",
                                                 "Send a link watchdog (1007) in the same write as each accept.");
    const QCommandLineOption dropAfter("drop-after", "On the Nth record read, close the connection abruptly "
                                                     "without answering it (0: never).", "N", "0");
    const QCommandLineOption freezeAfter("freeze-after", "On the Nth record read, stop reading that connection "
                                                         "without closing it (0: never).", "N", "0");
    const QCommandLineOption send1001After("send-1001-after", "After answering the Nth record, ask the client to "
                                                              "disconnect (1001) (0: never).", "N", "0");
    const QCommandLineOption dateFormat("date-format",
                                        "How dates are written: dmy (default: dd/mm/yyyy in records, \".\" in "
                                        "packet serials), us (m/d/yyyy h:mm:ss AM/PM in records) or comma (\",\" "
                                        "as the decimal separator of packet serials).",
                                        "FORMAT", "dmy");
    const QCommandLineOption idFile("id-file", "Keep the message ids received in this file, so a restarted switch "
                                               "still knows them as repeats.", "FILE");
    const QCommandLineOption timestamps("timestamps", "Start each line on standard output with the wall-clock time "
                                                      "it was written, in seconds since 1970 with microseconds.");
    cli.addOptions({port, address, bufferMax, watchdogMs, deleteDelayMs, noDelete, acceptWithoutOutput, send, maxConnections,
                    watchdogAfterAccept, dropAfter, freezeAfter, send1001After, dateFormat, idFile, timestamps});
    cli.process(app);
    if (!cli.positionalArguments().isEmpty()) {
        writeLine(stderr, "hubsim: unexpected argument " + cli.positionalArguments().first().toStdString());
        return 2;
    }

    HubSimOptions options;
    long v = 0;
    if (!number(cli, port, 0, 65535, v))
        return 2;
    options.port = static_cast<quint16>(v);
    options.address = cli.value(address);
    if (!number(cli, bufferMax, -32768, 32767, v))
        return 2;
    options.bufferMax = static_cast<std::int16_t>(v);
    if (!number(cli, watchdogMs, 0, 86400000, v))
        return 2;
    options.watchdogMs = static_cast<int>(v);
    if (!number(cli, deleteDelayMs, 0, 3600000, v))
        return 2;
    options.deleteDelayMs = static_cast<int>(v);
    if (!number(cli, maxConnections, 1, 1000, v))
        return 2;
    options.maxConnections = static_cast<int>(v);
    options.noDelete = cli.isSet(noDelete);
    options.acceptWithoutOutput = cli.isSet(acceptWithoutOutput);
    options.watchdogAfterAccept = cli.isSet(watchdogAfterAccept);
    for (auto [option, target] : {std::pair{&dropAfter, &options.dropAfter}, std::pair{&freezeAfter, &options.freezeAfter},
                                  std::pair{&send1001After, &options.send1001After}}) {
        if (!number(cli, *option, 0, 100000000, v))
            return 2;
        *target = static_cast<int>(v);
    }
    const QString format = cli.value(dateFormat);
    if (format == "us")
        options.dateFormat = DateFormat::Us;
    else if (format == "comma")
        options.dateFormat = DateFormat::Comma;
    else if (format != "dmy") {
        writeLine(stderr, "hubsim: --date-format must be dmy, us or comma");
        return 2;
    }
    options.idFile = cli.value(idFile);
    for (const QString& option : cli.values(send)) {
        std::string error;
        const auto record = parseSendOption(option.toLatin1().toStdString(), &error);
        if (!record) {
            writeLine(stderr, "hubsim: " + error);
            return 2;
        }
        options.sends.push_back(*record);
    }

    // Before LISTENING, so a test that stops us at once still gets a clean exit.
    ShutdownSignals stop([&app](int) { app.quit(); });
    SystemClock clock;
    const bool stamped = cli.isSet(timestamps);
    HubSim sim(
        options, clock, [stamped](const std::string& line) { writeLine(stdout, stamped ? wallStamp() + " " + line : line); },
        [](const std::string& line) { writeLine(stderr, "hubsim: " + line); });
    if (!sim.listen())
        return 1;
    const int rc = app.exec();
    writeLine(stdout, "STOPPED");
    return rc;
}
