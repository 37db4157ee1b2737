#include "clientpolicy.h"

#include "eventlog.h"
#include "hostaddresses.h"
#include "lineconnection.h"
#include "lineserver.h"
#include "tlssetup.h"

#include <chrono>

namespace {
constexpr qint64 NsPerSecond = 1000000000;
// How often silent clients are looked for: a quarter of the idle timeout, within these bounds.
constexpr qint64 MinIdleSweepMs = 100;
constexpr qint64 MaxIdleSweepMs = 5000;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

ClientPolicy::ClientPolicy(const RelayOptions &options, const AccessList &rules, LineServer *server,
                           QObject *parent)
    : QObject(parent), m_server(server), m_sources(options.access), m_rules(rules),
      m_maxClients(options.maxClients)
{
    m_server->setAcceptFilter(
        [this](const QHostAddress &peer, quint16 port, int) { return admit(peer, port); });
    m_server->setOutputCap(options.maxQueue);
    if (options.maxLineRate > 0) {
        // Lines are spaced 1/N s apart on average; N of them may come at once.
        m_lineInterval = NsPerSecond / options.maxLineRate;
        m_burstTolerance = m_lineInterval * (options.maxLineRate - 1);
    }
    if (options.idleTimeout > 0) {
        m_idleLimitMs = qint64(options.idleTimeout) * 1000;
        m_idleSweep.setInterval(
            int(qBound(MinIdleSweepMs, qint64(options.idleTimeout) * 1000 / 4, MaxIdleSweepMs)));
        connect(&m_idleSweep, &QTimer::timeout, this, &ClientPolicy::sweepIdle);
        m_idleSweep.start();
    }
    connect(&m_refusals, &EventThrottle::suppressed, this,
            [](const QHostAddress &address, qint64 count) {
                EventLog::write(QStringLiteral("refused %1 more connections from %2 in the last "
                                               "minute")
                                    .arg(count)
                                    .arg(address.isNull() ? QStringLiteral("other addresses")
                                                          : HostAddresses::text(address)));
            });
}

ClientPolicy::~ClientPolicy() = default;

bool ClientPolicy::admit(const QHostAddress &address, quint16 port)
{
    QString why;
    if (m_rules.admits(address, &why)) {
        const qsizetype open =
            m_server->connectionCount() + (m_handshakes ? m_handshakes->handshakesInProgress() : 0);
        if (m_maxClients == 0 || open < m_maxClients)
            return true;
        why = QStringLiteral("%1 clients connected (--max-clients)").arg(open);
    }
    if (m_refusals.admit(address))
        EventLog::write(
            QStringLiteral("refused %1: %2").arg(HostAddresses::endpointText(address, port), why));
    return false;
}

void ClientPolicy::joined(LineConnection *connection)
{
    QString why;
    if (!m_rules.admits(connection->peerAddress(), &why))
        emit cut(connection, QStringLiteral("refused by the rules read again (%1)").arg(why));
}

void ClientPolicy::received(LineConnection *connection)
{
    if (m_lineInterval == 0)
        return;
    const qint64 now = nowNs();
    Pace &pace = m_paces[connection->id()];
    // The generic cell rate algorithm: a line is due one interval after the one before, and
    // may come early by the burst tolerance. A client that has spent it is left unread until
    // its next line would be on time, so TCP holds up the sender.
    pace.due = std::max(pace.due, now) + m_lineInterval;
    const qint64 early = pace.due - now - m_burstTolerance;
    if (early <= 0)
        return;
    connection->pauseReading();
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::nanoseconds(early));
    QTimer::singleShot(wait, Qt::PreciseTimer, connection, [this, connection] {
        if (connection->isClosing())
            return;
        m_paces[connection->id()].resumed = nowNs();
        connection->resumeReading();
    });
}

void ClientPolicy::closed(LineConnection *connection)
{
    m_paces.remove(connection->id());
}

void ClientPolicy::sweepIdle()
{
    const qint64 now = nowNs();
    for (LineConnection *connection : m_server->connections()) {
        if (connection->isReadingPaused() || connection->msecsSinceLastRead() < m_idleLimitMs)
            continue;
        // What waited unread while the client was held up counts as heard when reading goes on.
        const auto pace = m_paces.constFind(connection->id());
        if (pace != m_paces.cend() && now - pace->resumed < m_idleLimitMs * (NsPerSecond / 1000))
            continue;
        emit cut(
            connection,
            QStringLiteral("sent nothing for %1 s (--idle-timeout)").arg(m_idleLimitMs / 1000));
    }
}

void ClientPolicy::reload()
{
    AccessList rules;
    QString error;
    if (!AccessList::build(m_sources, rules, error)) {
        EventLog::write(QStringLiteral("SIGHUP: access rules kept as they were: %1").arg(error));
        return;
    }
    m_rules = std::move(rules);
    QList<std::pair<LineConnection *, QString>> refused;
    for (LineConnection *connection : m_server->connections()) {
        QString why;
        if (!m_rules.admits(connection->peerAddress(), &why))
            refused.append({connection, why});
    }
    EventLog::write(QStringLiteral("SIGHUP: access rules read again, %1 connections now refused")
                        .arg(refused.size()));
    for (const auto &[connection, why] : refused)
        emit cut(connection, QStringLiteral("refused by the rules read again (%1)").arg(why));
}

void ClientPolicy::flush()
{
    m_refusals.flush();
}
