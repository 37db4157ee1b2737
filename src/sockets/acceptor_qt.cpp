#include "acceptor.h"

#include <QTcpServer>
#include <QTimer>

#include <unistd.h>

namespace {
// Hands over the descriptor itself, as a QTcpServer subclass may, instead of a QTcpSocket.
class DescriptorServer final : public QTcpServer
{
public:
    explicit DescriptorServer(Acceptor *acceptor) : m_acceptor(acceptor) {}

protected:
    void incomingConnection(qintptr descriptor) override { emit m_acceptor->accepted(descriptor); }

private:
    Acceptor *m_acceptor;
};
} // namespace

class Acceptor::Private
{
public:
    explicit Private(Acceptor *owner) : server(owner) {}

    DescriptorServer server;
    bool stopped = false;
};

Acceptor::Acceptor(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this))
{
    d->server.setListenBacklogSize(ListenBacklog);
    connect(&d->server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        if (d->stopped)
            return;
        d->server.pauseAccepting();
        emit failed(QStringLiteral("accept failed: ") + d->server.errorString(),
                    error == QAbstractSocket::SocketResourceError);
    });
}

Acceptor::~Acceptor() = default;

void Acceptor::discard(qintptr descriptor)
{
    ::close(int(descriptor));
}

bool Acceptor::listen(const QHostAddress &address, quint16 port)
{
    return d->server.listen(address, port);
}

bool Acceptor::listenOnDescriptor(qintptr descriptor)
{
    return d->server.setSocketDescriptor(descriptor);
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
    if (!d->stopped)
        d->server.resumeAccepting();
}

void Acceptor::stop()
{
    if (d->stopped)
        return;
    d->stopped = true;
    d->server.close();
    deleteLater();
}
