#pragma once

#include "hub/CommMemberType.h"
#include "hub/CommShared.h"
#include "messages/MessageType.h"
#include "support/TestClient.h"

#include <QTcpSocket>

#include <optional>
#include <string>

namespace smtpin::test {

// A bare client of the hub link: whole packets written to and read from a
// plain socket, no engine.
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

    static std::string packet(const messages::CommType& record)
    {
        std::string out;
        hub::CreateCommPacket(out, record);
        return out;
    }

    std::string controlPacket(int code, const std::string& text = {}) const
    {
        messages::CommType r;
        r.Source = code_;
        r.target = "h01";
        r.EDate = DateSerial(10.0 / 86400.0);
        r.Mtype = std::to_string(code);
        r.Message = text.empty() ? hub::packet::ControlText(code) : text;
        return packet(r);
    }

    std::string recordPacket(const messages::MessageType& record) const
    {
        messages::CommType r;
        r.Userid = code_;
        r.Source = code_;
        r.target = "h01";
        r.EDate = DateSerial(2.0 / 3.0);
        r.Message = record.ConCatMe();
        return packet(r);
    }

    std::string loginPacket(std::int16_t mode = hub::mode::SYN) const
    {
        hub::CommMemberType me;
        me.Identifier = code_;
        me.Mode = mode;
        me.Description = "raw test client";
        std::string member;
        me.CreatePacket(member);
        return controlPacket(hub::packet::ConnectRequest, member);
    }

    static messages::MessageType newMessage(std::int32_t id, const std::string& number, const std::string& text)
    {
        messages::MessageType m;
        m.MessId = id;
        m.Created = DateSerial::fromParts(2026, 1, 15, 10, 0, 0);
        m.Source = "S01";
        m.Number = number;
        m.Message = text;
        m.ComChannel = "NEWMESS";
        return m;
    }

    // The next whole packet from the hub, parsed; nothing when none comes
    // in time or it does not pass its check.
    std::optional<messages::CommType> next(int timeoutMs = 3000)
    {
        const bool whole = pumpUntil([this] { return fill(); }, timeoutMs);
        if (!whole)
            return std::nullopt;
        const auto end = buffer_.find(hub::packet::kEnd);
        const std::string one = buffer_.substr(0, end + 1);
        buffer_.erase(0, end + 1);
        messages::CommType r;
        if (!hub::ExtractCommPacket(one, r))
            return std::nullopt;
        return r;
    }

    // The record text of the next data packet, parsed.
    std::optional<messages::MessageType> nextRecord(int timeoutMs = 3000)
    {
        const auto p = next(timeoutMs);
        messages::MessageType m;
        if (!p || !p->Mtype.empty() || !m.ConvertIntoMtype(p->Message))
            return std::nullopt;
        return m;
    }

    // Logs in and takes the accept.
    bool login()
    {
        write(loginPacket());
        const auto p = next();
        return p && p->Mtype == "1003";
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
        return buffer_.find(hub::packet::kEnd) != std::string::npos;
    }

    std::string code_;
    QTcpSocket socket_;
    std::string buffer_;
};

}  // namespace smtpin::test
