#include "cws_tcp_s.h"

#include "sockettrace.h"
#include "tcplink.h"

#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <limits>
#include <map>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
constexpr char Owner[] = "CWS_TCP_S";
// When the system refuses more descriptors, accepting pauses and is tried again this often
// (and whenever one of our connections ends).
constexpr int AcceptRetryMs = 250;
// Connections the system may complete before we accept them. Qt's default of 50 overflows
// when many clients connect at once, and a handshake dropped then costs the client a
// retransmission (a second or more) or, with SYN cookies, a connection we never see. The
// system clamps this to its own maximum.
constexpr int ListenBacklog = 4096;
// Connections taken per pass of the event loop, so that a flood of them cannot hold up
// everything else.
constexpr int AcceptBatch = 64;
} // namespace

class TcpServerPrivate final : public QObject
{
public:
    explicit TcpServerPrivate(CWS_TCP_S *owner) : q(owner)
    {
        retry.setSingleShot(true);
        retry.setInterval(AcceptRetryMs);
        connect(&retry, &QTimer::timeout, this, &TcpServerPrivate::resumeAccepting);
    }
    ~TcpServerPrivate() override
    {
        for (auto &[index, link] : links) {
            disconnect(link, nullptr, this, nullptr);
            delete link;
        }
    }

    void stopListening();
    void serve(QTcpServer *listener);
    void watchClosing(TcpLink *link);
#ifdef Q_OS_UNIX
    void acceptReady();
    void acceptFailed(int error);
#else
    void onNewConnection();
    void onAcceptError(QAbstractSocket::SocketError error);
#endif
    void reportAcceptFailure(const QString &description, bool outOfDescriptors);
    void adopt(QTcpSocket *socket);
    void resumeAccepting();
    void deliver(qint32 index, TcpLink *link, const QByteArray &bytes);
    void queueBroadcast(const QByteArray &bytes);
    void flushBroadcast();
    void endLink(qint32 index, bool raiseLater);
    void raiseError(const QString &description);
    void trace(const QString &text) const
    {
        if (infoWSock)
            SocketTrace::line(Owner, text);
    }

    CWS_TCP_S *q;
    QPointer<QTcpServer> server;
#ifdef Q_OS_UNIX
    // QTcpServer takes an accept refused for want of descriptors for a passing error and
    // tries again on every pass of the event loop, which spins for as long as the table stays
    // full. The server listens with it but accepts by itself, and pauses while starved.
    QPointer<QSocketNotifier> acceptor;
#endif
    std::map<qint32, TcpLink *> links;
    qint32 lastIndex = 0;
    bool infoWSock = false;
    bool starved = false; // accepting paused for want of descriptors
    QTimer retry;
    // The last text raised in GetData and its received bytes: the window hands that very
    // string back to SendData, which then needs no encoding.
    QString lastText;
    QByteArray lastBytes;
    // Texts sent to every connection during this pass of the event loop, in order. They go
    // out together once the pass is over: one write per connection however many lines a pass
    // relays, instead of one per line per connection.
    QByteArray broadcast;
    bool broadcastQueued = false;
    // Why the last listen failed.
    QString errorText;
    // Connections closed but still sending what was queued to them.
    int closingLinks = 0;
};

void TcpServerPrivate::stopListening()
{
    retry.stop();
    starved = false;
#ifdef Q_OS_UNIX
    if (acceptor) {
        acceptor->setEnabled(false);
        acceptor->deleteLater();
        acceptor = nullptr;
    }
#endif
    if (server) {
        trace(QStringLiteral("stop listening on port %1").arg(server->serverPort()));
        server->disconnect(this);
        server->close();
        server->deleteLater();
        server = nullptr;
    }
}

#ifndef Q_OS_UNIX
void TcpServerPrivate::onNewConnection()
{
    // A handler may close the server, or even delete it, from inside ServiceComplete.
    const QPointer<TcpServerPrivate> self(this);
    const QPointer<QTcpServer> current = server;
    while (self && current && current == server && current->hasPendingConnections()) {
        QTcpSocket *socket = current->nextPendingConnection();
        if (!socket)
            break;
        starved = false;
        adopt(socket);
    }
}

void TcpServerPrivate::onAcceptError(QAbstractSocket::SocketError error)
{
    if (!server)
        return;
    // The refused peer waits in the backlog until we try again.
    server->pauseAccepting();
    reportAcceptFailure(QStringLiteral("accept failed: ") + server->errorString(),
                        error == QAbstractSocket::SocketResourceError);
}
#else
void TcpServerPrivate::acceptReady()
{
    // A handler may close the server, or even delete it, from inside ServiceComplete.
    const QPointer<TcpServerPrivate> self(this);
    const QPointer<QTcpServer> current = server;
    for (int i = 0; i < AcceptBatch && self && current && current == server; ++i) {
        const int fd = ::accept4(int(current->socketDescriptor()), nullptr, nullptr,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO)
                continue; // that peer gave up before we took it; the next one may not have
            if (error != EAGAIN && error != EWOULDBLOCK)
                acceptFailed(error);
            return;
        }
        auto *socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        starved = false;
        adopt(socket);
    }
}

void TcpServerPrivate::acceptFailed(int error)
{
    // The refused peer waits in the backlog until we try again.
    acceptor->setEnabled(false);
    reportAcceptFailure(QStringLiteral("accept failed: ") +
                            QString::fromLocal8Bit(std::strerror(error)),
                        error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM);
}
#endif

// Accepting is paused by the caller and tried again by the retry timer. Running out of
// descriptors is reported once until an accept succeeds again; it may last a while.
void TcpServerPrivate::reportAcceptFailure(const QString &description, bool outOfDescriptors)
{
    if (!outOfDescriptors) {
        raiseError(description);
    } else if (!starved) {
        starved = true;
        raiseError(description + QStringLiteral(" (accepting paused until descriptors free up)"));
    } else {
        trace(description);
    }
    retry.start();
}

void TcpServerPrivate::adopt(QTcpSocket *socket)
{
    // Texts broadcast before this connection existed are not for it.
    flushBroadcast();
    if (lastIndex == std::numeric_limits<qint32>::max()) {
        raiseError(QStringLiteral("connection refused: no connection index left"));
        socket->abort();
        socket->deleteLater();
        return;
    }
    const qint32 index = ++lastIndex;
    const QString peer = SocketTrace::endpointText(socket->peerAddress(), socket->peerPort());
    auto *link = new TcpLink(socket, Owner, &infoWSock, u'#' + QString::number(index), this);
    links.emplace(index, link);
    trace(QStringLiteral("accept #%1 from %2").arg(index).arg(peer));

    connect(link, &TcpLink::textReceived, this,
            [this, index](QString &text, const QByteArray &bytes) {
                lastText = text;
                lastBytes = bytes;
                qint32 raisedIndex = index;
                emit q->GetData(raisedIndex, text);
            });
    connect(link, &TcpLink::failed, this, [this, index](const QString &description) {
        SocketTrace::warn(Owner, QStringLiteral("connection #%1: %2").arg(index).arg(description));
        QPointer<CWS_TCP_S> guard(q);
        emit q->SocketError(QStringLiteral("connection #%1: %2").arg(index).arg(description));
        if (!guard || links.find(index) == links.end())
            return;
        qint32 raisedIndex = index;
        emit q->ServiceError(raisedIndex);
    });
    connect(link, &TcpLink::finished, this, [this, index](bool) { endLink(index, false); });

    qint32 raisedIndex = index;
    emit q->ServiceComplete(true, raisedIndex);
}

void TcpServerPrivate::resumeAccepting()
{
    retry.stop();
    if (!server || !server->isListening())
        return;
        // Connections that waited in the backlog are taken at once.
#ifdef Q_OS_UNIX
    if (acceptor) {
        acceptor->setEnabled(true);
        QTimer::singleShot(0, this, &TcpServerPrivate::acceptReady);
    }
#else
    server->resumeAccepting();
    QTimer::singleShot(0, this, &TcpServerPrivate::onNewConnection);
#endif
}

void TcpServerPrivate::deliver(qint32 index, TcpLink *link, const QByteArray &bytes)
{
    if (link->send(bytes) != TcpLink::SendResult::CapHit)
        return;
    trace(QStringLiteral("#%1 output cap hit").arg(index));
    SocketTrace::warn(Owner, QStringLiteral("connection #%1: unsent output passed %2 bytes")
                                 .arg(index)
                                 .arg(TcpLink::OutputCap));
    // Raised from the event loop, not from inside the SendData call.
    QTimer::singleShot(0, q, [this, index, guard = QPointer<TcpLink>(link)] {
        if (!guard || guard->isClosing())
            return;
        emit q->SocketError(QStringLiteral("connection #%1: unsent output passed %2 bytes")
                                .arg(index)
                                .arg(TcpLink::OutputCap));
        if (!guard || guard->isClosing())
            return;
        qint32 raisedIndex = index;
        emit q->ServiceError(raisedIndex);
    });
}

void TcpServerPrivate::queueBroadcast(const QByteArray &bytes)
{
    broadcast.append(bytes);
    if (broadcastQueued)
        return;
    broadcastQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            broadcastQueued = false;
            flushBroadcast();
        },
        Qt::QueuedConnection);
}

// Anything that changes who is connected, or sends to one connection, first hands out what
// was broadcast before it, so every connection sees the texts in the order they were sent and
// gets exactly those sent while it was open.
void TcpServerPrivate::flushBroadcast()
{
    if (broadcast.isEmpty())
        return;
    const QByteArray bytes = std::exchange(broadcast, QByteArray());
    // deliver() raises nothing synchronously, so the map cannot change under the loop.
    for (const auto &[i, link] : links)
        deliver(i, link, bytes);
}

void TcpServerPrivate::endLink(qint32 index, bool raiseLater)
{
    flushBroadcast();
    const auto it = links.find(index);
    if (it == links.end())
        return;
    TcpLink *link = it->second;
    links.erase(it);
    disconnect(link, nullptr, this, nullptr);
    link->close();
    watchClosing(link);
    trace(QStringLiteral("end #%1, %2 open").arg(index).arg(links.size()));

    if (starved)
        resumeAccepting();

    if (raiseLater) {
        QTimer::singleShot(0, q, [this, index] {
            qint32 raisedIndex = index;
            emit q->ServiceComplete(false, raisedIndex);
        });
    } else {
        qint32 raisedIndex = index;
        emit q->ServiceComplete(false, raisedIndex);
    }
}

void TcpServerPrivate::watchClosing(TcpLink *link)
{
    ++closingLinks;
    connect(link, &QObject::destroyed, this, [this] {
        if (--closingLinks == 0)
            emit q->outputDrained();
    });
}

void TcpServerPrivate::serve(QTcpServer *listener)
{
    server = listener;
#ifdef Q_OS_UNIX
    listener->pauseAccepting();
    acceptor = new QSocketNotifier(listener->socketDescriptor(), QSocketNotifier::Read, this);
    connect(acceptor, &QSocketNotifier::activated, this, &TcpServerPrivate::acceptReady);
#else
    connect(listener, &QTcpServer::newConnection, this, &TcpServerPrivate::onNewConnection);
    connect(listener, &QTcpServer::acceptError, this, &TcpServerPrivate::onAcceptError);
#endif
    trace(QStringLiteral("listen on port %1").arg(listener->serverPort()));
}

void TcpServerPrivate::raiseError(const QString &description)
{
    SocketTrace::warn(Owner, description);
    trace(QStringLiteral("error: ") + description);
    QTimer::singleShot(0, q, [this, description] { emit q->SocketError(description); });
}

CWS_TCP_S::CWS_TCP_S(QObject *parent) : QObject(parent), d(new TcpServerPrivate(this)) {}

CWS_TCP_S::~CWS_TCP_S()
{
    delete d;
}

bool CWS_TCP_S::InfoWSock() const
{
    return d->infoWSock;
}

void CWS_TCP_S::setInfoWSock(bool vblnOn)
{
    d->infoWSock = vblnOn;
}

QString CWS_TCP_S::IP() const
{
    return SocketTrace::firstLocalIPv4();
}

qint32 CWS_TCP_S::Port() const
{
    return d->server ? d->server->serverPort() : 0;
}

qint16 CWS_TCP_S::ConnectCount() const
{
    return qint16(qMin<size_t>(d->links.size(), std::numeric_limits<qint16>::max()));
}

void CWS_TCP_S::SendData(const QString &text, qint32 index)
{
    if (d->links.empty() || text.isEmpty())
        return;
    const QByteArray bytes =
        text.isSharedWith(d->lastText) && !d->lastBytes.isEmpty() ? d->lastBytes : text.toUtf8();
    if (index == 0) {
        d->queueBroadcast(bytes);
        return;
    }
    d->flushBroadcast();
    const auto it = d->links.find(index);
    if (it != d->links.end())
        d->deliver(index, it->second, bytes);
}

bool CWS_TCP_S::Listen(qint32 port)
{
    if (port < 0 || port > 65535) {
        d->stopListening();
        d->raiseError(QStringLiteral("cannot listen on port %1: outside 0..65535").arg(port));
        return false;
    }
    if (!listen(QHostAddress::Any, quint16(port))) {
        d->raiseError(QStringLiteral("cannot listen on port %1: %2").arg(port).arg(d->errorText));
        return false;
    }
    return true;
}

bool CWS_TCP_S::listen(const QHostAddress &address, quint16 port)
{
    d->stopListening();
    auto *server = new QTcpServer(d);
    server->setListenBacklogSize(ListenBacklog);
    if (!server->listen(address, port)) {
        d->errorText = server->errorString();
        delete server;
        return false;
    }
    d->serve(server);
    return true;
}

bool CWS_TCP_S::listenOnDescriptor(qintptr descriptor)
{
    d->stopListening();
    auto *server = new QTcpServer(d);
    if (!server->setSocketDescriptor(descriptor)) {
        d->errorText = server->errorString();
        delete server;
        return false;
    }
    d->serve(server);
    return true;
}

QString CWS_TCP_S::errorString() const
{
    return d->errorText;
}

QHostAddress CWS_TCP_S::listenAddress() const
{
    return d->server ? d->server->serverAddress() : QHostAddress();
}

QHostAddress CWS_TCP_S::peerAddress(qint32 index) const
{
    const auto it = d->links.find(index);
    return it == d->links.end() ? QHostAddress() : it->second->socket()->peerAddress();
}

quint16 CWS_TCP_S::peerPort(qint32 index) const
{
    const auto it = d->links.find(index);
    return it == d->links.end() ? 0 : it->second->socket()->peerPort();
}

bool CWS_TCP_S::hasClosingConnections() const
{
    return d->closingLinks > 0;
}

void CWS_TCP_S::Disconnect(qint32 index)
{
    if (index != 0) {
        d->endLink(index, true);
        return;
    }
    // endLink never raises synchronously here, but take the keys first all the same.
    std::vector<qint32> indexes;
    indexes.reserve(d->links.size());
    for (const auto &[i, link] : d->links)
        indexes.push_back(i);
    for (qint32 i : indexes)
        d->endLink(i, true);
}

void CWS_TCP_S::Close()
{
    d->stopListening();
    Disconnect(0);
}
