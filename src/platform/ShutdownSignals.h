#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace smtpin {

// SIGINT, SIGTERM and SIGHUP arrive as an ordinary event of the loop (no handler
// runs in signal context, nothing global is touched).
class ShutdownSignals : public QObject {
    Q_OBJECT
public:
    // Must run before any thread exists (the display backend starts some):
    // a thread that does not block the signals would take them and die.
    static bool BlockInProcess();

    explicit ShutdownSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
    ~ShutdownSignals() override;
    bool ok() const { return fd_ >= 0; }

private:
    void readSignal();

    std::function<void(int)> onSignal_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace smtpin
