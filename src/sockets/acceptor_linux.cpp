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
    explicit Private(Acceptor *owner) : q(owner) {}
    bool serve();
    void acceptReady();

    Acceptor *q;
    QTcpServer server;
    QSocketNotifier *notifier = nullptr;
    bool stopped = false;
};

bool Acceptor::Private::serve()
{
    server.pauseAccepting();
    notifier = new QSocketNotifier(server.socketDescriptor(), QSocketNotifier::Read, q);
    QObject::connect(notifier, &QSocketNotifier::activated, q, [this] { acceptReady(); });
    return true;
}

void Acceptor::Private::acceptReady()
{
    // A handler may stop us, or delete us with our owner.
    const QPointer<Acceptor> self(q);
    for (int i = 0; i < AcceptBatch && self && !stopped && notifier->isEnabled(); ++i) {
        const int fd = ::accept4(int(server.socketDescriptor()), nullptr, nullptr,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO)
                continue; // that peer gave up before we took it; the next one may not have
            if (error != EAGAIN && error != EWOULDBLOCK) {
                notifier->setEnabled(false);
                emit q->failed(QStringLiteral("accept failed: ") +
                                   QString::fromLocal8Bit(std::strerror(error)),
                               error == EMFILE || error == ENFILE || error == ENOBUFS ||
                                   error == ENOMEM);
            }
            return;
        }
        emit q->accepted(fd);
    }
}

Acceptor::Acceptor(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this))
{
    d->server.setListenBacklogSize(ListenBacklog);
}

Acceptor::~Acceptor() = default;

void Acceptor::discard(qintptr descriptor)
{
    ::close(int(descriptor));
}

bool Acceptor::listen(const QHostAddress &address, quint16 port)
{
    return d->server.listen(address, port) && d->serve();
}

bool Acceptor::listenOnDescriptor(qintptr descriptor)
{
    return d->server.setSocketDescriptor(descriptor) && d->serve();
}

QString Acceptor::errorString() const
{
    return d->server.errorString();
}

QHostAddress Acceptor::serverAddress() const
{
    return d->server.serverAddress();
}

quint16 Acceptor::serverPort() const
{
    return d->server.serverPort();
}

void Acceptor::resume()
{
    if (d->stopped || !d->notifier)
        return;
    d->notifier->setEnabled(true);
    QTimer::singleShot(0, this, [this] { d->acceptReady(); });
}

void Acceptor::stop()
{
    if (d->stopped)
        return;
    d->stopped = true;
    if (d->notifier)
        d->notifier->setEnabled(false);
    d->server.close();
    deleteLater();
}
