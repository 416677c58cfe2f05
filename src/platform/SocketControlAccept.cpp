// How the listening socket takes its connections.
#include "SocketControl.h"

#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace smtpin {

#ifdef Q_OS_UNIX

// The control accepts by itself rather than through Qt: when the process is
// out of file descriptors, Qt 6.4 keeps retrying the accept at full speed
// and never reports it, and the listener is deaf without a word.
void SocketControl::watchForConnections()
{
    server_->pauseAccepting();
    acceptNotifier_ = new QSocketNotifier(server_->socketDescriptor(), QSocketNotifier::Read, server_);
    QObject::connect(acceptNotifier_, &QSocketNotifier::activated, this, &SocketControl::acceptPending);
}

namespace {

SocketControl::Failure acceptFailure(int error)
{
    switch (error) {
    case EMFILE:
    case ENFILE:
        return {10024, std::strerror(error)};
    case ENOBUFS:
    case ENOMEM:
        return {10055, std::strerror(error)};
    default:
        return {10000 + error, std::strerror(error)};
    }
}

}  // namespace

void SocketControl::acceptPending()
{
    // The connection request handler may close this control.
    while (server_) {
        const int fd = ::accept4(static_cast<int>(server_->socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // Watching on would only fail again at once.
            acceptNotifier_->setEnabled(false);
            raiseAcceptError(acceptFailure(errno));
            return;
        }
        QTcpSocket* s = acceptsTls_ ? new QSslSocket(this) : new QTcpSocket(this);
        if (!s->setSocketDescriptor(fd)) {
            ::close(fd);
            delete s;
            continue;
        }
        requestConnection(s);
    }
}

#else

void SocketControl::watchForConnections()
{
    QObject::connect(server_, &QTcpServer::newConnection, this, &SocketControl::acceptPending);
    QObject::connect(server_, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError e) {
        raiseAcceptError({winsockErrorNumber(e), server_->errorString().toStdString()});
    });
}

void SocketControl::acceptPending()
{
    while (server_ && server_->hasPendingConnections())
        requestConnection(server_->nextPendingConnection());
}

#endif

}  // namespace smtpin
