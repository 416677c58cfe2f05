#pragma once

#include "platform/Clock.h"
#include "platform/Controls.h"
#include "platform/SocketControl.h"
#include "smtp/SMTPSocketType.h"
#include "smtp/AllowList.h"
#include "smtp/SmtpSession.h"

#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace smtpin {

class SystemLog;

// The SMTP listener: element 0 of wskSMTP listens, elements 1 and up carry
// one session each. Sockets are loaded on demand up to MaxSockets and then
// re-used; the port timer greets new sessions, ends them at their time limit
// and restarts the listener when it has been idle.
class SmtpListener final : public QObject, private SessionPort {
    Q_OBJECT
public:
    static constexpr int kRecords = 102;
    static constexpr int kMaxSessionSockets = 100;

    // The main window's controls the listener reads and writes.
    struct Controls {
        Label& lbPETTicker;
        Label& lbSocsLoaded;
        TextBox& txbServerAddress;
        TextBox& txbServerPort;
    };

    SmtpListener(const Clock& clock, SystemLog& log, Controls controls, PagerMessageParser& parser);
    ~SmtpListener();
    SmtpListener(const SmtpListener&) = delete;
    SmtpListener& operator=(const SmtpListener&) = delete;

    // What became of mails and connections, for the metrics.
    struct Counters {
        std::uint64_t accepted = 0;
        std::map<int, std::uint64_t> refused;   // by reply code
        std::uint64_t sessions = 0;        // greeted
        std::uint64_t tlsSessions = 0;     // of those, upgraded to TLS
        std::uint64_t tlsFailures = 0;     // handshakes failed or not finished in time
        std::uint64_t senderGone = 0;      // mails whose sender left before their reply
    };

    // Settings, from the start-up settings.
    void SetMaxSockets(int n);
    void setSocketTimeout(double days) { SocketTimeout = days; }
    void setSessionMax(double days) { SessionMax = days; }
    void setListenerIdleTime(double days) { ListenerIdleTime = days; }
    void setAllowed(AllowList allowed) { Allowed = std::move(allowed); }
    // STARTTLS: offered when there is a configuration; required of every
    // sender but the exempt ones when asked.
    void setTls(std::optional<QSslConfiguration> config);
    void setTlsRequired(bool on, AllowList exempt)
    {
        TlsRequired = on;
        TlsExempt = std::move(exempt);
    }
    bool tlsConfigured() const { return Tls.has_value(); }
    // Sessions one address may hold at once; 0: no limit.
    void setMaxPerClient(int n) { MaxPerClient = std::max(n, 0); }
    int maxPerClient() const { return MaxPerClient; }
    int maxSockets() const { return MaxSockets; }
    double socketTimeout() const { return SocketTimeout; }
    double sessionMax() const { return SessionMax; }
    double listenerIdleTime() const { return ListenerIdleTime; }

    bool listenerReady() const { return ListenerReady; }
    const Counters& counters() const { return counters_; }
    // Sockets loaded, the listener's included.
    int socketCount() const { return SocketCount; }
    long logTick() const { return LogTick; }
    const SMTPSocketType& record(int index) const { return SMTPSockets.at(static_cast<size_t>(index)); }

    // Tests drive the timers by hand.
    void setTimersEnabled(bool on) { timersEnabled_ = on; }
    // Why the load could not listen (empty when it did), for the status line.
    const std::string& loadFailure() const { return loadFailure_; }
    // The restart can open it once the cause is gone (a busy port); false
    // when the address or port itself cannot be used.
    bool canRetry() const;
    // A restart that failed is tried again this soon, whatever the idle time.
    static constexpr double kRetryAfterFailedRestart = 5.0 / 86400.0;

    void Form_Load();
    void Form_Unload();

    void tmrPortTimer_Timer();
    void tmrProcessing_Timer();
    void tmrLog_Timer();

    void ReOPENPort(int index);
    void ForceClosePort(int index);
    void ClosePort(int index) override;
    int GetNextSocket();
    void InitSocketRecord(int n);
    bool SendDataSocket(int index, const std::string& text) override;

    // Socket events.
    void wskSMTP_ConnectionRequest(int index, long requestId);
    void wskSMTP_DataArrival(int index, long bytesTotal);
    void wskSMTP_SendComplete(int index);
    void wskSMTP_Close(int index);
    void wskSMTP_Connect(int index);
    void wskSMTP_Error(int index, int number, const std::string& description);

    SocketControl& socket(int index) { return *wskSMTP.at(static_cast<size_t>(index)); }
    std::string tick() const override;   // "[" + LogTick + "]"
    void log(const std::string& text) override;

signals:
    // A restart of the listening socket opened it after it was not
    // listening, or failed after it was: the switch hears READY or UNAVAIL.
    void availabilityChanged(bool ready);

private:
    void count(int replyCode) override;
    SessionPort::Tls tls(int index) const override;
    void StartTls(int index) override;
    bool connected(int index) const override;
    void resume(int index) override;
    void senderGone(int index, const std::string& reply) override;
    // Hands what the socket received to its session; held: the lines it
    // already holds first.
    void readLines(int index, bool held);
    void wskSMTP_TlsReady(int index);
    SmtpSession& session(int index) { return *sessions_.at(static_cast<size_t>(index)); }
    void loadSocket(int index);
    // A connection request's steps: its address may connect (and its own
    // quietest session made room); a socket for it (-1: refused, the pool
    // full); the accept and the greeting.
    bool admits(const std::string& peer, const std::string& id, long requestId);
    int freeSocketFor(const std::string& id, long requestId);
    void acceptOn(int n, const std::string& id, long requestId);
    // Connected sessions from the address.
    int sessionsFrom(const std::string& ip) const;
    // The session quiet longest, for at least quietDays and from the
    // address when one is given, that may be closed to make room; -1: none.
    int longestIdle(const std::string& from, double quietDays) const;
    void walkSocket(int i);
    // The walk's state-change step for one socket.
    void observeState(int i);
    // The port timer's state step for one socket, run inside its event.
    void stepNow(int i);
    void logState(int i, int s);
    void startTimers();
    void setListening(bool ready);

    const Clock& clock_;
    SystemLog& log_;
    Controls view_;
    PagerMessageParser& parser_;
    std::vector<std::unique_ptr<SocketControl>> wskSMTP;
    std::vector<std::unique_ptr<SmtpSession>> sessions_;   // one per loaded socket
    int MaxSockets = 10;
    double SocketTimeout = 3.0 / 86400.0;   // idle limit, from the last data received
    double SessionMax = 600.0 / 86400.0;    // whole-session limit, so slow senders cannot hold the pool
    double ListenerIdleTime = 600.0 / 86400.0;
    AllowList Allowed;                      // who may connect ("ALLOWED_SENDERS")
    int MaxPerClient = 20;
    std::optional<QSslConfiguration> Tls;
    bool TlsRequired = false;
    AllowList TlsExempt;
    Counters counters_;
    int SocketCount = 1;
    int LastSocket = 1;
    int HighestSocket = 0;
    long LogTick = 0;
    std::uint64_t connections_ = 0;   // accepted so far: each session's serial
    bool ListenerReady = false;
    DateSerial ListenerRestartTime;
    std::array<SMTPSocketType, kRecords> SMTPSockets;
    QTimer tmrPortTimer;
    QTimer tmrProcessing;
    QTimer tmrLog;
    bool timersEnabled_ = true;
    std::string loadFailure_;
};

}  // namespace smtpin
