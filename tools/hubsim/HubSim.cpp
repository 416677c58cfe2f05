#include "HubSim.h"

#include "hub/CommMemberType.h"
#include "hub/CommShared.h"
#include "messages/StatusWords.h"
#include "platform/Clock.h"
#include "platform/TextNumbers.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>

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

// m/d/yyyy h:mm:ss AM/PM, as a switch on a US locale writes a date.
std::string usDate(DateSerial d)
{
    const QDateTime t = d.toDateTime();
    const int h = t.time().hour() % 12 == 0 ? 12 : t.time().hour() % 12;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%d/%d/%d %d:%02d:%02d %s", t.date().month(), t.date().day(), t.date().year(), h,
                  t.time().minute(), t.time().second(), t.time().hour() < 12 ? "AM" : "PM");
    return buf;
}

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
    std::string buffer;
    std::string code;            // the client's member code, 3 characters
    bool loggedIn = false;
    bool closing = false;
    bool frozen = false;         // no longer read, never closed
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
    loadIds();
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

// A switch keeps what it was given: ids from an earlier run are repeats too.
void HubSim::loadIds()
{
    if (options_.idFile.isEmpty())
        return;
    QFile file(options_.idFile);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        err_("cannot read " + options_.idFile.toStdString() + ": " + file.errorString().toStdString());
        return;
    }
    while (!file.atEnd()) {
        const auto id = toInt32(file.readLine().trimmed().toStdString());
        if (id)
            seenIds_.insert(*id);
    }
}

void HubSim::noteId(std::int32_t id)
{
    seenIds_.insert(id);
    if (options_.idFile.isEmpty())
        return;
    // Written before the line is printed, so a kill never forgets a printed id.
    QFile file(options_.idFile);
    if (!file.open(QIODevice::Append) || file.write(QByteArray::number(id) + '\n') < 0)
        err_("cannot write " + options_.idFile.toStdString() + ": " + file.errorString().toStdString());
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
    while (!c->closing && !c->frozen && c->socket->bytesAvailable() > 0) {
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
        for (std::size_t end; !c->closing && !c->frozen && (end = c->buffer.find(hub::packet::kEnd, from)) != std::string::npos;
             from = end + 1) {
            if (!handlePacket(*c, c->buffer.substr(from, end + 1 - from))) {
                from = end + 1;
                break;
            }
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
    if (code == 0)
        return admitRecord(c, packet);
    if (code == hub::packet::ConnectRequest) {
        handleLogin(c, source, packet.Message);
        return true;
    }
    out_("RX " + std::to_string(code) + " " + controlWord(code) + " " + who(c));
    if (code == hub::packet::ClientLogoff) {
        c.closing = true;
        c.socket->disconnectFromHost();
        return false;
    }
    if (code == hub::packet::RequestNext && sendControl(c, source, hub::packet::BufferEmpty, {}))
        out_("TX 1005 empty " + who(c));
    return true;
}

// A switch takes records only from a member it accepted, addressed to itself.
bool HubSim::admitRecord(Connection& c, const CommType& packet)
{
    if (!c.loggedIn) {
        out_("RX REFUSED from " + who(c) + ": a record before login");
        return true;
    }
    if (packet.target != kHub) {
        out_("RX REFUSED from " + who(c) + ": addressed to '" + shown(packet.target, 3) + "', not " + kHub);
        return true;
    }
    ++records_;
    if (records_ == options_.dropAfter) {
        out_("DROP " + who(c) + " after " + std::to_string(records_) + " records, without answering");
        c.closing = true;
        c.socket->abort();
        return false;
    }
    if (records_ == options_.freezeAfter) {
        out_("FREEZE " + who(c) + " after " + std::to_string(records_) + " records: no longer read");
        c.frozen = true;
        return false;
    }
    handleRecord(c, packet.Source, packet.Message);
    if (records_ == options_.send1001After && sendControl(c, c.code, hub::packet::ServerLogoff, {}))
        out_("TX 1001 disconnect " + who(c));
    return !c.closing;
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
    // Some switches answer with a Mode word of their own, OUT clear.
    accept.Mode = options_.acceptWithoutOutput
                      ? static_cast<std::int16_t>((readable ? member.Mode : 0) & ~hub::mode::OUT)
                      : static_cast<std::int16_t>((readable ? member.Mode : 0) | hub::mode::OUT);
    accept.Description = readable ? member.Description.substr(0, kMaxDescription) : std::string();
    accept.Address = c.socket->peerAddress().toString().toStdString();
    accept.port = c.socket->peerPort();
    accept.socket = static_cast<std::int16_t>(c.number);
    accept.ServerAddress = options_.address.toStdString();
    accept.ServerPort = server_.serverPort();
    accept.BufferMax = options_.bufferMax;
    accept.RemoteBuffer = 100;
    accept.WatchDog = DateSerial(1.0 / 1440.0);
    // The client may expect this switch's watchdog as often as it sends it.
    accept.ExpWatchDog = DateSerial(options_.watchdogMs / 86400000.0);
    const std::string text = memberText(accept);
    // What follows the accept goes in the same write: a client must cope
    // with packets that arrive before it has acted on the accept.
    std::string bytes = controlBytes(source, hub::packet::ConnectAccept, text);
    std::vector<std::string> lines{"TX 1003 accept " + who(c)};
    if (options_.watchdogAfterAccept) {
        bytes += controlBytes(c.code, hub::packet::LinkWatchDog, {});
        lines.push_back("TX 1007 watchdog " + who(c));
    }
    if (!scriptedSent_) {
        scriptedSent_ = true;
        for (MessageType record : options_.sends) {
            record.Created = now;
            bytes += recordBytes(c.code, record);
            std::string line = "TX " + recordLine(record) + " to " + who(c);
            if (record.ComChannel == words::NEWMESS)
                line += ": " + shown(record.Number, kMaxNameLength) + ": " + shown(record.Message);
            lines.push_back(line);
        }
    }
    if (!write(c, bytes))
        return;
    c.loggedIn = true;
    for (const auto& line : lines)
        out_(line);
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
    const bool isNew = record.ComChannel == words::NEWMESS;
    const bool repeat = isNew && seenIds_.contains(record.MessId);
    if (isNew && !repeat)
        noteId(record.MessId);
    std::string line = "RX " + (repeat ? "REPEAT " + std::to_string(record.MessId) : recordLine(record));
    if (isNew)
        line += " to " + shown(record.Number, kMaxNameLength) + ": " + shown(record.Message);
    out_(line);
    if (!isNew || options_.noDelete)
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
    if (!c || c->closing || c->frozen) {
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
    if (!write(c, recordBytes(target, record))) {
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
    if (write(c, controlBytes(target, code, text)))
        return true;
    err_("could not send control code " + std::to_string(code) + " to " + who(c));
    return false;
}

bool HubSim::write(Connection& c, const std::string& bytes)
{
    if (c.socket->state() != QAbstractSocket::ConnectedState)
        return false;
    return c.socket->write(bytes.data(), static_cast<qint64>(bytes.size())) == static_cast<qint64>(bytes.size());
}

std::string HubSim::controlBytes(const std::string& target, std::int16_t code, const std::string& text) const
{
    CommType p;
    p.Source = kHub;
    p.target = target;
    p.SDate = clock_.now();
    p.EDate = DateSerial(10.0 / 86400.0);
    p.Mtype = std::to_string(code);
    p.Message = (code == hub::packet::ConnectAccept) ? text : hub::packet::ControlText(code);
    return packetBytes(p);
}

std::string HubSim::recordBytes(const std::string& target, const MessageType& record) const
{
    CommType p;
    p.Userid = kHub;
    p.Source = kHub;
    p.target = target;
    p.SDate = clock_.now();
    p.Message = recordText(record);
    return packetBytes(p);
}

void HubSim::appendDate(std::string& out, DateSerial d) const
{
    std::string text = serialText(d.days());
    if (options_.dateFormat == DateFormat::Comma)
        std::replace(text.begin(), text.end(), '.', ',');
    out += text;
    out += hub::packet::kTab;
}

// The member packet of an accept as this switch writes it.
std::string HubSim::memberText(const hub::CommMemberType& m) const
{
    using namespace hub::packet;
    std::string out = "0000";
    AppendInteger(out, m.State);
    AppendInteger(out, m.SystemState);
    AppendCounted(out, m.SystemStateDES);
    AppendFixed(out, m.Identifier);
    AppendCounted(out, m.Description);
    AppendCounted(out, m.Address);
    AppendInteger(out, m.port);
    AppendInteger(out, m.socket);
    AppendCounted(out, m.ServerAddress);
    AppendInteger(out, m.ServerPort);
    AppendInteger(out, m.BufferMax);
    AppendInteger(out, m.RemoteBuffer);
    for (DateSerial d : {m.WatchDog, m.LastWDog, m.ExpWatchDog, m.ExpNextWDog})
        appendDate(out, d);
    AppendInteger(out, m.Packets);
    AppendInteger(out, m.RPackets);
    AppendInteger(out, m.OPackets);
    for (DateSerial d : {m.LastPacket, m.LastRPacket, m.LastOPacket, m.LastConnection, m.MemberExpire})
        appendDate(out, d);
    AppendInteger(out, m.Mode);
    appendDate(out, m.Created);
    AppendInteger(out, m.MapTo);
    AppendInteger(out, m.TimeOut);
    AppendCounted(out, m.Buffer);
    return out;
}

// The packet as this switch writes it, its dates in its own way.
std::string HubSim::packetBytes(const CommType& p) const
{
    using namespace hub::packet;
    auto date = [this](std::string& out, DateSerial d) { appendDate(out, d); };
    std::string body;
    AppendInteger(body, p.id);
    AppendCounted(body, p.Userid);
    AppendInteger(body, p.Priority);
    AppendFixed(body, p.Source);
    AppendFixed(body, p.target);
    date(body, p.SDate);
    date(body, p.EDate);
    for (const std::string* f : {&p.Mtype, &p.Message, &p.Field1, &p.Field2, &p.Field3, &p.Field4, &p.Field5,
                                 &p.Field6, &p.Field7, &p.Field8})
        AppendCounted(body, *f);
    body += kEnd;
    return zeroPadded(hub::PacketChecksum(body), 4) + body;
}

std::string HubSim::recordText(const MessageType& record) const
{
    std::string text = record.ConCatMe();
    if (options_.dateFormat != DateFormat::Us || record.Created.isZero())
        return text;
    const auto a = text.find('|');
    const auto b = text.find('|', a + 1);
    return text.substr(0, a + 1) + usDate(record.Created) + text.substr(b);
}

void HubSim::sendWatchdogs()
{
    for (auto& [number, c] : connections_)
        if (c->loggedIn && !c->closing && !c->frozen && sendControl(*c, c->code, hub::packet::LinkWatchDog, {}))
            out_("TX 1007 watchdog " + who(*c));
}

}  // namespace smtpin::hubsim
