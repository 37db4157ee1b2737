#include "cws_tcp_s.h"
#include "linereader.h"
#include "sockettools.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <unistd.h>

using Event = std::pair<bool, int>; // ServiceComplete(vblnFlag, Index)

class TstCwsTcpS : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void longPieceIsCapped();
    void relayReachesEveryConnection_data();
    void relayReachesEveryConnection();
    void indexesCountAndDisconnect();
    void stalledReaderGetsServiceError();
    void closeTwiceAndUseAfterClose();
    void listenFailures_data();
    void listenFailures();
    void handlerMayEndConnection_data();
    void handlerMayEndConnection();
};

void TstCwsTcpS::framing_data()
{
    QTest::addColumn<QByteArrayList>("segments");
    QTest::addColumn<QStringList>("expected");

    QByteArrayList dribbled;
    for (char c : QByteArray("hello\r\n"))
        dribbled << QByteArray(1, c);
    QTest::newRow("line dribbled byte by byte") << dribbled << QStringList{"hello\r\n"};
    QTest::newRow("two lines in one segment")
        << QByteArrayList{"one\ntwo\r\n"} << QStringList{"one\n", "two\r\n"};
    QTest::newRow("Japanese character split across segments")
        << QByteArrayList{"\xe6\x97", "\xa5\xe6\x9c\xac\n"}
        << QStringList{QStringLiteral("日本\n")};
    QTest::newRow("invalid UTF-8 then more") << QByteArrayList{"a\xff"
                                                               "b\n",
                                                               "ok\n"}
                                             << QStringList{QStringLiteral("a\uFFFDb\n"), "ok\n"};
    QTest::newRow("piece without line end") << QByteArrayList{"no end"} << QStringList{"no end"};
    QTest::newRow("line then piece") << QByteArrayList{"x\ny"} << QStringList{"x\n", "y"};
}

// Each segment is written only after the server has read the previous one (its trace says so),
// so the segments really arrive apart.
void TstCwsTcpS::framing()
{
    QFETCH(QByteArrayList, segments);
    QFETCH(QStringList, expected);

    TraceCapture trace;
    CWS_TCP_S server;
    server.setInfoWSock(true);
    QVERIFY(server.Listen(0));
    QStringList got;
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &, QString &text) { got << text; });

    RawPeer peer(server.Port());
    WAIT_UNTIL(server.ConnectCount() == 1);
    const QString reads = QStringLiteral("CWS_TCP_S #1 in \\d+ bytes");
    for (const QByteArray &segment : segments) {
        const int before = trace.count(reads);
        peer.write(segment);
        WAIT_UNTIL(trace.count(reads) > before);
    }
    WAIT_UNTIL(got.size() >= expected.size());
    peer.write("end\n");
    WAIT_UNTIL(got.size() > expected.size());
    QCOMPARE(got, expected + QStringList{"end\n"});
}

// 2 MiB without line end, in three-byte characters: capped pieces, no character broken at a
// cap, and the reader never holds more than the cap after handing out what it can.
void TstCwsTcpS::longPieceIsCapped()
{
    const QString line = QStringLiteral("日").repeated(700000);
    const QByteArray bytes = line.toUtf8();

    LineReader reader;
    LineReader::Piece piece;
    for (qsizetype at = 0; at < bytes.size(); at += 65536) {
        reader.append(bytes.mid(at, 65536));
        while (reader.takeLine(piece))
            QVERIFY(piece.text.toUtf8().size() <= LineReader::MaxPiece);
        QVERIFY(reader.buffered() <= LineReader::MaxPiece);
    }

    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    QStringList pieces;
    qsizetype total = 0;
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &, QString &text) {
        pieces << text;
        total += text.size();
    });
    RawPeer peer(server.Port());
    WAIT_UNTIL(server.ConnectCount() == 1);
    peer.write(bytes);
    WAIT_UNTIL(total >= line.size());
    QVERIFY(pieces.size() >= 2);
    for (const QString &text : std::as_const(pieces))
        QVERIFY(text.toUtf8().size() <= LineReader::MaxPiece);
    QVERIFY(pieces.join(QString()) == line);
}

void TstCwsTcpS::relayReachesEveryConnection_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("handlerAppends");
    QTest::addColumn<QByteArray>("relayed");

    QTest::newRow("chat line") << QByteArray("7@Default   |hi\r\n") << false
                               << QByteArray("7@Default   |hi\r\n");
    QTest::newRow("Japanese") << QByteArray("\xe6\x97\xa5\xe6\x9c\xac\r\n") << false
                              << QByteArray("\xe6\x97\xa5\xe6\x9c\xac\r\n");
    QTest::newRow("invalid UTF-8 goes out as U+FFFD") << QByteArray("a\xff"
                                                                    "b\n")
                                                      << false
                                                      << QByteArray("a\xef\xbf\xbd"
                                                                    "b\n");
    QTest::newRow("text changed by the handler")
        << QByteArray("hi\n") << true << QByteArray("hi\n!");
}

void TstCwsTcpS::relayReachesEveryConnection()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, handlerAppends);
    QFETCH(QByteArray, relayed);

    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    // What the server window does: hand the very string back with index 0.
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &, QString &rstrData) {
        if (handlerAppends)
            rstrData.append(u'!');
        qint32 all = 0;
        server.SendData(rstrData, all);
    });
    RawPeer a(server.Port()), b(server.Port()), c(server.Port());
    WAIT_UNTIL(server.ConnectCount() == 3);
    b.write(sent);
    WAIT_UNTIL(a.received.size() >= relayed.size() && b.received.size() >= relayed.size() &&
               c.received.size() >= relayed.size());
    QCOMPARE(a.received, relayed);
    QCOMPARE(b.received, relayed);
    QCOMPARE(c.received, relayed);
}

void TstCwsTcpS::indexesCountAndDisconnect()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    QList<Event> events;
    QList<int> counts;
    connect(&server, &CWS_TCP_S::ServiceComplete, this, [&](bool vblnFlag, qint32 &Index) {
        events << Event{vblnFlag, Index};
        counts << server.ConnectCount();
    });

    RawPeer a(server.Port());
    WAIT_UNTIL(events.size() == 1);
    RawPeer b(server.Port());
    WAIT_UNTIL(events.size() == 2);
    auto c = std::make_unique<RawPeer>(server.Port());
    WAIT_UNTIL(events.size() == 3);
    c->disconnectFromHost();
    WAIT_UNTIL(events.size() == 4);
    RawPeer d(server.Port());
    WAIT_UNTIL(events.size() == 5);
    const QList<Event> expected{{true, 1}, {true, 2}, {true, 3}, {false, 3}, {true, 4}};
    QCOMPARE(events, expected);
    QCOMPARE(counts, QList<int>({1, 2, 3, 2, 3}));

    // A window's Disconnect: the count drops at once, the event follows from the event loop.
    server.Disconnect(2);
    QCOMPARE(server.ConnectCount(), 2);
    QCOMPARE(events.size(), 5);
    WAIT_UNTIL(events.size() == 6 && b.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(events.last(), (Event(false, 2)));
    server.Disconnect(2);
    server.Disconnect(99);

    server.Disconnect(0);
    QCOMPARE(server.ConnectCount(), 0);
    WAIT_UNTIL(events.size() == 8 && a.state() == QAbstractSocket::UnconnectedState &&
               d.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(events.mid(6), QList<Event>({{false, 1}, {false, 4}}));
    QVERIFY(server.Port() > 0);
}

// One client stops reading while the relay goes on: its queue hits the cap, ServiceError names
// it, the handler disconnects it as the window does, and the other client never loses a byte.
void TstCwsTcpS::stalledReaderGetsServiceError()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    QList<int> errors;
    connect(&server, &CWS_TCP_S::ServiceError, this, [&](qint32 &Index) {
        errors << Index;
        server.Disconnect(Index);
    });

    // A tiny receive window that is never read: the server's queue for it fills at once.
    const int stalled = rawConnect(server.Port(), 2000, 4096);
    QVERIFY(stalled >= 0);
    WAIT_UNTIL(server.ConnectCount() == 1);
    RawPeer reader(server.Port());
    WAIT_UNTIL(server.ConnectCount() == 2);

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^CWS_TCP_S: connection #1: unsent output"));
    const QString chunk = QString(64 * 1024 - 1, u'z') + u'\n';
    qint64 sent = 0;
    while (errors.isEmpty() && sent < 64 * LineReader::MaxPiece) {
        server.SendData(chunk, 0);
        sent += chunk.size();
        WAIT_UNTIL(reader.received.size() == sent || !errors.isEmpty());
    }
    QCOMPARE(errors, QList<int>{1});
    WAIT_UNTIL(server.ConnectCount() == 1);
    server.SendData(QStringLiteral("after\n"), 0);
    WAIT_UNTIL(reader.received.endsWith("after\n"));
    QCOMPARE(reader.received.size(), sent + 6);
    ::close(stalled);
}

void TstCwsTcpS::closeTwiceAndUseAfterClose()
{
    CWS_TCP_S server;
    QList<Event> events;
    connect(&server, &CWS_TCP_S::ServiceComplete, this, [&](bool vblnFlag, qint32 &Index) {
        events << Event{vblnFlag, Index};
    });
    QVERIFY(server.Listen(0));
    RawPeer first(server.Port());
    WAIT_UNTIL(events.size() == 1);

    server.Close();
    server.Close();
    QCOMPARE(server.Port(), 0);
    QCOMPARE(server.ConnectCount(), 0);
    server.SendData(QStringLiteral("x\n"), 0);
    server.SendData(QStringLiteral("x\n"), 1);
    server.Disconnect(0);
    server.Disconnect(1);
    QVERIFY(!server.IP().isEmpty());
    WAIT_UNTIL(events.size() == 2 && first.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(events.last(), (Event{false, 1}));

    QVERIFY(server.Listen(0));
    RawPeer second(server.Port());
    WAIT_UNTIL(events.size() == 3);
    QCOMPARE(events.last(), (Event{true, 2}));
    server.SendData(QStringLiteral("again\n"), 0);
    WAIT_UNTIL(second.received == "again\n");
}

void TstCwsTcpS::listenFailures_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("port in use") << -2;
    QTest::newRow("negative port") << -1;
    QTest::newRow("port above 65535") << 65536;
}

void TstCwsTcpS::listenFailures()
{
    QFETCH(int, port);
    QTcpServer occupant;
    if (port == -2) {
        QVERIFY(occupant.listen(QHostAddress::Any, 0));
        port = occupant.serverPort();
    }
    CWS_TCP_S server;
    QSignalSpy errors(&server, &CWS_TCP_S::SocketError);
    QVERIFY(server.Listen(0));
    const quint16 oldPort = server.Port();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CWS_TCP_S: cannot listen"));
    QVERIFY(!server.Listen(port));
    QCOMPARE(server.Port(), 0);
    QVERIFY(errors.wait(2000));
    // Listening again stopped the old listener first.
    RawPeer refused(oldPort);
    WAIT_UNTIL(refused.error() == QAbstractSocket::ConnectionRefusedError);
}

void TstCwsTcpS::handlerMayEndConnection_data()
{
    QTest::addColumn<bool>("inGetData");
    QTest::addColumn<bool>("closeAll");
    QTest::newRow("Disconnect in GetData") << true << false;
    QTest::newRow("Close in GetData") << true << true;
    QTest::newRow("Disconnect in ServiceComplete") << false << false;
    QTest::newRow("Close in ServiceComplete") << false << true;
}

void TstCwsTcpS::handlerMayEndConnection()
{
    QFETCH(bool, inGetData);
    QFETCH(bool, closeAll);

    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    QStringList got;
    int ended = 0;
    auto end = [&](qint32 &Index) {
        if (closeAll)
            server.Close();
        else
            server.Disconnect(Index);
    };
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &Index, QString &text) {
        got << text;
        end(Index);
    });
    connect(&server, &CWS_TCP_S::ServiceComplete, this, [&](bool vblnFlag, qint32 &Index) {
        if (!vblnFlag)
            ++ended;
        else if (!inGetData)
            end(Index);
    });

    RawPeer peer(server.Port());
    WAIT_UNTIL(peer.state() == QAbstractSocket::ConnectedState);
    peer.write("a\nb\n");
    WAIT_UNTIL(peer.state() == QAbstractSocket::UnconnectedState && ended == 1);
    QCOMPARE(got, inGetData ? QStringList{"a\n"} : QStringList());
    QCOMPARE(server.ConnectCount(), 0);
    QCOMPARE(server.Port() == 0, closeAll);
}

QTEST_GUILESS_MAIN(TstCwsTcpS)
#include "tst_cws_tcp_s.moc"
