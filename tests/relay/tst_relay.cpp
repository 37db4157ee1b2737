#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {
constexpr int WaitMs = 20000;

// One kestrel-relay process; standard error is collected as it comes.
class Relay
{
public:
    explicit Relay(const QStringList &args, const QString &program = QStringLiteral(KESTREL_RELAY),
                   const std::function<void()> &inChild = {})
    {
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
        process.setChildProcessModifier(inChild);
        process.start(program, args);
    }
    ~Relay()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    // The port of the "listening on" line, or 0.
    quint16 port()
    {
        static const QRegularExpression listening(QStringLiteral("listening on .*:(\\d+)"));
        (void)QTest::qWaitFor(
            [&] { return err.contains('\n') || process.state() == QProcess::NotRunning; }, WaitMs);
        return quint16(listening.match(QString::fromUtf8(err)).captured(1).toUInt());
    }
    bool finished() { return process.waitForFinished(WaitMs); }

    QProcess process;
    QByteArray err;
};

QTcpSocket *peer(quint16 port, QObject *parent)
{
    auto *socket = new QTcpSocket(parent);
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (!socket->waitForConnected(WaitMs))
        return nullptr;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return socket;
}

// Reads from socket into buffer until it holds at least count bytes; false on a timeout.
bool readAtLeast(QTcpSocket *socket, QByteArray &buffer, qsizetype count)
{
    buffer += socket->readAll();
    while (buffer.size() < count && socket->waitForReadyRead(WaitMs))
        buffer += socket->readAll();
    return buffer.size() >= count;
}

// Waits for the relay's event line telling that count connections are open.
bool opened(Relay &relay, int count)
{
    const QByteArray line = QByteArray(" connected, ") + QByteArray::number(count) + " open";
    return QTest::qWaitFor([&] { return relay.err.contains(line); }, WaitMs);
}
} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private slots:
    void relaysToAllThenDrainsOnSigterm();
    void hostilePeerHurtsNoOther_data();
    void hostilePeerHurtsNoOther();
    void busyPortExitsOne();
    void badOptionsExitTwo_data();
    void badOptionsExitTwo();
    void servesSocketHandedOver();
};

// Every line of every peer reaches every peer, its sender included, whole and in one order;
// on SIGTERM a peer that has not read yet still gets everything, then the end of the stream,
// and the relay exits 0 with the same chat on standard output.
void TestRelay::relaysToAllThenDrainsOnSigterm()
{
    Relay relay({QStringLiteral("-p0"), QStringLiteral("-b127.0.0.1")});
    const quint16 port = relay.port();
    QVERIFY(port);
    QObject owner;
    QList<QTcpSocket *> peers;
    for (int i = 0; i < 3; ++i)
        peers << peer(port, &owner);
    QVERIFY(!peers.contains(nullptr));
    QVERIFY(opened(relay, 3));

    // Peers 1 and 2 take turns; each waits for its line to come back, so the order sent is the
    // one order. Peer 0 reads nothing until the relay is told to stop.
    QByteArray sent;
    QByteArray got[3];
    for (int n = 0; n < 2000; ++n) {
        // Lines of many sizes, a UTF-8 character cut across two writes.
        const QByteArray line = QByteArray::number(n) + "@peer      |" +
                                QByteArray(n % 997, char('a' + n % 26)) + "\xc3\xa9\r\n";
        QTcpSocket *from = peers[1 + n % 2];
        from->write(line.chopped(3));
        from->flush();
        from->write(line.last(3));
        sent += line;
        QVERIFY(readAtLeast(from, got[1 + n % 2], sent.size()));
    }
    for (int i : {1, 2}) {
        QVERIFY(readAtLeast(peers[i], got[i], sent.size()));
        QCOMPARE(got[i], sent);
    }

    ::kill(pid_t(relay.process.processId()), SIGTERM);
    QVERIFY(readAtLeast(peers[0], got[0], sent.size()));
    QCOMPARE(got[0], sent);
    QVERIFY(peers[0]->state() == QAbstractSocket::UnconnectedState ||
            peers[0]->waitForDisconnected(WaitMs));
    QVERIFY(relay.finished());
    QCOMPARE(relay.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(relay.process.exitCode(), 0);
    QCOMPARE(relay.process.readAllStandardOutput(), sent);
}

// A peer that floods without line end, sends bytes that are no UTF-8, or resets its
// connection: the others' lines still reach them whole, and the relay takes new peers.
void TestRelay::hostilePeerHurtsNoOther_data()
{
    QTest::addColumn<QByteArray>("attack");
    QTest::addColumn<int>("relayed"); // bytes of it the others get at least
    QTest::addColumn<bool>("reset");
    const QByteArray flood(3 * 1024 * 1024, 'x');
    QTest::newRow("flood without line end") << flood << int(flood.size()) << false;
    QTest::newRow("garbage") << QByteArray("\xff\xfe\xc3\x00\x80garbage\n", 13) << 8 << false;
    QTest::newRow("reset half-way through a line") << QByteArray("half a li") << 0 << true;
}

void TestRelay::hostilePeerHurtsNoOther()
{
    QFETCH(QByteArray, attack);
    QFETCH(int, relayed);
    QFETCH(bool, reset);
    Relay relay(
        {QStringLiteral("--port=0"), QStringLiteral("--bind=127.0.0.1"), QStringLiteral("-q")});
    const quint16 port = relay.port();
    QVERIFY(port);
    QObject owner;
    QTcpSocket *good = peer(port, &owner);
    QTcpSocket *other = peer(port, &owner);
    QTcpSocket *hostile = peer(port, &owner);
    QVERIFY(good && other && hostile);
    QVERIFY(opened(relay, 3));

    good->write("before\r\n");
    good->flush();
    QByteArray got;
    QVERIFY(readAtLeast(other, got, 8));
    hostile->write(attack);
    QVERIFY(hostile->waitForBytesWritten(WaitMs) || hostile->bytesToWrite() == 0);
    if (reset) {
        // Unread input makes the close a reset.
        QVERIFY(hostile->waitForReadyRead(WaitMs));
        hostile->abort();
        QTRY_VERIFY_WITH_TIMEOUT(relay.err.contains(" closed, 2 open"), WaitMs);
    }
    good->write("after\r\n");
    good->flush();
    // The attack and "after" come from two peers: either may be relayed first.
    while (!(got.contains("after\r\n") && got.size() >= 15 + relayed) &&
           other->waitForReadyRead(WaitMs))
        got += other->readAll();
    QVERIFY(got.startsWith("before\r\n"));
    QVERIFY(got.contains("after\r\n"));
    QVERIFY(got.size() >= 15 + relayed);

    QObject later;
    QVERIFY(peer(port, &later));
    QVERIFY(opened(relay, reset ? 3 : 4));
    QCOMPARE(relay.process.state(), QProcess::Running);
}

// A port taken already: one line on standard error, status 1.
void TestRelay::busyPortExitsOne()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    Relay relay({QStringLiteral("-p"), QString::number(taken.serverPort()), QStringLiteral("-b"),
                 QStringLiteral("127.0.0.1")});
    QVERIFY(relay.finished());
    QCOMPARE(relay.process.exitCode(), 1);
    relay.err += relay.process.readAllStandardError();
    QCOMPARE(relay.err.count('\n'), 1);
    QVERIFY(relay.err.startsWith("cannot listen on 127.0.0.1:"));
}

void TestRelay::badOptionsExitTwo_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("port too big") << QStringList{QStringLiteral("--port"), QStringLiteral("65536")};
    QTest::newRow("port no number") << QStringList{QStringLiteral("-p"), QStringLiteral("5x")};
    QTest::newRow("port missing") << QStringList{QStringLiteral("-p")};
    QTest::newRow("bad address") << QStringList{QStringLiteral("--bind"), QStringLiteral("host")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--colour")};
    QTest::newRow("stray argument") << QStringList{QStringLiteral("555")};
}

// A one-line complaint, then the usage; status 2, and nothing listens.
void TestRelay::badOptionsExitTwo()
{
    QFETCH(QStringList, args);
    Relay relay(args);
    QVERIFY(relay.finished());
    QCOMPARE(relay.process.exitCode(), 2);
    relay.err += relay.process.readAllStandardError();
    const QList<QByteArray> lines = relay.err.split('\n');
    QVERIFY2(lines[0].startsWith("kestrel-relay: "), lines[0]);
    QVERIFY(lines[1].startsWith("Usage: "));
    QVERIFY(!relay.err.contains("listening"));
}

// The service manager's way: a listening socket at descriptor 3, LISTEN_FDS=1 and LISTEN_PID
// naming the relay itself. The relay serves it and binds nothing of its own (no -p given,
// so it would otherwise try port 555).
void TestRelay::servesSocketHandedOver()
{
    QTcpServer handed;
    QVERIFY(handed.listen(QHostAddress::LocalHost));
    handed.pauseAccepting();
    const int fd = int(handed.socketDescriptor());
    Relay relay({QStringLiteral("-c"),
                 QStringLiteral("export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\" -q"),
                 QStringLiteral(KESTREL_RELAY)},
                QStringLiteral("/bin/sh"), [fd] { ::dup2(fd, 3); });
    QCOMPARE(relay.port(), handed.serverPort());
    QVERIFY(relay.err.contains("handed over"));

    QObject owner;
    QTcpSocket *a = peer(handed.serverPort(), &owner);
    QTcpSocket *b = peer(handed.serverPort(), &owner);
    QVERIFY(a && b);
    QVERIFY(opened(relay, 2));
    a->write("through the handed-over socket\n");
    a->flush();
    QByteArray got;
    QVERIFY(readAtLeast(b, got, 31));
    QCOMPARE(got, QByteArray("through the handed-over socket\n"));
}

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
