#include "chatrelay.h"

#include "chatoutput.h"
#include "eventlog.h"
#include "hostaddresses.h"
#include "lineconnection.h"
#include "lineserver.h"
#include "socketactivation.h"

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

ChatRelay::ChatRelay(const RelayOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_server(new LineServer(this))
{
    m_server->setTraceOwner("kestrel-relay");
    m_server->setTracing(options.trace);
    connect(m_server, &LineServer::lineReceived, this, &ChatRelay::onLineReceived);
    connect(m_server, &LineServer::newConnection, this, &ChatRelay::onNewConnection);
    connect(m_server, &LineServer::connectionClosed, this, &ChatRelay::onConnectionClosed);
    // The failure has been written already; the connection goes.
    connect(m_server, &LineServer::connectionError, this,
            [](LineConnection *connection) { connection->close(); });
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
    const SocketActivation::Result handed = SocketActivation::takeListeningSocket();
    if (!handed.error.isEmpty()) {
        EventLog::write(handed.error);
        return false;
    }
    QString how;
    if (handed.descriptor >= 0) {
        if (!m_server->listenOnDescriptor(handed.descriptor)) {
            EventLog::write(QStringLiteral("cannot serve on the socket handed over: %1")
                                .arg(m_server->errorString()));
            return false;
        }
        how = QStringLiteral(" (socket handed over by the service manager)");
        if (handed.ignored > 0)
            how +=
                QStringLiteral("; %1 more sockets handed over are not served").arg(handed.ignored);
    } else if (!m_server->listen(m_options.address, m_options.port)) {
        EventLog::write(
            QStringLiteral("cannot listen on %1: %2")
                .arg(listenText(m_options.address, m_options.port), m_server->errorString()));
        return false;
    }
    EventLog::write(QStringLiteral("listening on %1%2")
                        .arg(listenText(m_server->serverAddress(), m_server->serverPort()), how));
    return true;
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
    EventLog::write(
        QStringLiteral("%1: closing %2 connections").arg(reason).arg(m_server->connectionCount()));
    m_server->close();
    m_drainLimit.start();
    finishWhenDrained();
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
    // As the window does: the relay goes first, the log after. The received bytes go on as
    // they came unless they were no valid UTF-8; the peers then get the text as read.
    const QByteArray line = bytes.isEmpty() ? text.toUtf8() : bytes;
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
    EventLog::write(
        QStringLiteral("#%1 %2 connected, %3 open")
            .arg(connection->id())
            .arg(HostAddresses::endpointText(connection->peerAddress(), connection->peerPort()))
            .arg(m_server->connectionCount()));
}

void ChatRelay::onConnectionClosed(LineConnection *connection)
{
    EventLog::write(
        QStringLiteral("#%1 %2 closed, %3 open")
            .arg(connection->id())
            .arg(HostAddresses::endpointText(connection->peerAddress(), connection->peerPort()))
            .arg(m_server->connectionCount()));
}
