#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
constexpr int WaitMs = 20000;

// One kestrel-relay process; standard error is collected as it comes.
struct Relay
{
    explicit Relay(const QStringList &args, const QString &program = u"" KESTREL_RELAY ""_s,
                   const std::function<void()> &inChild = {})
    {
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
        process.setChildProcessModifier(inChild);
        process.start(program, args);
    }
    ~Relay()
    {
        process.kill();
        process.waitForFinished();
    }
    quint16 port() // of the "listening on" line, or 0
    {
        (void)QTest::qWaitFor([&] { return err.contains('\n') || !process.processId(); }, WaitMs);
        static const QRegularExpression listening(u"^listening on .*:(\\d+)"_s);
        return quint16(listening.match(QString::fromUtf8(err)).captured(1).toUInt());
    }
    bool finished()
    {
        const bool done = process.waitForFinished(WaitMs);
        err += process.readAllStandardError();
        return done && process.exitStatus() == QProcess::NormalExit;
    }
    // Waits for the event line saying count connections are open.
    bool opened(int count)
    {
        const QByteArray line = " connected, " + QByteArray::number(count) + " open";
        return QTest::qWaitFor([&] { return err.contains(line); }, WaitMs);
    }

    QProcess process;
    QByteArray err;
};

// count raw peers on loopback, all seen by the relay; empty when that fails.
QList<QTcpSocket *> connectPeers(Relay &relay, quint16 port, int count, QObject *parent,
                                 const QHostAddress &to = QHostAddress(QHostAddress::LocalHost))
{
    QList<QTcpSocket *> peers;
    for (int i = 0; i < count; ++i) {
        peers << new QTcpSocket(parent);
        peers.last()->connectToHost(to, port);
        if (!peers.last()->waitForConnected(WaitMs))
            return {};
        peers.last()->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }
    return relay.opened(count) ? peers : QList<QTcpSocket *>();
}

void send(QTcpSocket *socket, const QByteArray &bytes)
{
    socket->write(bytes);
    socket->flush();
}

// Reads until buffer holds count bytes or more, what among them; false on a timeout.
bool readUntil(QTcpSocket *socket, QByteArray &buffer, qsizetype count, const QByteArray &what = {})
{
    buffer += socket->readAll();
    while ((buffer.size() < count || !buffer.contains(what)) && socket->waitForReadyRead(WaitMs))
        buffer += socket->readAll();
    return buffer.size() >= count && buffer.contains(what);
}
} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private slots:
    // Each line to all, sender included, whole, in one order; on SIGTERM the chat queued for
    // standard output (a pipe nobody reads until then) still goes out, and the exit is 0.
    void relaysToAllThenDrainsOnSigterm()
    {
        Relay relay({u"-p0"_s, u"-b127.0.0.1"_s});
        QObject owner;
        const QList<QTcpSocket *> peers = connectPeers(relay, relay.port(), 3, &owner);
        QVERIFY(!peers.isEmpty());

        // Peers 1 and 2 take turns, each waiting for its echo: the order sent is the one order.
        QByteArray sent;
        QByteArray got[3];
        for (int n = 0; n < 2000; ++n) {
            // Lines of many sizes, a UTF-8 character cut across two writes.
            const QByteArray line = QByteArray::number(n) + "@peer      |" +
                                    QByteArray(n % 997, char('a' + n % 26)) + "\xc3\xa9\r\n";
            QTcpSocket *from = peers[1 + n % 2];
            send(from, line.chopped(3));
            send(from, line.last(3));
            sent += line;
            QVERIFY(readUntil(from, got[1 + n % 2], sent.size()));
        }
        ::kill(pid_t(relay.process.processId()), SIGTERM);
        for (int i : {0, 1, 2}) {
            QVERIFY(readUntil(peers[i], got[i], sent.size()));
            QCOMPARE(got[i], sent);
            QVERIFY(peers[i]->state() != QAbstractSocket::ConnectedState ||
                    peers[i]->waitForDisconnected(WaitMs));
        }
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.exitCode(), 0);
        QCOMPARE(relay.process.readAllStandardOutput(), sent);
    }

    // Whatever one peer does, the others' lines still reach them and new peers get in.
    void hostilePeerHurtsNoOther_data()
    {
        QTest::addColumn<QByteArray>("attack");
        QTest::addColumn<int>("relayed"); // bytes of it the others get at least
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QByteArray>("seen"); // what the others get of it: valid UTF-8
        const QByteArray flood(3 * 1024 * 1024, 'x');
        const QByteArray bad("\xef\xbf\xbd"); // U+FFFD for each byte that is no UTF-8
        QTest::newRow("flood without line end") << flood << int(flood.size()) << false << flood;
        QTest::newRow("garbage") << QByteArray("\xff\xfe\xc3\x00\x80garbage\n", 13) << 8 << false
                                 << bad + bad + bad + QByteArray(1, 0) + bad + "garbage\n";
        QTest::newRow("reset half-way through a line")
            << QByteArray("half a li") << 0 << true << QByteArray();
    }

    void hostilePeerHurtsNoOther()
    {
        QFETCH(QByteArray, attack);
        QFETCH(int, relayed);
        QFETCH(bool, reset);
        QFETCH(QByteArray, seen);
        Relay relay({u"--port=0"_s, u"--bind=127.0.0.1"_s, u"-q"_s});
        const quint16 port = relay.port();
        QObject owner;
        const QList<QTcpSocket *> peers = connectPeers(relay, port, 3, &owner);
        QVERIFY(!peers.isEmpty());
        QTcpSocket *good = peers[0], *other = peers[1], *hostile = peers[2];

        send(good, "before\r\n");
        QByteArray got;
        QVERIFY(readUntil(other, got, 8));
        hostile->write(attack);
        QVERIFY(hostile->waitForBytesWritten(WaitMs) || hostile->bytesToWrite() == 0);
        if (reset) {
            hostile->abort(); // with "before" unread: a reset
            QTRY_VERIFY_WITH_TIMEOUT(relay.err.contains(" closed, 2 open"), WaitMs);
        }
        send(good, "after\r\n");
        // The attack and "after" come from two peers: "after" may come anywhere between the
        // pieces of the attack.
        QVERIFY(readUntil(other, got, 15 + relayed, "after\r\n"));
        QVERIFY(got.startsWith("before\r\n") && got.replace("after\r\n", "").contains(seen));
        QObject later;
        QVERIFY(!connectPeers(relay, port, 1, &later).isEmpty());
        QVERIFY(relay.opened(reset ? 3 : 4));
    }

    // A port taken already: one line on standard error, status 1.
    void busyPortExitsOne()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        Relay relay({u"-p"_s, QString::number(taken.serverPort()), u"-b"_s, u"127.0.0.1"_s});
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.exitCode(), 1);
        QVERIFY2(relay.err.count('\n') == 1 && relay.err.startsWith("cannot listen on 127.0.0.1:"),
                 relay.err);
    }

    void badOptionsExitTwo_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("port too big") << QStringList{u"--port"_s, u"65536"_s};
        QTest::newRow("port no number") << QStringList{u"-p"_s, u"5x"_s};
        QTest::newRow("bad address") << QStringList{u"--bind"_s, u"host"_s};
        QTest::newRow("unknown option") << QStringList{u"--colour"_s};
        QTest::newRow("stray argument") << QStringList{u"555"_s};
    }

    // A one-line complaint, then the usage; status 2, and nothing listens.
    void badOptionsExitTwo()
    {
        QFETCH(QStringList, args);
        Relay relay(args);
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.exitCode(), 2);
        const QList<QByteArray> lines = relay.err.split('\n');
        QVERIFY2(lines[0].startsWith("kestrel-relay: ") && lines[1].startsWith("Usage: "),
                 relay.err);
        QVERIFY(!relay.err.contains("listening"));
    }

    // --help: the usage on standard output, status 0. A descriptor 3 handed over that is no
    // socket: one line, status 1.
    void helpAndNoSocketHandedOver()
    {
        Relay help({u"--help"_s});
        QVERIFY(help.finished());
        QCOMPARE(help.process.exitCode(), 0);
        const QByteArray usage = help.process.readAllStandardOutput();
        QVERIFY2(usage.contains("--port") && usage.contains("--timestamps"), usage);
        Relay relay({u"-c"_s, u"export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\" 3</dev/null"_s,
                     u"" KESTREL_RELAY ""_s},
                    u"/bin/sh"_s);
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.exitCode(), 1);
        QVERIFY2(relay.err.count('\n') == 1 && relay.err.contains("descriptor 3"), relay.err);
    }

    // Socket at descriptor 3, LISTEN_FDS=1, LISTEN_PID its own: served instead of port 555
    // (an IPv6 one, whose peers the event lines write in brackets).
    void servesSocketHandedOver()
    {
        QTcpServer handed;
        QVERIFY(handed.listen(QHostAddress::LocalHostIPv6));
        handed.pauseAccepting();
        const int fd = int(handed.socketDescriptor());
        Relay relay({u"-c"_s, u"export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\" -q"_s,
                     u"" KESTREL_RELAY ""_s},
                    u"/bin/sh"_s, [fd] { ::dup2(fd, 3); });
        QCOMPARE(relay.port(), handed.serverPort());
        QVERIFY(relay.err.contains("handed over"));
        QObject owner;
        const QList<QTcpSocket *> peers = connectPeers(relay, handed.serverPort(), 2, &owner,
                                                       QHostAddress(QHostAddress::LocalHostIPv6));
        QVERIFY(!peers.isEmpty());
        QVERIFY2(relay.err.contains(" [::1]:" + QByteArray::number(peers[0]->localPort()) +
                                    " connected"),
                 relay.err);
        send(peers[0], "through the handed-over socket\n");
        QByteArray got;
        QVERIFY(readUntil(peers[1], got, 1, "\n"));
        QCOMPARE(got, "through the handed-over socket\n");
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
