#pragma once

#include "accesslist.h"
#include "eventthrottle.h"
#include "relayoptions.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

// Who may connect and how much one client may take: the access rules (read again on reload),
// --max-clients, --max-line-rate and --idle-timeout. It writes the event lines of refused
// peers (a repeating address once a minute, with a count) and tells the relay which client to
// read more slowly or to cut, and why.
class ClientPolicy final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientPolicy)

public:
    ClientPolicy(const RelayOptions &options, const AccessList &rules, QObject *parent = nullptr);
    ~ClientPolicy() override;

    // Whether a new peer may come in; a refusal has been written (or counted) when not.
    bool admit(const QHostAddress &address, quint16 port);
    void opened(qint32 index, const QHostAddress &address);
    void closed(qint32 index);
    // A line (or a piece without line end) came from client index.
    void received(qint32 index);
    // Reads the allow and deny files again and cuts the clients the new rules refuse; a file
    // that cannot be read or parsed leaves the rules as they were.
    void reload();
    // Writes the refusals still counted, before the relay stops.
    void flush();

signals:
    // Stop or go on reading client index (its line rate is spent, or has come back).
    void readingPaused(qint32 index, bool paused);
    // Client index is to be disconnected; reason is for its event line.
    void cut(qint32 index, const QString &reason);

private:
    struct Client
    {
        QHostAddress address;
        qint64 due = 0;   // theoretical arrival time of its next line (ns), for the line rate
        qint64 heard = 0; // when it last sent something (ns)
        bool paused = false;
    };
    void resume(qint32 index);
    void sweepIdle();

    AccessSources m_sources;
    AccessList m_rules;
    int m_maxClients;
    qint64 m_lineInterval = 0; // ns between lines at the most a client may send
    qint64 m_burstTolerance = 0;
    qint64 m_idleLimit = 0; // ns
    QHash<qint32, Client> m_clients;
    EventThrottle m_refusals;
    QTimer m_idleSweep;
};
