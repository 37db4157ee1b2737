#include "chatrelay.h"

#include "chatoutput.h"
#include "clientpolicy.h"
#include "eventlog.h"
#include "eventthrottle.h"
#include "hostaddresses.h"
#include "lineconnection.h"
#include "lineserver.h"
#include "socketactivation.h"
#include "tlscredentials.h"
#include "tlssetup.h"

#include <QSslCipher>
#include <QSslSocket>

#include <unistd.h>

namespace {
// Longer than a closing connection lingers to send its queued output (5 s).
constexpr int DrainLimitMs = 6000;

// "address:port", or "*:port" for every interface.
QString listenText(const QHostAddress &address, quint16 port)
{
    return address == QHostAddress::Any ? QStringLiteral("*:%1").arg(port)
                                        : HostAddresses::endpointText(address, port);
}
} // namespace

ChatRelay::ChatRelay(const RelayOptions &options, const AccessList &access, QObject *parent)
    : QObject(parent), m_options(options), m_server(new LineServer(this)),
      m_policy(new ClientPolicy(options, access, m_server, this)),
      m_handshakeFailures(new EventThrottle(std::chrono::minutes(1), this))
{
    connect(m_handshakeFailures, &EventThrottle::suppressed, this,
            [](const QHostAddress &address, qint64 count) {
                EventLog::write(QStringLiteral("%1 more broken TLS handshakes from %2")
                                    .arg(count)
                                    .arg(address.isNull() ? QStringLiteral("other addresses")
                                                          : HostAddresses::text(address)));
            });
    m_server->setTraceOwner("kestrel-relay");
    m_server->setTracing(options.trace);
    connect(m_server, &LineServer::lineReceived, this, &ChatRelay::onLineReceived);
    connect(m_server, &LineServer::newConnection, this, &ChatRelay::onNewConnection);
    connect(m_server, &LineServer::connectionClosed, this, &ChatRelay::onConnectionClosed);
    // The failure has been written already; the connection goes, naming the limit if it hit
    // one (LineConnection's words for it).
    connect(m_server, &LineServer::connectionError, this,
            [this](LineConnection *connection, const QString &description) {
                cut(connection, description.startsWith(u"unsent output passed")
                                    ? QStringLiteral("output queue passed %1 bytes (--max-queue)")
                                          .arg(connection->outputCap())
                                    : QString());
            });
    connect(m_policy, &ClientPolicy::cut, this, &ChatRelay::cut);
    connect(m_server, &LineServer::outputDrained, this, &ChatRelay::finishWhenDrained);

    if (!options.quiet) {
        m_output = new ChatOutput(STDOUT_FILENO, this);
        connect(m_output, &ChatOutput::linesDropped, this, [](qint64 count) {
            EventLog::write(QStringLiteral("standard output could not keep up: %1 chat lines "
                                           "not written")
                                .arg(count));
        });
        connect(m_output, &ChatOutput::failed, this, [](const QString &description) {
            EventLog::write(QStringLiteral("standard output failed (%1): chat no longer written")
                                .arg(description));
        });
        connect(m_output, &ChatOutput::drained, this, &ChatRelay::finishWhenDrained);
    }

    m_drainLimit.setSingleShot(true);
    m_drainLimit.setInterval(DrainLimitMs);
    connect(&m_drainLimit, &QTimer::timeout, this, [this] {
        EventLog::write(QStringLiteral("gave up waiting for queued output"));
        emit finished();
    });
}

ChatRelay::~ChatRelay()
{
    // Connections closing on the way out raise events that are no longer of interest.
    m_server->disconnect(this);
}

bool ChatRelay::start()
{
    const SocketActivation::Result handed = SocketActivation::takeListeningSockets();
    if (!handed.error.isEmpty()) {
        EventLog::write(handed.error);
        return false;
    }
    const bool tls = m_options.tlsOnly ||
                     (handed.sockets.isEmpty()
                          ? m_options.tlsPort.has_value()
                          : std::any_of(handed.sockets.begin(), handed.sockets.end(),
                                        [](const auto &socket) { return socket.name == u"tls"; }));
    // Files given are read before anything listens: a wrong path opens no port, not even
    // for a moment. A certificate made here names the addresses listened on, known after.
    QSslConfiguration configuration;
    QString message;
    if (tls && !m_options.tlsCert.isEmpty() &&
        !TlsCredentials::setUp(m_options.tlsCert, m_options.tlsKey, {}, configuration, message)) {
        EventLog::write(message);
        return false;
    }
    for (const SocketActivation::Socket &socket : handed.sockets) {
        if (!listenOn({}, 0, m_options.tlsOnly || socket.name == u"tls", socket.descriptor))
            return false;
    }
    if (handed.sockets.isEmpty() &&
        (!listenOn(m_options.address, m_options.port, m_options.tlsOnly) ||
         (m_options.tlsPort && !listenOn(m_options.address, *m_options.tlsPort, true))))
        return false;
    if (!tls)
        return true;
    QList<QHostAddress> listened;
    for (int i = 0; i < m_server->listenerCount(); ++i)
        listened << m_server->serverAddress(i);
    if (m_options.tlsCert.isEmpty() &&
        !TlsCredentials::setUp({}, {}, listened, configuration, message)) {
        EventLog::write(message);
        return false;
    }
    EventLog::write(message);
    m_tls->setSslConfiguration(configuration);
    return true;
}

bool ChatRelay::listenOn(const QHostAddress &address, quint16 port, bool tls, qintptr descriptor)
{
    if (tls && !m_tls) {
        m_tls = new TlsSetup(this);
        m_policy->countHandshakes(m_tls);
        connect(m_tls, &TlsSetup::handshakeFailed, this,
                [this](const QHostAddress &peer, quint16 peerPort, const QString &reason) {
                    if (m_handshakeFailures->admit(peer))
                        EventLog::write(
                            QStringLiteral("%1 TLS handshake failed: %2")
                                .arg(HostAddresses::endpointText(peer, peerPort), reason));
                });
    }
    SocketSetup *setup = tls ? m_tls : nullptr;
    if (descriptor >= 0 ? !m_server->listenOnDescriptor(descriptor, setup)
                        : !m_server->listen(address, port, setup)) {
        EventLog::write(QStringLiteral("cannot %1: %2")
                            .arg(descriptor >= 0
                                     ? QStringLiteral("serve on the socket handed over")
                                     : QStringLiteral("listen on ") + listenText(address, port),
                                 m_server->errorString()));
        return false;
    }
    const int listener = m_server->listenerCount() - 1;
    EventLog::write(
        QStringLiteral("listening on %1%2%3")
            .arg(listenText(m_server->serverAddress(listener), m_server->serverPort(listener)),
                 tls ? QStringLiteral(" for TLS") : QString(),
                 descriptor >= 0 ? QStringLiteral(" (socket handed over by the service manager)")
                                 : QString()));
    return true;
}

void ChatRelay::reloadCertificate()
{
    if (!m_tls || m_options.tlsCert.isEmpty())
        return; // a certificate made at start stays for the run
    QSslConfiguration configuration;
    QString message;
    if (!TlsCredentials::reload(m_options.tlsCert, m_options.tlsKey, configuration, message)) {
        // Better the pair that worked until now than TLS down until someone notices.
        EventLog::write(message + QStringLiteral("; still serving the one read before"));
        return;
    }
    EventLog::write(message);
    m_tls->setSslConfiguration(configuration);
}

void ChatRelay::stop(const QString &reason)
{
    if (m_stopping) {
        // Asked twice (Ctrl-C pressed again): the user does not want to wait.
        EventLog::write(QStringLiteral("%1 again: not waiting for queued output").arg(reason));
        emit finished();
        return;
    }
    m_stopping = true;
    m_policy->flush();
    m_handshakeFailures->flush();
    EventLog::write(
        QStringLiteral("%1: closing %2 connections").arg(reason).arg(m_server->connectionCount()));
    m_server->close();
    if (m_tls)
        m_tls->abortHandshakes();
    m_drainLimit.start();
    finishWhenDrained();
}

void ChatRelay::reload()
{
    m_policy->reload();
    reloadCertificate();
}

void ChatRelay::cut(LineConnection *connection, const QString &reason)
{
    if (connection->isClosing())
        return; // cut already, and its line may have been written
    if (!reason.isEmpty())
        m_cutReasons.insert(connection->id(), reason);
    connection->close();
}

void ChatRelay::finishWhenDrained()
{
    if (!m_stopping || m_server->hasClosingConnections() || (m_output && !m_output->isDrained()))
        return;
    m_drainLimit.stop();
    // Let the events of the connections just closed be logged first.
    QTimer::singleShot(0, this, &ChatRelay::finished);
}

void ChatRelay::onLineReceived(LineConnection *connection, const QString &text,
                               const QByteArray &bytes)
{
    // The first bytes of a TLS client that came to a plain port: no chat, and no more of it.
    if (m_unheard.remove(connection->id()) && text.startsWith(u"\x16\x03")) {
        if (m_handshakeFailures->admit(connection->peerAddress()))
            EventLog::write(QStringLiteral("#%1 %2 TLS handshake at a plain port: closed")
                                .arg(connection->id())
                                .arg(HostAddresses::endpointText(connection->peerAddress(),
                                                                 connection->peerPort())));
        connection->close();
        return;
    }
    // As the window does: the relay goes first, the log after. The received bytes go on as
    // they came unless they were no valid UTF-8; the peers then get the text as read.
    const QByteArray line = bytes.isEmpty() ? text.toUtf8() : bytes;
    m_policy->received(connection);
    m_server->broadcast(line);
    if (!m_output)
        return;
    if (!m_options.timestamps) {
        m_output->write(line);
        return;
    }
    QString stamped =
        EventLog::timestamp() + u' ' +
        HostAddresses::endpointText(connection->peerAddress(), connection->peerPort()) + u' ' +
        text;
    if (!stamped.endsWith(u'\n'))
        stamped += u'\n';
    m_output->write(stamped.toUtf8());
}

void ChatRelay::onNewConnection(LineConnection *connection)
{
    QString how;
    const auto *tls = qobject_cast<const QSslSocket *>(connection->socket());
    if (tls) {
        const QSslCipher cipher = tls->sessionCipher();
        how = m_options.trace
                  ? QStringLiteral(" (%1 %2)").arg(cipher.protocolString(), cipher.name())
                  : QStringLiteral(" (TLS)");
    } else {
        m_unheard.insert(connection->id());
    }
    EventLog::write(
        QStringLiteral("#%1 %2%3 connected, %4 open")
            .arg(connection->id())
            .arg(HostAddresses::endpointText(connection->peerAddress(), connection->peerPort()),
                 how)
            .arg(m_server->connectionCount()));
    if (tls)
        m_policy->joined(connection);
}

void ChatRelay::onConnectionClosed(LineConnection *connection)
{
    m_policy->closed(connection);
    m_unheard.remove(connection->id());
    const QString reason = m_cutReasons.take(connection->id());
    EventLog::write(
        QStringLiteral("#%1 %2%3 closed%4, %5 open")
            .arg(connection->id())
            .arg(HostAddresses::endpointText(connection->peerAddress(), connection->peerPort()),
                 !qobject_cast<const QSslSocket *>(connection->socket()) ? QString()
                                                                         : QStringLiteral(" (TLS)"),
                 reason.isEmpty() ? reason : QStringLiteral(": ") + reason)
            .arg(m_server->connectionCount()));
}
