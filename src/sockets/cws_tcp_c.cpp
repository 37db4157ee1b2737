#include "cws_tcp_c.h"

#include "hostaddresses.h"
#include "lineclient.h"

#include <QTimer>

// The events hand their text by reference, as the names were given; each raise passes a copy.
CWS_TCP_C::CWS_TCP_C(QObject *parent) : QObject(parent), client(new LineClient(this))
{
    client->setTraceOwner("CWS_TCP_C");
    connect(client, &LineClient::connected, this, qOverload<>(&CWS_TCP_C::Connect));
    connect(client, &LineClient::disconnected, this, &CWS_TCP_C::ConnectClose);
    connect(client, &LineClient::lineReceived, this, [this](const QString &text) {
        QString rstrData = text;
        emit GetData(rstrData);
    });
    connect(client, &LineClient::errorOccurred, this, [this](const QString &description) {
        const bool attempt = client->state() == LineClient::State::Connecting;
        emit SocketError(description);
        if (attempt && client->state() == LineClient::State::Connecting)
            emit ConnectError();
    });
}

CWS_TCP_C::~CWS_TCP_C()
{
    client->disconnect(this);
}

bool CWS_TCP_C::InfoWSock() const
{
    return client->isTracing();
}

void CWS_TCP_C::setInfoWSock(bool vblnOn)
{
    client->setTracing(vblnOn);
}

qint32 CWS_TCP_C::ID() const
{
    return client->localPort();
}

QString CWS_TCP_C::IP() const
{
    return client->state() == LineClient::State::Connected
               ? HostAddresses::text(client->peerAddress())
               : QString();
}

qint32 CWS_TCP_C::Port() const
{
    return client->peerPort();
}

void CWS_TCP_C::SendData(const QString &text)
{
    if (!text.isEmpty() && client->state() == LineClient::State::Connected)
        client->send(text.toUtf8());
}

bool CWS_TCP_C::Connect(const QString &host, qint32 port)
{
    // A port no connection can have fails as a refused attempt does.
    const bool inRange = port >= 1 && port <= 65535;
    client->connectToHost(host, inRange ? quint16(port) : 0);
    return inRange;
}

void CWS_TCP_C::Close()
{
    client->close();
}
