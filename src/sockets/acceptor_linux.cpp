#include "acceptor.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

// QTcpServer takes an accept refused for want of descriptors for a passing error and tries
// again on every pass of the event loop, which spins for as long as the table stays full. It
// binds and listens here, but this accepts by itself and pauses while starved.

namespace {
// Connections taken per pass of the event loop, so that a flood of them cannot hold up
// everything else.
constexpr int AcceptBatch = 64;
} // namespace

class Acceptor::Private
{
public:
    void acceptReady(Acceptor *q);

    QSocketNotifier *notifier = nullptr;
};

void Acceptor::Private::acceptReady(Acceptor *q)
{
    // A handler may stop us, or delete us with our owner.
    const QPointer<Acceptor> self(q);
    for (int i = 0; i < AcceptBatch && self && !q->m_stopped && notifier->isEnabled(); ++i) {
        const int fd = ::accept4(int(q->m_server->socketDescriptor()), nullptr, nullptr,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            emit q->accepted(fd);
            continue;
        }
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED || error == EPROTO)
            continue; // that peer gave up before we took it; the next one may not have
        if (error != EAGAIN && error != EWOULDBLOCK) {
            notifier->setEnabled(false);
            emit q->failed(
                QStringLiteral("accept failed: ") + QString::fromLocal8Bit(std::strerror(error)),
                error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM);
        }
        return;
    }
}

Acceptor::Acceptor(QObject *parent)
    : QObject(parent), d(std::make_unique<Private>()), m_server(new QTcpServer(this))
{
    m_server->setListenBacklogSize(ListenBacklog);
}

Acceptor::~Acceptor() = default;

void Acceptor::discard(qintptr descriptor)
{
    ::close(int(descriptor));
}

bool Acceptor::startAccepting()
{
    m_server->pauseAccepting();
    d->notifier = new QSocketNotifier(m_server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, [this] { d->acceptReady(this); });
    return true;
}

void Acceptor::stopAccepting()
{
    if (d->notifier)
        d->notifier->setEnabled(false);
}

void Acceptor::resume()
{
    if (m_stopped || !d->notifier)
        return;
    d->notifier->setEnabled(true);
    // The connections that waited are taken at once.
    QTimer::singleShot(0, this, [this] { d->acceptReady(this); });
}
