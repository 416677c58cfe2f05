#pragma once

#include <functional>
#include <string>

namespace smtpin::hub {

// The hub link's client socket as the link uses it: a state number of the
// socket control (0 closed ... 7 connected ... 9 error) and its events.
class LinkSocket {
public:
    struct Failure {
        int number = 0;
        std::string description;
    };
    struct Events {
        std::function<void(long bytes)> dataArrival;
        std::function<void()> close;
        std::function<void()> connect;
        std::function<void(int number, const std::string& description)> error;
    };

    virtual ~LinkSocket() = default;
    Events& events() { return events_; }

    virtual int state() const = 0;
    virtual std::string localIP() const = 0;
    virtual int localPort() const = 0;
    virtual std::string localHostName() const = 0;
    virtual bool connectTo(const std::string& host, int port, Failure* failure) = 0;
    virtual bool send(const std::string& data, Failure* failure) = 0;
    virtual std::string receive() = 0;
    virtual bool close(Failure* failure) = 0;

protected:
    Events events_;
};

}  // namespace smtpin::hub
