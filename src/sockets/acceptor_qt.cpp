#include "acceptor.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

class Acceptor::Private
{
public:
    explicit Private(Acceptor *owner) : q(owner) {}
    void takePending();

    Acceptor *q;
    QPointer<QTcpServer> server;
    bool stopped = false;
};

void Acceptor::Private::takePending()
{
    // A handler may stop us, close the server, or delete it with its owner.
    const QPointer<Acceptor> self(q);
    while (self && !stopped && server && server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        if (!socket)
            break;
        socket->setParent(nullptr);
        emit q->accepted(socket);
    }
}

Acceptor::Acceptor(QTcpServer *server, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this))
{
    d->server = server;
    connect(server, &QTcpServer::newConnection, this, [this] { d->takePending(); });
    connect(server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        if (d->stopped || !d->server)
            return;
        d->server->pauseAccepting();
        emit failed(QStringLiteral("accept failed: ") + d->server->errorString(),
                    error == QAbstractSocket::SocketResourceError);
    });
}

Acceptor::~Acceptor() = default;

void Acceptor::resume()
{
    if (d->stopped || !d->server)
        return;
    d->server->resumeAccepting();
    QTimer::singleShot(0, this, [this] { d->takePending(); });
}

void Acceptor::stop()
{
    if (d->stopped)
        return;
    d->stopped = true;
    if (d->server)
        d->server->disconnect(this);
    deleteLater();
}
