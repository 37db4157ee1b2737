#include "chatoutput.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

ChatOutput::ChatOutput(int descriptor, QObject *parent)
    : QObject(parent), m_fd(descriptor), m_oldFlags(fcntl(descriptor, F_GETFL)),
      m_notifier(new QSocketNotifier(descriptor, QSocketNotifier::Write, this))
{
    if (m_oldFlags >= 0)
        fcntl(m_fd, F_SETFL, m_oldFlags | O_NONBLOCK);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &ChatOutput::flush);
}

ChatOutput::~ChatOutput()
{
    if (m_oldFlags >= 0)
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
