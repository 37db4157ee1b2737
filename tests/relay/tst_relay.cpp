#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
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
    quint16 port(bool tls = false) // of the "listening on" line (of TLS), or 0
    {
        static const QRegularExpression listening(u"listening on \\S+:(\\d+)( for TLS)?"_s);
        QRegularExpressionMatch match;
        (void)QTest::qWaitFor(
            [&] {
                QRegularExpressionMatchIterator it = listening.globalMatch(QString::fromUtf8(err));
                while (it.hasNext())
                    if ((match = it.next()).hasCaptured(2) == tls)
                        return true;
                return !process.processId();
            },
            WaitMs);
        return quint16(match.captured(1).toUInt());
    }
    // Of the certificate made at start, as the relay wrote it; empty when it did not.
    QByteArray fingerprint()
    {
        static const QRegularExpression line(u"sha256 Fingerprint=([0-9A-F:]{95})$"_s,
                                             QRegularExpression::MultilineOption);
        (void)QTest::qWaitFor([&] { return line.match(QString::fromUtf8(err)).hasMatch(); },
                              WaitMs);
        return line.match(QString::fromUtf8(err)).captured(1).toLatin1();
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

// A self-signed certificate for localhost and 127.0.0.1 in dir (cert.pem, key.pem), made by
// the openssl command as an administrator would; keySpec as its -newkey takes it.
bool makeCertificate(const QString &dir, const QStringList &keySpec)
{
    QProcess openssl;
    openssl.start(u"openssl"_s,
                  QStringList{u"req"_s, u"-x509"_s, u"-newkey"_s} + keySpec +
                      QStringList{u"-nodes"_s, u"-days"_s, u"2"_s, u"-subj"_s, u"/CN=localhost"_s,
                                  u"-addext"_s, u"subjectAltName=DNS:localhost,IP:127.0.0.1"_s,
                                  u"-keyout"_s, dir + u"/key.pem"_s, u"-out"_s,
                                  dir + u"/cert.pem"_s});
    return openssl.waitForFinished(WaitMs) && openssl.exitCode() == 0;
}

// A TLS client of the relay that trusts the one certificate given (for "localhost"), or one
// whose SHA-256 fingerprint is pinned (for the address connected to); null when that fails.
QSslSocket *tlsPeer(quint16 port, QObject *parent, const QSslCertificate &trusted,
                    const QByteArray &fingerprint = {})
{
    auto *socket = new QSslSocket(parent);
    QSslConfiguration configuration = socket->sslConfiguration();
    configuration.setCaCertificates(trusted.isNull() ? QList<QSslCertificate>() : QList{trusted});
    socket->setSslConfiguration(configuration);
    QObject::connect(socket, &QSslSocket::sslErrors, [socket, fingerprint](const auto &errors) {
        const QByteArray digest =
            socket->peerCertificate().digest(QCryptographicHash::Sha256).toHex(':').toUpper();
        if (digest == fingerprint && errors.size() == 1 &&
            errors[0].error() == QSslError::SelfSignedCertificate)
            socket->ignoreSslErrors();
    });
    socket->connectToHostEncrypted(u"127.0.0.1"_s, port,
                                   fingerprint.isEmpty() ? u"localhost"_s : QString());
    if (!socket->waitForEncrypted(WaitMs))
        return nullptr;
    return socket;
}

// The first bytes a TLS client sends: its hello.
QByteArray clientHello()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    QSslSocket client;
    client.connectToHostEncrypted(u"127.0.0.1"_s, server.serverPort());
    QTcpSocket *taken = nullptr;
    (void)QTest::qWaitFor(
        [&] {
            taken = taken ? taken : server.nextPendingConnection();
            return taken && taken->bytesAvailable() >= 100;
        },
        WaitMs);
    return taken ? taken->readAll() : QByteArray();
}
} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private slots:
    // Each line to all, sender included, whole, in one order; on SIGTERM the chat queued for
    // standard output (a pipe nobody reads until then) still goes out, then at once the exit, 0.
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
        QVERIFY2(!relay.err.contains("Z ") && !relay.err.contains("gave up"), relay.err);
    }

    // Standard output a pipe (| head), --timestamps, SIGINT, LISTEN_PID naming another process
    // (descriptor 3 not ours, port 0 is). Chat lines carry time and sender; a reader that falls
    // behind loses whole lines, counted once; one that goes away costs that chat, said once; the
    // pipe's mode stays; SIGINT stops it as SIGTERM does; each event has its time.
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
        out.clear(); // caught up: a line written now is not counted as lost
        send(peers[0], line);
        QVERIFY(readUntil(peers[0], echoes, echoes.size() + line.size()) && readOut({}));

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
        QVERIFY2(relay.err.count(failed) == 1 && relay.err.count("not written") == 1 &&
                     !relay.err.contains("handed over") &&
                     relay.err.contains(" SIGINT: closing 1 connections\n") &&
                     relay.err.contains(" kestrel-relay accept #1 ") &&
                     !relay.err.contains("gave up"), // waited no longer than their output took
                 relay.err);
        for (const QByteArray &event : relay.err.trimmed().split('\n'))
            QVERIFY2(stamp.match(QString::fromUtf8(event)).hasMatch(), event);
        ::close(pipeEnds[1]);
    }

    // Whatever one peer does at either port (flood, garbage, reset, broken or silent handshake:
    // one event line; refused before its handshake), the others' lines still reach them, whole,
    // and nothing else. A new peer gets in unless the attacker holds the last of 3 slots.
    void hostilePeerHurtsNoOther_data()
    {
        QTest::addColumn<bool>("atTls");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QByteArray>("attack");
        QTest::addColumn<QByteArray>("seen"); // what the others get of it: valid UTF-8
        QTest::addColumn<QByteArray>("says"); // its event line, after address:port; empty: none
        QTest::addColumn<bool>("holds");      // a slot, while a new peer comes
        const QByteArray flood(3 * 1024 * 1024, 'x'), hello = clientHello(), tls(" TLS handshake ");
        const QByteArray bad("\xef\xbf\xbd"); // U+FFFD for each byte that is no UTF-8
        QVERIFY(hello.startsWith("\x16\x03"));
        const QString local = u"127.0.0.1"_s;
        QTest::newRow("flood without line end")
            << false << local << flood << flood << QByteArray() << true;
        QTest::newRow("garbage") << false << local
                                 << QByteArray("\xff\xfe\xc3\x00\x80garbage\n", 13)
                                 << bad + bad + bad + QByteArray(1, 0) + bad + "garbage\n"
                                 << QByteArray() << true;
        QTest::newRow("reset half-way through a line")
            << false << local << QByteArray("half a li") << QByteArray("half a li") << QByteArray()
            << false;
        QTest::newRow("plain client at the TLS port")
            << true << local << QByteArray("hello there\n") << QByteArray() << tls << false;
        QTest::newRow("TLS client at the plain port")
            << false << local << hello << QByteArray() << tls << false;
        QTest::newRow("hello with line ends at the plain port")
            << false << local << hello.first(9) + "\n\xff\n garb\n"
            << QByteArray() << tls << false;
        QTest::newRow("truncated hello")
            << true << local << hello.first(hello.size() / 2) << QByteArray() << tls << false;
        QTest::newRow("garbage in a handshake record")
            << true << local << hello.first(9) + "\n\xff\n garb" << QByteArray() << tls << false;
        QTest::newRow("silence") << true << local << QByteArray() << QByteArray() << tls << true;
        QTest::newRow("refused at the TLS port") << true << u"127.0.0.2"_s << hello << QByteArray()
                                                 << QByteArray(": denied by 127.0.0.2/32") << false;
    }

    void hostilePeerHurtsNoOther()
    {
        QFETCH(bool, atTls);
        QFETCH(QString, from);
        QFETCH(QByteArray, attack);
        QFETCH(QByteArray, seen);
        QFETCH(QByteArray, says);
        QFETCH(bool, holds);
        Relay relay({u"-q"_s, u"-p0"_s, u"--tls-port=0"_s, u"-b127.0.0.1"_s, u"--deny=127.0.0.2"_s,
                     u"--max-clients=3"_s});
        const quint16 plainPort = relay.port(), tlsPort = relay.port(true);
        const QByteArray fingerprint = relay.fingerprint();
        QObject owner;
        const QList<QTcpSocket *> plain = connectPeers(relay, plainPort, 1, &owner);
        QVERIFY(!plain.isEmpty());
        QSslSocket *secure = tlsPeer(tlsPort, &owner, QSslCertificate(), fingerprint);
        QVERIFY(secure && relay.opened(2));
        const QHostAddress to(QHostAddress::LocalHost);
        QTcpSocket *hostile =
            connectFrom(QHostAddress(from), to, atTls ? tlsPort : plainPort, &owner);
        QVERIFY(hostile && (atTls || relay.opened(3)));
        const QByteArray peer = from.toUtf8() + ':' + QByteArray::number(hostile->localPort());

        send(plain[0], "before\r\n");
        QByteArray got;
        QVERIFY(readUntil(secure, got, 8));
        hostile->write(attack);
        QVERIFY(hostile->waitForBytesWritten(WaitMs) || hostile->bytesToWrite() == 0);
        if (attack == "half a li") {
            hostile->abort(); // with "before" unread: a reset
            QTRY_VERIFY_WITH_TIMEOUT(relay.err.contains(" closed, 2 open"), WaitMs);
        }
        const auto closedWithOneLine = [&] {
            return (hostile->state() != QAbstractSocket::ConnectedState ||
                    hostile->waitForDisconnected(WaitMs)) &&
                   QTest::qWaitFor([&] { return relay.err.count(peer + says) == 1; }, WaitMs);
        };
        QVERIFY2(says.isEmpty() || holds || closedWithOneLine(), relay.err);
        if (from != u"127.0.0.1"_s)
            QCOMPARE(hostile->readAll(), QByteArray()); // not even a server hello
        send(plain[0], "after\r\n");
        // "after" comes from another peer: before, after or between the pieces of a flood.
        QVERIFY(readUntil(secure, got, 15 + seen.size(), "after\r\n"));
        QCOMPARE(got.replace("after\r\n", ""), "before\r\n" + seen);

        QTcpSocket *later = connectFrom(to, to, plainPort, &owner);
        QVERIFY(later);
        if (holds) {
            QVERIFY(later->state() != QAbstractSocket::ConnectedState ||
                    later->waitForDisconnected(WaitMs));
            QTRY_VERIFY2_WITH_TIMEOUT(relay.err.contains(": 3 clients connected (--max-clients)"),
                                      relay.err, WaitMs);
            QVERIFY2(says.isEmpty() || closedWithOneLine(), relay.err);
        } else {
            send(later, "late\n");
            QVERIFY(readUntil(secure, got, 1, "late\n"));
        }
    }

    // Peers in the order they come; refused ones are closed before a byte is read or sent, what
    // they sent reaches no one; one event line per address, its retries counted (said at stop).
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
    // the burst, also once it hung up; another client's line meanwhile is relayed at once.
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
        flooder->disconnectFromHost();
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
        // Whoever is left still talks; a third, refused by old and new rules, does not get in.
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
            << u"--max-queue=1024K"_s
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

    // A port taken already, or a TLS key that cannot be read: one line on standard error
    // (before anything listens), status 1.
    void busyPortOrUnreadableKeyExitsOne()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        Relay relay({u"-p"_s, QString::number(taken.serverPort()), u"-b"_s, u"127.0.0.1"_s});
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.exitCode(), 1);
        QVERIFY2(relay.err.count('\n') == 1 && relay.err.startsWith("cannot listen on 127.0.0.1:"),
                 relay.err);
        QTemporaryDir dir;
        QVERIFY(makeCertificate(dir.path(), {u"rsa:2048"_s}));
        Relay tls({u"-p0"_s, u"--tls-only"_s, u"--tls-cert"_s, dir.filePath(u"cert.pem"_s),
                   u"--tls-key"_s, dir.filePath(u"missing.pem"_s)});
        QVERIFY(tls.finished());
        QCOMPARE(tls.process.exitCode(), 1);
        QVERIFY2(tls.err.count('\n') == 1 && tls.err.contains("missing.pem"), tls.err);
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
        QTest::newRow("TLS certificate without key")
            << QStringList{u"--tls-cert=c.pem"_s} << QByteArray();
        QTest::newRow("TLS port and TLS only")
            << QStringList{u"--tls-port=5556"_s, u"--tls-only"_s} << QByteArray();
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

    // Sockets 3 and 4 (LISTEN_FDS=2, LISTEN_PID its own) named tls and plain serve, not port 555:
    // TLS first, its made-at-start certificate naming that address; plain on IPv6 (peers written
    // in brackets); --trace names the TLS protocol. The chat appended to a file keeps what it held.
    void servesSocketsHandedOver()
    {
        QTemporaryFile file;
        QVERIFY(file.open() && file.write("kept\n") == 5 && file.flush());
        QTcpServer handed, handedTls;
        QVERIFY(handed.listen(QHostAddress::LocalHostIPv6));
        QVERIFY(handedTls.listen(QHostAddress::LocalHost));
        handed.pauseAccepting();
        handedTls.pauseAccepting();
        const int fds[] = {int(handed.socketDescriptor()), int(handedTls.socketDescriptor())};
        Relay relay(
            {u"-c"_s,
             u"export LISTEN_PID=$$ LISTEN_FDS=2 LISTEN_FDNAMES=tls:plain; exec \"$0\" --trace >>\"$1\""_s,
             u"" KESTREL_RELAY ""_s, file.fileName()},
            u"/bin/sh"_s, [fds] {
                // Out of the way first: either may sit at 3 or 4 already.
                const int plain = ::fcntl(fds[0], F_DUPFD, 10);
                const int tls = ::fcntl(fds[1], F_DUPFD, 10);
                ::dup2(tls, 3);
                ::dup2(plain, 4);
            });
        QCOMPARE(relay.port(), handed.serverPort());
        QCOMPARE(relay.port(true), handedTls.serverPort());
        const QByteArray fingerprint = relay.fingerprint();
        QVERIFY(relay.err.contains("handed over"));
        QObject owner;
        const QList<QTcpSocket *> peers = connectPeers(relay, handed.serverPort(), 1, &owner,
                                                       QHostAddress(QHostAddress::LocalHostIPv6));
        QVERIFY(!peers.isEmpty());
        QSslSocket *secure =
            tlsPeer(handedTls.serverPort(), &owner, QSslCertificate(), fingerprint);
        QVERIFY2(secure && relay.opened(2), relay.err);
        QVERIFY2(relay.err.contains(" [::1]:" + QByteArray::number(peers[0]->localPort()) +
                                    " connected") &&
                     relay.err.contains(':' + QByteArray::number(secure->localPort()) + " (TLSv1."),
                 relay.err);
        send(peers[0], "through the handed-over socket\n");
        QByteArray got;
        QVERIFY(readUntil(secure, got, 1, "\n"));
        QCOMPARE(got, "through the handed-over socket\n");
        QTRY_VERIFY_WITH_TIMEOUT(
            file.seek(0) && file.readAll() == "kept\nthrough the handed-over socket\n", WaitMs);
    }

    // SIGHUP: a renewed certificate serves new connections while an open one goes on; a key
    // that cannot be read keeps the pair served, and the event line names the file.
    void sighupRenewsCertificate()
    {
        QTemporaryDir dir;
        const QString cert = dir.filePath(u"cert.pem"_s), key = dir.filePath(u"key.pem"_s);
        const QStringList ec{u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:P-256"_s};
        QVERIFY(makeCertificate(dir.path(), ec));
        Relay relay({u"--tls-only"_s, u"-p0"_s, u"-b127.0.0.1"_s, u"-q"_s, u"--tls-cert"_s, cert,
                     u"--tls-key"_s, key});
        const quint16 port = relay.port(true);
        QObject owner;
        QSslSocket *first = tlsPeer(port, &owner, QSslCertificate::fromPath(cert).value(0));
        QVERIFY2(first && relay.opened(1), relay.err);

        QVERIFY(makeCertificate(dir.path(), {u"rsa:2048"_s})); // EC before, RSA now
        const QSslCertificate renewed = QSslCertificate::fromPath(cert).value(0);
        ::kill(pid_t(relay.process.processId()), SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(relay.err.count("TLS certificate read from"), 2, WaitMs);
        QSslSocket *second = tlsPeer(port, &owner, renewed);
        QVERIFY2(second && relay.opened(2), relay.err);
        send(first, "still on the old one\n");
        QByteArray got;
        QVERIFY2(readUntil(second, got, 1, "still on the old one\n"), relay.err + got);

        QFile broken(key);
        QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate) && broken.write("x"));
        broken.close();
        ::kill(pid_t(relay.process.processId()), SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(relay.err.contains(key.toUtf8()), WaitMs);
        QVERIFY(tlsPeer(port, &owner, renewed));
    }

    // Common TLS clients: each sends a line through the relay and gets it back, having verified
    // the relay's certificate where the tool can. Skipped where the tool is not installed.
    void interoperates_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("args"); // CERT and PORT to be filled in
        QTest::newRow("openssl s_client") << u"openssl"_s
                                          << u"s_client -quiet -verify_return_error -CAfile CERT "
                                             "-verify_hostname localhost -connect 127.0.0.1:PORT"_s;
        QTest::newRow("socat") << u"socat"_s
                               << u"- OPENSSL:127.0.0.1:PORT,cafile=CERT,commonname=localhost"_s;
        QTest::newRow("ncat") << u"ncat"_s
                              << u"--ssl --ssl-verify --ssl-trustfile CERT -4 localhost PORT"_s;
    }

    void interoperates()
    {
        QFETCH(QString, tool);
        QFETCH(QString, args);
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP("the tool is not installed");
        QTemporaryDir dir;
        QVERIFY(makeCertificate(dir.path(), {u"rsa:2048"_s}));
        const QString cert = dir.filePath(u"cert.pem"_s);
        Relay relay({u"--tls-only"_s, u"-p0"_s, u"-b127.0.0.1"_s, u"-q"_s, u"--tls-cert"_s, cert,
                     u"--tls-key"_s, dir.filePath(u"key.pem"_s)});
        const QString port = QString::number(relay.port(true));
        Relay client(args.replace(u"CERT"_s, cert).replace(u"PORT"_s, port).split(u' '), tool);
        QVERIFY2(relay.opened(1), relay.err + client.err);
        client.process.write("from " + tool.toUtf8() + "\n");
        QVERIFY2(
            QTest::qWaitFor(
                [&] { return client.process.peek(64).contains("from " + tool.toUtf8()); }, WaitMs),
            client.err);
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
