#include "platform/ShutdownSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace smtpin {

namespace {

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Not a stop: the service reads its certificate again.
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

bool ShutdownSignals::BlockInProcess()
{
    const sigset_t set = stopSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

ShutdownSignals::ShutdownSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal))
{
    const sigset_t set = stopSignals();
    // Enough for a program without other threads; others call BlockInProcess first.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) {
        // Blocked and never read, a stop signal would be lost: let it end the
        // program the plain way instead.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ShutdownSignals::readSignal);
}

ShutdownSignals::~ShutdownSignals()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void ShutdownSignals::readSignal()
{
    signalfd_siginfo info;
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        if (onSignal_)
            onSignal_(static_cast<int>(info.ssi_signo));
}

}  // namespace smtpin
