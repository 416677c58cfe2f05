#pragma once

#include "platform/Clock.h"
#include "platform/DateSerial.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

class QTcpSocket;

namespace smtpin::status {

// What the client reports about itself at one moment.
struct Snapshot {
    bool listening = false;          // the SMTP listener listens
    bool loggedIn = false;           // the switch accepted this client
    bool withoutOutput = false;      // ... with OUT clear: nothing can be sent
    enum class Link { Down, Connecting, LoggedIn, WithoutOutput, TakenDown };
    Link link = Link::Down;          // the link's state, as the status strip shows it
    DateSerial linkSince;            // since when it stands so
    DateSerial lastPageSent;         // zero: none yet
    DateSerial lastDelete;           // zero: none yet
    std::uint64_t linkLosses = 0;    // logins that ended without this client asking
    std::uint64_t spoolFailures = 0; // commits of new pages that failed
    int pagesWaiting = 0;            // answered 250, not yet deleted by the switch
    double oldestPageAge = -1;       // seconds; none waiting: -1
    int maxPageAge = 120;            // HEALTH_MAX_PAGE_AGE; 0: not checked
    bool catalogueOpen = false;
    std::uint64_t mailsAccepted = 0;
    std::map<int, std::uint64_t> refusedByCode;   // 421, 451, 552, 554 ...
    std::uint64_t sessions = 0;        // SMTP sessions greeted
    std::uint64_t tlsSessions = 0;     // of those, upgraded by STARTTLS
    std::uint64_t tlsFailures = 0;     // handshakes failed or not finished
    int queueDepth = 0;
    int queueSize = 0;
    int spoolDepth = 0;
    std::uint64_t spoolCommits = 0;    // transactions that put pages on disk
    std::uint64_t pagesCommitted = 0;  // pages they held
    std::uint64_t senderGone = 0;      // mails whose sender left before their reply
    std::uint64_t logins = 0;
    std::uint64_t recordsSent = 0;
    std::uint64_t recordsDeleted = 0;
    double secondsSinceDelete = -1;  // none yet: -1
    double secondsSincePageSent = -1;  // none yet: -1
    std::uint64_t databaseErrors = 0;
};

// 200 "ok", or 503 naming the parts that fail.
std::pair<int, std::string> Health(const Snapshot& s);
// The Prometheus text exposition format.
std::string MetricsText(const Snapshot& s);

// "host:port" ("127.0.0.1:9125", "[::1]:9125"): the address and port, or
// nothing with why.
std::optional<std::pair<QHostAddress, std::uint16_t>> ParseListen(const std::string& where, std::string* why);

// One HTTP answer to one request head.
struct Reply {
    int code = 200;
    std::string contentType;
    std::string body;
    bool close = false;      // the connection ends after it
    bool headOnly = false;   // HEAD: the length, not the body
};
// The answer to a whole request head (request line and header lines, its
// empty line included): GET or HEAD of /healthz or /metrics, no body.
Reply Answer(const std::string& head, const std::function<Snapshot()>& snapshot);
// The reply as it goes on the wire.
std::string ReplyText(const Reply& reply);

// /healthz and /metrics over HTTP, for the service's watchers. Bounded so
// that no watcher, or anyone else who reaches the port, can take what the
// SMTP side needs: a few connections at once, a short idle limit, a small
// request head and no body.
class StatusServer final : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int kMaxConnections = 16;
    static constexpr double kIdleSeconds = 5.0;
    static constexpr int kMaxHead = 8 * 1024;

    StatusServer(const Clock& clock, std::function<Snapshot()> snapshot);
    ~StatusServer() override;

    // The port taken, or 0 with why.
    std::uint16_t Listen(const std::string& where, std::string* why);
    int connections() const { return static_cast<int>(open_.size()); }
    // Once a second: a connection that has not finished a request for
    // kIdleSeconds since it opened or was last answered is closed.
    void CheckIdle();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection {
        std::string buffer;
        DateSerial since;
        bool closing = false;
    };
    void readFrom(QTcpSocket* socket);
    void finish(QTcpSocket* socket, const std::string& last);

    const Clock& clock_;
    std::function<Snapshot()> snapshot_;
    std::map<QTcpSocket*, Connection> open_;
    QTimer idleTimer_;
};

}  // namespace smtpin::status
