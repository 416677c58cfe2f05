#include "status/StatusServer.h"

#include <QHostAddress>
#include <QHttpServerResponse>
#include <QString>

#include <cstdio>

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
    metric(out, "smtpin_queue_depth", "gauge", "Messages in the input queue.", s.queueDepth);
    metric(out, "smtpin_queue_size", "gauge", "Slots of the input queue.", s.queueSize);
    metric(out, "smtpin_spool_depth", "gauge", "Pages in the spool, not yet deleted by the switch.", s.spoolDepth);
    metric(out, "smtpin_listener_up", "gauge", "1 while the SMTP listener listens.", s.listening ? 1 : 0);
    metric(out, "smtpin_link_logged_in", "gauge", "1 while the switch link is logged in.", s.loggedIn ? 1 : 0);
    metric(out, "smtpin_link_logins_total", "counter", "Logins to the switch.", static_cast<double>(s.logins));
    metric(out, "smtpin_records_sent_total", "counter", "Records sent to the switch.",
           static_cast<double>(s.recordsSent));
    metric(out, "smtpin_records_deleted_total", "counter", "Queued messages the switch deleted.",
           static_cast<double>(s.recordsDeleted));
    metric(out, "smtpin_seconds_since_last_delete", "gauge",
           "Seconds since the switch last deleted a message; -1 before the first.", s.secondsSinceDelete);
    metric(out, "smtpin_catalogue_up", "gauge", "1 while the catalogue is open.", s.catalogueOpen ? 1 : 0);
    metric(out, "smtpin_database_errors_total", "counter", "Catalogue errors reported.",
           static_cast<double>(s.databaseErrors));
    return out;
}

StatusServer::StatusServer(std::function<Snapshot()> snapshot) : snapshot_(std::move(snapshot))
{
    server_.route("/healthz", [this] {
        const auto [code, text] = Health(snapshot_());
        return QHttpServerResponse("text/plain; charset=utf-8", QByteArray::fromStdString(text),
                                   static_cast<QHttpServerResponder::StatusCode>(code));
    });
    server_.route("/metrics", [this] {
        return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8",
                                   QByteArray::fromStdString(MetricsText(snapshot_())));
    });
}

std::uint16_t StatusServer::Listen(const std::string& where, std::string* why)
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
        return 0;
    }
    const quint16 taken = server_.listen(address, static_cast<quint16>(port));
    if (taken == 0 && why)
        *why = "cannot listen on " + where;
    return taken;
}

}  // namespace smtpin::status
