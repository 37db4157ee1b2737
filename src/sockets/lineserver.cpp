#include "lineserver.h"

#include "acceptor.h"
#include "hostaddresses.h"
#include "lineconnection.h"
#include "lineserver_p.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QTcpSocket>

#include <limits>

namespace {
// When the system refuses more descriptors, accepting pauses and is tried again this often
// (and whenever one of our connections ends).
constexpr int AcceptRetryMs = 250;
} // namespace

SocketSetup::~SocketSetup() = default;

QTcpSocket *SocketSetup::createSocket()
{
    return new QTcpSocket;
}

void SocketSetup::start(LineServer *server, QTcpSocket *socket, int listener)
{
    server->addConnection(socket, listener);
}

LineServer::Private::Private(LineServer *owner)
    : q(owner), trace("LineServer"), outputCap(LineConnection::DefaultOutputCap)
{
    retry.setSingleShot(true);
    retry.setInterval(AcceptRetryMs);
    connect(&retry, &QTimer::timeout, this, &Private::resumeAccepting);
}

LineServer::Private::~Private()
{
    // Closing connections included: none may call back into a server half gone.
    for (LineConnection *connection : findChildren<LineConnection *>(Qt::FindDirectChildrenOnly)) {
        connection->m_server = nullptr;
        disconnect(connection, nullptr, nullptr, nullptr);
        delete connection;
    }
}

void LineServer::Private::serve(Acceptor *acceptor, SocketSetup *setup)
{
    const int listener = int(listeners.size());
    listeners.push_back({acceptor, setup});
    connect(acceptor, &Acceptor::accepted, this,
            [this, listener](qintptr descriptor) { accepted(listener, descriptor); });
    connect(acceptor, &Acceptor::failed, this, &Private::reportAcceptFailure);
    trace.line(QStringLiteral("listen on port %1").arg(acceptor->serverPort()));
}

void LineServer::Private::accepted(int listener, qintptr descriptor)
{
    starved = false;
    SocketSetup *setup = listeners[std::size_t(listener)].setup;
    QTcpSocket *socket = setup ? setup->createSocket() : new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        trace.line(QStringLiteral("accepted descriptor refused: ") + socket->errorString());
        delete socket;
        Acceptor::discard(descriptor);
        return;
    }
    if (filter && !filter(socket->peerAddress(), socket->peerPort(), listener)) {
        if (trace.isOn())
            trace.line(
                QStringLiteral("refuse %1")
                    .arg(HostAddresses::endpointText(socket->peerAddress(), socket->peerPort())));
        socket->abort();
        delete socket;
        return;
    }
    if (setup)
        setup->start(q, socket, listener);
    else
        q->addConnection(socket, listener);
}

// Accepting is paused by the acceptor and tried again by the retry timer. Running out of
// descriptors is reported once until an accept succeeds again; it may last a while.
void LineServer::Private::reportAcceptFailure(const QString &description, bool outOfDescriptors)
{
    if (!outOfDescriptors) {
        raiseAcceptError(description);
    } else if (!starved) {
        starved = true;
        raiseAcceptError(description +
                         QStringLiteral(" (accepting paused until descriptors free up)"));
    } else {
        trace.line(description);
    }
    retry.start();
}

void LineServer::Private::raiseAcceptError(const QString &description)
{
    trace.failure(description);
    QTimer::singleShot(0, q, [this, description] { emit q->acceptError(description); });
}

void LineServer::Private::resumeAccepting()
{
    retry.stop();
    for (const Listener &listener : listeners)
        listener.acceptor->resume();
}

void LineServer::Private::endOfPass()
{
    if (!broadcastQueued)
        return;
    broadcastQueued = false;
    flushBroadcast();
}

void LineServer::Private::flushBroadcast()
{
    if (broadcast.isEmpty())
        return;
    const QByteArray bytes = std::exchange(broadcast, QByteArray());
    // write() raises nothing synchronously, so the map cannot change under the loop.
    for (const auto &[id, connection] : connections)
        connection->write(bytes);
}

void LineServer::Private::remove(LineConnection *connection)
{
    flushBroadcast();
    connections.erase(connection->m_id);
    connection->m_inSet = false;
    ++closing;
    if (trace.isOn())
        trace.line(
            QStringLiteral("end #%1, %2 open").arg(connection->m_id).arg(connections.size()));
    if (starved)
        resumeAccepting();
}

void LineServer::Private::lineReceived(LineConnection *connection, const LineReader::Piece &piece)
{
    emit q->lineReceived(connection, piece.text, piece.bytes);
}

bool LineServer::Private::connectionError(LineConnection *connection, const QString &description)
{
    const QPointer<LineConnection> guard(connection);
    emit q->connectionError(connection, description);
    return guard && !connection->m_closing;
}

bool LineServer::Private::connectionEnded(LineConnection *connection)
{
    remove(connection);
    const QPointer<LineConnection> guard(connection);
    emit q->connectionClosed(connection);
    if (!guard)
        return false;
    connection->close();
    return true;
}

void LineServer::Private::connectionClosing(LineConnection *connection)
{
    remove(connection);
    connection->m_announcing = true;
    QTimer::singleShot(0, connection, [this, connection] {
        connection->m_announcing = false;
        const QPointer<LineConnection> guard(connection);
        emit q->connectionClosed(connection);
        if (guard && connection->m_released)
            connection->deleteLater();
    });
}

void LineServer::Private::connectionGone(LineConnection *connection)
{
    if (connection->m_inSet) {
        connections.erase(connection->m_id);
        return;
    }
    if (--closing == 0)
        emit q->outputDrained();
}

LineServer::LineServer(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

LineServer::~LineServer() = default;

bool LineServer::listen(const QHostAddress &address, quint16 port, SocketSetup *setup)
{
    auto *acceptor = new Acceptor(d.get());
    if (!acceptor->listen(address, port)) {
        d->errorText = acceptor->errorString();
        delete acceptor;
        return false;
    }
    d->serve(acceptor, setup);
    return true;
}

bool LineServer::listenOnDescriptor(qintptr descriptor, SocketSetup *setup)
{
    auto *acceptor = new Acceptor(d.get());
    if (!acceptor->listenOnDescriptor(descriptor)) {
        d->errorText = acceptor->errorString();
        delete acceptor;
        return false;
    }
    d->serve(acceptor, setup);
    return true;
}

QString LineServer::errorString() const
{
    return d->errorText;
}

int LineServer::listenerCount() const
{
    return int(d->listeners.size());
}

QHostAddress LineServer::serverAddress(int listener) const
{
    return listener >= 0 && listener < listenerCount()
               ? d->listeners[std::size_t(listener)].acceptor->serverAddress()
               : QHostAddress();
}

quint16 LineServer::serverPort(int listener) const
{
    return listener >= 0 && listener < listenerCount()
               ? d->listeners[std::size_t(listener)].acceptor->serverPort()
               : 0;
}

void LineServer::stopListening()
{
    d->retry.stop();
    d->starved = false;
    for (const Private::Listener &listener : std::exchange(d->listeners, {})) {
        d->trace.line(
            QStringLiteral("stop listening on port %1").arg(listener.acceptor->serverPort()));
        listener.acceptor->stop();
    }
}

void LineServer::close()
{
    stopListening();
    for (LineConnection *connection : connections())
        connection->close();
}

void LineServer::setAcceptFilter(AcceptFilter filter)
{
    d->filter = std::move(filter);
}

void LineServer::addConnection(QTcpSocket *socket, int listener)
{
    // Texts broadcast before this connection existed are not for it.
    d->flushBroadcast();
    if (d->lastId == std::numeric_limits<qint32>::max()) {
        d->raiseAcceptError(QStringLiteral("connection refused: no connection index left"));
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto *connection = new LineConnection(socket, &d->trace, d.get());
    connection->m_server = this;
    connection->m_id = ++d->lastId;
    connection->m_listener = listener;
    connection->m_inSet = true;
    connection->setOutputCap(d->outputCap);
    d->connections.emplace(connection->m_id, connection);
    if (d->trace.isOn())
        d->trace.line(QStringLiteral("accept #%1 from %2")
                          .arg(connection->m_id)
                          .arg(HostAddresses::endpointText(connection->peerAddress(),
                                                           connection->peerPort())));
    emit newConnection(connection);
}

qsizetype LineServer::connectionCount() const
{
    return qsizetype(d->connections.size());
}

QList<LineConnection *> LineServer::connections() const
{
    QList<LineConnection *> list;
    list.reserve(connectionCount());
    for (const auto &[id, connection] : d->connections)
        list.append(connection);
    return list;
}

LineConnection *LineServer::connection(qint32 id) const
{
    const auto it = d->connections.find(id);
    return it == d->connections.end() ? nullptr : it->second;
}

void LineServer::broadcast(const QByteArray &bytes)
{
    if (d->connections.empty() || bytes.isEmpty())
        return;
    d->broadcast.append(bytes);
    if (d->broadcastQueued)
        return;
    d->broadcastQueued = true;
    // The pass is over when the event loop comes round to wait (or to look) for events again.
    // Hearing that from the dispatcher sends the texts before anything that was posted in the
    // meantime (a window's repaint, say) and costs no wake-up of the loop; a posted call would
    // wait behind those and make the loop go round once more.
    if (!d->passWatched) {
        if (auto *dispatcher = QAbstractEventDispatcher::instance(thread())) {
            connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, d.get(),
                    &Private::endOfPass);
            connect(dispatcher, &QAbstractEventDispatcher::awake, d.get(), &Private::endOfPass);
            d->passWatched = true;
        }
    }
    if (!d->passWatched)
        QMetaObject::invokeMethod(d.get(), &Private::endOfPass, Qt::QueuedConnection);
}

void LineServer::setOutputCap(qint64 bytes)
{
    d->outputCap = bytes;
    for (const auto &[id, connection] : d->connections)
        connection->setOutputCap(bytes);
}

qint64 LineServer::outputCap() const
{
    return d->outputCap;
}

void LineServer::setTracing(bool on)
{
    d->trace.setOn(on);
}

bool LineServer::isTracing() const
{
    return d->trace.isOn();
}

void LineServer::setTraceOwner(const char *owner)
{
    d->trace.setOwner(owner);
}

bool LineServer::hasClosingConnections() const
{
    return d->closing > 0;
}
