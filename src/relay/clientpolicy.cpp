#include "clientpolicy.h"

#include "eventlog.h"
#include "hostaddresses.h"
#include "sockettrace.h"

#include <chrono>

namespace {
qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ClientPolicy::ClientPolicy(const RelayOptions &options, const AccessList &rules, QObject *parent)
    : QObject(parent), m_sources(options.access), m_rules(rules), m_maxClients(options.maxClients)
{
    if (options.maxLineRate > 0) {
        // Lines are spaced 1/N s apart on average; N of them may come at once.
        m_lineInterval = 1000000000 / options.maxLineRate;
        m_burstTolerance = m_lineInterval * (options.maxLineRate - 1);
    }
    if (options.idleTimeout > 0) {
        m_idleLimit = qint64(options.idleTimeout) * 1000000000;
        // A client is cut at most a quarter of the timeout (and 5 s) late.
        m_idleSweep.setInterval(qBound(100, options.idleTimeout * 250, 5000));
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
        if (m_maxClients == 0 || m_clients.size() < m_maxClients)
            return true;
        why = QStringLiteral("%1 clients connected (--max-clients)").arg(m_clients.size());
    }
    if (m_refusals.admit(address))
        EventLog::write(
            QStringLiteral("refused %1: %2").arg(SocketTrace::endpointText(address, port), why));
    return false;
}

void ClientPolicy::opened(qint32 index, const QHostAddress &address)
{
    const qint64 now = nowNs();
    m_clients.insert(index, {address, now, now, false});
}

void ClientPolicy::closed(qint32 index)
{
    m_clients.remove(index);
}

void ClientPolicy::received(qint32 index)
{
    if (m_lineInterval == 0 && m_idleLimit == 0)
        return;
    const auto it = m_clients.find(index);
    if (it == m_clients.end())
        return;
    const qint64 now = nowNs();
    it->heard = now;
    if (m_lineInterval == 0)
        return;
    // The generic cell rate algorithm: a line is due one interval after the one before, and
    // may come early by the burst tolerance. One that has spent it waits, unread, until the
    // next line would be on time.
    it->due = std::max(it->due, now) + m_lineInterval;
    const qint64 early = it->due - now - m_burstTolerance;
    if (early <= 0)
        return;
    it->paused = true;
    emit readingPaused(index, true);
    const auto wait = std::chrono::nanoseconds(early);
    QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(wait), Qt::PreciseTimer, this,
                       [this, index] { resume(index); });
}

void ClientPolicy::resume(qint32 index)
{
    const auto it = m_clients.find(index);
    if (it == m_clients.end() || !it->paused)
        return;
    it->paused = false;
    // Waiting to be read is no silence.
    it->heard = nowNs();
    emit readingPaused(index, false);
}

void ClientPolicy::sweepIdle()
{
    const qint64 now = nowNs();
    QList<qint32> idle;
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        if (!it->paused && now - it->heard >= m_idleLimit)
            idle << it.key();
    }
    for (qint32 index : idle) {
        m_clients.remove(index); // cut once
        emit cut(
            index,
            QStringLiteral("sent nothing for %1 s (--idle-timeout)").arg(m_idleLimit / 1000000000));
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
    QList<std::pair<qint32, QString>> refused;
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        QString why;
        if (!m_rules.admits(it->address, &why))
            refused.append({it.key(), why});
    }
    EventLog::write(QStringLiteral("SIGHUP: access rules read again, %1 connections now refused")
                        .arg(refused.size()));
    for (const auto &[index, why] : refused) {
        m_clients.remove(index);
        emit cut(index, QStringLiteral("refused by the rules read again (%1)").arg(why));
    }
}

void ClientPolicy::flush()
{
    m_refusals.flush();
}
