#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class LineConnection;
class LineServer;
class QTcpSocket;

// How a listener's accepted connections become sockets that carry lines. This one makes a
// plain QTcpSocket that is ready at once; a TLS setup makes a QSslSocket in createSocket(),
// starts its handshake in start() and hands it to LineServer::addConnection() once encrypted.
class SocketSetup
{
public:
    virtual ~SocketSetup();
    // A socket object, not yet holding a connection; the server gives it the descriptor.
    virtual QTcpSocket *createSocket();
    // socket holds a connection that the accept filter let in; nothing has been read from it or
    // sent to it. Hand it to server->addConnection() when it can carry lines, or delete it.
    virtual void start(LineServer *server, QTcpSocket *socket, int listener);
};

/*
 * A TCP server whose connections carry lines of UTF-8 text: one or more listeners feed one
 * set of connections (LineConnection), and a text broadcast goes to every one of them. Modelled
 * on QTcpServer: listen() and listenOnDescriptor() report failure by their result and
 * errorString(); what goes wrong later comes as a signal with a description, and one line on
 * standard error.
 *
 * Every connection sees the texts in the order they were sent, and exactly those sent while it
 * was open: texts broadcast during one pass of the event loop leave together when the pass is
 * over (one write per connection however many lines), and anything that changes who is
 * connected, or sends to one connection, first hands out what was broadcast before it.
 *
 * Signals are raised on the server's thread, one at a time; handlers may call any member,
 * close connections and stop the server. A lineReceived handler must not run the event loop
 * itself (no modal box).
 */
class LineServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LineServer)

public:
    // Decides about a peer before anything is read from it or sent to it. A refused peer is
    // closed at once: no connection, no signal. listener as LineConnection::listener().
    using AcceptFilter =
        std::function<bool(const QHostAddress &peer, quint16 peerPort, int listener)>;

    explicit LineServer(QObject *parent = nullptr);
    ~LineServer() override;

    // Adds a listener on address and port (Any: every interface, IPv4 and IPv6; port 0: one
    // the system chooses). Connections of every listener join the one set. setup, when given,
    // makes the listener's sockets and must outlive it. False with errorString() set when the
    // address cannot be bound; the other listeners go on.
    bool listen(const QHostAddress &address = QHostAddress::Any, quint16 port = 0,
                SocketSetup *setup = nullptr);
    // As listen(), on a socket that is already bound and listening, such as one handed over by
    // the service manager; the server owns it from then on.
    bool listenOnDescriptor(qintptr descriptor, SocketSetup *setup = nullptr);
    // Why the last listen() or listenOnDescriptor() failed.
    QString errorString() const;
    // Listeners open now, numbered from 0 in the order they were opened.
    int listenerCount() const;
    bool isListening() const { return listenerCount() > 0; }
    // Where a listener listens; null and 0 when there is no such listener.
    QHostAddress serverAddress(int listener = 0) const;
    quint16 serverPort(int listener = 0) const;
    // Closes every listener; the connections stay, and new listeners count from 0 again.
    void stopListening();
    // Closes every listener and every connection. May be called any number of times.
    void close();

    void setAcceptFilter(AcceptFilter filter);
    // Takes over socket, connected (for TLS, encrypted), as a new connection of the set:
    // newConnection() follows at once. For a SocketSetup, and for sockets made elsewhere
    // (listener -1).
    void addConnection(QTcpSocket *socket, int listener = -1);

    // The open connections, in the order they came; a connection by its id, or nullptr.
    qsizetype connectionCount() const;
    QList<LineConnection *> connections() const;
    LineConnection *connection(qint32 id) const;

    // Queues bytes to every open connection, to leave when the pass of the event loop is over.
    void broadcast(const QByteArray &bytes);
    // The output cap of every connection, from now on (default LineConnection::DefaultOutputCap).
    void setOutputCap(qint64 bytes);
    qint64 outputCap() const;

    // The trace of socket events on standard error (the InfoWSock switch), closing connections
    // included.
    void setTracing(bool on);
    bool isTracing() const;
    // How trace and error lines name the server ("LineServer" unless set); owner must outlive
    // the server (a string literal, say).
    void setTraceOwner(const char *owner);

    // True while connections that left the set are still sending what was queued to them;
    // outputDrained() follows when the last of them has gone.
    bool hasClosingConnections() const;

signals:
    // A connection joined the set (after the accept filter and, for TLS, the handshake).
    void newConnection(LineConnection *connection);
    // A text arrived on connection; as LineConnection::lineReceived.
    void lineReceived(LineConnection *connection, const QString &text, const QByteArray &bytes);
    // connection failed (socket error, output cap); it stays open until closed.
    void connectionError(LineConnection *connection, const QString &description);
    // connection left the set, count already updated: at once when the peer ended it, from
    // the event loop when it was closed here.
    void connectionClosed(LineConnection *connection);
    // Accepting failed; accepting pauses and is tried again by itself.
    void acceptError(const QString &description);
    // Every connection that left the set has sent its output (or given up after the linger
    // time) and is gone.
    void outputDrained();

private:
    friend class LineConnection;
    class Private;
    std::unique_ptr<Private> d;
};
