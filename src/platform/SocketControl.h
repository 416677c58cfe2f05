#pragma once

#include <QObject>
#include <QPointer>

#include <map>
#include <string>

class QSocketNotifier;
class QSslConfiguration;
class QTcpServer;
class QTcpSocket;

namespace smtpin {

// The socket control of the original platform over Qt's TCP classes: a
// state number, a handful of methods and six events.
//
// States: 0 closed, 1 open, 2 listening, 3 connection pending, 4 resolving
// host, 5 host resolved, 6 connecting, 7 connected, 8 closing, 9 error.
// After the peer closes the state reads 8 until close(); an error leaves 9
// until close(). Qt's "remote host closed" is the close event, not an error.
class SocketControl : public QObject {
    Q_OBJECT
public:
    enum State {
        Closed = 0, Open = 1, Listening = 2, ConnectionPending = 3, ResolvingHost = 4,
        HostResolved = 5, Connecting = 6, Connected = 7, Closing = 8, Error = 9
    };

    // A failed method reports the platform's error number and text.
    struct Failure {
        int number = 0;
        std::string description;
    };

    explicit SocketControl(QObject* parent = nullptr);
    ~SocketControl() override;

    State state() const { return static_cast<State>(state_); }

    int localPort() const { return localPort_; }
    void setLocalPort(int port) { localPort_ = port; }
    std::string localIP() const { return localAddress_; }
    std::string remoteHostIP() const { return remoteAddress_; }
    int remotePort() const { return remotePort_; }

    bool bind(int port, const std::string& address, Failure* failure = nullptr);
    // A bind succeeded: listen() knows its address and port.
    bool bound() const { return bound_; }
    bool listen(Failure* failure = nullptr);
    // Takes over pending connection requestId of listener.
    bool accept(SocketControl& listener, long requestId, Failure* failure = nullptr);
    // Answers a pending connection with a last text and closes it, unaccepted.
    void refuse(long requestId, const std::string& text);
    // The address a waiting connection comes from, as remoteHostIP() will give it.
    std::string pendingPeer(long requestId) const;
    bool connectTo(const std::string& host, int port, Failure* failure = nullptr);
    bool send(const std::string& data, Failure* failure = nullptr);
    long bytesReceived() const;
    std::string receive(long maxBytes = -1);
    void close();

    // TLS (SocketControlTls.cpp). A listener that accepts TLS hands out
    // sockets that can be upgraded; others stay plain TCP.
    void setAcceptsTls(bool on) { acceptsTls_ = on; }
    // Drops what the peer sent that is not yet read, then starts the
    // server's handshake once everything written has gone out in clear.
    bool startServerTls(const QSslConfiguration& config);
    bool encrypted() const;
    // Accepted as a connection that can be upgraded, and not yet upgraded.
    bool canStartTls() const;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" once encrypted.
    std::string tlsSummary() const;

signals:
    void connectionRequest(long requestId);
    void dataArrival(long bytes);
    void sendComplete();
    // The peer closed.
    void closed();
    void connected();
    void error(int number, const std::string& description);
    void tlsReady();

private:
    // The listening socket's accepting (SocketControlAccept.cpp).
    void watchForConnections();
    void acceptPending();
    void raiseAcceptError(const Failure& failure);
    void requestConnection(QTcpSocket* socket);
    void adopt(QTcpSocket* socket);
    void onSocketError();
    void onDisconnected();
    void onBytesWritten();
    void releaseSocket();
    void watchTls(QTcpSocket* socket);
    void beginHandshake();
    static Failure failureOf(const QObject* socket);

    State state_ = Closed;
    int localPort_ = 0;
    std::string localAddress_;
    std::string remoteAddress_;
    int remotePort_ = 0;
    bool bound_ = false;
    QTcpServer* server_ = nullptr;
    QSocketNotifier* acceptNotifier_ = nullptr;   // a child of server_
    QTcpSocket* socket_ = nullptr;
    std::map<long, QPointer<QTcpSocket>> pending_;
    // How long a closed connection may take to write what it still holds.
    static constexpr int kLingerMs = 30000;
    long nextRequestId_ = 1;
    bool acceptsTls_ = false;
    bool handshakeWaits_ = false;   // for the clear reply to be written
};

// Winsock-style number for a Qt socket error, so log lines read as the
// operators know them.
int winsockErrorNumber(int qtSocketError);

}  // namespace smtpin
