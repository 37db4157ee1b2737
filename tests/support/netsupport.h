#pragma once

// Test support without windows: the fixed ports, peers, trace and object counts.

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// Finds the best way to the fixed ports 555, 777 and 778 (user and network namespaces, a network
// namespace alone, the machine's loopback where ports below 1024 may be bound; none of them with
// KESTREL_TEST_NO_NAMESPACES=1) and says which on standard error. Before any thread starts:
// Q_CONSTRUCTOR_FUNCTION(chooseFixedPortIsolation) in the programs with fixed-port tests.
void chooseFixedPortIsolation();
// Whether the test may use the ports now; else it is skipped (no way) or failed (a port held).
bool fixedPortsReady(std::initializer_list<quint16> ports, const char *file, int line);
#define KESTREL_FIXED_PORTS(...)                                                                   \
    if (!fixedPortsReady({__VA_ARGS__}, __FILE__, __LINE__))                                       \
    return

// A Qt client on 127.0.0.1 that keeps every byte it receives.
class Peer final : public QTcpSocket
{
public:
    explicit Peer(quint16 port);
    QByteArray received;
};

// A non-blocking POSIX connection to 127.0.0.1:port, made before it returns; receiveBuffer > 0
// shrinks its receive buffer first. -1 with errno set on failure.
int rawConnect(quint16 port, int receiveBuffer = 0);
// Appends what has arrived on fd, without waiting; returns how many bytes.
qsizetype rawRead(int fd, QByteArray &into);

// Keeps the qInfo lines (the InfoWSock trace) while it lives; other messages pass on.
class TraceCapture final
{
public:
    TraceCapture();
    ~TraceCapture();
    int count(const QString &pattern) const;
    qint64 sum(const QString &pattern) const;
};

// Objects of a class alive now, of those created after watchObjects().
void watchObjects();
int liveObjects(const char *className);

// A chat server on 127.0.0.1 that keeps all it receives; Relay hands every read to every
// connection, Silent answers nothing, HangUp drops a connection once a logout line has come.
class ToyServer final : public QTcpServer
{
public:
    enum class Mode { Relay, Silent, HangUp };
    explicit ToyServer(Mode mode);
    QByteArray seen;
    QList<QTcpSocket *> sockets;
};
