#include "cws_udp.h"

#include "hostaddresses.h"
#include "sockettrace.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QPointer>
#include <QTimer>
#include <QUdpSocket>

#include <deque>
#include <functional>

namespace {
constexpr char Owner[] = "CWS_UDP";
// The largest payload of one IPv4 datagram.
constexpr qsizetype MaxDatagram = 65507;
// Blocks sent while the host is still being looked up; older ones are dropped beyond this.
constexpr std::size_t MaxHeld = 8;

// Host lookups are connected by name: Qt keeps a lookup's functor when its context object goes
// away before the answer comes, and never frees it. This receiver hands the answer on.
class LookupReceiver final : public QObject
{
    Q_OBJECT

public:
    LookupReceiver(std::function<void(const QHostInfo &)> onAnswer, QObject *parent)
        : QObject(parent), m_onAnswer(std::move(onAnswer))
    {}

public slots:
    void lookedUp(const QHostInfo &info) { m_onAnswer(info); }

private:
    std::function<void(const QHostInfo &)> m_onAnswer;
};

} // namespace

class CWS_UDP::Private final : public QObject
{
public:
    explicit Private(CWS_UDP *owner)
        : q(owner), trace(Owner),
          lookups(new LookupReceiver([this](const QHostInfo &info) { onLookedUp(info); }, this))
    {}
    ~Private() override { closeSocket(); }

    bool bindOwnPort(qint32 port);
    void closeSocket();
    void aim(const QString &host, qint32 port);
    void onReadyRead();
    void write(const QByteArray &bytes);
    void raiseError(const QString &description);

    void onLookedUp(const QHostInfo &info);

    CWS_UDP *q;
    SocketTrace trace;
    LookupReceiver *lookups;
    QPointer<QUdpSocket> socket;
    bool open = false;
    qint32 ownPort = -1;   // as asked for
    bool ownBound = false; // bound to it, not to a port the system chose
    QString host;
    QHostAddress target;
    quint16 targetPort = 0;
    bool lookupPending = false;
    int lookupId = -1; // the lookup whose answer is awaited
    quint64 aimGeneration = 0;
    std::deque<QByteArray> held;
};

bool CWS_UDP::Private::bindOwnPort(qint32 port)
{
    closeSocket();
    socket = new QUdpSocket(this);
    connect(socket, &QUdpSocket::readyRead, this, &CWS_UDP::Private::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, [this] {
        if (socket)
            raiseError(socket->errorString());
    });

    QString why;
    if (port < 0 || port > 65535) {
        why = QStringLiteral("outside 0..65535");
    } else if (socket->bind(QHostAddress::Any, quint16(port), QAbstractSocket::DontShareAddress)) {
        // Without DontShareAddress a second bind of the same port would silently succeed
        // and take the datagrams away from the first.
        ownBound = true;
        trace.line(QStringLiteral("bound to port %1").arg(socket->localPort()));
        return true;
    } else {
        why = socket->errorString();
    }

    ownBound = false;
    // Sending still works, from a port the system chooses.
    socket->bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
    raiseError(QStringLiteral("cannot bind port %1: %2; sending from port %3")
                   .arg(port)
                   .arg(why)
                   .arg(socket->localPort()));
    return false;
}

void CWS_UDP::Private::closeSocket()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->close();
    socket->deleteLater();
    socket = nullptr;
}

void CWS_UDP::Private::aim(const QString &newHost, qint32 port)
{
    ++aimGeneration;
    // A lookup still running is left to finish: its answer no longer matches lookupId and is
    // dropped.
    lookupPending = false;
    if (!held.empty()) {
        trace.line(QStringLiteral("%1 held blocks dropped on re-aim").arg(held.size()));
        held.clear();
    }
    host = newHost;
    target.clear();
    targetPort = 0;

    if (port < 1 || port > 65535) {
        raiseError(QStringLiteral("cannot send to port %1: outside 1..65535").arg(port));
        return;
    }
    targetPort = quint16(port);
    QHostAddress literal;
    if (literal.setAddress(host)) {
        target = literal;
        trace.line(
            QStringLiteral("aimed at %1").arg(HostAddresses::endpointText(target, targetPort)));
        return;
    }
    lookupPending = true;
    lookupId = QHostInfo::lookupHost(host, lookups, SLOT(lookedUp(QHostInfo)));
}

void CWS_UDP::Private::onLookedUp(const QHostInfo &info)
{
    if (!lookupPending || info.lookupId() != lookupId || !open)
        return;
    lookupPending = false;
    const quint64 aimed = aimGeneration;
    const auto addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        raiseError(QStringLiteral("cannot look up %1: %2").arg(host, info.errorString()));
        held.clear();
        return;
    }
    // IPv4 first: a peer listening on IPv4 only still hears us.
    target = addresses.first();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            target = address;
            break;
        }
    }
    trace.line(
        QStringLiteral("%1 is %2").arg(host, HostAddresses::endpointText(target, targetPort)));
    while (!held.empty() && socket && aimed == aimGeneration) {
        const QByteArray bytes = std::move(held.front());
        held.pop_front();
        write(bytes);
    }
}

void CWS_UDP::Private::onReadyRead()
{
    // A handler may close the object, or even delete it, from inside GetData.
    const QPointer<Private> self(this);
    const QPointer<QUdpSocket> current = socket;
    while (self && current && current == socket && current->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = current->receiveDatagram();
        if (!datagram.isValid())
            break;
        trace.line(QStringLiteral("in %1 bytes from %2")
                       .arg(datagram.data().size())
                       .arg(HostAddresses::endpointText(datagram.senderAddress(),
                                                        quint16(datagram.senderPort()))));
        // Each datagram is a whole block, decoded on its own.
        QString text = QString::fromUtf8(datagram.data());
        emit q->GetData(text);
    }
}

void CWS_UDP::Private::write(const QByteArray &bytes)
{
    const qint64 written = socket->writeDatagram(bytes, target, targetPort);
    if (written < 0) {
        raiseError(
            QStringLiteral("cannot send to %1: %2")
                .arg(HostAddresses::endpointText(target, targetPort), socket->errorString()));
        return;
    }
    trace.line(QStringLiteral("out %1 bytes to %2")
                   .arg(written)
                   .arg(HostAddresses::endpointText(target, targetPort)));
}

void CWS_UDP::Private::raiseError(const QString &description)
{
    trace.failure(description);
    QTimer::singleShot(0, q, [this, description] { emit q->SocketError(description); });
}

CWS_UDP::CWS_UDP(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

CWS_UDP::~CWS_UDP() = default;

bool CWS_UDP::InfoWSock() const
{
    return d->trace.isOn();
}

void CWS_UDP::setInfoWSock(bool vblnOn)
{
    d->trace.setOn(vblnOn);
}

QString CWS_UDP::IP() const
{
    return HostAddresses::firstLocalIPv4();
}

void CWS_UDP::SendData(const QString &text)
{
    if (!d->open || !d->socket)
        return;
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > MaxDatagram) {
        d->raiseError(QStringLiteral("block of %1 bytes not sent: more than %2 fit in a datagram")
                          .arg(bytes.size())
                          .arg(MaxDatagram));
        return;
    }
    if (d->lookupPending) {
        if (d->held.size() == MaxHeld) {
            d->held.pop_front();
            d->trace.line(QStringLiteral("oldest held block dropped"));
        }
        d->held.push_back(bytes);
        return;
    }
    if (d->target.isNull()) {
        d->trace.line(QStringLiteral("block dropped: no address to send to"));
        return;
    }
    d->write(bytes);
}

bool CWS_UDP::Connect(const QString &host, qint32 ownPort, qint32 remotePort)
{
    bool bound = true;
    if (!d->open || !d->socket || ownPort != d->ownPort || !d->ownBound) {
        d->ownPort = ownPort;
        bound = d->bindOwnPort(ownPort);
    } else {
        d->trace.line(QStringLiteral("re-aim, keeping port %1").arg(ownPort));
    }
    d->open = true;
    d->aim(host, remotePort);
    return bound;
}

void CWS_UDP::Close()
{
    if (d->open)
        d->trace.line(QStringLiteral("close"));
    d->open = false;
    ++d->aimGeneration;
    d->lookupPending = false;
    d->held.clear();
    d->target.clear();
    d->closeSocket();
}

#include "cws_udp.moc"
