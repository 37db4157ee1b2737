#pragma once

#include "lineserver.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>

class QSslSocket;

// The sockets of a TLS listener: each accepted connection goes through the server side of its
// handshake before LineServer::addConnection(), so it holds no connection id, is not counted
// and none of its bytes is read as text until then. A handshake that fails, or does not finish
// within HandshakeTimeoutMs (a silent peer), closes the connection and raises
// handshakeFailed(). Pass it to LineServer::listen() and keep it alive as long as the listener.
class TlsSetup final : public QObject, public SocketSetup
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TlsSetup)

public:
    // Long enough for a client across the world, short enough that silent peers cannot pile
    // up and hold descriptors.
    static constexpr int HandshakeTimeoutMs = 5000;

    explicit TlsSetup(QObject *parent = nullptr);
    ~TlsSetup() override;

    // For handshakes that start from now on; those under way go on with the one they began
    // with, and connections already encrypted are not touched.
    void setSslConfiguration(const QSslConfiguration &configuration);
    QSslConfiguration sslConfiguration() const { return m_configuration; }
    // Closes every connection still in its handshake, quietly (the server is stopping).
    void abortHandshakes();
    // Connections in their handshake now: not yet the server's, but holding a descriptor each
    // (for a limit on connections that counts them too).
    int handshakesInProgress() const { return m_inProgress; }

    QTcpSocket *createSocket() override;
    void start(LineServer *server, QTcpSocket *socket, int listener) override;

signals:
    void handshakeFailed(const QHostAddress &peer, quint16 peerPort, const QString &reason);

private:
    QSslConfiguration m_configuration;
    int m_inProgress = 0;
};
