#include "signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {
sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}
} // namespace

void SignalWatcher::holdStopSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent)
{
    const sigset_t set = stopSignals();
    m_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0) {
        // Better the default end of the process than signals that nobody reads.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        qWarning("cannot watch for SIGTERM, SIGINT and SIGHUP: %s", strerror(errno));
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);
}

SignalWatcher::~SignalWatcher()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void SignalWatcher::onReadable()
{
    signalfd_siginfo info;
    while (::read(m_fd, &info, sizeof info) == ssize_t(sizeof info)) {
        if (info.ssi_signo == SIGHUP)
            emit reloadRequested();
        else
            emit stopRequested(info.ssi_signo == SIGINT ? QStringLiteral("SIGINT")
                                                        : QStringLiteral("SIGTERM"));
    }
}
