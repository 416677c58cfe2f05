#pragma once

#include <QTcpSocket>

#include <functional>
#include <string>
#include <vector>

namespace smtpin::test {

// Runs the event loop until done() holds or the time is up; tick() runs on
// every pass (a timer handler the test drives by hand).
bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 3000,
               const std::function<void()>& tick = {});

// A plain TCP client that collects CR LF lines.
class TestClient {
public:
    // from: the local address to connect from (empty: any).
    bool connectTo(int port, const std::string& host = "127.0.0.1", const std::string& from = "");
    void send(const std::string& bytes);
    // Lines received so far, without their CR LF.
    std::vector<std::string> lines();
    std::string received();
    bool disconnected() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
    void close() { socket_.disconnectFromHost(); }
    QTcpSocket& socket() { return socket_; }

private:
    QTcpSocket socket_;
    std::string buffer_;
};

}  // namespace smtpin::test
