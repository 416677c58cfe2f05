#include "HubSim.h"

#include "hub/CommMemberType.h"
#include "hub/CommShared.h"
#include "hub/LinkSocket.h"
#include "messages/StatusWords.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace smtpin::hubsim {

namespace {

using messages::CommType;
using messages::MessageType;
namespace words = messages::words;

constexpr const char* kHub = hub::packet::kHub;
constexpr std::size_t kMaxNameLength = 32;
constexpr std::size_t kMaxSendText = 1000;
constexpr std::size_t kMaxShown = 200;
// Keeps the accept packet well inside one counted text.
constexpr std::size_t kMaxDescription = 200;

// Record texts have no escaping: a "|" would shift every later field.
bool plainText(const std::string& s)
{
    for (unsigned char c : s)
        if (c == '|' || c < 0x20 || c == 0x7f)
            return false;
    return true;
}

bool allDigits(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// One output line per event, whatever the peer put in its texts.
std::string shown(const std::string& s, std::size_t max = kMaxShown)
{
    std::string out;
    for (unsigned char c : s.substr(0, max))
        out += (c < 0x20 || c == 0x7f) ? '.' : static_cast<char>(c);
    if (s.size() > max)
        out += "...";
    return out;
}

std::string trimmedRight(std::string s)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// The control code of a packet, or 0 for payload.
int controlCode(const std::string& mtype)
{
    if (mtype.size() != 4 || !allDigits(mtype))
        return 0;
    const int code = std::stoi(mtype);
    return code >= hub::packet::ConnectRequest && code <= hub::packet::LinkWatchDog ? code : 0;
}

const char* controlWord(int code)
{
    switch (code) {
    case hub::packet::ConnectRequest: return "login";
    case hub::packet::ServerLogoff: return "disconnect";
    case hub::packet::ClientLogoff: return "logoff";
    case hub::packet::ConnectAccept: return "accept";
    case hub::packet::KillRequest: return "kill";
    case hub::packet::BufferEmpty: return "empty";
    case hub::packet::RequestNext: return "request";
    case hub::packet::LinkWatchDog: return "watchdog";
    default: return "?";
    }
}

// "<word> <id or client>" with the number and text of a new message.
std::string recordLine(const MessageType& r)
{
    const std::string word = r.ComChannel.empty() ? "-" : shown(r.ComChannel, kMaxNameLength);
    if (r.ComChannel == words::READY || r.ComChannel == words::UNAVAIL)
        return word + " " + shown(r.Source, kMaxNameLength);
    return word + " " + std::to_string(r.MessId);
}

// The record side of the hub link as the shared packet routines want it.
class QtLink final : public hub::LinkSocket {
public:
    explicit QtLink(QTcpSocket* socket) : socket_(socket) {}
    int state() const override { return socket_->state() == QAbstractSocket::ConnectedState ? 7 : 0; }
    std::string localIP() const override { return socket_->localAddress().toString().toStdString(); }
    int localPort() const override { return socket_->localPort(); }
    std::string localHostName() const override { return {}; }
    bool connectTo(const std::string&, int, Failure*) override { return false; }
    bool send(const std::string& data, Failure* failure) override
    {
        if (socket_->state() == QAbstractSocket::ConnectedState &&
            socket_->write(data.data(), static_cast<qint64>(data.size())) == static_cast<qint64>(data.size()))
            return true;
        if (failure)
            *failure = {static_cast<int>(socket_->error()), socket_->errorString().toStdString()};
        return false;
    }
    std::string receive() override { return socket_->readAll().toStdString(); }
    bool close(Failure*) override
    {
        socket_->disconnectFromHost();
        return true;
    }

private:
    QTcpSocket* socket_;
};

}  // namespace

std::optional<MessageType> parseSendOption(const std::string& option, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::optional<MessageType> {
        if (error)
            *error = "--send " + shown(option, 60) + ": " + why;
        return std::nullopt;
    };
    const auto colon = option.find(':');
    if (colon == std::string::npos)
        return fail("expected READY:<client>, UNAVAIL:<client> or NEWMESS:<id>:<number>:<text>");
    const std::string kind = option.substr(0, colon);
    const std::string rest = option.substr(colon + 1);
    MessageType r;
    if (kind == words::READY || kind == words::UNAVAIL) {
        if (rest.empty() || rest.size() > kMaxNameLength || !plainText(rest))
            return fail("the client name must be 1 to 32 characters, without \"|\"");
        r.ComChannel = kind;
        r.Source = rest;
        return r;
    }
    if (kind != words::NEWMESS)
        return fail("unknown record \"" + shown(kind, 20) + "\"");
    const auto c2 = rest.find(':');
    const auto c3 = c2 == std::string::npos ? c2 : rest.find(':', c2 + 1);
    if (c3 == std::string::npos)
        return fail("expected NEWMESS:<id>:<number>:<text>");
    const std::string id = rest.substr(0, c2);
    const std::string number = rest.substr(c2 + 1, c3 - c2 - 1);
    const std::string text = rest.substr(c3 + 1);
    const auto messId = allDigits(id) && id.size() <= 10 ? toInt32(id) : std::nullopt;
    if (!messId)
        return fail("the message id must be a number from 0 to 2147483647");
    if (number.empty() || number.size() > kMaxNameLength || !plainText(number))
        return fail("the pager number must be 1 to 32 characters, without \"|\"");
    if (text.size() > kMaxSendText || !plainText(text))
        return fail("the text must be at most 1000 characters, without \"|\" or control characters");
    r.MessId = *messId;
    r.Source = kHub;
    r.Number = number;
    r.Message = text;
    r.ComChannel = words::NEWMESS;
    return r;
}

struct HubSim::Connection {
    int number = 0;
    QTcpSocket* socket = nullptr;
    std::unique_ptr<QtLink> link;
    std::string buffer;
    std::string code;            // the client's member code, 3 characters
    bool loggedIn = false;
    bool awaitingFirst = false;  // accepted; the scripted records wait for its next packet
    bool closing = false;
};

HubSim::HubSim(HubSimOptions options, const Clock& clock, Sink out, Sink err, QObject* parent)
    : QObject(parent), options_(std::move(options)), clock_(clock), out_(std::move(out)), err_(std::move(err))
{
    connect(&server_, &QTcpServer::newConnection, this, &HubSim::onNewConnection);
    connect(&watchdog_, &QTimer::timeout, this, &HubSim::sendWatchdogs);
}

HubSim::~HubSim()
{
    watchdog_.stop();
    for (auto& [number, c] : connections_) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c->socket;
    }
}

bool HubSim::listen()
{
    QHostAddress address;
    if (!address.setAddress(options_.address)) {
        err_("not an IP address: " + options_.address.toStdString());
        return false;
    }
    if (!server_.listen(address, options_.port)) {
        err_("cannot listen on " + options_.address.toStdString() + ":" + std::to_string(options_.port) + ": " +
             server_.errorString().toStdString());
        return false;
    }
    if (options_.watchdogMs > 0)
        watchdog_.start(options_.watchdogMs);
    out_("LISTENING " + options_.address.toStdString() + ":" + std::to_string(server_.serverPort()));
    return true;
}

HubSim::Connection* HubSim::find(int number)
{
    const auto it = connections_.find(number);
    return it == connections_.end() ? nullptr : it->second.get();
}

std::string HubSim::who(const Connection& c) const
{
    const std::string code = trimmedRight(c.code);
    return code.empty() ? "#" + std::to_string(c.number) : shown(code, 3);
}

void HubSim::onNewConnection()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (connectionCount() >= options_.maxConnections) {
            err_("refused a connection: " + std::to_string(connectionCount()) + " already open");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // The member record's socket field is 16-bit.
        while (find(nextNumber_))
            nextNumber_ = nextNumber_ >= 32767 ? 1 : nextNumber_ + 1;
        auto c = std::make_unique<Connection>();
        c->number = nextNumber_;
        nextNumber_ = nextNumber_ >= 32767 ? 1 : nextNumber_ + 1;
        c->socket = socket;
        c->link = std::make_unique<QtLink>(socket);
        // Qt stops reading from the network once this much waits unread.
        socket->setReadBufferSize(static_cast<qint64>(options_.receiveCap));
        const int number = c->number;
        connect(socket, &QTcpSocket::readyRead, this, [this, number] { onReadyRead(number); });
        // Removal waits for the loop, so no handler loses its connection midway.
        connect(socket, &QTcpSocket::disconnected, this, [this, number] { onDisconnected(number); },
                Qt::QueuedConnection);
        out_("OPEN " + std::to_string(number) + " " + socket->peerAddress().toString().toStdString() + ":" +
             std::to_string(socket->peerPort()));
        connections_.emplace(number, std::move(c));
        if (socket->bytesAvailable() > 0)
            onReadyRead(number);
    }
}

void HubSim::onDisconnected(int number)
{
    const auto it = connections_.find(number);
    if (it == connections_.end())
        return;
    out_("CLOSED " + who(*it->second));
    it->second->socket->deleteLater();
    connections_.erase(it);
}

void HubSim::onReadyRead(int number)
{
    Connection* c = find(number);
    if (!c)
        return;
    while (!c->closing && c->socket->bytesAvailable() > 0) {
        const QByteArray chunk = c->socket->read(static_cast<qint64>(options_.receiveCap));
        if (chunk.isEmpty())
            break;
        c->buffer.append(chunk.constData(), static_cast<std::size_t>(chunk.size()));
        if (c->buffer.size() > options_.receiveCap) {
            const std::size_t dropped = c->buffer.size() - options_.receiveCap;
            c->buffer.erase(0, dropped);
            err_("receive buffer of " + who(*c) + " over " + std::to_string(options_.receiveCap) +
                 " characters: dropped the oldest " + std::to_string(dropped));
        }
        std::size_t from = 0;
        for (std::size_t end; !c->closing && (end = c->buffer.find(hub::packet::kEnd, from)) != std::string::npos;
             from = end + 1) {
            if (!handlePacket(*c, c->buffer.substr(from, end + 1 - from)))
                break;
        }
        c->buffer.erase(0, c->closing ? c->buffer.size() : from);
    }
}

bool HubSim::handlePacket(Connection& c, const std::string& text)
{
    CommType packet;
    if (!hub::ExtractCommPacket(text, packet)) {
        err_("dropped a bad packet of " + std::to_string(text.size()) + " characters from " + who(c));
        return true;
    }
    const int code = controlCode(packet.Mtype);
    const std::string source = packet.Source;
    if (code == 0) {
        handleRecord(c, source, packet.Message);
    } else if (code == hub::packet::ConnectRequest) {
        handleLogin(c, source, packet.Message);
        return true;
    } else {
        out_("RX " + std::to_string(code) + " " + controlWord(code) + " " + who(c));
        if (code == hub::packet::ClientLogoff) {
            c.closing = true;
            c.awaitingFirst = false;
            c.socket->disconnectFromHost();
            return false;
        }
        if (code == hub::packet::RequestNext && sendControl(c, source, hub::packet::BufferEmpty, {}))
            out_("TX 1005 empty " + who(c));
    }
    // The client answers the accept only once it has taken it; records sent
    // earlier would reach it before it counts as connected.
    if (c.awaitingFirst && !c.closing)
        sendScripted(c);
    return true;
}

void HubSim::handleLogin(Connection& c, const std::string& source, const std::string& memberPacket)
{
    hub::CommMemberType member;
    const bool readable = member.ExtractPacket(memberPacket);
    c.code = readable && !trimmedRight(member.Identifier).empty() ? member.Identifier : source;
    out_("RX 1000 login " + who(c));
    if (!readable)
        err_("the login of " + who(c) + " carries an unreadable member packet; answering its packet's source");

    const DateSerial now = clock_.now();
    hub::CommMemberType accept(now);
    accept.Identifier = c.code;
    accept.Mode = static_cast<std::int16_t>((readable ? member.Mode : 0) | hub::mode::OUT);
    accept.Description = readable ? member.Description.substr(0, kMaxDescription) : std::string();
    accept.Address = c.socket->peerAddress().toString().toStdString();
    accept.port = c.socket->peerPort();
    accept.socket = static_cast<std::int16_t>(c.number);
    accept.ServerAddress = options_.address.toStdString();
    accept.ServerPort = server_.serverPort();
    accept.BufferMax = options_.bufferMax;
    accept.RemoteBuffer = 100;
    accept.WatchDog = DateSerial(1.0 / 1440.0);
    accept.ExpWatchDog = DateSerial(1.0 / 1440.0);
    std::string text;
    if (!accept.CreatePacket(text)) {
        err_("could not build the accept packet for " + who(c));
        return;
    }
    if (!sendControl(c, source, hub::packet::ConnectAccept, text))
        return;
    out_("TX 1003 accept " + who(c));
    c.loggedIn = true;
    c.awaitingFirst = !scriptedSent_ && !options_.sends.empty();
}

void HubSim::handleRecord(Connection& c, const std::string& source, const std::string& recordText)
{
    if (c.code.empty())
        c.code = source;
    MessageType record;
    if (!record.ConvertIntoMtype(recordText)) {
        out_("RX BADRECORD from " + who(c));
        err_("unreadable record from " + who(c) + ": " + shown(recordText, 80));
        return;
    }
    std::string line = "RX " + recordLine(record);
    if (record.ComChannel == words::NEWMESS)
        line += " to " + shown(record.Number, kMaxNameLength) + ": " + shown(record.Message);
    out_(line);
    if (record.ComChannel != words::NEWMESS || options_.noDelete)
        return;
    const int number = c.number;
    const std::int32_t messId = record.MessId;
    // Answers go to the member code the client logged in with; the records'
    // own Source is its catalogue name, which may differ in letter case.
    const std::string target = c.code;
    if (options_.deleteDelayMs <= 0)
        sendDelete(number, target, messId);
    else
        QTimer::singleShot(options_.deleteDelayMs, this,
                           [this, number, target, messId] { sendDelete(number, target, messId); });
}

void HubSim::sendDelete(int number, const std::string& target, std::int32_t messId)
{
    Connection* c = find(number);
    if (!c || c->closing) {
        err_("DELETE " + std::to_string(messId) + " not sent: connection " + std::to_string(number) + " is gone");
        return;
    }
    MessageType record;
    record.MessId = messId;
    record.Created = clock_.now();
    record.Source = kHub;
    record.ComChannel = words::DELETE;
    sendRecord(*c, target, record);
}

bool HubSim::sendRecord(Connection& c, const std::string& target, const MessageType& record)
{
    CommType packet;
    packet.Userid = kHub;
    packet.Source = kHub;
    packet.target = target;
    packet.SDate = clock_.now();
    packet.Message = record.ConCatMe();
    if (!hub::SendCommPacket(*c.link, packet)) {
        err_("could not send " + recordLine(record) + " to " + who(c));
        return false;
    }
    std::string line = "TX " + recordLine(record) + " to " + who(c);
    if (record.ComChannel == words::NEWMESS)
        line += ": " + shown(record.Number, kMaxNameLength) + ": " + shown(record.Message);
    out_(line);
    return true;
}

bool HubSim::sendControl(Connection& c, const std::string& target, std::int16_t code, const std::string& text)
{
    if (hub::SendControlPacket(*c.link, clock_, kHub, target, code, text))
        return true;
    err_("could not send control code " + std::to_string(code) + " to " + who(c));
    return false;
}

void HubSim::sendScripted(Connection& c)
{
    c.awaitingFirst = false;
    if (scriptedSent_)
        return;
    scriptedSent_ = true;
    for (MessageType record : options_.sends) {
        record.Created = clock_.now();
        sendRecord(c, c.code, record);
    }
}

void HubSim::sendWatchdogs()
{
    for (auto& [number, c] : connections_)
        if (c->loggedIn && !c->closing && sendControl(*c, c->code, hub::packet::LinkWatchDog, {}))
            out_("TX 1007 watchdog " + who(*c));
}

}  // namespace smtpin::hubsim
