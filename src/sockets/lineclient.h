#pragma once

#include "sockettrace.h"

#include <QHostAddress>
#include <QObject>

#include <memory>

class LineConnection;

/*
 * One TCP connection to a server, carrying lines of UTF-8 text: connects (with a time limit),
 * then hands the lines that arrive out one at a time (LineConnection underneath). Modelled on
 * QTcpSocket: connectToHost() returns at once, and every outcome comes as a signal from the
 * event loop, never from inside a call; an attempt or connection that close() or a new
 * connectToHost() gave up raises nothing more. Handlers may call any member.
 */
class LineClient final : public QObject, public Traceable
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LineClient)

public:
    // A server that has not answered by then never will.
    static constexpr int ConnectTimeoutMs = 10000;

    enum class State { Unconnected, Connecting, Connected };

    explicit LineClient(QObject *parent = nullptr);
    ~LineClient() override;

    // Drops any current connection or attempt first. Port 0 fails as a refused attempt would.
    void connectToHost(const QString &host, quint16 port);
    // Ends the connection (what is queued still goes out) or the attempt, quietly.
    void close();
    State state() const;

    // Sends bytes on the connection; false when there is none or they were dropped (see
    // LineConnection::send).
    bool send(const QByteArray &bytes);
    // Of the connection; null and 0 when not connected.
    quint16 localPort() const;
    QHostAddress peerAddress() const;
    quint16 peerPort() const;

signals:
    void connected();
    // A line arrived; as LineConnection::lineReceived.
    void lineReceived(const QString &text, const QByteArray &bytes);
    // The other side ended the connection; every line has been raised before.
    void disconnected();
    // The attempt failed (state() still Connecting, Unconnected right after), or the connection
    // did (a socket error, the output cap).
    void errorOccurred(const QString &description);

private:
    class Private;
    std::unique_ptr<Private> d;
};
