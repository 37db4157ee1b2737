#include "linepeers.h"

LineServer::LineServer(Mode mode) : m_mode(mode)
{
    connect(&m_server, &QTcpServer::newConnection, this, &LineServer::accept);
    m_server.listen(QHostAddress::LocalHost, 0);
}

LineServer::~LineServer()
{
    // The sockets die with m_server, after the lists their handlers use.
    for (QTcpSocket *socket : m_server.findChildren<QTcpSocket *>())
        socket->disconnect(this);
}

void LineServer::sendToAll(const QByteArray &bytes)
{
    for (QTcpSocket *socket : std::as_const(m_sockets))
        socket->write(bytes);
}

void LineServer::stop()
{
    m_server.close();
    for (QTcpSocket *socket : std::as_const(m_sockets))
        socket->disconnectFromHost();
}

void LineServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++connectionsMade;
        m_sockets.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            ++connectionsEnded;
            m_sockets.removeAll(socket);
            socket->deleteLater();
        });
    }
}

void LineServer::read(QTcpSocket *socket)
{
    const QByteArray bytes = socket->readAll();
    QByteArray &pending = m_pending[socket];
    pending += bytes;
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pending.left(end + 1));
        pending.remove(0, end + 1);
        lines.append(line);
        if (m_mode == Mode::HangUpOnLogout && line.contains(QStringLiteral("|logout - ")))
            socket->disconnectFromHost();
    }
    if (m_mode == Mode::Relay)
        sendToAll(bytes);
}

RawClient::RawClient(quint16 port)
{
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
        const QByteArray bytes = socket.readAll();
        receivedCount += bytes.size();
        if (keep)
            received += bytes;
    });
    socket.connectToHost(QHostAddress::LocalHost, port);
}
