#pragma once

#include "platform/SocketControl.h"

#include <QObject>

#include <string>

namespace smtpin::hub {

// The hub link's client socket as the link uses it: the socket control's
// state and its events.
class LinkSocket : public QObject {
    Q_OBJECT
public:
    struct Failure {
        int number = 0;
        std::string description;
    };

    ~LinkSocket() override = default;

    virtual SocketControl::State state() const = 0;
    virtual std::string localIP() const = 0;
    virtual int localPort() const = 0;
    virtual std::string localHostName() const = 0;
    virtual bool connectTo(const std::string& host, int port, Failure* failure) = 0;
    virtual bool send(const std::string& data, Failure* failure) = 0;
    virtual std::string receive() = 0;
    virtual bool close(Failure* failure) = 0;

signals:
    void dataArrival(long bytes);
    // The peer closed.
    void closed();
    void connected();
    void error(int number, const std::string& description);
};

}  // namespace smtpin::hub
