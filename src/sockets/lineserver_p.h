#pragma once

// LineServer's inner working, shared with LineConnection only.

#include "linereader.h"
#include "lineserver.h"
#include "sockettrace.h"

#include <QTimer>

#include <map>
#include <vector>

class Acceptor;

class LineServer::Private final : public QObject
{
public:
    explicit Private(LineServer *owner);
    ~Private() override;

    struct Listener
    {
        Acceptor *acceptor;
        SocketSetup *setup;
    };

    void serve(Acceptor *acceptor, SocketSetup *setup);
    void accepted(int listener, qintptr descriptor);
    void reportAcceptFailure(const QString &description, bool outOfDescriptors);
    void raiseAcceptError(const QString &description);
    void resumeAccepting();
    void endOfPass();
    void flushBroadcast();
    void remove(LineConnection *connection);

    // What the connections tell their server. The bool ones say whether the connection is
    // still there and open after the signal.
    void lineReceived(LineConnection *connection, const LineReader::Piece &piece);
    bool connectionError(LineConnection *connection, const QString &description);
    bool connectionEnded(LineConnection *connection);
    void connectionClosing(LineConnection *connection);
    void connectionGone(LineConnection *connection);

    LineServer *q;
    SocketTrace trace;
    std::vector<Listener> listeners;
    std::map<qint32, LineConnection *> connections;
    AcceptFilter filter;
    qint64 outputCap;
    qint32 lastId = 0;
    int closing = 0;      // connections out of the set, not yet deleted
    bool starved = false; // accepting paused for want of descriptors
    QTimer retry;
    // Texts broadcast during this pass of the event loop, in order.
    QByteArray broadcast;
    bool broadcastQueued = false;
    bool passWatched = false; // endOfPass() hears the event loop start its next pass
    QString errorText;
};
