// Upgrading an accepted connection to TLS.
#include "SocketControl.h"

#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>

namespace smtpin {

void SocketControl::watchTls(QTcpSocket* socket)
{
    if (auto* ssl = qobject_cast<QSslSocket*>(socket))
        QObject::connect(ssl, &QSslSocket::encrypted, this, [this] {
            if (socket_)
                emit tlsReady();
        });
}

bool SocketControl::startServerTls(const QSslConfiguration& config)
{
    auto* ssl = qobject_cast<QSslSocket*>(socket_);
    if (!ssl || ssl->mode() != QSslSocket::UnencryptedMode || handshakeWaits_)
        return false;
    // Text sent behind STARTTLS in clear could be taken as sent under TLS.
    ssl->readAll();
    ssl->setSslConfiguration(config);
    handshakeWaits_ = true;
    if (ssl->bytesToWrite() == 0)
        beginHandshake();
    return true;
}

void SocketControl::beginHandshake()
{
    handshakeWaits_ = false;
    if (auto* ssl = qobject_cast<QSslSocket*>(socket_))
        ssl->startServerEncryption();
}

bool SocketControl::canStartTls() const
{
    const auto* ssl = qobject_cast<const QSslSocket*>(socket_);
    return ssl && ssl->mode() == QSslSocket::UnencryptedMode && !handshakeWaits_;
}

bool SocketControl::encrypted() const
{
    const auto* ssl = qobject_cast<const QSslSocket*>(socket_);
    return ssl && ssl->isEncrypted();
}

std::string SocketControl::tlsSummary() const
{
    const auto* ssl = qobject_cast<const QSslSocket*>(socket_);
    if (!ssl || !ssl->isEncrypted())
        return {};
    std::string protocol;
    switch (ssl->sessionProtocol()) {
    case QSsl::TlsV1_2: protocol = "TLSv1.2"; break;
    case QSsl::TlsV1_3: protocol = "TLSv1.3"; break;
    default: protocol = "TLS"; break;
    }
    return protocol + " " + ssl->sessionCipher().name().toStdString();
}

}  // namespace smtpin
