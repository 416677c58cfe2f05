#include "support/TestClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QThread>

namespace smtpin::test {

bool pumpUntil(const std::function<bool()>& done, int timeoutMs, const std::function<void()>& tick)
{
    QElapsedTimer t;
    t.start();
    while (true) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (tick)
            tick();
        if (done())
            return true;
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(1);
    }
}

bool TestClient::connectTo(int port, const std::string& host, const std::string& from)
{
    if (!from.empty() && !socket_.bind(QHostAddress(QString::fromStdString(from))))
        return false;
    bool connected = false;
    // A server may answer and close at once; having been connected is enough.
    auto c = QObject::connect(&socket_, &QAbstractSocket::connected, [&connected] { connected = true; });
    socket_.connectToHost(QString::fromStdString(host), static_cast<quint16>(port));
    const bool ok = pumpUntil([&connected] { return connected; });
    QObject::disconnect(c);
    return ok;
}

void TestClient::send(const std::string& bytes)
{
    socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    socket_.flush();
}

std::string TestClient::received()
{
    buffer_ += socket_.readAll().toStdString();
    return buffer_;
}

std::vector<std::string> TestClient::lines()
{
    const std::string all = received();
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t k; (k = all.find("\r\n", pos)) != std::string::npos; pos = k + 2)
        out.push_back(all.substr(pos, k - pos));
    return out;
}

}  // namespace smtpin::test
