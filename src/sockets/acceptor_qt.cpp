#include "acceptor.h"

#include <QTcpServer>

#include <unistd.h>

namespace {
// Hands over the descriptor itself, as a QTcpServer subclass may, instead of a QTcpSocket.
class DescriptorServer final : public QTcpServer
{
public:
    explicit DescriptorServer(Acceptor *acceptor) : QTcpServer(acceptor), m_acceptor(acceptor) {}

protected:
    void incomingConnection(qintptr descriptor) override { emit m_acceptor->accepted(descriptor); }

private:
    Acceptor *m_acceptor;
};
} // namespace

class Acceptor::Private
{
};

Acceptor::Acceptor(QObject *parent) : QObject(parent), m_server(new DescriptorServer(this))
{
    m_server->setListenBacklogSize(ListenBacklog);
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        if (m_stopped)
            return;
        m_server->pauseAccepting();
        emit failed(QStringLiteral("accept failed: ") + m_server->errorString(),
                    error == QAbstractSocket::SocketResourceError);
    });
}

Acceptor::~Acceptor() = default;

void Acceptor::discard(qintptr descriptor)
{
    ::close(int(descriptor));
}

// QTcpServer accepts by itself once it listens.
bool Acceptor::startAccepting()
{
    return true;
}

void Acceptor::stopAccepting()
{
    m_server->pauseAccepting();
}

void Acceptor::resume()
{
    if (!m_stopped)
        m_server->resumeAccepting();
}
