#include "support/HubSimProcess.h"

#include "support/TestClient.h"

#include <QDir>
#include <QHostAddress>
#include <QLockFile>
#include <QTcpServer>

#include <csignal>
#include <map>
#include <memory>
#include <sys/types.h>

namespace smtpin::test {

namespace {

void splitLines(std::string& pending, const QByteArray& data, std::vector<std::string>& lines)
{
    pending.append(data.constData(), static_cast<std::size_t>(data.size()));
    std::size_t from = 0;
    for (std::size_t end; (end = pending.find('\n', from)) != std::string::npos; from = end + 1) {
        std::string line = pending.substr(from, end - from);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    pending.erase(0, from);
}

}  // namespace

HubSimProcess::HubSimProcess()
{
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
    QObject::connect(&process_, &QProcess::readyReadStandardError, [this] { readOutput(); });
}

HubSimProcess::~HubSimProcess()
{
    kill();
}

QString HubSimProcess::program()
{
    return QStringLiteral(HUBSIM_PATH);
}

// A port handed out here is kept from every other test process until this
// one ends: a program under test that restarts leaves its port free for a
// moment, and a test running beside it must not take it then (its mail
// would go to the wrong program).
int HubSimProcess::freePort()
{
    static std::map<int, std::unique_ptr<QLockFile>> held;
    const QString folder = QDir::temp().filePath("smtpin-test-ports");
    QDir().mkpath(folder);
    for (int attempt = 0; attempt < 50; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return 0;
        const int port = probe.serverPort();
        probe.close();
        auto lock = std::make_unique<QLockFile>(folder + "/" + QString::number(port) + ".lock");
        lock->setStaleLockTime(0);   // stale only when its process is gone
        if (lock->tryLock(0)) {
            held[port] = std::move(lock);
            return port;
        }
    }
    return 0;
}

bool HubSimProcess::startOn(int port, const QStringList& extraArgs, int timeoutMs)
{
    fixedPort_ = port;
    const bool ok = start(extraArgs, timeoutMs);
    fixedPort_ = 0;
    return ok;
}

bool HubSimProcess::start(const QStringList& extraArgs, int timeoutMs)
{
    // The port may be taken between the probe and hubsim's listen: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        kill();
        lines_.clear();
        errorLines_.clear();
        outPending_.clear();
        errPending_.clear();
        port_ = fixedPort_ ? fixedPort_ : freePort();
        if (port_ == 0)
            return false;
        QStringList args{"--address", "127.0.0.1", "--port", QString::number(port_)};
        args += extraArgs;
        process_.start(program(), args);
        if (!process_.waitForStarted(timeoutMs))
            return false;
        const std::string listening = "LISTENING 127.0.0.1:" + std::to_string(port_);
        pumpUntil([&] { return count(listening) > 0 || !running(); }, timeoutMs);
        if (count(listening) > 0)
            return true;
        if (running())
            return false;   // alive but silent: not a port clash
    }
    return false;
}

void HubSimProcess::readOutput()
{
    splitLines(outPending_, process_.readAllStandardOutput(), lines_);
    splitLines(errPending_, process_.readAllStandardError(), errorLines_);
}

std::vector<std::string> HubSimProcess::lines()
{
    readOutput();
    return lines_;
}

std::vector<std::string> HubSimProcess::errorLines()
{
    readOutput();
    return errorLines_;
}

int HubSimProcess::count(const std::string& substring)
{
    readOutput();
    int n = 0;
    for (const auto& line : lines_)
        n += line.find(substring) != std::string::npos;
    return n;
}

bool HubSimProcess::waitForLine(const std::string& substring, int timeoutMs, const std::function<void()>& tick)
{
    return waitForCount(substring, 1, timeoutMs, tick);
}

bool HubSimProcess::waitForCount(const std::string& substring, int n, int timeoutMs,
                                 const std::function<void()>& tick)
{
    return pumpUntil([&] { return count(substring) >= n; }, timeoutMs, tick);
}

bool HubSimProcess::waitFinished(int timeoutMs)
{
    return pumpUntil([this] { return !running(); }, timeoutMs);
}

void HubSimProcess::signal(int sig)
{
    if (running())
        ::kill(static_cast<pid_t>(process_.processId()), sig);
}

void HubSimProcess::kill()
{
    if (!running())
        return;
    process_.kill();
    process_.waitForFinished(3000);
}

int HubSimProcess::terminate(int timeoutMs)
{
    if (!running())
        return -1;
    process_.terminate();
    if (!waitFinished(timeoutMs)) {
        kill();
        return -1;
    }
    readOutput();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

}  // namespace smtpin::test
