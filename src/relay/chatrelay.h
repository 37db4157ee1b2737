#pragma once

#include "relayoptions.h"

#include <QObject>
#include <QSet>
#include <QTimer>

class ChatOutput;
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
    explicit ChatRelay(const RelayOptions &options, QObject *parent = nullptr);
    ~ChatRelay() override;

    // Listens on the sockets handed over by the service manager, or else on the address and
    // ports of the options. False when it cannot; the reason has been written.
    bool start();
    // Stops accepting and closes every connection; finished() follows once the queued output
    // has gone out, or after a few seconds at most, or at once when asked a second time.
    void stop(const QString &reason);
    // Reads the TLS certificate and key files again, for new connections; when that fails
    // the pair served stays.
    void reloadCertificate();

signals:
    void finished();

private:
    void onLineReceived(LineConnection *connection, const QString &text, const QByteArray &bytes);
    void onNewConnection(LineConnection *connection);
    void onConnectionClosed(LineConnection *connection);
    void finishWhenDrained();
    bool listenOn(const QHostAddress &address, quint16 port, bool tls, qintptr descriptor = -1);

    RelayOptions m_options;
    LineServer *m_server;
    ChatOutput *m_output = nullptr;
    QTimer m_drainLimit;
    bool m_stopping = false;
    TlsSetup *m_tls = nullptr; // while a TLS port is open
    EventThrottle *m_handshakeFailures;
    QSet<qint32> m_unheard; // plain connections that sent nothing yet
};
