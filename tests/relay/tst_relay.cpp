#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <QTemporaryFile>

#include <csignal>
#include <fcntl.h>
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
        static const QRegularExpression listening(u"listening on \\S*:(\\d+)"_s);
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
        QVERIFY2(!relay.err.contains("Z "), relay.err); // no time stamps without --timestamps
    }

    // Standard output a pipe (| head, say), --timestamps, SIGINT, and LISTEN_PID naming another
    // process (our parent: descriptor 3 is not ours, port 0 is). A chat line comes with its time
    // and sender; a reader that falls behind loses whole lines, counted once it caught up; one
    // that goes away costs the chat on standard output, said once, and nothing else; the pipe's
    // mode stays as the shell made it. SIGINT stops it as SIGTERM does; each event has its time.
    void stdoutPipeTimestampsAndSigint()
    {
        int pipeEnds[2];
        QTcpServer handed;
        QVERIFY(::pipe2(pipeEnds, O_CLOEXEC) == 0 && handed.listen(QHostAddress::LocalHost));
        const int fd = int(handed.socketDescriptor());
        Relay relay(
            {u"-c"_s,
             u"export LISTEN_PID=$PPID LISTEN_FDS=1; exec \"$0\" --timestamps --trace -p0 -b127.0.0.1"_s,
             u"" KESTREL_RELAY ""_s},
            u"/bin/sh"_s, [fd, out = pipeEnds[1]] {
                ::dup2(fd, 3);
                ::dup2(out, 1);
            });
        QObject owner;
        const QList<QTcpSocket *> peers = connectPeers(relay, relay.port(), 1, &owner);
        QVERIFY(!peers.isEmpty() && relay.port() != handed.serverPort() &&
                !(::fcntl(pipeEnds[1], F_GETFL) & O_NONBLOCK));
        ::fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
        QByteArray out, echoes;
        const auto readOut = [&](const QByteArray &until) {
            return QTest::qWaitFor(
                [&] {
                    char buffer[65536];
                    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
                        out.append(buffer, n);
                    return out.endsWith('\n') && relay.err.contains(until);
                },
                WaitMs);
        };
        static const QRegularExpression stamp(
            u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z "_s);
        const QByteArray line = "1@lag       |" + QByteArray(985, 'x') + "\r\n"; // 1000 bytes
        send(peers[0], line);
        QVERIFY(readUntil(peers[0], echoes, line.size()) && readOut({}));
        const QByteArray sender = " 127.0.0.1:" + QByteArray::number(peers[0]->localPort()) + ' ';
        QVERIFY2(stamp.match(QString::fromUtf8(out)).hasMatch() && out.endsWith(sender + line),
                 out);
        const qsizetype written = out.size(); // each chat line, with its time and sender
        out.clear();

        const int lines = 1500; // past the 1 MiB held
        for (int i = 1; i <= lines; ++i) {
            send(peers[0], line);
            QVERIFY(i % 100 || readUntil(peers[0], echoes, line.size() * (i + 1)));
        }
        QVERIFY(readOut("not written"));
        const QByteArray dropped = QByteArray::number(lines - out.size() / written);
        QVERIFY2(out.size() % written == 0 && out.size() < lines * written &&
                     relay.err.contains(": " + dropped + " chat lines not written"),
                 relay.err);

        ::close(pipeEnds[0]); // the reader goes
        for (const QByteArray &text : {"gone 1\n", "gone 2\n"}) {
            send(peers[0], text);
            QVERIFY(readUntil(peers[0], echoes, echoes.size() + 7, text));
        }
        const QByteArray failed = "standard output failed (Broken pipe): chat no longer written";
        QVERIFY(QTest::qWaitFor([&] { return relay.err.contains(failed); }, WaitMs));
        ::kill(pid_t(relay.process.processId()), SIGINT);
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.exitCode(), 0);
        QVERIFY2(relay.err.count(failed) == 1 && !relay.err.contains("handed over") &&
                     relay.err.contains(" SIGINT: closing 1 connections\n") &&
                     relay.err.contains(" CWS_TCP_S accept #1 ") &&
                     !relay.err.contains("gave up"), // waited no longer than their output took
                 relay.err);
        for (const QByteArray &event : relay.err.trimmed().split('\n'))
            QVERIFY2(stamp.match(QString::fromUtf8(event)).hasMatch(), event);
        ::close(pipeEnds[1]);
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
        // "after" comes from another peer: before, after or between the pieces of a flood.
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

    // --help and --version on standard output, status 0. No socket handed over (LISTEN_FDS=0,
    // or a descriptor 3 that is no socket): one line, status 1.
    void helpVersionAndNoSocketHandedOver()
    {
        Relay help({u"--help"_s}), version({u"--version"_s});
        QVERIFY(help.finished() && version.finished() && help.process.exitCode() == 0 &&
                version.process.exitCode() == 0);
        QVERIFY(help.process.readAllStandardOutput().contains(" --timestamps ") &&
                version.process.readAllStandardOutput().startsWith("kestrel-relay "));
        for (const char *fds : {"0", "1"}) {
            Relay relay({u"-c"_s,
                         u"export LISTEN_PID=$$ LISTEN_FDS=%1; exec \"$0\" 3</dev/null"_s.arg(fds),
                         u"" KESTREL_RELAY ""_s},
                        u"/bin/sh"_s);
            QVERIFY2(relay.finished() && relay.process.exitCode() == 1 &&
                         relay.err.count('\n') == 1 &&
                         relay.err.contains(*fds == '0' ? "LISTEN_FDS is \"0\"" : "descriptor 3"),
                     relay.err);
        }
    }

    // Socket at descriptor 3, LISTEN_FDS=1, LISTEN_PID its own: served instead of port 555
    // (an IPv6 one, whose peers the event lines write in brackets). The chat appended to a file
    // leaves what it held.
    void servesSocketHandedOver()
    {
        QTemporaryFile file;
        QVERIFY(file.open() && file.write("kept\n") == 5 && file.flush());
        QTcpServer handed;
        QVERIFY(handed.listen(QHostAddress::LocalHostIPv6));
        handed.pauseAccepting();
        const int fd = int(handed.socketDescriptor());
        Relay relay({u"-c"_s, u"export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\" >>\"$1\""_s,
                     u"" KESTREL_RELAY ""_s, file.fileName()},
                    u"/bin/sh"_s, [fd] { ::dup2(fd, 3); });
        QCOMPARE(relay.port(), handed.serverPort());
        QVERIFY(relay.err.contains(" (socket handed over by the service manager)\n"));
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
        QTRY_VERIFY_WITH_TIMEOUT(
            file.seek(0) && file.readAll() == "kept\nthrough the handed-over socket\n", WaitMs);
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
