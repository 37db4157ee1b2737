#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

// A peer from source (bound before it connects: 127.0.0.2 and so on are all on loopback).
QTcpSocket *connectFrom(const QHostAddress &source, const QHostAddress &to, quint16 port,
                        QObject *parent)
{
    auto *socket = new QTcpSocket(parent);
    if (!socket->bind(source) ||
        (socket->connectToHost(to, port), !socket->waitForConnected(WaitMs)))
        return nullptr;
    return socket;
}

// A listening IPv6 socket on ::ffff:127.0.0.1 that also takes IPv4 peers, which it reports
// as ::ffff:a.b.c.d, as the service manager's BindIPv6Only=both socket does; -1 on failure.
int mappedListener()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int off = 0;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &address.sin6_addr);
    if (fd < 0 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0)
        return -1;
    return fd;
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
        QVERIFY(::pipe2(pipeEnds, O_CLOEXEC) == 0);
        QTcpServer handed;
        QVERIFY(handed.listen(QHostAddress::LocalHost));
        const int fd = int(handed.socketDescriptor());
        Relay relay(
            {u"-c"_s,
             u"export LISTEN_PID=$PPID LISTEN_FDS=1; exec \"$0\" --timestamps -p0 -b127.0.0.1"_s,
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

    // Peers in the order they come; the refused ones are closed before a byte is read from or
    // sent to them, and what they sent reaches no one. One event line per refused address,
    // however often it tries; the others counted, and the count written on the way out.
    void whoMayConnect_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("listen"); // an address, or "mapped" for mappedListener()
        QTest::addColumn<QStringList>("peers");
        QTest::addColumn<QStringList>("refused"); // the reason for each peer, empty: admitted
        const QStringList three{u"127.0.0.1"_s, u"127.0.0.1"_s, u"127.0.0.1"_s};
        QTest::newRow("IPv4 block, deny wins")
            << QStringList{u"--allow=127.0.0.0/30"_s, u"--deny"_s, u"127.0.0.2"_s} << u"127.0.0.1"_s
            << QStringList{u"127.0.0.1"_s, u"127.0.0.2"_s, u"127.0.0.3"_s, u"127.0.0.5"_s}
            << QStringList{{}, u"denied by 127.0.0.2/32"_s, {}, u"not allowed"_s};
        QTest::newRow("deny only") << QStringList{u"--deny=127.0.0.0/31"_s} << u"127.0.0.1"_s
                                   << QStringList{u"127.0.0.1"_s, u"127.0.0.4"_s}
                                   << QStringList{u"denied by 127.0.0.0/31"_s, {}};
        QTest::newRow("IPv6 allowed by block")
            << QStringList{u"--allow=::/64"_s, u"--allow=10.0.0.0/8"_s} << u"::1"_s
            << QStringList{u"::1"_s} << QStringList{{}};
        QTest::newRow("IPv6 not among IPv4 rules or other blocks")
            << QStringList{u"--allow=127.0.0.0/8"_s, u"--allow=::2"_s, u"--allow=2001:db8::/32"_s}
            << u"::1"_s << QStringList{u"::1"_s} << QStringList{u"not allowed"_s};
        QTest::newRow("IPv6 denied, deny wins")
            << QStringList{u"--allow=::1"_s, u"--deny=::/0"_s} << u"::1"_s << QStringList{u"::1"_s}
            << QStringList{u"denied by ::/0"_s};
        QTest::newRow("IPv4-mapped peers and rules")
            << QStringList{u"--allow=127.0.0.0/29"_s, u"--deny=::ffff:127.0.0.2/127"_s,
                           u"--deny=::/0"_s}
            << u"mapped"_s
            << QStringList{u"127.0.0.2"_s, u"127.0.0.4"_s, u"127.0.0.3"_s, u"127.0.0.9"_s}
            << QStringList{
                   u"denied by 127.0.0.2/31"_s, {}, u"denied by 127.0.0.2/31"_s, u"not allowed"_s};
        QTest::newRow("max clients")
            << QStringList{u"--max-clients=2"_s} << u"127.0.0.1"_s << three
            << QStringList{{}, {}, u"2 clients connected (--max-clients)"_s};
    }

    void whoMayConnect()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, listen);
        QFETCH(QStringList, peers);
        QFETCH(QStringList, refused);
        const bool mapped = listen == u"mapped"_s;
        const int fd = mapped ? mappedListener() : -1;
        QVERIFY(!mapped || fd >= 0);
        const auto closeFd = qScopeGuard([fd] { fd >= 0 && ::close(fd); });
        const QStringList handed{u"-c"_s,
                                 u"export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\" \"$@\""_s,
                                 u"" KESTREL_RELAY ""_s};
        Relay relay((mapped ? handed : QStringList{u"-p0"_s, u"-b"_s, listen}) +
                        QStringList{u"-q"_s} + args,
                    mapped ? u"/bin/sh"_s : u"" KESTREL_RELAY ""_s, [fd] {
                        if (fd >= 0)
                            ::dup2(fd, 3);
                    });
        const quint16 port = relay.port();
        QVERIFY2(port, relay.err);
        const QHostAddress to(mapped ? u"127.0.0.1"_s : listen);
        QObject owner;
        QList<QTcpSocket *> admitted;
        int open = 0;
        for (qsizetype i = 0; i < peers.size(); ++i) {
            const QHostAddress from(peers[i]);
            // A refused peer is tried three times; it talks at once, and hears nothing.
            for (int attempt = 0; attempt < (refused[i].isEmpty() ? 1 : 3); ++attempt) {
                QTcpSocket *peer = connectFrom(from, to, port, &owner);
                QVERIFY2(peer, qPrintable(peers[i]));
                if (refused[i].isEmpty()) {
                    admitted << peer;
                    QVERIFY2(relay.opened(++open), relay.err);
                    continue;
                }
                send(peer, "secret from " + peers[i].toUtf8() + '\n');
                QVERIFY(peer->state() != QAbstractSocket::ConnectedState ||
                        peer->waitForDisconnected(WaitMs));
                QCOMPARE(peer->readAll(), QByteArray());
            }
        }
        QVERIFY(!admitted.isEmpty() || !relay.err.contains(" connected, "));
        if (!admitted.isEmpty()) {
            send(admitted.last(), "public\n");
            for (QTcpSocket *peer : admitted) {
                QByteArray got;
                QVERIFY(readUntil(peer, got, 7, "public\n"));
                QCOMPARE(got, "public\n");
            }
        }
        ::kill(pid_t(relay.process.processId()), SIGTERM);
        QVERIFY(relay.finished());
        for (qsizetype i = 0; i < peers.size(); ++i) {
            if (refused[i].isEmpty())
                continue;
            const QHostAddress from(peers[i]);
            const QByteArray name =
                (from.protocol() == QAbstractSocket::IPv6Protocol ? "[" + peers[i] + "]" : peers[i])
                    .toUtf8();
            QCOMPARE(relay.err.count("refused " + name + ':'), 1);
            QVERIFY2(relay.err.contains(": " + refused[i].toUtf8() + '\n'), relay.err);
            QVERIFY2(relay.err.contains("refused 2 more connections from " + peers[i].toUtf8() +
                                        " in the last minute"),
                     relay.err);
        }
    }

    // A flooder's lines all come through, whole and in order, no faster than the rate after
    // the burst; another client's line meanwhile is relayed at once, not behind the flood.
    void lineRateReadsFlooderSlowly()
    {
        constexpr int Rate = 20, Lines = 70;
        Relay relay(
            {u"-q"_s, u"-p0"_s, u"-b127.0.0.1"_s, u"--max-line-rate"_s, QString::number(Rate)});
        QObject owner;
        const QList<QTcpSocket *> peers = connectPeers(relay, relay.port(), 3, &owner);
        QVERIFY(!peers.isEmpty());
        QTcpSocket *flooder = peers[0], *other = peers[1], *listener = peers[2];
        QByteArray flood;
        for (int n = 0; n < Lines; ++n)
            flood += "flood line " + QByteArray::number(n) + ' ' + QByteArray(n * 13, '~') + '\n';
        QElapsedTimer clock;
        clock.start();
        send(flooder, flood);
        QByteArray got;
        QList<qint64> arrived; // ms at which each flood line was seen
        bool otherSent = false;
        while (got.count("flood line") < Lines && clock.elapsed() < WaitMs) {
            if (!listener->waitForReadyRead(100))
                continue;
            got += listener->readAll();
            while (arrived.size() < got.count("flood line"))
                arrived << clock.elapsed();
            if (!otherSent && arrived.size() >= Rate + 5) {
                send(other, "meanwhile\n");
                otherSent = true;
            }
        }
        QCOMPARE(got.count("flood line"), Lines);
        // Whole and in order, with the other line somewhere between two flood lines.
        const qsizetype meanwhile = got.indexOf("meanwhile\n");
        QVERIFY(meanwhile > 0 && meanwhile < got.lastIndexOf("flood line"));
        got.remove(meanwhile, 10);
        QCOMPARE(got, flood);
        // Line n (from 0) may not come before (n + 1 - Rate) / Rate s; 20 ms for the clock.
        for (int n = Rate; n < Lines; ++n)
            QVERIFY2(arrived[n] >= (n + 1 - Rate) * 1000 / Rate - 20,
                     qPrintable(u"line %1 at %2 ms"_s.arg(n).arg(arrived[n])));
    }

    // SIGHUP reads the allow file again: clients still allowed stay, the others are closed
    // with a line each; a bad or missing file keeps the rules as they were and says why.
    void reloadOnSighup_data()
    {
        QTest::addColumn<QByteArray>("rewritten"); // empty: the file is removed
        QTest::addColumn<QByteArray>("says");
        QTest::addColumn<bool>("secondStays");
        QTest::newRow("narrowed") << QByteArray("127.0.0.1  # the only one now\n")
                                  << QByteArray("closed: refused by the rules read again (not "
                                                "allowed), 1 open")
                                  << false;
        QTest::newRow("bad line") << QByteArray("127.0.0.1\n\n# next\n127.0.0.300\n")
                                  << QByteArray(":4: '127.0.0.300': not an IPv4") << true;
        QTest::newRow("missing") << QByteArray() << QByteArray(": No such file") << true;
    }

    void reloadOnSighup()
    {
        QFETCH(QByteArray, rewritten);
        QFETCH(QByteArray, says);
        QFETCH(bool, secondStays);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write("127.0.0.1\n127.0.0.2/32\n");
        file.flush();
        Relay relay({u"-q"_s, u"-p0"_s, u"-b127.0.0.1"_s, u"--allow-file"_s, file.fileName()});
        const quint16 port = relay.port();
        QObject owner;
        const QHostAddress to(QHostAddress::LocalHost);
        QTcpSocket *first = connectFrom(QHostAddress(u"127.0.0.1"_s), to, port, &owner);
        QTcpSocket *second = connectFrom(QHostAddress(u"127.0.0.2"_s), to, port, &owner);
        QVERIFY(first && second && relay.opened(2));

        if (rewritten.isEmpty()) {
            file.remove();
        } else {
            file.resize(0);
            file.write(rewritten);
            file.flush();
        }
        ::kill(pid_t(relay.process.processId()), SIGHUP);
        QTRY_VERIFY2_WITH_TIMEOUT(relay.err.contains(says), relay.err, WaitMs);
        if (!secondStays)
            QVERIFY(second->state() == QAbstractSocket::UnconnectedState ||
                    second->waitForDisconnected(WaitMs));
        else
            QVERIFY2(relay.err.contains("SIGHUP: access rules kept as they were: " +
                                        file.fileName().toUtf8()),
                     relay.err);
        // Whoever is left still talks; a third, refused by the old rules and the new, does not
        // get in.
        send(first, "still here\n");
        QByteArray got;
        QVERIFY(readUntil(secondStays ? second : first, got, 11, "still here\n"));
        QTcpSocket *third = connectFrom(QHostAddress(u"127.0.0.3"_s), to, port, &owner);
        QVERIFY(third && (third->state() != QAbstractSocket::ConnectedState ||
                          third->waitForDisconnected(WaitMs)));
        QCOMPARE(relay.err.count(" closed"), secondStays ? 0 : 1);
    }

    // A client cut by a limit: its closing line names the limit.
    void limitsCut_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("idle") << u"--idle-timeout=1"_s
                              << QByteArray(
                                     "closed: sent nothing for 1 s (--idle-timeout), 2 open");
        QTest::newRow("queue")
            << u"--max-queue=1M"_s
            << QByteArray("closed: output queue passed 1048576 bytes (--max-queue), 2 open");
    }

    void limitsCut()
    {
        QFETCH(QString, option);
        QFETCH(QByteArray, says);
        Relay relay({u"-q"_s, u"-p0"_s, u"-b127.0.0.1"_s, option});
        QObject owner;
        // The first neither reads nor writes; the other two talk and read.
        auto *stuck = new QTcpSocket(&owner);
        stuck->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        stuck->setReadBufferSize(4096); // or Qt reads it all whenever events are processed
        stuck->connectToHost(QHostAddress::LocalHost, relay.port());
        QVERIFY(stuck->waitForConnected(WaitMs) && relay.opened(1));
        const QList<QTcpSocket *> peers = connectPeers(relay, relay.port(), 2, &owner);
        QVERIFY(!peers.isEmpty());
        QElapsedTimer clock;
        clock.start();
        const QByteArray line = QByteArray(8000, 'q') + '\n';
        QByteArray got[2];
        for (int n = 1; !relay.err.contains(says) && clock.elapsed() < WaitMs; ++n) {
            send(peers[n % 2], line);
            QVERIFY(readUntil(peers[0], got[0], n * line.size()));
            QVERIFY(readUntil(peers[1], got[1], n * line.size()));
            QTest::qWait(option.contains(u"idle"_s) ? 100 : 0);
        }
        QVERIFY2(relay.err.contains(" closed: "), relay.err);
        QVERIFY2(relay.err.count(" closed") == 1 && relay.err.contains(says), relay.err);
        QVERIFY(clock.elapsed() >= (option.contains(u"idle"_s) ? 1000 : 0));
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
        QTest::addColumn<QByteArray>("says"); // a bad rule: one line saying this, no usage
        QTest::newRow("port too big") << QStringList{u"--port"_s, u"65536"_s} << QByteArray();
        QTest::newRow("port no number") << QStringList{u"-p"_s, u"5x"_s} << QByteArray();
        QTest::newRow("bad address") << QStringList{u"--bind"_s, u"host"_s} << QByteArray();
        QTest::newRow("unknown option") << QStringList{u"--colour"_s} << QByteArray();
        QTest::newRow("stray argument") << QStringList{u"555"_s} << QByteArray();
        QTest::newRow("no queue") << QStringList{u"--max-queue=0"_s} << QByteArray();
        QTest::newRow("rate no number") << QStringList{u"--max-line-rate=2.5"_s} << QByteArray();
        QTest::newRow("prefix too long")
            << QStringList{u"--allow=10.0.0.0/33"_s} << QByteArray("--allow '10.0.0.0/33': prefix");
        QTest::newRow("octal") << QStringList{u"--deny"_s, u"010.0.0.1"_s}
                               << QByteArray("--deny '010.0.0.1': not an");
        QTest::newRow("scope") << QStringList{u"--allow=fe80::1%lo"_s}
                               << QByteArray("--allow 'fe80::1%lo': not an IPv6");
        QTest::newRow("file line") << QStringList{u"--deny-file=%file"_s}
                                   << QByteArray(":4: '10.0.0.1/8/8': prefix length");
        QTest::newRow("no file") << QStringList{u"--allow-file=/nonexistent/allow"_s}
                                 << QByteArray("/nonexistent/allow: No such file");
    }

    // A one-line complaint, then the usage (a bad rule: just the line); status 2, and nothing
    // listens.
    void badOptionsExitTwo()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, says);
        QTemporaryFile file;
        QVERIFY(file.open() && file.write("10.0.0.0/8 # fine\n\n  # so is this\n10.0.0.1/8/8\n"));
        file.close();
        args.replaceInStrings(u"%file"_s, file.fileName());
        Relay relay(QStringList{u"-p0"_s, u"-b127.0.0.1"_s} + args);
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.exitCode(), 2);
        const QList<QByteArray> lines = relay.err.split('\n');
        QVERIFY2(lines[0].startsWith("kestrel-relay: "), relay.err);
        if (says.isEmpty())
            QVERIFY2(lines[1].startsWith("Usage: "), relay.err);
        else
            QVERIFY2(lines[0].contains(says) && relay.err.count('\n') == 1, relay.err);
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
        QTRY_VERIFY_WITH_TIMEOUT(
            file.seek(0) && file.readAll() == "kept\nthrough the handed-over socket\n", WaitMs);
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
