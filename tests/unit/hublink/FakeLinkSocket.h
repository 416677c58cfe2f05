#pragma once

#include "hub/LinkSocket.h"

#include <string>
#include <vector>

namespace smtpin::test {

// A link socket that records what the engine does and lets the test raise
// the socket's events.
class FakeLinkSocket final : public hub::LinkSocket {
public:
    SocketControl::State socketState = SocketControl::Closed;
    bool refuseConnect = false;
    bool refuseSend = false;
    std::vector<std::string> sent;
    std::string incoming;
    int connects = 0;
    int closes = 0;
    std::string host;
    int port = 0;

    SocketControl::State state() const override { return socketState; }
    std::string localIP() const override { return "127.0.0.1"; }
    int localPort() const override { return 40000; }
    std::string localHostName() const override { return "testhost"; }
    bool connectTo(const std::string& h, int p, Failure* failure) override
    {
        ++connects;
        host = h;
        port = p;
        if (refuseConnect) {
            *failure = {11001, "Host not found"};
            return false;
        }
        socketState = SocketControl::Connecting;
        return true;
    }
    bool send(const std::string& data, Failure* failure) override
    {
        if (refuseSend || socketState != SocketControl::Connected) {
            if (failure)
                *failure = {10057, "Socket is not connected"};
            return false;
        }
        sent.push_back(data);
        return true;
    }
    std::string receive() override
    {
        std::string all;
        all.swap(incoming);
        return all;
    }
    bool close(Failure*) override
    {
        ++closes;
        socketState = SocketControl::Closed;
        return true;
    }

    void raiseConnect()
    {
        socketState = SocketControl::Connected;
        emit connected();
    }
    void raiseClose()
    {
        socketState = SocketControl::Closing;
        emit closed();
    }
    void deliver(const std::string& bytes)
    {
        incoming += bytes;
        emit dataArrival(static_cast<long>(bytes.size()));
    }
};

}  // namespace smtpin::test
