#include "status/StatusServer.h"

#include "platform/Text.h"

#include <algorithm>
#include <QString>
#include <QTcpSocket>

#include <cstdio>
#include <vector>

namespace smtpin::status {
namespace {

std::string number(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

void metric(std::string& out, const char* name, const char* type, const char* help, double value,
            const std::string& labels = {})
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    out += name + (labels.empty() ? std::string() : "{" + labels + "}") + " " + number(value) + "\n";
}

}  // namespace

std::pair<int, std::string> Health(const Snapshot& s)
{
    std::string failing;
    if (!s.listening)
        failing += "smtp listener not listening\n";
    if (!s.loggedIn)
        failing += "switch link not logged in\n";
    else if (s.withoutOutput)
        failing += "switch accepted the login without output\n";
    if (s.maxPageAge > 0 && s.oldestPageAge > s.maxPageAge)
        failing += "oldest page " + std::to_string(static_cast<long long>(s.oldestPageAge)) + " s old\n";
    if (!s.catalogueOpen)
        failing += "catalogue not open\n";
    return failing.empty() ? std::pair{200, std::string("ok\n")} : std::pair{503, failing};
}

std::string MetricsText(const Snapshot& s)
{
    std::string out;
    metric(out, "smtpin_mails_accepted_total", "counter", "Mails answered 250 and queued for the switch.",
           static_cast<double>(s.mailsAccepted));
    out += "# HELP smtpin_mails_refused_total Mails or connections refused, by reply code.\n"
           "# TYPE smtpin_mails_refused_total counter\n";
    for (int code : {421, 451, 500, 552, 554})
        if (!s.refusedByCode.contains(code))
            out += "smtpin_mails_refused_total{code=\"" + std::to_string(code) + "\"} 0\n";
    for (const auto& [code, n] : s.refusedByCode)
        out += "smtpin_mails_refused_total{code=\"" + std::to_string(code) + "\"} " + std::to_string(n) + "\n";
    out += "# HELP smtpin_smtp_sessions_total SMTP sessions greeted, by whether STARTTLS upgraded them.\n"
           "# TYPE smtpin_smtp_sessions_total counter\n"
           "smtpin_smtp_sessions_total{tls=\"yes\"} " + std::to_string(s.tlsSessions) + "\n"
           "smtpin_smtp_sessions_total{tls=\"no\"} " + std::to_string(s.sessions - std::min(s.sessions, s.tlsSessions)) + "\n";
    metric(out, "smtpin_tls_handshake_failures_total", "counter", "TLS handshakes that failed or did not finish in time.",
           static_cast<double>(s.tlsFailures));
    metric(out, "smtpin_queue_depth", "gauge", "Messages in the input queue.", s.queueDepth);
    metric(out, "smtpin_queue_size", "gauge", "Slots of the input queue.", s.queueSize);
    metric(out, "smtpin_spool_depth", "gauge", "Pages in the spool, not yet deleted by the switch.", s.spoolDepth);
    metric(out, "smtpin_spool_commits_total", "counter", "Commits that put new pages on disk, one sync each.",
           static_cast<double>(s.spoolCommits));
    metric(out, "smtpin_spool_pages_committed_total", "counter", "New pages those commits put on disk.",
           static_cast<double>(s.pagesCommitted));
    metric(out, "smtpin_smtp_sender_gone_total", "counter", "Mails whose sender left before their reply.",
           static_cast<double>(s.senderGone));
    metric(out, "smtpin_pages_waiting", "gauge", "Pages answered 250 and not yet deleted by the switch.",
           s.pagesWaiting);
    metric(out, "smtpin_oldest_page_age_seconds", "gauge",
           "Age of the oldest page not yet deleted by the switch; -1 when none waits.", s.oldestPageAge);
    metric(out, "smtpin_listener_up", "gauge", "1 while the SMTP listener listens.", s.listening ? 1 : 0);
    metric(out, "smtpin_link_logged_in", "gauge", "1 while the switch link is logged in.", s.loggedIn ? 1 : 0);
    metric(out, "smtpin_link_logins_total", "counter", "Logins to the switch.", static_cast<double>(s.logins));
    metric(out, "smtpin_records_sent_total", "counter", "Records sent to the switch.",
           static_cast<double>(s.recordsSent));
    metric(out, "smtpin_records_deleted_total", "counter", "Queued messages the switch deleted.",
           static_cast<double>(s.recordsDeleted));
    metric(out, "smtpin_seconds_since_last_delete", "gauge",
           "Seconds since the switch last deleted a message; -1 before the first.", s.secondsSinceDelete);
    metric(out, "smtpin_seconds_since_last_page_sent", "gauge",
           "Seconds since a page last went to the switch; -1 before the first.", s.secondsSincePageSent);
    metric(out, "smtpin_link_losses_total", "counter", "Logins to the switch that ended without this client asking.",
           static_cast<double>(s.linkLosses));
    metric(out, "smtpin_spool_commit_failures_total", "counter", "Commits of new pages the spool refused.",
           static_cast<double>(s.spoolFailures));
    metric(out, "smtpin_catalogue_up", "gauge", "1 while the catalogue is open.", s.catalogueOpen ? 1 : 0);
    metric(out, "smtpin_database_errors_total", "counter", "Catalogue errors reported.",
           static_cast<double>(s.databaseErrors));
    return out;
}

std::optional<std::pair<QHostAddress, std::uint16_t>> ParseListen(const std::string& where, std::string* why)
{
    const QString text = QString::fromStdString(where).trimmed();
    const int colon = text.lastIndexOf(':');
    bool ok = false;
    const int port = colon > 0 ? text.mid(colon + 1).toInt(&ok) : 0;
    QString host = colon > 0 ? text.left(colon) : QString();
    if (host.startsWith('[') && host.endsWith(']'))
        host = host.mid(1, host.size() - 2);
    QHostAddress address;
    if (!ok || port < 0 || port > 65535 || !address.setAddress(host)) {
        if (why)
            *why = "\"" + where + "\" is not an address and port such as 127.0.0.1:9125";
        return std::nullopt;
    }
    return std::pair{address, static_cast<std::uint16_t>(port)};
}

namespace {

const char* reason(int code)
{
    switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

Reply plain(int code, std::string body, bool close)
{
    return Reply{code, "text/plain; charset=utf-8", std::move(body), close, false};
}

// The value of a header line named name ("content-length: 0"), if it is one.
std::optional<std::string_view> headerValue(std::string_view line, std::string_view name)
{
    if (line.size() <= name.size() || line[name.size()] != ':' || !text::EqualsNoCase(line.substr(0, name.size()), name))
        return std::nullopt;
    return text::Trim(line.substr(name.size() + 1), text::kBlanks);
}

}  // namespace

Reply Answer(const std::string& head, const std::function<Snapshot()>& snapshot)
{
    std::string_view rest(head);
    auto nextLine = [&] {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return line;
    };
    const std::string_view request = nextLine();
    const size_t sp1 = request.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : request.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || request.substr(sp2 + 1).substr(0, 7) != "HTTP/1.")
        return plain(400, "bad request\n", true);
    const std::string_view method = request.substr(0, sp1);
    std::string_view path = request.substr(sp1 + 1, sp2 - sp1 - 1);
    bool close = request.substr(sp2 + 1) == "HTTP/1.0";
    bool body = false;
    for (std::string_view line = nextLine(); !line.empty(); line = nextLine()) {
        if (const auto v = headerValue(line, "Connection"))
            close = close || text::FindNoCase(*v, "close") != std::string_view::npos;
        if (const auto v = headerValue(line, "Content-Length"))
            body = body || *v != "0";
        body = body || headerValue(line, "Transfer-Encoding");
    }
    // A body is never read: the connection could not be trusted after it.
    if (body)
        return plain(413, "no request body is taken\n", true);
    if (method != "GET" && method != "HEAD")
        return plain(405, "only GET and HEAD\n", true);
    path = path.substr(0, path.find('?'));
    Reply reply;
    if (path == "/healthz") {
        const auto [code, text] = Health(snapshot());
        reply = plain(code, text, close);
    } else if (path == "/metrics") {
        reply = Reply{200, "text/plain; version=0.0.4; charset=utf-8", MetricsText(snapshot()), close, false};
    } else {
        reply = plain(404, "not found: /healthz and /metrics are here\n", close);
    }
    reply.headOnly = method == "HEAD";
    return reply;
}

std::string ReplyText(const Reply& reply)
{
    std::string out = "HTTP/1.1 " + std::to_string(reply.code) + " " + reason(reply.code) + "\r\n";
    if (!reply.contentType.empty())
        out += "Content-Type: " + reply.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (reply.close)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (!reply.headOnly)
        out += reply.body;
    return out;
}

StatusServer::StatusServer(const Clock& clock, std::function<Snapshot()> snapshot)
    : clock_(clock), snapshot_(std::move(snapshot))
{
    idleTimer_.setInterval(1000);
    connect(&idleTimer_, &QTimer::timeout, this, &StatusServer::CheckIdle);
}

StatusServer::~StatusServer()
{
    for (auto& [socket, connection] : open_) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

std::uint16_t StatusServer::Listen(const std::string& where, std::string* why)
{
    const auto parsed = ParseListen(where, why);
    if (!parsed)
        return 0;
    if (!listen(parsed->first, parsed->second)) {
        if (why)
            *why = "cannot listen on " + where + ": " + errorString().toStdString();
        return 0;
    }
    idleTimer_.start();
    return serverPort();
}

void StatusServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setReadBufferSize(1024);
    if (connections() >= kMaxConnections) {
        // Told and let go at once: its descriptor is back in a moment.
        socket->write(QByteArray::fromStdString(ReplyText(plain(503, "too many connections\n", true))));
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromHost();
        return;
    }
    // Qt would otherwise read all a sender sends into memory.
    socket->setReadBufferSize(kMaxHead + 4);
    open_[socket] = Connection{{}, clock_.now(), false};
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        open_.erase(socket);
        socket->deleteLater();
    });
}

void StatusServer::readFrom(QTcpSocket* socket)
{
    const auto it = open_.find(socket);
    if (it == open_.end())
        return;
    Connection& c = it->second;
    if (c.closing) {
        socket->readAll();
        return;
    }
    for (;;) {
        // Never more than the bound is held, however the bytes arrive.
        c.buffer += socket->read(kMaxHead + 4 - static_cast<qint64>(c.buffer.size())).toStdString();
        size_t end = c.buffer.find("\r\n\r\n");
        size_t endLength = 4;
        if (const size_t lf = c.buffer.find("\n\n"); lf < end) {
            end = lf;
            endLength = 2;
        }
        if (end == std::string::npos) {
            if (c.buffer.size() > static_cast<size_t>(kMaxHead))
                finish(socket, ReplyText(plain(431, "request head too large\n", true)));
            return;
        }
        const Reply reply = Answer(c.buffer.substr(0, end + endLength), snapshot_);
        c.buffer.erase(0, end + endLength);
        if (reply.close)
            return finish(socket, ReplyText(reply));
        socket->write(QByteArray::fromStdString(ReplyText(reply)));
        c.since = clock_.now();
    }
}

void StatusServer::finish(QTcpSocket* socket, const std::string& last)
{
    open_[socket].closing = true;
    socket->write(QByteArray::fromStdString(last));
    socket->disconnectFromHost();
}

void StatusServer::CheckIdle()
{
    const DateSerial now = clock_.now();
    std::vector<QTcpSocket*> idle;
    for (const auto& [socket, c] : open_)
        if ((now.days() - c.since.days()) * 86400.0 >= kIdleSeconds || now < c.since)
            idle.push_back(socket);
    // abort() says disconnected at once, which takes the socket off the list.
    for (QTcpSocket* socket : idle)
        socket->abort();
}

}  // namespace smtpin::status
