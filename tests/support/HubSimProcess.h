#pragma once

#include <QProcess>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

namespace smtpin::test {

// The built hubsim as a child process on a free loopback port, with its
// output lines collected as they come.
class HubSimProcess {
public:
    HubSimProcess();
    ~HubSimProcess();
    HubSimProcess(const HubSimProcess&) = delete;
    HubSimProcess& operator=(const HubSimProcess&) = delete;

    // Starts it with the extra arguments; true once it prints LISTENING.
    bool start(const QStringList& extraArgs = {}, int timeoutMs = 10000);
    // The same on a given port (a switch coming back where it was).
    bool startOn(int port, const QStringList& extraArgs = {}, int timeoutMs = 10000);
    int port() const { return port_; }
    bool running() const { return process_.state() != QProcess::NotRunning; }

    // Standard output lines so far (standard error apart), without their ends.
    std::vector<std::string> lines();
    std::vector<std::string> errorLines();
    int count(const std::string& substring);
    // Runs the event loop until some line (already there or new) holds the
    // substring, or until n lines do; tick runs on every pass (a timer
    // handler the test drives by hand, as pumpUntil does).
    bool waitForLine(const std::string& substring, int timeoutMs = 5000, const std::function<void()>& tick = {});
    bool waitForCount(const std::string& substring, int n, int timeoutMs = 5000,
                      const std::function<void()>& tick = {});

    void kill();
    // SIGSTOP, SIGCONT ...: a switch that freezes and comes back.
    void signal(int sig);
    // SIGTERM; the exit code, or -1 when it did not end normally in time.
    int terminate(int timeoutMs = 5000);

    static QString program();
    static int freePort();

private:
    void readOutput();
    bool waitFinished(int timeoutMs);

    QProcess process_;
    int port_ = 0;
    int fixedPort_ = 0;
    std::string outPending_, errPending_;
    std::vector<std::string> lines_, errorLines_;
};

}  // namespace smtpin::test
