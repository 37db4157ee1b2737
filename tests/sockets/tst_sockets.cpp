#include "cws_tcp_c.h"
#include "cws_tcp_s.h"
#include "cws_udp.h"
#include "lineconnection.h"
#include "linereader.h"
#include "lineserver.h"
#include "netsupport.h"

#include <QCoreApplication>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTimer>
#include <QUdpSocket>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using Events = QList<QPair<bool, int>>; // ServiceComplete: accepted or ended, index

// The socket layer without windows against raw peers; the UDP cases on the fixed ports.
class TestSockets final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { watchObjects(); }

    void framing_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QStringList>("pieces"); // "|" marks a piece handed out after a quiet time

        QByteArrayList dribbled;
        for (char c : QByteArray("hé\r\nb\n"))
            dribbled << QByteArray(1, c);
        QTest::newRow("dribbled, two lines") << dribbled << QStringList{"hé\r\n", "b\n"};
        QTest::newRow("character split")
            << QByteArrayList{"\xe6\x97", "\xa5\n"} << QStringList{"日\n"};
        QTest::newRow("invalid lead ends a quiet piece")
            << QByteArrayList{"a\xc3\xff", "|", "xyz\n"} << QStringList{"a\uFFFD\uFFFD", "xyz\n"};
        QTest::newRow("character waits across quiet time")
            << QByteArrayList{"a\xe6\x97", "|", "\xa5\n"} << QStringList{"a", "日\n"};
        QTest::newRow("end of stream mid-character")
            << QByteArrayList{"ok\nz\xe6", "#"} << QStringList{"ok\n", "z\uFFFD"};
    }

    void framing()
    {
        QFETCH(QByteArrayList, reads);
        QStringList got;
        LineReader reader;
        LineReader::Piece piece;
        for (const QByteArray &read : reads) {
            if (read == "|" && reader.takeRest(piece))
                got << piece.text;
            else if (read == "#" && reader.takeFinal(piece))
                got << piece.text;
            else if (read != "|" && read != "#")
                reader.append(read);
            while (reader.takeLine(piece)) {
                got << piece.text;
                // Bytes are handed on only where they are exactly the text's UTF-8.
                QVERIFY(piece.bytes.isEmpty() || piece.bytes == piece.text.toUtf8());
            }
        }
        QTEST(got, "pieces");
    }

    // The read that passes the cap brings a line end: still capped pieces, characters whole.
    void capCrossedByTheReadWithTheLineEnd()
    {
        const QByteArray stream =
            QStringLiteral("é").repeated(LineReader::MaxPiece / 2 - 5).toUtf8() +
            QByteArray(20, 'y') + "\nz";
        LineReader reader;
        LineReader::Piece piece;
        QString out;
        reader.append(stream.first(LineReader::MaxPiece - 11));
        QVERIFY(!reader.takeLine(piece));
        reader.append(stream.sliced(LineReader::MaxPiece - 11));
        while (reader.takeLine(piece)) {
            QVERIFY(piece.bytes.size() <= LineReader::MaxPiece && !piece.text.contains(u'\uFFFD'));
            out += piece.text;
        }
        QVERIFY(reader.takeRest(piece) && reader.buffered() == 0);
        QCOMPARE(out + piece.text, QString::fromUtf8(stream));
    }

    void serverIndexesDisconnectAndClose()
    {
        CWS_TCP_S server;
        QVERIFY(server.Listen(0));
        Events events;
        connect(&server, &CWS_TCP_S::ServiceComplete, this, [&](bool accepted, qint32 &index) {
            events.append({accepted, index});
        });
        Peer one(server.Port()), two(server.Port());
        QTRY_COMPARE(server.ConnectCount(), 2);
        QCOMPARE(events, (Events{{true, 1}, {true, 2}}));

        // Queued text goes out before the close; the end is reported later, not in Disconnect.
        const QString big = QString(3 * 1024 * 1024, u'b') + u'\n';
        server.SendData(big, 1);
        server.SendData(QStringLiteral("two\n"), 2);
        server.Disconnect(99);
        server.Disconnect(1);
        QCOMPARE(events.size(), 2);
        QCOMPARE(server.ConnectCount(), 1);
        QTRY_COMPARE(one.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(one.received.size(), big.size());
        QCOMPARE(events.last(), (QPair<bool, int>{false, 1}));
        QCOMPARE(two.received, QByteArray("two\n"));

        Peer three(server.Port());
        QTRY_COMPARE(events.last(), (QPair<bool, int>{true, 3}));
        QTRY_COMPARE(liveObjects("LineConnection"), 2);
        server.Close();
        QTRY_COMPARE(three.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(server.Port(), 0);
        QTRY_COMPARE(liveObjects("LineConnection"), 0);
    }

    // Each new connection is greeted with a text for all. Two peers connect before the server
    // takes both in one go: the second must not get the greeting sent before it existed.
    void laterConnectionGetsOnlyLaterTexts()
    {
        LineServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &LineServer::newConnection, this, [&](LineConnection *connection) {
            server.broadcast("welcome " + QByteArray::number(connection->id()) + '\n');
        });
        const int peers[2] = {rawConnect(server.serverPort()), rawConnect(server.serverPort())};
        QByteArray got[2];
        QTRY_VERIFY(rawRead(peers[0], got[0]) >= 0 && got[0].size() >= 20);
        rawRead(peers[1], got[1]);
        QCOMPARE(got[0], QByteArray("welcome 1\nwelcome 2\n"));
        QCOMPARE(got[1], QByteArray("welcome 2\n"));
        ::close(peers[0]);
        ::close(peers[1]);
    }

    void readerThatFellBehindGetsEveryByte_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("one connection") << 1;
        QTest::newRow("every connection") << 0;
    }

    // The reader stops until 2 MiB wait in the server's queue (the system's buffers full), then
    // reads while 64 KiB more go out on every pass of the event loop: the queue must drain as
    // fast as it reads, not a block per write notification, or it passes the cap. A reader that
    // never reads is cut off alone when texts go to all.
    void readerThatFellBehindGetsEveryByte()
    {
        QFETCH(int, index);
        LineServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        server.setTracing(true);
        TraceCapture trace;
        QList<int> errors;
        connect(&server, &LineServer::connectionError, this, [&](LineConnection *connection) {
            errors << connection->id();
            connection->close();
        });
        const int reader = rawConnect(server.serverPort());
        const int stalled = rawConnect(server.serverPort(), 4096);
        QTRY_COMPARE(server.connectionCount(), 2);
        if (index == 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("#2: unsent output passed"));

        QByteArray expected, received;
        int reading = 0;
        QTimer everyPass;
        connect(&everyPass, &QTimer::timeout, this, [&] {
            if (!reading && expected.size() - trace.sum("#1 out (\\d+) bytes") >= 2 * 1024 * 1024)
                reading = 1;
            for (int i = 0; i < (reading ? 4 : 1); ++i) {
                const QByteArray text = QByteArray(reading ? 16383 : 8191, char('a' + i)) + '\n';
                if (index == 0)
                    server.broadcast(text);
                else
                    server.connection(index)->send(text);
                expected += text;
            }
            if (reading && rawRead(reader, received) >= 0 && ++reading == 150)
                everyPass.stop();
        });
        everyPass.start(0);
        QTRY_VERIFY_WITH_TIMEOUT(errors.contains(1) ||
                                     (!everyPass.isActive() && rawRead(reader, received) >= 0 &&
                                      received.size() == expected.size()),
                                 30000);
        QCOMPARE(errors, index == 0 ? QList<int>{2} : QList<int>{});
        QVERIFY(received == expected);
        QCOMPARE(trace.sum("#1 out (\\d+) bytes"), expected.size()); // the trace tells every byte
        QTRY_COMPARE(liveObjects("LineConnection"), 2 - errors.size());
        ::close(reader);
        ::close(stalled);
    }

    // Two listeners feed one set. A peer the accept filter refuses is closed before anything is
    // read from it or sent to it, and never counted. A connection whose reading is paused makes
    // its peer wait once the buffers are full, and loses nothing when it resumes.
    void listenersFilterAndPausedReading()
    {
        LineServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QVERIFY(!server.listen(QHostAddress::LocalHost, server.serverPort()));
        QVERIFY(!server.errorString().isEmpty());
        QVERIFY(server.listen(QHostAddress::LocalHostIPv6));
        QCOMPARE(server.listenerCount(), 2);
        bool refuse = false;
        QList<int> asked;
        server.setAcceptFilter([&](const QHostAddress &, quint16, int listener) {
            asked << listener;
            return !refuse;
        });
        QList<LineConnection *> joined;
        connect(&server, &LineServer::newConnection, this,
                [&](LineConnection *connection) { joined << connection; });
        qsizetype lines = 0, bytes = 0;
        connect(&server, &LineServer::lineReceived, this,
                [&](LineConnection *, const QString &text, const QByteArray &raw) {
                    ++lines;
                    bytes += raw.size();
                    QCOMPARE(raw, text.toUtf8());
                });

        Peer first(server.serverPort(0));
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHostIPv6, server.serverPort(1));
        QTRY_COMPARE(server.connectionCount(), 2);
        QCOMPARE(joined[0]->listener() + joined[1]->listener(), 1);

        refuse = true;
        const int refused = rawConnect(server.serverPort(0));
        QCOMPARE(::send(refused, "let me in\n", 10, 0), 10);
        QTRY_COMPARE(asked.size(), 3);
        server.broadcast("after\n");
        QTRY_COMPARE(first.received, QByteArray("after\n"));
        char byte;
        QTRY_VERIFY(::recv(refused, &byte, 1, MSG_DONTWAIT) <= 0 && errno != EAGAIN);
        QCOMPARE(server.connectionCount(), 2);
        QCOMPARE(joined.size(), 2);
        QCOMPARE(lines, 0);
        ::close(refused);

        // Paused: the peer writes until the system takes no more; that is bounded.
        refuse = false;
        const int writer = rawConnect(server.serverPort(0));
        QTRY_COMPARE(joined.size(), 3);
        joined[2]->pauseReading();
        const QByteArray line = QByteArray(999, 'p') + '\n';
        qsizetype written = 0;
        for (int refusals = 0; refusals < 5 && written < 64 * 1024 * 1024;) {
            const ssize_t n = ::send(writer, line.constData(), line.size(), 0);
            written += qMax<ssize_t>(n, 0);
            refusals = n > 0 ? 0 : refusals + 1;
            if (n <= 0)
                QTest::qWait(20); // the server's turn to read, if it still did
        }
        QCOMPARE(lines, 0);
        QVERIFY2(written < 64 * 1024 * 1024, qPrintable(QString::number(written)));
        joined[2]->resumeReading();
        QTRY_COMPARE(bytes, written);
        ::close(writer);
    }

    void clientConnectsReceivesAndCloses()
    {
        CWS_TCP_S server;
        QVERIFY(server.Listen(0));
        QList<QPair<int, QString>> got; // (index, text) at the server; index 0 at the client
        connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &index, QString &text) {
            got.append({index, text});
        });
        CWS_TCP_C client;
        QSignalSpy connected(&client, qOverload<>(&CWS_TCP_C::Connect));
        QSignalSpy closed(&client, &CWS_TCP_C::ConnectClose);
        connect(&client, &CWS_TCP_C::GetData, this, [&](QString &text) { got.append({0, text}); });

        QVERIFY(client.Connect(QStringLiteral("localhost"), server.Port()));
        QVERIFY(connected.wait());
        QVERIFY(QHostAddress(client.IP()).isLoopback()); // 127.0.0.1 or ::1, as looked up
        QCOMPARE(client.Port(), server.Port());
        QVERIFY(client.ID() > 0);
        client.SendData(QStringLiteral("7@日本|x\r\n"));
        client.SendData(QStringLiteral("no line end"));
        QTRY_COMPARE(got.size(), 2);
        // The server's last text, a piece without line end, comes before the end is reported.
        server.SendData(QStringLiteral("line\r\nhalf"), 1);
        server.Disconnect(1);
        QVERIFY(closed.wait());
        QCOMPARE(got, (QList<QPair<int, QString>>{
                          {1, "7@日本|x\r\n"}, {1, "no line end"}, {0, "line\r\n"}, {0, "half"}}));
        QCOMPARE(client.ID(), 0);
        QTRY_COMPARE(liveObjects("LineConnection"), 0);

        // The same object connects again (over IPv6); Close ends it at once, and quietly.
        QVERIFY(client.Connect(QStringLiteral("::1"), server.Port()));
        QVERIFY(connected.wait());
        QCOMPARE(client.IP(), QStringLiteral("::1"));
        QTRY_COMPARE(server.ConnectCount(), 1);
        client.Close();
        QTRY_COMPARE(server.ConnectCount(), 0);
        QTRY_COMPARE(liveObjects("LineConnection"), 0);
        QCOMPARE(closed.size(), 1);
    }

    // A full descriptor table: accepting is retried 4 times a second, not in a busy loop.
    void fullDescriptorTableDoesNotSpin()
    {
        LineServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        server.setTracing(true);
        connect(&server, &LineServer::lineReceived, this,
                [&](LineConnection *, const QString &, const QByteArray &bytes) {
                    server.broadcast(bytes);
                });
        Peer good(server.serverPort()); // served once first, so that the sanitizers know the types
        good.write("first\n");
        QTRY_COMPARE(good.received, QByteArray("first\n"));
        rlimit old{}, low{};
        getrlimit(RLIMIT_NOFILE, &old);
        low = old;
        low.rlim_cur = ::dup(0) + 24; // the lowest free descriptor, and room for 24 more
        ::close(int(low.rlim_cur) - 24);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("accept failed"));
        std::vector<int> peers;
        QSignalSpy errors(&server, &LineServer::acceptError);
        {
            TraceCapture trace;
            for (int fd; (fd = rawConnect(server.serverPort())) >= 0; QTest::qWait(0))
                peers.push_back(fd);
            QCOMPARE(errno, EMFILE);
            QTRY_VERIFY(trace.count("accept failed") > 0);
            const int before = trace.count("accept failed");
            QTest::qWait(1000); // the retry interval is the behaviour under test
            const int tries = trace.count("accept failed") - before;
            QVERIFY2(tries >= 2 && tries <= 10,
                     qPrintable(QString::number(tries) + " accept attempts in 1 s"));
            QCOMPARE(errors.size(), 1); // said once, however long the table stays full
            good.write("still served\n");
            QTRY_COMPARE(good.received, QByteArray("first\nstill served\n"));
        }
        for (int fd : peers)
            ::close(fd);
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, 20000);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &old), 0);
        Peer late(server.serverPort());
        QTRY_COMPARE(server.connectionCount(), 2);
    }

    void blocksCrossAndFailuresAreRaised()
    {
        KESTREL_FIXED_PORTS(777, 778);
        CWS_UDP receiving, sending, second;
        TraceCapture trace; // nothing while InfoWSock is off
        QStringList got;
        connect(&receiving, &CWS_UDP::GetData, this, [&](QString &text) { got << text; });
        QVERIFY(receiving.Connect(QStringLiteral("localhost"), 777, 778));
        QVERIFY(sending.Connect(QStringLiteral("localhost"), 778, 777));
        // This machine's first IPv4 address (the loopback where there is no other).
        QVERIFY(QNetworkInterface::allAddresses().contains(QHostAddress(sending.IP())));

        // Sent while "localhost" is still being looked up: held, then sent in order, whole.
        const QString block = QStringLiteral("send IP - x\r\n日本\r\n") + QString(60000, u'z');
        sending.SendData(block);
        sending.SendData(QString());
        QTRY_COMPARE(got, (QStringList{block, QString()}));
        QVERIFY(sending.Connect(QStringLiteral("127.0.0.1"), 778, 777)); // same port, re-aimed
        sending.SendData(QStringLiteral("3"));
        QTRY_COMPARE(got.size(), 3);

        // A port already held: said so, and the object still sends from another port.
        QSignalSpy errors(&second, &CWS_UDP::SocketError);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot bind port 778"));
        QVERIFY(!second.Connect(QStringLiteral("127.0.0.1"), 778, 777));
        QVERIFY(errors.wait());
        second.SendData(QStringLiteral("4"));
        QTRY_COMPARE(got, (QStringList{block, QString(), "3", "4"}));

        QCOMPARE(trace.count("CWS_UDP"), 0);
        second.setInfoWSock(true);
        second.SendData(QStringLiteral("5"));
        QTRY_COMPARE(trace.count("CWS_UDP out"), 1);
        QTRY_COMPARE(got.size(), 5);

        // A new own port: blocks come in there, and the old one is given up.
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost));
        const quint16 moved = probe.localPort();
        probe.close();
        QVERIFY(receiving.Connect(QStringLiteral("127.0.0.1"), moved, 778));
        QVERIFY(QUdpSocket().bind(QHostAddress::Any, 777, QUdpSocket::DontShareAddress));
        QUdpSocket().writeDatagram("6", QHostAddress::LocalHost, moved);
        QTRY_COMPARE(got.size(), 6);
        QCOMPARE(got.last(), QStringLiteral("6"));
        receiving.Close();
        QVERIFY(QUdpSocket().bind(QHostAddress::Any, moved, QUdpSocket::DontShareAddress));
    }

    // Blocks go to ports 1..65535 only.
    void udpPortRange()
    {
        TraceCapture trace;
        CWS_UDP udp;
        udp.setInfoWSock(true);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot send to port 0:"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot send to port 65536:"));
        for (const int port : {0, 1, 65535, 65536})
            udp.Connect(QStringLiteral("127.0.0.1"), 0, port);
        QCOMPARE(trace.count("cannot send to port"), 2);
    }

    // Objects go while lookups of new names run: the sanitizer run checks nothing is left.
    void objectGoneBeforeItsLookupAnswers()
    {
        KESTREL_FIXED_PORTS(777, 778);
        for (int i = 0; i < 10; ++i) {
            const QString name = QStringLiteral("gone-%1.invalid").arg(i);
            CWS_UDP closed;
            closed.Connect(name, 777, 900);
            closed.Close();
            auto gone = std::make_unique<CWS_UDP>();
            gone->Connect(u'x' + name, 778, 900);
            gone->Connect(u'y' + name, 778, 901);
        }
        // The answer for an aim given up is dropped; a block waits for the new aim's answer.
        CWS_UDP receiving, reAimed;
        QStringList got;
        connect(&receiving, &CWS_UDP::GetData, this, [&](QString &text) { got << text; });
        receiving.Connect(QStringLiteral("127.0.0.1"), 777, 778);
        QSignalSpy failed(&reAimed, &CWS_UDP::SocketError);
        reAimed.Connect(QStringLiteral("stale.invalid"), 778, 777);
        reAimed.Connect(QStringLiteral("localhost"), 778, 777);
        reAimed.SendData(QStringLiteral("fresh"));
        QTRY_COMPARE(got, QStringList{"fresh"});
        QCOMPARE(failed.size(), 0);
    }
};

Q_CONSTRUCTOR_FUNCTION(chooseFixedPortIsolation)
QTEST_GUILESS_MAIN(TestSockets)
#include "tst_sockets.moc"
