#pragma once

#include "hub/CommMemberType.h"
#include "messages/CommType.h"
#include "messages/MessageType.h"

#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QTcpSocket;

namespace smtpin { class Clock; }

namespace smtpin::hubsim {

// How the switch writes its dates: serials in packets and date texts in records.
enum class DateFormat {
    DayMonth,   // "." in serials, dd/mm/yyyy hh:mm:ss in records (as the client writes)
    Us,         // m/d/yyyy h:mm:ss AM/PM in records
    Comma,      // "," as the decimal separator of serials
};

struct HubSimOptions {
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = 6000;              // 0: any free port (LISTENING tells which)
    std::int16_t bufferMax = 10;      // BufferMax granted in the accept packet; 0 or less allowed
    int watchdogMs = 20000;           // 0: the hub sends no watchdog
    int deleteDelayMs = 0;
    bool noDelete = false;
    bool acceptWithoutOutput = false;   // the accept's Mode has OUT clear
    std::vector<messages::MessageType> sends;   // sent once, right after the first accept
    int maxConnections = 16;
    std::size_t receiveCap = 100000;  // characters kept per connection
    bool watchdogAfterAccept = false; // a 1007 in the same write as the accept
    // Counted over the run, once each (0: never): on the Nth record read ...
    int dropAfter = 0;                // ... close abruptly without answering it
    int freezeAfter = 0;              // ... stop reading that connection, without closing it
    int send1001After = 0;            // ... answer it, then ask the client to disconnect (1001)
    DateFormat dateFormat = DateFormat::DayMonth;
    QString idFile;                   // message ids received, kept across restarts
};

// "READY:<client>", "UNAVAIL:<client>" or "NEWMESS:<id>:<number>:<text>" as
// the record the hub sends; nothing (and the reason) when the text is not one.
std::optional<messages::MessageType> parseSendOption(const std::string& option, std::string* error);

// A small switch (member "h01"): takes client logins, answers each NEWMESS
// record with a DELETE record and the link's control packets, and writes one
// line per record to out (problems to err).
class HubSim : public QObject {
    Q_OBJECT
public:
    using Sink = std::function<void(const std::string& line)>;

    HubSim(HubSimOptions options, const Clock& clock, Sink out, Sink err, QObject* parent = nullptr);
    ~HubSim() override;

    bool listen();
    quint16 serverPort() const { return server_.serverPort(); }
    int connectionCount() const { return static_cast<int>(connections_.size()); }
    // The periodic level-1 watchdog to every logged-in client.
    void sendWatchdogs();

private:
    struct Connection;

    void onNewConnection();
    void onReadyRead(int number);
    void onDisconnected(int number);
    // False when the packet ended the connection.
    bool handlePacket(Connection& c, const std::string& text);
    void handleLogin(Connection& c, const std::string& source, const std::string& memberPacket);
    void handleRecord(Connection& c, const std::string& source, const std::string& recordText);
    void sendDelete(int number, const std::string& target, std::int32_t messId);
    // False when the record was refused or ended the connection.
    bool admitRecord(Connection& c, const messages::CommType& packet);
    bool sendRecord(Connection& c, const std::string& target, const messages::MessageType& record);
    bool sendControl(Connection& c, const std::string& target, std::int16_t code, const std::string& text);
    // The packets in one write; false when the socket refused them.
    bool write(Connection& c, const std::string& bytes);
    std::string controlBytes(const std::string& target, std::int16_t code, const std::string& text) const;
    std::string recordBytes(const std::string& target, const messages::MessageType& record) const;
    std::string packetBytes(const messages::CommType& packet) const;
    std::string memberText(const hub::CommMemberType& member) const;
    void appendDate(std::string& out, DateSerial d) const;
    std::string recordText(const messages::MessageType& record) const;
    void noteId(std::int32_t id);
    void loadIds();
    Connection* find(int number);
    std::string who(const Connection& c) const;

    HubSimOptions options_;
    const Clock& clock_;
    Sink out_;
    Sink err_;
    QTcpServer server_;
    QTimer watchdog_;
    std::map<int, std::unique_ptr<Connection>> connections_;
    int nextNumber_ = 1;
    bool scriptedSent_ = false;
    int records_ = 0;                  // records read over the run
    std::set<std::int32_t> seenIds_;   // NEWMESS ids received: a repeat is told as one
};

}  // namespace smtpin::hubsim
