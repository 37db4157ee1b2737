#include "acceptor.h"

#include <QTcpServer>

bool Acceptor::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port) && startAccepting();
}

bool Acceptor::listenOnDescriptor(qintptr descriptor)
{
    return m_server->setSocketDescriptor(descriptor) && startAccepting();
}

QString Acceptor::errorString() const
{
    return m_server->errorString();
}

QHostAddress Acceptor::serverAddress() const
{
    return m_server->serverAddress();
}

quint16 Acceptor::serverPort() const
{
    return m_server->serverPort();
}

void Acceptor::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    stopAccepting();
    m_server->close();
    deleteLater();
}
