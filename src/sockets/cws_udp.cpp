#include "cws_udp.h"

#include "datagramendpoint.h"
#include "hostaddresses.h"

CWS_UDP::CWS_UDP(QObject *parent) : QObject(parent), endpoint(new DatagramEndpoint(this))
{
    endpoint->setTraceOwner("CWS_UDP");
    connect(endpoint, &DatagramEndpoint::datagramReceived, this, [this](const QString &text) {
        QString rstrData = text;
        emit GetData(rstrData);
    });
    connect(endpoint, &DatagramEndpoint::errorOccurred, this, &CWS_UDP::SocketError);
}

CWS_UDP::~CWS_UDP()
{
    endpoint->disconnect(this);
}

QString CWS_UDP::IP() const
{
    return HostAddresses::firstLocalIPv4();
}

bool CWS_UDP::InfoWSock() const
{
    return endpoint->isTracing();
}

void CWS_UDP::setInfoWSock(bool vblnOn)
{
    endpoint->setTracing(vblnOn);
}

void CWS_UDP::SendData(const QString &text)
{
    endpoint->send(text.toUtf8());
}

bool CWS_UDP::Connect(const QString &host, qint32 ownPort, qint32 remotePort)
{
    const bool bound = endpoint->bind(ownPort);
    endpoint->setDestination(host, remotePort);
    return bound;
}

void CWS_UDP::Close()
{
    endpoint->close();
}
