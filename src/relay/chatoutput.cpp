#include "chatoutput.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Non-blocking mode belongs to the open file, which a terminal or a pipe shares with the shell
// and whoever else writes to it; a file of our own, opened anew on the same terminal or pipe,
// keeps the mode to ourselves, also when we are killed. -1 where that cannot be had.
int openPrivately(int descriptor)
{
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)))
        return -1;
    const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
    return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}
} // namespace

ChatOutput::ChatOutput(int descriptor, QObject *parent)
    : QObject(parent), m_ownFd(openPrivately(descriptor)),
      m_fd(m_ownFd >= 0 ? m_ownFd : descriptor),
      m_oldFlags(m_ownFd >= 0 ? -1 : fcntl(descriptor, F_GETFL)),
      m_notifier(new QSocketNotifier(m_fd, QSocketNotifier::Write, this))
{
    // Elsewhere (a socket, a regular file) the shared mode is switched, and back at the end.
    if (m_oldFlags >= 0)
        fcntl(m_fd, F_SETFL, m_oldFlags | O_NONBLOCK);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &ChatOutput::flush);
}

ChatOutput::~ChatOutput()
{
    if (m_ownFd >= 0)
        ::close(m_ownFd);
    else if (m_oldFlags >= 0)
        fcntl(m_fd, F_SETFL, m_oldFlags);
}

void ChatOutput::write(const QByteArray &line)
{
    if (m_broken || line.isEmpty())
        return;
    if (m_buffer.size() + line.size() > BufferCap) {
        ++m_dropped;
        return;
    }
    m_buffer.append(line);
    if (m_flushQueued || m_notifier->isEnabled())
        return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(this, &ChatOutput::flush, Qt::QueuedConnection);
}

void ChatOutput::flush()
{
    m_flushQueued = false;
    qsizetype sent = 0;
    while (sent < m_buffer.size()) {
        const ssize_t n =
            ::write(m_fd, m_buffer.constData() + sent, size_t(m_buffer.size() - sent));
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_buffer.remove(0, sent);
            m_notifier->setEnabled(true);
            return;
        }
        m_broken = true;
        m_notifier->setEnabled(false);
        m_buffer.clear();
        emit failed(QString::fromLocal8Bit(n < 0 ? std::strerror(errno) : "nothing written"));
        emit drained();
        return;
    }
    m_buffer.clear();
    m_notifier->setEnabled(false);
    if (m_dropped > 0)
        emit linesDropped(std::exchange(m_dropped, 0));
    emit drained();
}
