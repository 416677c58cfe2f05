#pragma once

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
#include <string>
#include <vector>

class QTcpSocket;

namespace smtpin { class Clock; }

namespace smtpin::hubsim {

struct HubSimOptions {
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = 6000;              // 0: any free port (LISTENING tells which)
    std::int16_t bufferMax = 10;      // BufferMax granted in the accept packet
    int watchdogMs = 20000;           // 0: the hub sends no watchdog
    int deleteDelayMs = 0;
    bool noDelete = false;
    std::vector<messages::MessageType> sends;   // sent once, to the first client that logs in
    int maxConnections = 16;
    std::size_t receiveCap = 100000;  // characters kept per connection
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
    bool sendRecord(Connection& c, const std::string& target, const messages::MessageType& record);
    bool sendControl(Connection& c, const std::string& target, std::int16_t code, const std::string& text);
    void sendScripted(Connection& c);
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
};

}  // namespace smtpin::hubsim
