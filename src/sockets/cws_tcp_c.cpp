#include "cws_tcp_c.h"

#include "hostaddresses.h"
#include "lineconnection.h"
#include "sockettrace.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr char Owner[] = "CWS_TCP_C";
constexpr int ConnectTimeoutMs = 10000;
} // namespace

class CWS_TCP_C::Private final : public QObject
{
public:
    explicit Private(CWS_TCP_C *owner) : q(owner), trace(Owner)
    {
        timeout.setSingleShot(true);
        timeout.setInterval(ConnectTimeoutMs);
        connect(&timeout, &QTimer::timeout, this, [this] {
            failAttempt(QStringLiteral("cannot connect to %1: timed out").arg(target));
        });
    }
    ~Private() override { drop(); }

    void abandonAttempt();
    void drop();
    void onConnected();
    void failAttempt(const QString &description);

    CWS_TCP_C *q;
    SocketTrace trace;
    QPointer<QTcpSocket> attempt;  // connecting
    QPointer<LineConnection> link; // connected
    QTimer timeout;
    QString target;
    quint64 generation = 0; // bumped by Connect and Close; stale queued events are dropped
};

// Gives up a connection attempt still under way; its socket may be inside one of its own
// signals, so it is deleted later.
void CWS_TCP_C::Private::abandonAttempt()
{
    timeout.stop();
    if (attempt) {
        attempt->disconnect(this);
        attempt->abort();
        attempt->deleteLater();
        attempt = nullptr;
    }
}

void CWS_TCP_C::Private::drop()
{
    abandonAttempt();
    if (link) {
        link->disconnect(this);
        link->close();
        link = nullptr;
    }
}

void CWS_TCP_C::Private::onConnected()
{
    timeout.stop();
    QTcpSocket *socket = attempt;
    attempt = nullptr;
    socket->disconnect(this);

    link = new LineConnection(socket, &trace, this);
    trace.line(
        QStringLiteral("connected to %1 from port %2").arg(link->label()).arg(socket->localPort()));

    LineConnection *current = link;
    connect(current, &LineConnection::lineReceived, this, [this](const QString &text) {
        QString rstrData = text;
        emit q->GetData(rstrData);
    });
    connect(current, &LineConnection::errorOccurred, q, &CWS_TCP_C::SocketError);
    connect(current, &LineConnection::disconnected, this, [this, current] {
        if (link != current)
            return;
        link->disconnect(this);
        link->close();
        link = nullptr;
        emit q->ConnectClose();
    });

    emit q->Connect();
}

void CWS_TCP_C::Private::failAttempt(const QString &description)
{
    abandonAttempt();
    trace.failure(description);
    // Raised from the event loop, never from inside Connect().
    QTimer::singleShot(0, q, [this, description, raised = generation] {
        if (generation != raised)
            return;
        emit q->SocketError(description);
        if (generation != raised)
            return;
        emit q->ConnectError();
    });
}

CWS_TCP_C::CWS_TCP_C(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

CWS_TCP_C::~CWS_TCP_C() = default;

bool CWS_TCP_C::InfoWSock() const
{
    return d->trace.isOn();
}

void CWS_TCP_C::setInfoWSock(bool vblnOn)
{
    d->trace.setOn(vblnOn);
}

qint32 CWS_TCP_C::ID() const
{
    return d->link ? d->link->socket()->localPort() : 0;
}

QString CWS_TCP_C::IP() const
{
    return d->link ? HostAddresses::text(d->link->socket()->peerAddress()) : QString();
}

qint32 CWS_TCP_C::Port() const
{
    return d->link ? d->link->socket()->peerPort() : 0;
}

void CWS_TCP_C::SendData(const QString &text)
{
    if (d->link && !text.isEmpty())
        d->link->send(text.toUtf8());
}

bool CWS_TCP_C::Connect(const QString &host, qint32 port)
{
    d->drop();
    ++d->generation;
    d->target = host + u':' + QString::number(port);
    if (port < 1 || port > 65535) {
        d->failAttempt(
            QStringLiteral("cannot connect to %1: port outside 1..65535").arg(d->target));
        return false;
    }
    d->trace.line(QStringLiteral("connect to %1").arg(d->target));

    auto *socket = new QTcpSocket(d.get());
    d->attempt = socket;
    QObject::connect(socket, &QTcpSocket::connected, d.get(), &Private::onConnected);
    QObject::connect(socket, &QTcpSocket::errorOccurred, d.get(), [this, socket] {
        d->failAttempt(
            QStringLiteral("cannot connect to %1: %2").arg(d->target, socket->errorString()));
    });
    d->timeout.start();
    socket->connectToHost(host, quint16(port));
    return true;
}

void CWS_TCP_C::Close()
{
    if (d->attempt || d->link)
        d->trace.line(QStringLiteral("close"));
    d->drop();
    ++d->generation;
}
