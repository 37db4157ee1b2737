#include "tlssetup.h"

#include <QPointer>
#include <QSslSocket>
#include <QTimer>

TlsSetup::TlsSetup(QObject *parent) : QObject(parent) {}

TlsSetup::~TlsSetup() = default;

void TlsSetup::setSslConfiguration(const QSslConfiguration &configuration)
{
    m_configuration = configuration;
}

void TlsSetup::abortHandshakes()
{
    // At once, with their timeout timers: nothing of theirs is to be heard any more.
    for (QSslSocket *socket : findChildren<QSslSocket *>(Qt::FindDirectChildrenOnly)) {
        socket->disconnect(this);
        delete socket;
    }
    m_inProgress = 0;
}

QTcpSocket *TlsSetup::createSocket()
{
    return new QSslSocket;
}

void TlsSetup::start(LineServer *server, QTcpSocket *socket, int listener)
{
    auto *ssl = static_cast<QSslSocket *>(socket); // made by createSocket()
    ssl->setParent(this);
    // Kept here: a socket that failed no longer knows its peer.
    const QHostAddress peer = ssl->peerAddress();
    const quint16 peerPort = ssl->peerPort();
    auto *timeout = new QTimer(ssl);
    timeout->setSingleShot(true);
    ++m_inProgress;
    const auto fail = [this, ssl, timeout, peer, peerPort](const QString &reason) {
        --m_inProgress;
        ssl->disconnect(this);
        timeout->stop();
        ssl->abort();
        ssl->deleteLater();
        emit handshakeFailed(peer, peerPort, reason);
    };
    connect(timeout, &QTimer::timeout, this, [fail] {
        fail(QStringLiteral("no handshake within %1 s").arg(HandshakeTimeoutMs / 1000));
    });
    connect(ssl, &QSslSocket::errorOccurred, this,
            [ssl, fail](QAbstractSocket::SocketError) { fail(ssl->errorString()); });
    connect(ssl, &QSslSocket::encrypted, this,
            [this, ssl, timeout, listener, guard = QPointer<LineServer>(server)] {
                --m_inProgress;
                ssl->disconnect(this);
                delete timeout;
                if (!guard) {
                    ssl->abort();
                    ssl->deleteLater();
                    return;
                }
                ssl->setParent(nullptr);
                guard->addConnection(ssl, listener);
            });
    ssl->setSslConfiguration(m_configuration);
    timeout->start(HandshakeTimeoutMs);
    ssl->startServerEncryption();
}
