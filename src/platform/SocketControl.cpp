#include "SocketControl.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace smtpin {
namespace {

std::string addressText(const QHostAddress& a)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return (ok ? QHostAddress(v4) : a).toString().toStdString();
}

}  // namespace

int winsockErrorNumber(int qtSocketError)
{
    switch (static_cast<QAbstractSocket::SocketError>(qtSocketError)) {
    case QAbstractSocket::ConnectionRefusedError: return 10061;
    case QAbstractSocket::RemoteHostClosedError: return 10053;
    case QAbstractSocket::HostNotFoundError: return 11001;
    case QAbstractSocket::SocketAccessError: return 10013;
    case QAbstractSocket::SocketResourceError: return 10055;
    case QAbstractSocket::SocketTimeoutError: return 10060;
    case QAbstractSocket::NetworkError: return 10050;
    case QAbstractSocket::AddressInUseError: return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError: return 10045;
    default: return 10000 + qtSocketError + 1;
    }
}

SocketControl::SocketControl(QObject* parent) : QObject(parent) {}

SocketControl::~SocketControl()
{
    // Nothing hears the close of a control that is going away.
    disconnect();
    close();
}

SocketControl::Failure SocketControl::failureOf(const QObject* object)
{
    if (auto* s = qobject_cast<const QAbstractSocket*>(object))
        return {winsockErrorNumber(s->error()), s->errorString().toStdString()};
    if (auto* srv = qobject_cast<const QTcpServer*>(object))
        return {winsockErrorNumber(srv->serverError()), srv->errorString().toStdString()};
    return {};
}

bool SocketControl::bind(int port, const std::string& address, Failure* failure)
{
    QHostAddress a;
    if (!address.empty() && !a.setAddress(QString::fromStdString(address))) {
        if (failure)
            *failure = {10049, "The requested address is not valid: " + address};
        return false;
    }
    if (port < 0 || port > 65535) {
        if (failure)
            *failure = {10049, "The requested port is not valid: " + std::to_string(port)};
        return false;
    }
    localPort_ = port;
    // "::" is every address of both kinds, not IPv4's "0.0.0.0".
    localAddress_ = address.empty() ? "0.0.0.0" : a == QHostAddress::AnyIPv6 ? "::" : addressText(a);
    bound_ = true;
    state_ = Open;
    return true;
}

bool SocketControl::listen(Failure* failure)
{
    if (state_ != Closed && state_ != Open) {
        if (failure)
            *failure = {40020, "Invalid operation at current state"};
        return false;
    }
    if (!bound_) {
        // Never on every address and a chance port because the bind failed.
        if (failure)
            *failure = {10022, "The socket is not bound to an address and port"};
        return false;
    }
    server_ = new QTcpServer(this);
    QHostAddress a(QString::fromStdString(localAddress_));
    if (a == QHostAddress::AnyIPv6)
        a = QHostAddress::Any;   // dual stack: IPv4 clients arrive as mapped addresses
    if (!server_->listen(a, static_cast<quint16>(localPort_))) {
        if (failure)
            *failure = failureOf(server_);
        delete server_;
        server_ = nullptr;
        state_ = Closed;
        return false;
    }
    // A port of 0 gets a free one; keep it, so that a restart listens there again.
    localPort_ = server_->serverPort();
    watchForConnections();
    state_ = Listening;
    return true;
}

void SocketControl::raiseAcceptError(const Failure& failure)
{
    // Queued: the error handler closes the server this came from.
    QPointer<QTcpServer> server = server_;
    QMetaObject::invokeMethod(this, [this, server, failure] {
        if (!server || server != server_)
            return;
        state_ = Error;
        emit error(failure.number, failure.description);
    }, Qt::QueuedConnection);
}

void SocketControl::requestConnection(QTcpSocket* s)
{
    const long id = nextRequestId_++;
    pending_[id] = s;
    s->setParent(this);
    emit connectionRequest(id);
}

bool SocketControl::accept(SocketControl& listener, long requestId, Failure* failure)
{
    auto it = listener.pending_.find(requestId);
    if (it == listener.pending_.end() || it->second.isNull()) {
        if (it != listener.pending_.end())
            listener.pending_.erase(it);
        if (failure)
            *failure = {10022, "No pending connection with request id " + std::to_string(requestId)};
        return false;
    }
    QTcpSocket* s = it->second.data();
    listener.pending_.erase(it);
    close();
    s->setParent(this);
    adopt(s);
    state_ = s->state() == QAbstractSocket::ConnectedState ? Connected : Closing;
    return true;
}

void SocketControl::refuse(long requestId, const std::string& text)
{
    auto it = pending_.find(requestId);
    if (it == pending_.end())
        return;
    QPointer<QTcpSocket> s = it->second;
    pending_.erase(it);
    if (s.isNull())
        return;
    s->setParent(nullptr);
    QObject::connect(s.data(), &QAbstractSocket::disconnected, s.data(), &QObject::deleteLater);
    QObject::connect(s.data(), &QAbstractSocket::errorOccurred, s.data(), &QObject::deleteLater);
    s->write(text.data(), static_cast<qint64>(text.size()));
    s->disconnectFromHost();
    if (s && s->state() == QAbstractSocket::UnconnectedState)
        s->deleteLater();
}

void SocketControl::adopt(QTcpSocket* s)
{
    socket_ = s;
    remoteAddress_ = addressText(s->peerAddress());
    remotePort_ = s->peerPort();
    localPort_ = s->localPort();
    localAddress_ = addressText(s->localAddress());
    QObject::connect(s, &QIODevice::readyRead, this, [this] {
        if (socket_)
            emit dataArrival(static_cast<long>(socket_->bytesAvailable()));
    });
    QObject::connect(s, &QIODevice::bytesWritten, this, &SocketControl::onBytesWritten);
    QObject::connect(s, &QAbstractSocket::errorOccurred, this, &SocketControl::onSocketError);
    QObject::connect(s, &QAbstractSocket::disconnected, this, &SocketControl::onDisconnected);
    QObject::connect(s, &QAbstractSocket::connected, this, [this] {
        if (!socket_)
            return;
        adopt(socket_);
        state_ = Connected;
        emit connected();
    });
    watchTls(s);
    QObject::connect(s, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState st) {
        if (st == QAbstractSocket::HostLookupState)
            state_ = ResolvingHost;
        else if (st == QAbstractSocket::ConnectingState)
            state_ = Connecting;
    });
}

void SocketControl::onBytesWritten()
{
    if (!socket_ || socket_->bytesToWrite() != 0)
        return;
    if (handshakeWaits_)
        beginHandshake();
    emit sendComplete();
}

void SocketControl::onSocketError()
{
    if (!socket_)
        return;
    if (socket_->error() == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    if (state_ == Error || state_ == Closed)
        return;
    state_ = Error;
    const Failure f = failureOf(socket_);
    emit error(f.number, f.description);
}

void SocketControl::onDisconnected()
{
    if (state_ != Connected)
        return;
    state_ = Closing;
    emit closed();
}

bool SocketControl::connectTo(const std::string& host, int port, Failure* failure)
{
    if (state_ != Closed) {
        if (failure)
            *failure = {40020, "Invalid operation at current state"};
        return false;
    }
    // A port the network has not would otherwise wrap round to another one.
    if (port < 1 || port > 65535) {
        if (failure)
            *failure = {10049, "Invalid port " + std::to_string(port)};
        return false;
    }
    auto* s = new QTcpSocket(this);
    adopt(s);
    remoteAddress_ = host;
    remotePort_ = port;
    state_ = Connecting;
    s->connectToHost(QString::fromStdString(host), static_cast<quint16>(port));
    return true;
}

bool SocketControl::send(const std::string& data, Failure* failure)
{
    if (state_ != Connected || !socket_) {
        if (failure)
            *failure = {40006, "Wrong protocol or connection state for the requested transaction or request"};
        return false;
    }
    if (socket_->write(data.data(), static_cast<qint64>(data.size())) < 0) {
        if (failure)
            *failure = failureOf(socket_);
        return false;
    }
    return true;
}

long SocketControl::bytesReceived() const
{
    return socket_ ? static_cast<long>(socket_->bytesAvailable()) : 0;
}

std::string SocketControl::receive(long maxBytes)
{
    if (!socket_)
        return {};
    const QByteArray data = maxBytes < 0 ? socket_->readAll() : socket_->read(maxBytes);
    return data.toStdString();
}

void SocketControl::releaseSocket()
{
    if (!socket_)
        return;
    QTcpSocket* s = socket_;
    socket_ = nullptr;
    handshakeWaits_ = false;
    QObject::disconnect(s, nullptr, this, nullptr);
    // Let the socket write what it still holds, then go.
    s->setParent(nullptr);
    if (s->state() == QAbstractSocket::UnconnectedState) {
        s->deleteLater();
        return;
    }
    QObject::connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
    QObject::connect(s, &QAbstractSocket::errorOccurred, s, &QObject::deleteLater);
    // A peer that never reads would keep the descriptor and its buffer for ever.
    QTimer::singleShot(kLingerMs, s, [s] {
        s->abort();
        s->deleteLater();
    });
    // A TLS socket may be inside its own error signal (a failed handshake):
    // its TLS layer must be left before the close reaches it.
    if (qobject_cast<QSslSocket*>(s))
        QMetaObject::invokeMethod(s, [s] { s->disconnectFromHost(); }, Qt::QueuedConnection);
    else
        s->disconnectFromHost();
}

std::string SocketControl::pendingPeer(long requestId) const
{
    const auto it = pending_.find(requestId);
    return it == pending_.end() || it->second.isNull() ? std::string() : addressText(it->second->peerAddress());
}

void SocketControl::close()
{
    releaseSocket();
    if (server_) {
        // Later: this may run inside the server's own accept notification.
        if (acceptNotifier_)
            acceptNotifier_->setEnabled(false);
        acceptNotifier_ = nullptr;
        server_->close();
        server_->deleteLater();
        server_ = nullptr;
    }
    for (auto& [id, s] : pending_)
        if (!s.isNull())
            s->abort(), s->deleteLater();
    pending_.clear();
    remoteAddress_.clear();
    remotePort_ = 0;
    state_ = Closed;
}

}  // namespace smtpin
