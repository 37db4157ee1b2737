#pragma once

#include "sockettrace.h"

#include <QObject>
#include <QString>

#include <memory>

/*
 * A UDP endpoint: bound to a port of its own on every interface, aimed at one host and port,
 * each datagram one block of UTF-8 text. Modelled on QUdpSocket; what goes wrong comes as
 * errorOccurred with a description (and one line on standard error), never from inside a call.
 */
class DatagramEndpoint final : public QObject, public Traceable
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DatagramEndpoint)

public:
    // The largest payload of one IPv4 datagram.
    static constexpr qsizetype MaxDatagram = 65507;
    // Blocks sent while the host is still being looked up; older ones are dropped beyond this.
    static constexpr std::size_t MaxHeld = 8;

    explicit DatagramEndpoint(QObject *parent = nullptr);
    ~DatagramEndpoint() override;

    // Opens the endpoint on port (0: one the system chooses), or keeps the socket when it is
    // open on that port already. When the port cannot be bound (taken, or outside 0..65535),
    // the endpoint still opens, on a port the system chooses, and says why; false then.
    bool bind(int port);
    // Aims what is sent at host and port (1..65535). A name is looked up first, without
    // waiting; blocks sent meanwhile are held and go once the answer comes. Aiming again drops
    // what was held for the old aim.
    void setDestination(const QString &host, int port);
    // One datagram, when open and aimed; a block over MaxDatagram bytes is not sent.
    void send(const QByteArray &bytes);
    void close();

signals:
    // One datagram received, decoded on its own; bytes as they came.
    void datagramReceived(const QString &text, const QByteArray &bytes);
    void errorOccurred(const QString &description);

private:
    class Private;
    std::unique_ptr<Private> d;
};
