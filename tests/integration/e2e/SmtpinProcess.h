#pragma once

#include <QProcess>
#include <QStringList>
#include <QVariant>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace smtpin::test {

// The built smtpin binary, headless or windowed, on a data folder of its own whose
// embedded catalogue is prepared with --init and then pointed at free ports.
class SmtpinProcess {
public:
    explicit SmtpinProcess(std::string dataDir);
    ~SmtpinProcess();

    // --init, then SMTP on smtpPort and the switch at hubPort; quick retries.
    bool prepare(int smtpPort, int hubPort);
    // A statement on the catalogue file (while the program is not running).
    bool exec(const std::string& sql, const std::vector<QVariant>& values = {});
    QVariant value(const std::string& sql);

    // Runs the program through this command (prlimit with its options, say).
    void setLauncher(const QStringList& launcher) { launcher_ = launcher; }
    // Each start forgets the output of the run before.
    bool start(const QStringList& extraArgs = {});
    // With its windows: on the X display given (a real X server), or on the
    // offscreen platform when none is.
    bool startWindowed(const QStringList& extraArgs = {}, const QString& display = {});
    bool waitForLine(const std::string& substring, int timeoutMs = 10000);
    int count(const std::string& substring);
    std::vector<std::string> lines();
    std::string errorText();
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // SIGTERM; the exit code, or -1 when it did not end in time.
    int terminate(int timeoutMs = 30000);
    // Waits for it to end by itself; the exit code or -1.
    int waitForExit(int timeoutMs = 20000);
    void kill();

    static QString program();
    // "State" and "Available" of the client row, as "00" when released.
    std::string rowState();
    // The application log file or the SMTP log file of the client S01.
    std::string applicationLog() const;
    std::string smtpLog() const;

private:
    void read();
    // Each run's output on its own.
    void forgetOutput();

    std::string dataDir_;
    QProcess process_;
    std::string pending_;
    std::vector<std::string> lines_;
    std::string errors_;
    QStringList launcher_;
};

// One SMTP conversation; the reply to the end of the data, or the first
// reply that was not the expected one ("" when the server went quiet).
std::string sendMail(int port, const std::string& message);
// The same with the data as it goes on the wire, its end included.
std::string sendMailData(int port, const std::string& data);

// COUNT pages with texts of their own from SENDERS parallel senders using
// Python's smtplib; the texts answered 250, and how many were not.
struct Burst {
    std::vector<std::string> accepted;
    int refused = 0;
};
Burst sendBurst(int port, int count, int senders);

// The same sender running beside the test: PACE seconds after each mail,
// and a 451, 421 or lost connection tried again for up to RETRY seconds.
class BurstProcess {
public:
    bool start(int port, int count, int senders, double pace, double retry);
    bool finished() const { return process_.state() == QProcess::NotRunning; }
    Burst result();

private:
    QProcess process_;
};

// Every page the switch printed: its text, with the message ids it came
// under (new or repeat), and the ids printed as new with how often.
struct Arrivals {
    std::map<std::string, std::set<std::string>> byText;
    std::map<std::string, int> newIds;
    int repeats = 0;
    void add(const std::vector<std::string>& switchLines);
};

// A mail whose body is the pager message of these fields, in plain text.
std::string pagerXml(const std::string& pin, const std::string& text, const std::string& hash = "h1",
                     const std::string& extra = "<IsDispatchMessage>False</IsDispatchMessage>");

}  // namespace smtpin::test
