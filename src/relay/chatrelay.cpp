#include "chatrelay.h"

#include "chatoutput.h"
#include "clientpolicy.h"
#include "cws_tcp_s.h"
#include "eventlog.h"
#include "socketactivation.h"
#include "sockettrace.h"

#include <unistd.h>

namespace {
// Longer than a closing connection lingers to send its queued output (5 s).
constexpr int DrainLimitMs = 6000;

// "address:port", or "*:port" for every interface.
QString listenText(const QHostAddress &address, quint16 port)
{
    return address == QHostAddress::Any ? QStringLiteral("*:%1").arg(port)
                                        : SocketTrace::endpointText(address, port);
}
} // namespace

ChatRelay::ChatRelay(const RelayOptions &options, const AccessList &access, QObject *parent)
    : QObject(parent), m_options(options), m_server(new CWS_TCP_S(this)),
      m_policy(new ClientPolicy(options, access, this))
{
    m_server->setInfoWSock(options.trace);
    connect(m_server, &CWS_TCP_S::GetData, this, &ChatRelay::onGetData);
    connect(m_server, &CWS_TCP_S::ServiceComplete, this, &ChatRelay::onServiceComplete);
    connect(m_server, &CWS_TCP_S::ServiceError, this, &ChatRelay::onServiceError);
    connect(m_server, &CWS_TCP_S::outputDrained, this, &ChatRelay::finishWhenDrained);
    connect(m_policy, &ClientPolicy::cut, this, [this](qint32 index, const QString &reason) {
        m_cutReasons.insert(index, reason);
        m_server->Disconnect(index);
    });

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
    EventLog::write(
        QStringLiteral("listening on %1%2")
            .arg(listenText(m_server->listenAddress(), quint16(m_server->Port())), how));
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
    m_policy->flush();
    EventLog::write(QStringLiteral("%1: closing %2 connections").arg(reason).arg(m_peers.size()));
    m_server->Close();
    m_drainLimit.start();
    finishWhenDrained();
}

void ChatRelay::reload()
{
    m_policy->reload();
}

void ChatRelay::finishWhenDrained()
{
    if (!m_stopping || m_server->hasClosingConnections() || (m_output && !m_output->isDrained()))
        return;
    m_drainLimit.stop();
    // Let the events of the connections just closed be logged first.
    QTimer::singleShot(0, this, &ChatRelay::finished);
}

void ChatRelay::onGetData(qint32 &Index, QString &rstrData)
{
    m_policy->received(Index);
    // As the window does: the relay goes first, the log after.
    m_server->SendData(rstrData, 0);
    if (!m_output)
        return;
    if (!m_options.timestamps) {
        m_output->write(rstrData.toUtf8());
        return;
    }
    QString line = EventLog::timestamp() + u' ' + m_peers.value(Index) + u' ' + rstrData;
    if (!line.endsWith(u'\n'))
        line += u'\n';
    m_output->write(line.toUtf8());
}

void ChatRelay::onServiceComplete(bool vblnFlag, qint32 &Index)
{
    if (vblnFlag) {
        const QString peer =
            SocketTrace::endpointText(m_server->peerAddress(Index), m_server->peerPort(Index));
        m_peers.insert(Index, peer);
        m_policy->opened(Index, m_server->peerAddress(Index));
        EventLog::write(QStringLiteral("#%1 %2 connected, %3 open")
                            .arg(Index)
                            .arg(peer)
                            .arg(m_server->ConnectCount()));
    } else {
        m_policy->closed(Index);
        const QString reason = m_cutReasons.take(Index);
        EventLog::write(
            QStringLiteral("#%1 %2 closed%3, %4 open")
                .arg(Index)
                .arg(m_peers.take(Index), reason.isEmpty() ? reason : QStringLiteral(": ") + reason)
                .arg(m_server->ConnectCount()));
    }
}

void ChatRelay::onServiceError(qint32 &Index)
{
    m_server->Disconnect(Index);
}
