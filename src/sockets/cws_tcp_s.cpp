#include "cws_tcp_s.h"

#include "hostaddresses.h"
#include "lineconnection.h"
#include "lineserver.h"

#include <QPointer>
#include <QTimer>

#include <limits>

// The events hand their arguments by reference, as the names were given; each raise passes a
// copy, so no handler can change what the server goes on with.
class CWS_TCP_S::Private final
{
public:
    explicit Private(CWS_TCP_S *q) : server(new LineServer(q))
    {
        server->setTraceOwner("CWS_TCP_S");
    }

    LineServer *server;
    // The text last raised in GetData and its received bytes: the window hands that text back
    // to SendData, which then sends the bytes as they came instead of encoding them again.
    QString raisedText;
    QByteArray raisedBytes;
};

CWS_TCP_S::CWS_TCP_S(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this))
{
    LineServer *server = d->server;
    connect(server, &LineServer::newConnection, this, [this](LineConnection *connection) {
        qint32 Index = connection->id();
        emit ServiceComplete(true, Index);
    });
    connect(server, &LineServer::connectionClosed, this, [this](LineConnection *connection) {
        qint32 Index = connection->id();
        emit ServiceComplete(false, Index);
    });
    connect(server, &LineServer::lineReceived, this,
            [this](LineConnection *connection, const QString &text, const QByteArray &bytes) {
                d->raisedText = text;
                d->raisedBytes = bytes;
                qint32 Index = connection->id();
                QString rstrData = text;
                emit GetData(Index, rstrData);
            });
    connect(server, &LineServer::connectionError, this,
            [this](LineConnection *connection, const QString &description) {
                const qint32 id = connection->id();
                const QPointer<LineConnection> guard(connection);
                emit SocketError(QStringLiteral("connection #%1: %2").arg(id).arg(description));
                if (!guard || connection->isClosing())
                    return;
                qint32 Index = id;
                emit ServiceError(Index);
            });
    connect(server, &LineServer::acceptError, this, &CWS_TCP_S::SocketError);
}

CWS_TCP_S::~CWS_TCP_S()
{
    // Connections closing on the way out raise events that are no longer of interest.
    d->server->disconnect(this);
}

bool CWS_TCP_S::InfoWSock() const
{
    return d->server->isTracing();
}

void CWS_TCP_S::setInfoWSock(bool vblnOn)
{
    d->server->setTracing(vblnOn);
}

QString CWS_TCP_S::IP() const
{
    return HostAddresses::firstLocalIPv4();
}

qint32 CWS_TCP_S::Port() const
{
    return d->server->serverPort();
}

qint16 CWS_TCP_S::ConnectCount() const
{
    return qint16(
        qMin<qsizetype>(d->server->connectionCount(), std::numeric_limits<qint16>::max()));
}

void CWS_TCP_S::SendData(const QString &text, qint32 index)
{
    if (d->server->connectionCount() == 0 || text.isEmpty())
        return;
    const QByteArray bytes =
        !d->raisedBytes.isEmpty() && text == d->raisedText ? d->raisedBytes : text.toUtf8();
    if (index == 0) {
        d->server->broadcast(bytes);
    } else if (LineConnection *connection = d->server->connection(index)) {
        connection->send(bytes);
    }
}

bool CWS_TCP_S::Listen(qint32 port)
{
    d->server->stopListening();
    QString why;
    if (port < 0 || port > 65535)
        why = QStringLiteral("outside 0..65535");
    else if (!d->server->listen(QHostAddress::Any, quint16(port)))
        why = d->server->errorString();
    else
        return true;
    const QString description = QStringLiteral("cannot listen on port %1: %2").arg(port).arg(why);
    qWarning().noquote() << "CWS_TCP_S:" << description;
    QTimer::singleShot(0, this, [this, description] { emit SocketError(description); });
    return false;
}

void CWS_TCP_S::Disconnect(qint32 index)
{
    if (index != 0) {
        if (LineConnection *connection = d->server->connection(index))
            connection->close();
        return;
    }
    for (LineConnection *connection : d->server->connections())
        connection->close();
}

void CWS_TCP_S::Close()
{
    d->server->close();
}

LineServer *CWS_TCP_S::server() const
{
    return d->server;
}
