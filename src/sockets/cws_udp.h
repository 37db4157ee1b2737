#pragma once

#include <QObject>
#include <QString>

class DatagramEndpoint;

// The UDP window's component object under its given names, on DatagramEndpoint.
// Connect(host, ownPort, remotePort) binds ownPort on every interface and aims datagrams at
// host:remotePort. Each datagram received raises one GetData.
class CWS_UDP final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CWS_UDP)

public:
    explicit CWS_UDP(QObject *parent = nullptr);
    ~CWS_UDP() override;

    bool InfoWSock() const;
    void setInfoWSock(bool vblnOn);

    // This host's first non-loopback IPv4 address, or "127.0.0.1".
    QString IP() const;

    // Sends the text, UTF-8 encoded, as one datagram. A block over 65,507 bytes is not sent
    // and raises SocketError.
    void SendData(const QString &text);
    // Opens the object, or re-aims an open one: the same own port keeps the socket, a new one
    // rebinds. Host lookup is asynchronous; blocks sent meanwhile are held and sent after it.
    // If ownPort cannot be bound, SocketError is raised and the object still sends, from a
    // port the system chooses. Returns false when the own port could not be bound.
    bool Connect(const QString &host, qint32 ownPort, qint32 remotePort);
    void Close();

signals:
    void GetData(QString &rstrData);
    void SocketError(const QString &strDescription);

private:
    DatagramEndpoint *endpoint;
};
