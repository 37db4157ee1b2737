#pragma once

// Test support without windows: a private network namespace, peers, trace and object counts.

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// Moves the process into user and network namespaces of its own with the loopback up, so fixed
// ports bind for any user and collide with nothing. Call before any thread starts.
bool enterPrivateNetwork();

#define KESTREL_TEST_MAIN_PRIVATE_NETWORK(AppClass, TestClass)                                     \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        if (!enterPrivateNetwork())                                                                \
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
