#pragma once

#include "LinkSocket.h"
#include "platform/SocketControl.h"

namespace smtpin::hub {

// The link socket over the program's socket control.
class SocketControlLink final : public LinkSocket {
public:
    SocketControlLink();
    ~SocketControlLink() override;

    SocketControl::State state() const override { return control_.state(); }
    std::string localIP() const override;
    int localPort() const override { return control_.localPort(); }
    std::string localHostName() const override;
    bool connectTo(const std::string& host, int port, Failure* failure) override;
    bool send(const std::string& data, Failure* failure) override;
    std::string receive() override { return control_.receive(); }
    bool close(Failure*) override
    {
        control_.close();
        return true;
    }

private:
    SocketControl control_;
};

}  // namespace smtpin::hub
