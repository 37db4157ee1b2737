#include "cws_tcp_c.h"
#include "cws_tcp_s.h"
#include "netsupport.h"
#include "tcplink.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using Events = QList<QPair<bool, int>>; // ServiceComplete: accepted or ended, index

// The server and client objects on loopback, against raw peers; ports are chosen by the system.
class TestTcpSockets final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { watchObjects(); }
    void serverIndexesRelayAndDisconnect();
    void laterConnectionGetsOnlyLaterTexts();
    void readerThatFellBehindGetsEveryByte_data();
    void readerThatFellBehindGetsEveryByte();
    void stalledReaderIsCutOffAlone();
    void clientConnectSendReceiveClose();
    void clientFailures_data();
    void clientFailures();
    void handlersMayCloseFromInsideEvents();
    void fullDescriptorTableDoesNotSpin();
};

void TestTcpSockets::serverIndexesRelayAndDisconnect()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    QVERIFY(server.Port() > 0);
    Events events;
    QList<QPair<int, QString>> data;
    connect(&server, &CWS_TCP_S::ServiceComplete, this, [&](bool accepted, qint32 &index) {
        events.append({accepted, index});
    });
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &index, QString &text) {
        data.append({index, text});
        server.SendData(text, 0);
    });

    Peer one(server.Port()), two(server.Port());
    QTRY_COMPARE(server.ConnectCount(), 2);
    QCOMPARE(events, (Events{{true, 1}, {true, 2}}));

    // Every text goes to every connection, the sender included, in the order received.
    one.write("1@a|hi\r\n");
    QTRY_COMPARE(two.received, QByteArray("1@a|hi\r\n"));
    two.write("no line end");
    const QByteArray both = "1@a|hi\r\nno line end";
    QTRY_COMPARE(one.received, both);
    QTRY_COMPARE(two.received, both);
    QCOMPARE(data, (QList<QPair<int, QString>>{{1, "1@a|hi\r\n"}, {2, "no line end"}}));

    server.SendData(QStringLiteral("to two\n"), 2);
    QTRY_COMPARE(two.received, both + "to two\n");

    // Ending a connection from a handler is reported later, never from inside Disconnect.
    server.Disconnect(99);
    server.Disconnect(1);
    QCOMPARE(events.size(), 2);
    QCOMPARE(server.ConnectCount(), 1);
    QTRY_COMPARE(events.last(), (QPair<bool, int>{false, 1}));
    QTRY_COMPARE(one.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(liveObjects("TcpLink"), 1);

    // A peer that goes away is reported as ended; its index is never used again.
    two.disconnectFromHost();
    QTRY_COMPARE(events.last(), (QPair<bool, int>{false, 2}));
    Peer three(server.Port());
    QTRY_COMPARE(events.last(), (QPair<bool, int>{true, 3}));
    QTRY_COMPARE(liveObjects("TcpLink"), 1);

    server.Close();
    server.Close();
    server.SendData(QStringLiteral("after close\n"), 0);
    QTRY_COMPARE(three.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(server.Port(), 0);
    QTRY_COMPARE(liveObjects("TcpLink"), 0);
    QVERIFY(three.received.isEmpty());
}

// Each accepted connection is greeted with a text for all. Two peers complete their handshake
// before the server takes them, so it takes both in one go: the second must not get the greeting
// sent before it existed.
void TestTcpSockets::laterConnectionGetsOnlyLaterTexts()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    connect(&server, &CWS_TCP_S::ServiceComplete, this, [&](bool accepted, qint32 &index) {
        if (accepted)
            server.SendData(QStringLiteral("welcome %1\n").arg(index), 0);
    });
    const int peers[2] = {rawConnect(server.Port()), rawConnect(server.Port())};
    QVERIFY(peers[0] >= 0 && peers[1] >= 0);
    QByteArray got[2];
    QTRY_VERIFY(rawRead(peers[0], got[0]) >= 0 && got[0].size() >= 20);
    rawRead(peers[1], got[1]);
    QCOMPARE(got[0], QByteArray("welcome 1\nwelcome 2\n"));
    QCOMPARE(got[1], QByteArray("welcome 2\n"));
    ::close(peers[0]);
    ::close(peers[1]);
}

void TestTcpSockets::readerThatFellBehindGetsEveryByte_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("one connection") << 1;
    QTest::newRow("every connection") << 0;
}

// The reader stops while 300 small texts queue up (2.4 MiB, under the cap), then reads at full
// speed while 32 KiB more are sent on every pass of the event loop. The queue must drain as fast
// as the reader takes it, not one queued block per write notification, or it passes the cap.
void TestTcpSockets::readerThatFellBehindGetsEveryByte()
{
    QFETCH(int, index);
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    QSignalSpy errors(&server, &CWS_TCP_S::ServiceError);
    const int reader = rawConnect(server.Port());
    QVERIFY(reader >= 0);
    QTRY_COMPARE(server.ConnectCount(), 1);

    QByteArray expected, received;
    int pass = 0;
    QTimer everyPass;
    connect(&everyPass, &QTimer::timeout, this, [&] {
        const bool reading = pass >= 300;
        const QString text = QString(reading ? 32767 : 8191, QChar(u'a' + pass % 26)) + u'\n';
        server.SendData(text, index);
        expected += text.toLatin1();
        if (reading)
            rawRead(reader, received);
        if (++pass == 450)
            everyPass.stop();
    });
    everyPass.start(0);
    QTRY_VERIFY_WITH_TIMEOUT(
        (rawRead(reader, received), received.size() >= expected.size() && !everyPass.isActive()) ||
            !errors.isEmpty(),
        30000);
    QCOMPARE(errors.size(), 0);
    QVERIFY(received == expected);
    ::close(reader);
}

// One reader stops for good: its queue hits the cap, ServiceError names it, and disconnecting
// it as the server window does leaves the other reader every byte.
void TestTcpSockets::stalledReaderIsCutOffAlone()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    QList<int> errors;
    connect(&server, &CWS_TCP_S::ServiceError, this, [&](qint32 &index) {
        errors << index;
        server.Disconnect(index);
    });
    const int stalled = rawConnect(server.Port(), 4096);
    QTRY_COMPARE(server.ConnectCount(), 1);
    Peer reader(server.Port());
    QTRY_COMPARE(server.ConnectCount(), 2);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("connection #1: unsent output"));
    const QString chunk = QString(64 * 1024 - 1, u'z') + u'\n';
    qint64 sent = 0;
    QTimer everyPass; // the next chunk once the reader has the last one
    connect(&everyPass, &QTimer::timeout, this, [&] {
        if (reader.received.size() == sent && errors.isEmpty()) {
            server.SendData(chunk, 0);
            sent += chunk.size();
        }
    });
    everyPass.start(0);
    QTRY_VERIFY(!errors.isEmpty() || sent > 2 * TcpLink::OutputCap);
    everyPass.stop();
    QCOMPARE(errors, QList<int>{1});
    QTRY_COMPARE(server.ConnectCount(), 1);
    QTRY_COMPARE(liveObjects("TcpLink"), 1);
    server.SendData(QStringLiteral("after\n"), 0);
    QTRY_VERIFY(reader.received.endsWith("after\n"));
    QCOMPARE(reader.received.size(), sent + 6);
    ::close(stalled);
}

void TestTcpSockets::clientConnectSendReceiveClose()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    CWS_TCP_C client;
    QSignalSpy connected(&client, qOverload<>(&CWS_TCP_C::Connect));
    QSignalSpy closed(&client, &CWS_TCP_C::ConnectClose);
    QStringList got;
    connect(&client, &CWS_TCP_C::GetData, this, [&](QString &text) { got << text; });

    QCOMPARE(client.ID(), 0);
    client.SendData(QStringLiteral("nowhere\r\n"));
    client.Close();
    QVERIFY(client.Connect(QStringLiteral("127.0.0.1"), listener.serverPort()));
    QVERIFY(connected.wait());
    QTRY_VERIFY(listener.hasPendingConnections());
    QTcpSocket *peer = listener.nextPendingConnection();
    QCOMPARE(client.ID(), int(peer->peerPort()));
    QCOMPARE(client.IP(), QStringLiteral("127.0.0.1"));
    QCOMPARE(client.Port(), int(listener.serverPort()));

    client.SendData(QStringLiteral("7@日本|x\r\n"));
    QByteArray in;
    QTRY_COMPARE(in += peer->readAll(), QStringLiteral("7@日本|x\r\n").toUtf8());

    // What arrived before the peer closed, a piece without line end included, comes first.
    peer->write("line\r\nhalf");
    peer->disconnectFromHost();
    QVERIFY(closed.wait());
    QCOMPARE(got, (QStringList{"line\r\n", "half"}));
    QCOMPARE(client.ID(), 0);
    QTRY_COMPARE(liveObjects("TcpLink"), 0);

    // The same object connects again; Close ends that connection at once for the peer.
    QVERIFY(client.Connect(QStringLiteral("localhost"), listener.serverPort()));
    QVERIFY(connected.wait());
    QTRY_VERIFY(listener.hasPendingConnections());
    peer = listener.nextPendingConnection();
    QSignalSpy peerGone(peer, &QTcpSocket::disconnected);
    client.Close();
    QVERIFY(peerGone.wait());
    QTRY_COMPARE(liveObjects("TcpLink"), 0);
    QCOMPARE(closed.size(), 1);
}

void TestTcpSockets::clientFailures_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("port 0") << "127.0.0.1" << 0;
    QTest::newRow("port 65536") << "127.0.0.1" << 65536;
    QTest::newRow("nobody listening") << "127.0.0.1" << -1;
}

void TestTcpSockets::clientFailures()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    // A port bound without listening refuses connections and cannot be taken meanwhile.
    const int bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    QVERIFY(::bind(bound, reinterpret_cast<sockaddr *>(&address), length) == 0);
    ::getsockname(bound, reinterpret_cast<sockaddr *>(&address), &length);
    if (port < 0)
        port = ntohs(address.sin_port);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CWS_TCP_C: cannot connect"));
    CWS_TCP_C client;
    QSignalSpy failed(&client, &CWS_TCP_C::ConnectError);
    client.Connect(host, port);
    QCOMPARE(failed.size(), 0); // never from inside Connect
    QVERIFY(failed.wait());
    QCOMPARE(client.ID(), 0);
    ::close(bound);
}

// Handlers end a connection from inside its own events; nothing more is raised for it.
void TestTcpSockets::handlersMayCloseFromInsideEvents()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    int serverData = 0;
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &index, QString &) {
        ++serverData;
        server.Disconnect(index);
    });
    CWS_TCP_C client;
    int clientData = 0;
    connect(&client, &CWS_TCP_C::GetData, this, [&](QString &) {
        ++clientData;
        client.Close();
    });
    client.Connect(QStringLiteral("127.0.0.1"), server.Port());
    QTRY_COMPARE(server.ConnectCount(), 1);
    server.SendData(QStringLiteral("a\nb\nc\n"), 0);
    QTRY_COMPARE(clientData, 1);
    QTRY_COMPARE(server.ConnectCount(), 0);

    client.Connect(QStringLiteral("127.0.0.1"), server.Port());
    QTRY_COMPARE(server.ConnectCount(), 1);
    client.SendData(QStringLiteral("x\ny\nz\n"));
    QTRY_COMPARE(server.ConnectCount(), 0);
    QCOMPARE(serverData, 1);
    QCOMPARE(clientData, 1);
    QTRY_COMPARE(liveObjects("TcpLink"), 0);
}

// With the descriptor table full the server pauses accepting and tries again four times a
// second; it neither spins nor drops the connection it holds, and takes the waiting peers later.
void TestTcpSockets::fullDescriptorTableDoesNotSpin()
{
    rlimit old{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &old), 0);
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    server.setInfoWSock(true);
    Peer good(server.Port());
    QTRY_COMPARE(server.ConnectCount(), 1);
    connect(&server, &CWS_TCP_S::GetData, this,
            [&](qint32 &, QString &text) { server.SendData(text, 0); });

    rlimit low = old;
    low.rlim_cur = ::dup(0) + 24; // the lowest free descriptor tells how many are open
    ::close(int(low.rlim_cur) - 24);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("accept failed"));
    std::vector<int> peers;
    {
        TraceCapture trace;
        int fd;
        while ((fd = rawConnect(server.Port())) >= 0) {
            peers.push_back(fd);
            QTest::qWait(0);
        }
        QCOMPARE(errno, EMFILE);
        QTRY_VERIFY(trace.count("accept failed") > 0);
        const int before = trace.count("accept failed");
        QTest::qWait(1000); // the retry interval is the behaviour under test
        const int tries = trace.count("accept failed") - before;
        QVERIFY2(tries <= 10, qPrintable(QString::number(tries) + " accept attempts in 1 s"));
        good.write("still served\n");
        QTRY_COMPARE(good.received, QByteArray("still served\n"));
    }
    for (int fd : peers)
        ::close(fd);
    QTRY_COMPARE_WITH_TIMEOUT(server.ConnectCount(), 1, 20000);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &old), 0);
    Peer late(server.Port());
    QTRY_COMPARE(server.ConnectCount(), 2);
}

QTEST_GUILESS_MAIN(TestTcpSockets)
#include "tst_tcpsockets.moc"
