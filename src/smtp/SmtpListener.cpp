#include "smtp/SmtpListener.h"

#include "log/SystemLog.h"

#include <algorithm>
#include <cctype>
#include <exception>

namespace smtpin {
namespace {

const char* const kAccessDenied = "554 VORN_SMTP_Server Access denied\r\n";
const char* const kPoolFull = "421 VORN_SMTP_Server Service not available, closing transmission channel\r\n";
const char* const kTooMany = "421 VORN_SMTP_Server Too many connections from your address\r\n";
// A session this quiet may be closed to make room for a new one.
constexpr double kIdleEnough = 1.0 / 86400.0;

// A port text as the socket control takes it: a whole number or a run-time error.
bool parsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return false;
    port = std::stoi(text);
    return port <= 65535;
}

}  // namespace

SmtpListener::SmtpListener(const Clock& clock, SystemLog& log, Controls controls, PagerMessageParser& parser)
    : clock_(clock), log_(log), view_(controls), parser_(parser)
{
    loadSocket(0);
    tmrPortTimer.setInterval(100);
    tmrProcessing.setInterval(50);
    tmrLog.setInterval(1000);
    QObject::connect(&tmrPortTimer, &QTimer::timeout, [this] { tmrPortTimer_Timer(); });
    QObject::connect(&tmrProcessing, &QTimer::timeout, [this] { tmrProcessing_Timer(); });
    QObject::connect(&tmrLog, &QTimer::timeout, [this] { tmrLog_Timer(); });
}

SmtpListener::~SmtpListener()
{
    tmrPortTimer.stop();
    tmrProcessing.stop();
    tmrLog.stop();
    for (auto& s : wskSMTP)
        s->disconnect();
}

void SmtpListener::SetMaxSockets(int n)
{
    // The record array holds the listener and at most 100 sessions.
    MaxSockets = std::clamp(n, 1, kMaxSessionSockets);
}

std::string SmtpListener::tick() const { return "[" + std::to_string(LogTick) + "]"; }

// The session's lines carry what senders wrote, as they wrote it.
void SmtpListener::log(const std::string& text) { log_.UpdateSMTPLog(text, SystemLog::EchoText::Wire); }

void SmtpListener::loadSocket(int index)
{
    auto control = std::make_unique<SocketControl>();
    SocketControl* c = control.get();
    QObject::connect(c, &SocketControl::connectionRequest, [this, index](long id) { wskSMTP_ConnectionRequest(index, id); });
    QObject::connect(c, &SocketControl::dataArrival, [this, index](long bytes) { wskSMTP_DataArrival(index, bytes); });
    QObject::connect(c, &SocketControl::sendComplete, [this, index] { wskSMTP_SendComplete(index); });
    QObject::connect(c, &SocketControl::closed, [this, index] { wskSMTP_Close(index); });
    QObject::connect(c, &SocketControl::connected, [this, index] { wskSMTP_Connect(index); });
    QObject::connect(c, &SocketControl::tlsReady, [this, index] { wskSMTP_TlsReady(index); });
    QObject::connect(c, &SocketControl::error,
                     [this, index](int n, const std::string& d) { wskSMTP_Error(index, n, d); });
    wskSMTP.push_back(std::move(control));
    SessionPort& port = *this;
    sessions_.push_back(
        std::make_unique<SmtpSession>(index, SMTPSockets.at(static_cast<size_t>(index)), port, view_.lbPETTicker, parser_));
}

void SmtpListener::setTls(std::optional<QSslConfiguration> config)
{
    Tls = std::move(config);
    socket(0).setAcceptsTls(Tls.has_value());
}

SessionPort::Tls SmtpListener::tls(int index) const
{
    const SocketControl& sock = *wskSMTP.at(static_cast<size_t>(index));
    SessionPort::Tls t;
    t.active = sock.encrypted();
    t.offered = Tls.has_value() && !t.active && sock.canStartTls();
    t.required = TlsRequired && !t.active && !TlsExempt.Allows(SMTPSockets[static_cast<size_t>(index)].RemoteIP);
    return t;
}

void SmtpListener::StartTls(int index)
{
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(index)];
    SocketControl& sock = socket(index);
    // The 220 goes out whole, in clear, before the handshake.
    if (!rec.SendQueue.empty())
        sock.send(rec.SendQueue);
    rec.SendQueue.clear();
    if (!Tls || !sock.startServerTls(*Tls)) {
        log("soc[" + std::to_string(index) + "] TLS: Handshake could not start, closing");
        ++counters_.tlsFailures;
        rec.Phase = SessionPhase::Closing;
        ClosePort(index);
    }
}

void SmtpListener::wskSMTP_TlsReady(int index)
{
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(index)];
    if (rec.Phase != SessionPhase::Handshake)
        return;
    ++counters_.tlsSessions;
    log("soc[" + std::to_string(index) + "] TLS: " + socket(index).tlsSummary());
    session(index).TlsStarted();
    rec.CanSend = true;
    rec.LastLine = clock_.now();
    rec.Deadline = rec.LastLine.addDays(SocketTimeout);
}

void SmtpListener::count(int replyCode)
{
    if (replyCode == 250)
        ++counters_.accepted;
    else
        ++counters_.refused[replyCode];
}

void SmtpListener::Form_Load()
{
    ListenerReady = false;
    loadFailure_.clear();
    // Whatever the load does: the port timer's restart is what opens a
    // listener that could not open now (port busy, address not up yet).
    startTimers();
    SocketControl& listener = socket(0);
    int port = 0;
    SocketControl::Failure f{10049, "The port is not a port number: " + view_.txbServerPort.text()};
    if (parsePort(view_.txbServerPort.text(), port)) {
        listener.setLocalPort(port);
        view_.txbServerPort.setEnabled(false);
        view_.txbServerAddress.setEnabled(false);
        if (listener.bind(port, view_.txbServerAddress.text(), &f) && listener.listen(&f))
            f = {};
    }
    if (f.number != 0) {
        // Said once here; a busy port is then retried by the port timer.
        loadFailure_ = f.description;
        log("Load: Listener not opened [" + std::to_string(f.number) + "] " + f.description);
        return;
    }
    ListenerReady = true;
    log("Load: Local port <" + std::to_string(listener.localPort()) + ">");
    log("Load: Local IP   <" + listener.localIP() + ">");
    view_.lbPETTicker.setCaption("Server Activated");
}

void SmtpListener::startTimers()
{
    if (!timersEnabled_)
        return;
    tmrPortTimer.start();
    tmrProcessing.start();
    tmrLog.start();
}

bool SmtpListener::canRetry() const { return wskSMTP.front()->bound(); }

void SmtpListener::Form_Unload()
{
    tmrPortTimer.stop();
    tmrProcessing.stop();
    tmrLog.stop();
    // The window's sockets go with it: no session may still take a mail
    // once the client has started to close.
    for (int i = SocketCount - 1; i >= 0; --i)
        socket(i).close();
}

void SmtpListener::tmrProcessing_Timer()
{
    LogTick += tmrProcessing.interval();
    if (LogTick > 10000)
        LogTick = 0;
}

void SmtpListener::tmrLog_Timer() { log_.FlushSMTPLog(); }

void SmtpListener::tmrPortTimer_Timer()
{
    for (int i = 0; i < SocketCount; ++i)
        walkSocket(i);
}

void SmtpListener::walkSocket(int i)
{
    const DateSerial now = clock_.now();
    if (i == 0 && ListenerRestartTime < now && canRetry()) {
        ListenerRestartTime = now.addDays(ListenerIdleTime);
        log(tick() + "SYS: TCP Timer: Initiated a close on email hub socket. Now restart listener");
        ReOPENPort(0);
    }
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(i)];
    if (i > 0 && socket(i).state() == SocketControl::Connected && !rec.AwaitingCommit &&
        (rec.Deadline < now || rec.SessionEnd < now)) {
        if (rec.SessionEnd < now)
            log(tick() + "SYS: TCP Timer: Session on email socket[" + std::to_string(i) +
                "] open longer than SESSION_MAX, closing");
        if (rec.Phase == SessionPhase::Handshake) {
            ++counters_.tlsFailures;
            log("soc[" + std::to_string(i) + "] TLS: Handshake not finished in time, closing");
        }
        // Far ahead, so the same session is not closed twice.
        rec.Deadline = rec.SessionEnd = now.addDays(500);
        log(tick() + "SYS: TCP Timer: Initiated a close on email socket[" + std::to_string(i) + "]");
        ClosePort(i);
    }
    observeState(i);
}

void SmtpListener::stepNow(int i)
{
    // A close seen here frees the socket in the same step.
    for (int k = 0; k < 3; ++k) {
        const int before = SMTPSockets[static_cast<size_t>(i)].LastState;
        observeState(i);
        if (SMTPSockets[static_cast<size_t>(i)].LastState == before)
            break;
    }
}

void SmtpListener::observeState(int i)
{
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(i)];
    const int s = socket(i).state();
    if (s == rec.LastState)
        return;
    rec.LastState = s;
    logState(i, s);
}

void SmtpListener::logState(int i, int s)
{
    SocketControl& sock = socket(i);
    const std::string n = "[" + std::to_string(i) + "]";
    const std::string sys = tick() + "SYS: ";
    switch (s) {
    case SocketControl::Closed: log(sys + "Socket closed " + n); break;
    case SocketControl::Open: log(sys + "Socket Open " + n); break;
    case SocketControl::Listening:
        log(sys + "Listening on " + sock.localIP() + " port " + std::to_string(sock.localPort()) + " socket " + n);
        break;
    case SocketControl::ConnectionPending: log(sys + "Waiting connection " + n); break;
    case SocketControl::ResolvingHost: log(sys + "Resolving host " + n); break;
    case SocketControl::HostResolved: log(sys + "Host resolved " + n); break;
    case SocketControl::Connecting: log(sys + "Connecting " + n); break;
    case SocketControl::Connected:
        log(sys + "Connected to " + sock.remoteHostIP() + " port " + std::to_string(sock.remotePort()));
        ++counters_.sessions;
        session(i).Greet();
        log(tick() + "SYS: Sent 220 SERVER READY");
        break;
    case SocketControl::Closing:
        log(sys + "Closing " + n);
        ClosePort(i);
        break;
    case SocketControl::Error: log(sys + "Socket error " + n); break;
    default: break;
    }
}

void SmtpListener::ReOPENPort(int index)
{
    if (index != 0)
        return;
    log("ReOPENPort: Closing port");
    SocketControl& listener = socket(0);
    if (listener.state() != SocketControl::Closed)
        listener.close();
    SocketControl::Failure f;
    if (!listener.listen(&f)) {
        log("ReOPENPort Error: Closing port [" + std::to_string(f.number) + "] " + f.description);
        // Deaf until then: try again soon, whatever the idle time.
        ListenerRestartTime = clock_.now().addDays(std::min(ListenerIdleTime, kRetryAfterFailedRestart));
        setListening(false);
        return;
    }
    log(tick() + "ReOPENPort: Port Opened for Listening");
    setListening(true);
}

void SmtpListener::setListening(bool ready)
{
    if (ready == ListenerReady)
        return;
    ListenerReady = ready;
    if (ready) {
        loadFailure_.clear();
        view_.lbPETTicker.setCaption("Server Activated");
    }
    emit availabilityChanged(ready);
}

void SmtpListener::ForceClosePort(int index)
{
    log("ClosePort: Local App initiated a close on socket " + std::to_string(index));
    if (socket(index).state() != SocketControl::Closed)
        socket(index).close();
}

void SmtpListener::ClosePort(int index)
{
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(index)];
    // Replies still waiting go first: the close writes what the socket holds.
    if (!rec.SendQueue.empty() && socket(index).state() == SocketControl::Connected)
        socket(index).send(rec.SendQueue);
    rec.SendQueue.clear();
    if (socket(index).state() != SocketControl::Closed)
        socket(index).close();
}

int SmtpListener::GetNextSocket()
{
    const std::string gns = " GNS: ";
    if (SocketCount > 1) {
        int c = LastSocket;
        bool found = false;
        for (int k = 0; k < SocketCount - 1; ++k) {
            if (c >= 1 && c < SocketCount && socket(c).state() == SocketControl::Closed) {
                found = true;
                break;
            }
            ++c;
            if (c >= SocketCount) {
                c = 1;
                log(gns + "Back to 1 ");
            }
            log(gns + "Try next " + std::to_string(c));
        }
        if (found) {
            InitSocketRecord(c);
            ++LastSocket;
            if (LastSocket >= SocketCount)
                LastSocket = 1;
            log(gns + "Found socket " + std::to_string(c));
            return c;
        }
    }
    if (SocketCount <= MaxSockets) {
        const int n = SocketCount;
        loadSocket(n);
        LastSocket = n;
        InitSocketRecord(n);
        ++SocketCount;
        log(gns + "Load new socket " + std::to_string(n));
        return n;
    }
    log(gns + "TCP Connect: Socket load request " + std::to_string(SocketCount) +
        " exceeds maximum allowable socket limit of " + std::to_string(MaxSockets));
    return -1;
}

void SmtpListener::InitSocketRecord(int n)
{
    // Replies and text of the previous session must not reach the next client.
    session(n).Reset();
    SMTPSocketType& rec = SMTPSockets.at(static_cast<size_t>(n));
    const DateSerial now = clock_.now();
    rec.LastLine = now;
    rec.Deadline = now.addDays(SocketTimeout);
    rec.SessionEnd = now.addDays(SessionMax);
}

int SmtpListener::sessionsFrom(const std::string& ip) const
{
    int n = 0;
    for (int i = 1; i < SocketCount; ++i)
        if (wskSMTP[static_cast<size_t>(i)]->state() == SocketControl::Connected &&
            SMTPSockets[static_cast<size_t>(i)].RemoteIP == ip)
            ++n;
    return n;
}

int SmtpListener::longestIdle(const std::string& from, double quietDays) const
{
    const DateSerial quietSince = clock_.now().addDays(-quietDays);
    int found = -1;
    for (int i = 1; i < SocketCount; ++i) {
        const SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(i)];
        // A session inside a mail is never cut short, however slow.
        if (wskSMTP[static_cast<size_t>(i)]->state() != SocketControl::Connected ||
            rec.Phase != SessionPhase::Command || rec.MailGiven || rec.AwaitingCommit || quietSince < rec.LastLine ||
            (!from.empty() && rec.RemoteIP != from))
            continue;
        if (found < 0 || rec.LastLine < SMTPSockets[static_cast<size_t>(found)].LastLine)
            found = i;
    }
    return found;
}

bool SmtpListener::SendDataSocket(int index, const std::string& text)
{
    SocketControl& sock = socket(index);
    if (sock.state() != SocketControl::Connected)
        return false;
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(index)];
    if (rec.CanSend) {
        sock.send(text);
        rec.CanSend = false;
        return true;
    }
    if (rec.SendQueue.size() + text.size() > SmtpSession::kMaxSendQueue) {
        // A client that never reads its replies would grow the queue without end.
        log("soc[" + std::to_string(index) + "] SMTP: Replies not read by client, session closed");
        rec.Phase = SessionPhase::Closing;
        ClosePort(index);
        return true;
    }
    rec.SendQueue += text;
    return true;
}

void SmtpListener::wskSMTP_ConnectionRequest(int index, long requestId)
{
    const std::string id = std::to_string(requestId);
    log("Incoming request id [" + id + "]");
    if (index != 0)
        return;
    try {
        if (!admits(socket(0).pendingPeer(requestId), id, requestId))
            return;
        const int n = freeSocketFor(id, requestId);
        if (n >= 0)
            acceptOn(n, id, requestId);
    } catch (const std::exception& e) {
        log("Event Error: Conn RQST [7] " + std::string(e.what()));
    }
}

bool SmtpListener::admits(const std::string& peer, const std::string& id, long requestId)
{
    // Refused before it can make anyone room.
    if (!Allowed.Allows(peer)) {
        log("SMTP TCP: Refused request id [" + id + "] SMTP: Access denied to " + peer);
        socket(0).refuse(requestId, kAccessDenied);
        count(554);
        return false;
    }
    // A relay's cached connections count against its share: its own
    // quietest session makes room before it is told to wait.
    if (MaxPerClient > 0 && sessionsFrom(peer) >= MaxPerClient)
        if (const int own = longestIdle(peer, kIdleEnough); own > 0)
            session(own).Evict();
    if (MaxPerClient > 0 && sessionsFrom(peer) >= MaxPerClient) {
        log("SMTP TCP: Refused request id [" + id + "] from " + peer + ": " + std::to_string(MaxPerClient) +
            " sessions from that address already");
        socket(0).refuse(requestId, kTooMany);
        count(421);
        return false;
    }
    return true;
}

int SmtpListener::freeSocketFor(const std::string& id, long requestId)
{
    int n = GetNextSocket();
    if (n == -1) {
        // A session that has been quiet longest makes room for the new one.
        if (const int idle = longestIdle({}, kIdleEnough); idle > 0) {
            session(idle).Evict();
            n = GetNextSocket();
        }
    }
    if (n == -1) {
        log("SMTP TCP: Ignore request id [" + id + "] intMax " + std::to_string(n));
        // Told plainly, so the sender's mail system queues and retries.
        socket(0).refuse(requestId, kPoolFull);
        count(421);
    }
    return n;
}

void SmtpListener::acceptOn(int n, const std::string& id, long requestId)
{
    // Closed and taken again before the port timer saw it closed: the
    // walk must still see the new session arrive, or it is never greeted.
    observeState(n);
    SocketControl& sock = socket(n);
    SocketControl::Failure f;
    if (!sock.accept(socket(0), requestId, &f)) {
        log("Event Error: Conn RQST [" + std::to_string(f.number) + "] " + f.description);
        return;
    }
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(n)];
    rec.Serial = ++connections_;
    rec.RemoteIP = sock.remoteHostIP();
    rec.RemotePort = std::to_string(sock.remotePort());
    log("Accept request id [" + id + "] Socket " + std::to_string(n) + "  Remote IP " + rec.RemoteIP + " Port " +
        rec.RemotePort);
    if (!Allowed.Allows(rec.RemoteIP)) {
        // Said instead of the greeting; the sender's system will not retry.
        log("soc[" + std::to_string(n) + "] SMTP: Access denied to " + rec.RemoteIP);
        sock.send(kAccessDenied);
        count(554);
        ClosePort(n);
        return;
    }
    if (n >= HighestSocket)
        HighestSocket = n;
    ListenerRestartTime = clock_.now().addDays(ListenerIdleTime);
    view_.lbSocsLoaded.setCaption("MAX socket array cnt = " + std::to_string(HighestSocket));
    // Greeted now, not on the next tick.
    stepNow(n);
}

void SmtpListener::wskSMTP_DataArrival(int index, long) { readLines(index, false); }

bool SmtpListener::connected(int index) const
{
    return wskSMTP.at(static_cast<size_t>(index))->state() == SocketControl::Connected;
}

void SmtpListener::resume(int index) { readLines(index, true); }

void SmtpListener::senderGone(int index, const std::string& reply)
{
    ++counters_.senderGone;
    log("soc[" + std::to_string(index) + "] SMTP: Sender left before its reply: " + reply);
}

void SmtpListener::readLines(int index, bool held)
{
    SocketControl& sock = socket(index);
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(index)];
    bool progress = false;
    try {
        if (held)
            progress = session(index).GetNextCommand();
        // In pieces, so a burst never sits in memory whole; a session whose
        // mail waits for its commit leaves the rest in the socket.
        while (!rec.AwaitingCommit && sock.bytesReceived() > 0) {
            rec.Received += sock.receive(static_cast<long>(SmtpSession::kMaxLine));
            progress = session(index).GetNextCommand() || progress;
        }
    } catch (const std::exception& e) {
        rec.Received.clear();
        log("Event Error: Data Arrival [7] " + std::string(e.what()));
    }
    // Only a complete line is progress: a byte at a time never holds a
    // session. Counted once the line was handled, so a slow step in
    // handling it cuts nothing off.
    if (progress) {
        rec.LastLine = clock_.now();
        rec.Deadline = rec.LastLine.addDays(SocketTimeout);
    }
}

void SmtpListener::wskSMTP_SendComplete(int index)
{
    SMTPSocketType& rec = SMTPSockets[static_cast<size_t>(index)];
    rec.CanSend = true;
    if (rec.SendQueue.empty())
        return;
    socket(index).send(rec.SendQueue);
    log("Event: SendComplete has resent ->" + rec.SendQueue);
    rec.CanSend = false;
    rec.SendQueue.clear();
}

void SmtpListener::wskSMTP_Close(int index)
{
    log(tick() + "Event: Remote Port initiated a close on socket [" + std::to_string(index) + "]");
    stepNow(index);
}

void SmtpListener::wskSMTP_Connect(int index)
{
    log("Event: Connected on socket [" + std::to_string(index) + "]");
}

void SmtpListener::wskSMTP_Error(int index, int number, const std::string& description)
{
    const std::string n = "[" + std::to_string(index) + "]";
    if (index > 0 && SMTPSockets[static_cast<size_t>(index)].Phase == SessionPhase::Handshake) {
        // That connection only: the listener and other sessions go on.
        ++counters_.tlsFailures;
        SMTPSockets[static_cast<size_t>(index)].Phase = SessionPhase::Closing;
        log("soc" + n + " TLS: Handshake failed: " + description);
    }
    log("Event: Socket ERROR [" + std::to_string(number) + "] on socket " + n + " error is :- " + description);
    if (socket(index).state() != SocketControl::Closed)
        socket(index).close();
    log("ERROR: Closing port on socket " + n);
    ReOPENPort(index);
    stepNow(index);
}

}  // namespace smtpin
