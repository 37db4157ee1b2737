#include "lineclient.h"

#include "lineconnection.h"
#include "sockettrace.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

class LineClient::Private final : public QObject
{
public:
    explicit Private(LineClient *owner) : q(owner), trace(owner->m_trace)
    {
        timeout.setSingleShot(true);
        timeout.setInterval(ConnectTimeoutMs);
        connect(&timeout, &QTimer::timeout, this, [this] {
            failAttempt(QStringLiteral("cannot connect to %1: timed out").arg(target));
        });
    }
    ~Private() override
    {
        drop();
        // A connection still sending its last output goes now; it must not outlive the trace.
        qDeleteAll(findChildren<LineConnection *>(Qt::FindDirectChildrenOnly));
    }

    void drop();
    void onConnected();
    void failAttempt(const QString &description);

    LineClient *q;
    SocketTrace &trace;
    QPointer<QTcpSocket> attempt;        // connecting
    QPointer<LineConnection> connection; // connected
    QTimer timeout;
    QString target;
    State state = State::Unconnected;
    quint64 generation = 0; // bumped by connectToHost and close; stale queued events are dropped
};

// Gives up the attempt or connection; an attempt's socket may be inside one of its own
// signals, so it is deleted later.
void LineClient::Private::drop()
{
    timeout.stop();
    if (attempt) {
        attempt->disconnect(this);
        attempt->abort();
        attempt->deleteLater();
        attempt = nullptr;
    }
    if (connection) {
        connection->disconnect(this);
        connection->close();
        connection = nullptr;
    }
}

void LineClient::Private::onConnected()
{
    timeout.stop();
    QTcpSocket *socket = attempt;
    attempt = nullptr;
    socket->disconnect(this);

    LineConnection *current = new LineConnection(socket, &trace, this);
    connection = current;
    state = State::Connected;
    trace.line(QStringLiteral("connected to %1 from port %2")
                   .arg(current->label())
                   .arg(socket->localPort()));
    connect(current, &LineConnection::lineReceived, q, &LineClient::lineReceived);
    connect(current, &LineConnection::errorOccurred, q, &LineClient::errorOccurred);
    connect(current, &LineConnection::disconnected, this, [this, current] {
        if (connection != current)
            return;
        connection->disconnect(this);
        connection->close();
        connection = nullptr;
        state = State::Unconnected;
        emit q->disconnected();
    });
    emit q->connected();
}

void LineClient::Private::failAttempt(const QString &description)
{
    drop();
    trace.failure(description);
    // Raised from the event loop, never from inside connectToHost().
    QTimer::singleShot(0, q, [this, description, raised = generation] {
        if (generation != raised)
            return;
        emit q->errorOccurred(description);
        if (generation == raised)
            state = State::Unconnected;
    });
}

LineClient::LineClient(QObject *parent)
    : QObject(parent), Traceable("LineClient"), d(std::make_unique<Private>(this))
{}

LineClient::~LineClient() = default;

void LineClient::connectToHost(const QString &host, quint16 port)
{
    d->drop();
    ++d->generation;
    d->target = host + u':' + QString::number(port);
    d->state = State::Connecting;
    if (port == 0) {
        d->failAttempt(
            QStringLiteral("cannot connect to %1: port outside 1..65535").arg(d->target));
        return;
    }
    d->trace.line(QStringLiteral("connect to %1").arg(d->target));
    auto *socket = new QTcpSocket(d.get());
    d->attempt = socket;
    connect(socket, &QTcpSocket::connected, d.get(), &Private::onConnected);
    connect(socket, &QTcpSocket::errorOccurred, d.get(), [this, socket] {
        d->failAttempt(
            QStringLiteral("cannot connect to %1: %2").arg(d->target, socket->errorString()));
    });
    d->timeout.start();
    socket->connectToHost(host, port);
}

void LineClient::close()
{
    if (d->attempt || d->connection)
        d->trace.line(QStringLiteral("close"));
    d->drop();
    d->state = State::Unconnected;
    ++d->generation;
}

LineClient::State LineClient::state() const
{
    return d->state;
}

bool LineClient::send(const QByteArray &bytes)
{
    return d->connection && d->connection->send(bytes);
}

quint16 LineClient::localPort() const
{
    return d->connection ? d->connection->socket()->localPort() : 0;
}

QHostAddress LineClient::peerAddress() const
{
    return d->connection ? d->connection->peerAddress() : QHostAddress();
}

quint16 LineClient::peerPort() const
{
    return d->connection ? d->connection->peerPort() : 0;
}
