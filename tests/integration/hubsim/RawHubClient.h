#pragma once

#include "support/TestClient.h"
#include "support/WireCodec.h"

#include <QTcpSocket>

#include <optional>
#include <string>

namespace smtpin::test {

// A bare client of the hub link: whole packets written to and read from a
// plain socket with the tests' own wire code, no engine.
class RawHubClient {
public:
    explicit RawHubClient(std::string code = "s01") : code_(std::move(code)) {}

    // Having been connected is enough: the hub may close at once.
    bool connectTo(int port)
    {
        bool connected = false;
        auto c = QObject::connect(&socket_, &QAbstractSocket::connected, [&connected] { connected = true; });
        socket_.connectToHost("127.0.0.1", static_cast<quint16>(port));
        const bool ok = pumpUntil([&connected] { return connected; });
        QObject::disconnect(c);
        return ok;
    }

    void write(const std::string& bytes)
    {
        socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket_.flush();
    }

    static std::string controlText(int code)
    {
        switch (code) {
        case 1001: return "Requesting Logoff ... (Server Disconnection Request)";
        case 1002: return "Requesting Logoff ... (Client Disconnection Request/Ack)";
        case 1004: return "KILL Request next packet";
        case 1005: return "Buffer Emtpy token (Nothing to Receive)";
        case 1006: return "Request next packet";
        case 1007: return "Commclass System WatchDog (Level 1) ....";
        default: return {};
        }
    }

    std::string controlPacket(int code, const std::string& text = {}) const
    {
        wire::Packet p;
        p.source = code_;
        p.target = "h01";
        p.edate = "0.000115740740740741";   // ten seconds
        p.mtype = std::to_string(code);
        p.message = text.empty() ? controlText(code) : text;
        return wire::encode(p);
    }

    std::string recordPacket(const wire::Record& record, const std::string& target = "h01") const
    {
        wire::Packet p;
        p.userid = code_;
        p.source = code_;
        p.target = target;
        p.edate = "0.666666666666667";
        p.message = record.text();
        return wire::encode(p);
    }

    std::string loginPacket(int mode = 0x0001) const
    {
        return controlPacket(1000, wire::memberPacket({{"Identifier", code_},
                                                       {"Mode", std::to_string(mode)},
                                                       {"Description", "raw test client"},
                                                       {"ServerPort", "-1"},
                                                       {"BufferMax", "10"}}));
    }

    static wire::Record newMessage(long id, const std::string& number, const std::string& text)
    {
        return wire::Record::newMessage(id, number, text);
    }

    // The next whole packet from the hub, parsed; nothing when none comes
    // in time or it does not pass its check.
    std::optional<wire::Packet> next(int timeoutMs = 3000)
    {
        const bool whole = pumpUntil([this] { return fill(); }, timeoutMs);
        if (!whole)
            return std::nullopt;
        const auto end = buffer_.find('\x01');
        const std::string one = buffer_.substr(0, end + 1);
        buffer_.erase(0, end + 1);
        return wire::decode(one);
    }

    // The record text of the next data packet, parsed.
    std::optional<wire::Record> nextRecord(int timeoutMs = 3000)
    {
        const auto p = next(timeoutMs);
        if (!p || !p->mtype.empty())
            return std::nullopt;
        return wire::Record::parse(p->message);
    }

    // Logs in and takes the accept.
    bool login()
    {
        write(loginPacket());
        const auto p = next();
        return p && p->mtype == "1003";
    }

    bool waitClosed(int timeoutMs = 3000)
    {
        return pumpUntil([this] { return socket_.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }

    bool nothingPending()
    {
        fill();
        return buffer_.empty();
    }

    QTcpSocket& socket() { return socket_; }

private:
    bool fill()
    {
        buffer_ += socket_.readAll().toStdString();
        return buffer_.find('\x01') != std::string::npos;
    }

    std::string code_;
    QTcpSocket socket_;
    std::string buffer_;
};

}  // namespace smtpin::test
