#include "acceptor.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

// QTcpServer takes an accept refused for want of descriptors for a passing error and tries
// again on every pass of the event loop, which spins for as long as the table stays full. The
// server listens with it, but this accepts by itself and pauses while starved.

namespace {
// Connections taken per pass of the event loop, so that a flood of them cannot hold up
// everything else.
constexpr int AcceptBatch = 64;
} // namespace

class Acceptor::Private
{
public:
    explicit Private(Acceptor *owner) : q(owner) {}
    void acceptReady();

    Acceptor *q;
    QPointer<QTcpServer> server;
    QSocketNotifier *notifier = nullptr;
    bool stopped = false;
};

void Acceptor::Private::acceptReady()
{
    // A handler may stop us, close the server, or delete it with its owner.
    const QPointer<Acceptor> self(q);
    for (int i = 0; i < AcceptBatch && self && !stopped && server && notifier->isEnabled(); ++i) {
        const int fd = ::accept4(int(server->socketDescriptor()), nullptr, nullptr,
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
        auto *socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        emit q->accepted(socket);
    }
}

Acceptor::Acceptor(QTcpServer *server, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this))
{
    d->server = server;
    server->pauseAccepting();
    d->notifier = new QSocketNotifier(server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(d->notifier, &QSocketNotifier::activated, this, [this] { d->acceptReady(); });
}

Acceptor::~Acceptor() = default;

void Acceptor::resume()
{
    if (d->stopped)
        return;
    d->notifier->setEnabled(true);
    QTimer::singleShot(0, this, [this] { d->acceptReady(); });
}

void Acceptor::stop()
{
    if (d->stopped)
        return;
    d->stopped = true;
    d->notifier->setEnabled(false);
    deleteLater();
}
