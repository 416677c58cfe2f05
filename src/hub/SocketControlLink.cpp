#include "SocketControlLink.h"

#include <QHostInfo>

namespace smtpin::hub {

SocketControlLink::SocketControlLink()
{
    connect(&control_, &SocketControl::dataArrival, this, &LinkSocket::dataArrival);
    connect(&control_, &SocketControl::closed, this, &LinkSocket::closed);
    connect(&control_, &SocketControl::connected, this, &LinkSocket::connected);
    connect(&control_, &SocketControl::error, this, &LinkSocket::error);
}

SocketControlLink::~SocketControlLink() { control_.disconnect(); }

std::string SocketControlLink::localIP() const
{
    const std::string ip = control_.localIP();
    return ip.empty() ? "127.0.0.1" : ip;
}

std::string SocketControlLink::localHostName() const { return QHostInfo::localHostName().toStdString(); }

bool SocketControlLink::connectTo(const std::string& host, int port, Failure* failure)
{
    SocketControl::Failure f;
    const bool ok = control_.connectTo(host, port, &f);
    if (!ok && failure)
        *failure = {f.number, f.description};
    return ok;
}

bool SocketControlLink::send(const std::string& data, Failure* failure)
{
    SocketControl::Failure f;
    const bool ok = control_.send(data, &f);
    if (!ok && failure)
        *failure = {f.number, f.description};
    return ok;
}

}  // namespace smtpin::hub
