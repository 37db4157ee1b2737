#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

// A chat server played by a bare QTcpServer on loopback. It keeps every line each connection
// sends (CR LF included). As a relay it writes every received piece back out to all
// connections; silent, it never answers; HangUpOnLogout drops a connection once its logout
// line has arrived, without echoing it.
class LineServer final : public QObject
{
    Q_DISABLE_COPY_MOVE(LineServer)

public:
    enum class Mode { Relay, Silent, HangUpOnLogout };

    explicit LineServer(Mode mode);
    ~LineServer() override;

    quint16 port() const { return m_server.serverPort(); }
    QString portText() const { return QString::number(port()); }

    void sendToAll(const QByteArray &bytes);
    // Stops listening and drops every connection: the server is gone.
    void stop();

    QStringList lines;
    int connectionsMade = 0;
    int connectionsEnded = 0;

private:
    void accept();
    void read(QTcpSocket *socket);

    Mode m_mode;
    QTcpServer m_server;
    QList<QTcpSocket *> m_sockets;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

// A raw client on loopback that keeps every byte the server sends it.
class RawClient final
{
    Q_DISABLE_COPY_MOVE(RawClient)

public:
    explicit RawClient(quint16 port);

    QTcpSocket socket;
    QByteArray received;
    qint64 receivedCount = 0;
    bool keep = true; // a client that only drains keeps nothing, counting what went by
};
