#pragma once

// Test support without windows: a network namespace of the test's own, peers on loopback, a
// capture of the InfoWSock trace and a count of live objects.

#include <QByteArray>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace PrivateNetwork {
// Moves the process into a user and network namespace of its own and brings its loopback up,
// so fixed ports bind for any user and collide with nothing. Call before any thread starts.
bool enter();
} // namespace PrivateNetwork

// main() for a test that needs the fixed ports.
#define KESTREL_TEST_MAIN_PRIVATE_NETWORK(AppClass, TestClass)                                     \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        if (!PrivateNetwork::enter())                                                              \
            return 2;                                                                              \
        AppClass app(argc, argv);                                                                  \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

// A Qt client on 127.0.0.1 that keeps every byte it receives.
class Peer final : public QTcpSocket
{
public:
    explicit Peer(quint16 port);
    QByteArray received;
};

// A blocking-free POSIX connection to 127.0.0.1:port, made before it returns; receiveBuffer > 0
// shrinks its receive buffer first. -1 with errno set on failure.
int rawConnect(quint16 port, int receiveBuffer = 0);
// Appends what has arrived on fd, without waiting; the number of bytes taken.
qsizetype rawRead(int fd, QByteArray &into);
// Bytes waiting on fd, left where they are.
qsizetype rawPending(int fd);

// Keeps the qInfo lines (the InfoWSock trace) while it lives; other messages pass on.
class TraceCapture final
{
public:
    TraceCapture();
    ~TraceCapture();
    int count(const QString &pattern) const;
};

// Objects of that class alive now (the test must call watchObjects() before creating them).
void watchObjects();
int liveObjects(const char *className);

// A chat server played by a bare QTcpServer on 127.0.0.1 and a port the system chooses. It keeps
// all it receives; Relay hands every read back to every connection, Silent answers nothing,
// HangUp drops a connection once a logout line has come.
class ToyServer final : public QTcpServer
{
public:
    enum class Mode { Relay, Silent, HangUp };
    explicit ToyServer(Mode mode);
    QByteArray seen;
    QList<QTcpSocket *> sockets;
};
