#include "cws_tcp_s.h"

#include "acceptor.h"
#include "hostaddresses.h"
#include "sockettrace.h"
#include "tcplink.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <limits>
#include <map>

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
} // namespace

class CWS_TCP_S::Private final : public QObject
{
public:
    explicit Private(CWS_TCP_S *owner) : q(owner)
    {
        retry.setSingleShot(true);
        retry.setInterval(AcceptRetryMs);
        connect(&retry, &QTimer::timeout, this, &Private::resumeAccepting);
    }
    ~Private() override
    {
        for (auto &[index, link] : links) {
            disconnect(link, nullptr, this, nullptr);
            delete link;
        }
    }

    void stopListening();
    void serve(QTcpServer *listener);
    void watchClosing(TcpLink *link);
    void reportAcceptFailure(const QString &description, bool outOfDescriptors);
    void adopt(QTcpSocket *socket);
    void resumeAccepting();
    void deliver(qint32 index, TcpLink *link, const QByteArray &bytes);
    void queueBroadcast(const QByteArray &bytes);
    void endOfPass();
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
    QPointer<Acceptor> acceptor;
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
    bool passWatched = false; // endOfPass() hears the event loop start its next pass
    // Why the last listen failed.
    QString errorText;
    // Connections closed but still sending what was queued to them.
    int closingLinks = 0;
};

void CWS_TCP_S::Private::stopListening()
{
    retry.stop();
    starved = false;
    if (acceptor) {
        acceptor->stop();
        acceptor = nullptr;
    }
    if (server) {
        trace(QStringLiteral("stop listening on port %1").arg(server->serverPort()));
        server->disconnect(this);
        server->close();
        server->deleteLater();
        server = nullptr;
    }
}

// Accepting is paused by the caller and tried again by the retry timer. Running out of
// descriptors is reported once until an accept succeeds again; it may last a while.
void CWS_TCP_S::Private::reportAcceptFailure(const QString &description, bool outOfDescriptors)
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

void CWS_TCP_S::Private::adopt(QTcpSocket *socket)
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
    auto *link = new TcpLink(socket, Owner, u'#' + QString::number(index), infoWSock, this);
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

void CWS_TCP_S::Private::resumeAccepting()
{
    retry.stop();
    if (server && server->isListening() && acceptor)
        acceptor->resume();
}

void CWS_TCP_S::Private::deliver(qint32 index, TcpLink *link, const QByteArray &bytes)
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

void CWS_TCP_S::Private::queueBroadcast(const QByteArray &bytes)
{
    broadcast.append(bytes);
    if (broadcastQueued)
        return;
    broadcastQueued = true;
    // The pass is over when the event loop comes round to wait (or to look) for events again.
    // Hearing that from the dispatcher sends the texts before anything that was posted in the
    // meantime (a window's repaint, say) and costs no wake-up of the loop; a posted call would
    // wait behind those and make the loop go round once more.
    if (!passWatched) {
        if (auto *dispatcher = QAbstractEventDispatcher::instance(thread())) {
            connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &Private::endOfPass);
            connect(dispatcher, &QAbstractEventDispatcher::awake, this, &Private::endOfPass);
            passWatched = true;
        }
    }
    if (!passWatched)
        QMetaObject::invokeMethod(this, &Private::endOfPass, Qt::QueuedConnection);
}

void CWS_TCP_S::Private::endOfPass()
{
    if (!broadcastQueued)
        return;
    broadcastQueued = false;
    flushBroadcast();
}

// Anything that changes who is connected, or sends to one connection, first hands out what
// was broadcast before it, so every connection sees the texts in the order they were sent and
// gets exactly those sent while it was open.
void CWS_TCP_S::Private::flushBroadcast()
{
    if (broadcast.isEmpty())
        return;
    const QByteArray bytes = std::exchange(broadcast, QByteArray());
    // deliver() raises nothing synchronously, so the map cannot change under the loop.
    for (const auto &[i, link] : links)
        deliver(i, link, bytes);
}

void CWS_TCP_S::Private::endLink(qint32 index, bool raiseLater)
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

void CWS_TCP_S::Private::watchClosing(TcpLink *link)
{
    ++closingLinks;
    connect(link, &QObject::destroyed, this, [this] {
        if (--closingLinks == 0)
            emit q->outputDrained();
    });
}

void CWS_TCP_S::Private::serve(QTcpServer *listener)
{
    server = listener;
    acceptor = new Acceptor(listener, this);
    connect(acceptor, &Acceptor::accepted, this, [this](QTcpSocket *socket) {
        starved = false;
        adopt(socket);
    });
    connect(acceptor, &Acceptor::failed, this, &Private::reportAcceptFailure);
    trace(QStringLiteral("listen on port %1").arg(listener->serverPort()));
}

void CWS_TCP_S::Private::raiseError(const QString &description)
{
    SocketTrace::warn(Owner, description);
    trace(QStringLiteral("error: ") + description);
    QTimer::singleShot(0, q, [this, description] { emit q->SocketError(description); });
}

CWS_TCP_S::CWS_TCP_S(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

CWS_TCP_S::~CWS_TCP_S() = default;

bool CWS_TCP_S::InfoWSock() const
{
    return d->infoWSock;
}

void CWS_TCP_S::setInfoWSock(bool vblnOn)
{
    d->infoWSock = vblnOn;
    // Closing connections included: they still trace how they end.
    for (TcpLink *link : d->findChildren<TcpLink *>(Qt::FindDirectChildrenOnly))
        link->setTracing(vblnOn);
}

QString CWS_TCP_S::IP() const
{
    return HostAddresses::firstLocalIPv4();
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
    auto *server = new QTcpServer(d.get());
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
    auto *server = new QTcpServer(d.get());
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
