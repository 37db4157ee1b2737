#pragma once

#include "accesslist.h"
#include "eventthrottle.h"
#include "relayoptions.h"

#include <QHash>
#include <QObject>
#include <QTimer>

class LineConnection;
class LineServer;
class TlsSetup;

// Who may connect and how much one client may take, on a LineServer: the access rules (read
// again on reload) and --max-clients as its accept filter (so before any TLS handshake),
// --max-queue as its output cap, --max-line-rate by pausing the reading of a client, and
// --idle-timeout. It writes the event lines of refused peers (an address that keeps trying
// once a minute, with a count) and says which client to cut, and why.
class ClientPolicy final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientPolicy)

public:
    ClientPolicy(const RelayOptions &options, const AccessList &rules, LineServer *server,
                 QObject *parent = nullptr);
    ~ClientPolicy() override;

    // Peers in their TLS handshake hold a slot too: counted against --max-clients from now on.
    void countHandshakes(const TlsSetup *tls) { m_handshakes = tls; }
    // connection joined after its TLS handshake, which may have begun under rules read before
    // a reload: cut when the rules of now refuse it.
    void joined(LineConnection *connection);
    // A line (or a piece without line end) came from connection: counted against its rate.
    void received(LineConnection *connection);
    void closed(LineConnection *connection);
    // Reads the allow and deny files again and cuts the clients the new rules refuse; a file
    // that cannot be read or parsed leaves the rules as they were.
    void reload();
    // Writes the refusals still counted, before the relay stops.
    void flush();

signals:
    // connection is to be closed; reason is for its event line.
    void cut(LineConnection *connection, const QString &reason);

private:
    // Line rate bookkeeping of one client.
    struct Pace
    {
        qint64 due = 0;     // when its next line is due (ns), early by the burst at most
        qint64 resumed = 0; // when reading last went on after a pause (ns)
    };
    bool admit(const QHostAddress &address, quint16 port);
    void sweepIdle();

    LineServer *m_server;
    const TlsSetup *m_handshakes = nullptr;
    AccessSources m_sources;
    AccessList m_rules;
    int m_maxClients;
    qint64 m_lineInterval = 0; // ns between lines at the most a client may send
    qint64 m_burstTolerance = 0;
    qint64 m_idleLimitMs = 0;
    QHash<qint32, Pace> m_paces;
    EventThrottle m_refusals;
    QTimer m_idleSweep;
};
