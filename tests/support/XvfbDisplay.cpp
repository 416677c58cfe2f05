#include "support/XvfbDisplay.h"

#include "support/TestClient.h"

namespace smtpin::test {

XvfbDisplay::XvfbDisplay(const QString& screen)
{
    // -displayfd: the server picks a free display and writes its number
    // when it is ready for clients.
    server_.start("Xvfb", {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"});
    if (!server_.waitForStarted(10000)) {
        error_ = "Xvfb did not start: " + server_.errorString();
        return;
    }
    QByteArray out;
    pumpUntil([&] {
        out += server_.readAllStandardOutput();
        return out.contains('\n') || server_.state() == QProcess::NotRunning;
    }, 20000);
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
        error_ = "Xvfb gave no display: " + QString::fromLocal8Bit(server_.readAllStandardError());
        return;
    }
    display_ = ":" + QString::number(number);
}

XvfbDisplay::~XvfbDisplay()
{
    if (server_.state() != QProcess::NotRunning) {
        server_.terminate();
        if (!server_.waitForFinished(5000)) {
            server_.kill();
            server_.waitForFinished(5000);
        }
    }
}

}  // namespace smtpin::test
