#pragma once

#include "relayoptions.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

class ChatOutput;
class ClientPolicy;
class EventThrottle;
class LineConnection;
class LineServer;
class TlsSetup;

// The chat server without a window: what FormTCPServerMain does with each text (relay it to
// every connection, then log it), with standard output as the log and standard error telling
// who came and went.
class ChatRelay final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChatRelay)

public:
    ChatRelay(const RelayOptions &options, const AccessList &access, QObject *parent = nullptr);
    ~ChatRelay() override;

    // Listens on the sockets handed over by the service manager, or else on the address and
    // ports of the options. False when it cannot; the reason has been written.
    bool start();
    // Stops accepting and closes every connection; finished() follows once the queued output
    // has gone out, or after a few seconds at most, or at once when asked a second time.
    void stop(const QString &reason);
    // SIGHUP: reads the access rule files again, and the TLS certificate and key files; when
    // either cannot be read, what was read before stays.
    void reload();

signals:
    void finished();

private:
    void onLineReceived(LineConnection *connection, const QString &text, const QByteArray &bytes);
    void onNewConnection(LineConnection *connection);
    void onConnectionClosed(LineConnection *connection);
    void finishWhenDrained();
    void cut(LineConnection *connection, const QString &reason);
    bool listenOn(const QHostAddress &address, quint16 port, bool tls, qintptr descriptor = -1);
    void reloadCertificate();

    RelayOptions m_options;
    LineServer *m_server;
    ChatOutput *m_output = nullptr;
    ClientPolicy *m_policy;
    QHash<qint32, QString> m_cutReasons; // why the relay closed a connection, for its line
    QTimer m_drainLimit;
    bool m_stopping = false;
    TlsSetup *m_tls = nullptr; // while a TLS port is open
    EventThrottle *m_handshakeFailures;
    QSet<qint32> m_unheard; // plain connections that sent nothing yet
};
