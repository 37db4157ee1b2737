#pragma once

// Test support without windows: the fixed ports, peers, trace and object counts.

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// The tests that need the fixed ports 555, 777 and 778 get them in the best isolation the
// machine allows: user and network namespaces of their own (any user, where allowed), a network
// namespace alone (root in a chroot), or else the machine's own loopback where the process may
// bind ports below 1024 (root in a container). One line on standard error says which. Setting
// KESTREL_TEST_NO_NAMESPACES=1 refuses the namespaces, so the loopback path is tried on purpose.
// Call before any thread starts.
void chooseFixedPortIsolation();

// Whether the current test may use the given fixed ports now: where none of the above can be had
// the test is skipped, and a port held by another program on the machine's loopback fails it.
bool fixedPortsReady(std::initializer_list<quint16> ports, const char *file, int line);
#define KESTREL_FIXED_PORTS(...)                                                                   \
    do {                                                                                           \
        if (!fixedPortsReady({__VA_ARGS__}, __FILE__, __LINE__))                                   \
            return;                                                                                \
    } while (false)

#define KESTREL_TEST_MAIN_FIXED_PORTS(AppClass, TestClass)                                         \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        chooseFixedPortIsolation();                                                                \
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
