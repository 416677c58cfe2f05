#pragma once

#include <QHttpServer>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace smtpin::status {

// What the client reports about itself at one moment.
struct Snapshot {
    bool listening = false;          // the SMTP listener listens
    bool loggedIn = false;           // the switch accepted this client
    bool catalogueOpen = false;
    std::uint64_t mailsAccepted = 0;
    std::map<int, std::uint64_t> refusedByCode;   // 421, 451, 552, 554 ...
    int queueDepth = 0;
    int queueSize = 0;
    int spoolDepth = 0;
    std::uint64_t logins = 0;
    std::uint64_t recordsSent = 0;
    std::uint64_t recordsDeleted = 0;
    double secondsSinceDelete = -1;  // none yet: -1
    std::uint64_t databaseErrors = 0;
};

// 200 "ok", or 503 naming the parts that fail.
std::pair<int, std::string> Health(const Snapshot& s);
// The Prometheus text exposition format.
std::string MetricsText(const Snapshot& s);

// /healthz and /metrics over HTTP on one address, for the service's watchers.
class StatusServer {
public:
    explicit StatusServer(std::function<Snapshot()> snapshot);

    // "host:port" ("127.0.0.1:9125", "[::1]:9125"); the port taken, or 0
    // with why.
    std::uint16_t Listen(const std::string& where, std::string* why);

private:
    std::function<Snapshot()> snapshot_;
    QHttpServer server_;
};

}  // namespace smtpin::status
