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
const QString Program = u"" KESTREL_RELAY ""_s, Shell = u"/bin/sh"_s;

// Whether the other end has closed socket, or does so within the wait.
bool hungUp(QAbstractSocket *socket)
{
    return socket->state() != QAbstractSocket::ConnectedState ||
           socket->waitForDisconnected(WaitMs);
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

bool hears(QTcpSocket *socket, const QByteArray &text)
{
    QByteArray got;
    return readUntil(socket, got, text.size(), text);
}

// One kestrel-relay process (or program); standard error is collected as it comes. Its peers
// live as long as it does.
struct Relay
{
    explicit Relay(const QString &args) : Relay(args.split(u' ')) {}
    explicit Relay(const QStringList &args, const QString &program = Program,
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
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    // Whether it ended by itself with status.
    bool exits(int status)
    {
        const bool done = process.waitForFinished(WaitMs);
        err += process.readAllStandardError();
        return done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == status;
    }
    // Waits for the event line saying count connections are open.
    bool opened(int count)
    {
        const QByteArray line = " connected, " + QByteArray::number(count) + " open";
        return QTest::qWaitFor([&] { return err.contains(line); }, WaitMs);
    }
    // A peer from source (bound before it connects: 127.0.0.2 and so on are all on loopback).
    QTcpSocket *from(const QString &source, quint16 to, const QString &host = u"127.0.0.1"_s)
    {
        auto *socket = new QTcpSocket(&owner);
        const bool bound = socket->bind(QHostAddress(source));
        socket->connectToHost(QHostAddress(host), to);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return bound && socket->waitForConnected(WaitMs) ? socket : nullptr;
    }
    // count peers at the plain port (or at), all seen by the relay; empty when that fails.
    QList<QTcpSocket *> peers(int count, quint16 at = 0, const QString &host = u"127.0.0.1"_s)
    {
        QList<QTcpSocket *> peers;
        for (int i = 0; i < count; ++i)
            if (!(peers << from(host, at ? at : port(), host)).last())
                return {};
        return opened(count) ? peers : QList<QTcpSocket *>();
    }

    QObject owner;
    QProcess process;
    QByteArray err;
};

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

// A self-signed certificate for localhost and 127.0.0.1 in dir (cert.pem, key.pem), made by
// the openssl command as an administrator would; keySpec as its -newkey takes it.
bool makeCertificate(const QString &dir, const QStringList &keySpec)
{
    QProcess openssl;
    openssl.start(u"openssl"_s, QStringList{u"req"_s, u"-x509"_s, u"-newkey"_s} + keySpec +
                                    u"-nodes -days 2 -subj /CN=localhost -addext "
                                    "subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout %1/key.pem "
                                    "-out %1/cert.pem"_s.arg(dir)
                                        .split(u' '));
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
    return socket->waitForEncrypted(WaitMs) ? socket : nullptr;
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

    QTemporaryDir dir; // cert.pem and key.pem, for localhost and 127.0.0.1

private slots:
    void initTestCase() { QVERIFY(makeCertificate(dir.path(), {u"rsa:2048"_s})); }

    // Each line to all, sender included, whole, in one order; on SIGTERM the chat queued for
    // standard output (a pipe nobody reads until then) still goes out, then at once the exit, 0.
    void relaysToAllThenDrainsOnSigterm()
    {
        Relay relay(u"-p0 -b127.0.0.1"_s);
        const QList<QTcpSocket *> peers = relay.peers(3);
        QVERIFY(!peers.isEmpty());
        // Peers 1 and 2 take turns, each waiting for its echo: the order sent is the one order.
        QByteArray sent, got[3];
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
        relay.signal(SIGTERM);
        for (int i : {0, 1, 2}) {
            QVERIFY(readUntil(peers[i], got[i], sent.size()));
            QCOMPARE(got[i], sent);
            QVERIFY(hungUp(peers[i]));
        }
        QVERIFY(relay.exits(0));
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
             Program},
            Shell, [fd, out = pipeEnds[1]] {
                ::dup2(fd, 3);
                ::dup2(out, 1);
            });
        const QList<QTcpSocket *> peers = relay.peers(1);
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
        relay.signal(SIGINT);
        QVERIFY(relay.exits(0));
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
        const QByteArray bad("\xef\xbf\xbd"), no; // U+FFFD for each byte that is no UTF-8
        QVERIFY(hello.startsWith("\x16\x03"));
        const QString local = u"127.0.0.1"_s;
        QTest::newRow("flood without line end") << false << local << flood << flood << no << true;
        QTest::newRow("garbage") << false << local
                                 << QByteArray("\xff\xfe\xc3\x00\x80garbage\n", 13)
                                 << bad + bad + bad + QByteArray(1, 0) + bad + "garbage\n"
                                 << no << true;
        QTest::newRow("reset half-way through a line")
            << false << local << QByteArray("half a li") << QByteArray("half a li") << no << false;
        QTest::newRow("plain client at the TLS port")
            << true << local << QByteArray("hello there\n") << no << tls << false;
        QTest::newRow("TLS client at the plain port")
            << false << local << hello << no << tls << false;
        QTest::newRow("hello with line ends at the plain port")
            << false << local << hello.first(9) + "\n\xff\n garb\n"
            << no << tls << false;
        QTest::newRow("truncated hello")
            << true << local << hello.first(hello.size() / 2) << no << tls << false;
        QTest::newRow("garbage in a handshake record")
            << true << local << hello.first(9) + "\n\xff\n garb" << no << tls << false;
        QTest::newRow("silence") << true << local << no << no << tls << true;
        QTest::newRow("refused at the TLS port") << true << u"127.0.0.2"_s << hello << no
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
        Relay relay(u"-q -p0 --tls-port=0 -b127.0.0.1 --deny=127.0.0.2 --max-clients=3"_s);
        const quint16 plainPort = relay.port(), tlsPort = relay.port(true);
        const QByteArray fingerprint = relay.fingerprint();
        const QList<QTcpSocket *> plain = relay.peers(1);
        QSslSocket *secure = tlsPeer(tlsPort, &relay.owner, QSslCertificate(), fingerprint);
        QVERIFY(!plain.isEmpty() && secure && relay.opened(2));
        QTcpSocket *hostile = relay.from(from, atTls ? tlsPort : plainPort);
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
            return hungUp(hostile) &&
                   QTest::qWaitFor([&] { return relay.err.count(peer + says) == 1; }, WaitMs);
        };
        QVERIFY2(says.isEmpty() || holds || closedWithOneLine(), relay.err);
        if (from != u"127.0.0.1"_s)
            QCOMPARE(hostile->readAll(), QByteArray()); // not even a server hello
        send(plain[0], "after\r\n");
        // "after" comes from another peer: before, after or between the pieces of a flood.
        QVERIFY(readUntil(secure, got, 15 + seen.size(), "after\r\n"));
        QCOMPARE(got.replace("after\r\n", ""), "before\r\n" + seen);

        QTcpSocket *later = relay.from(u"127.0.0.1"_s, plainPort);
        QVERIFY(later);
        if (holds) {
            QVERIFY(hungUp(later));
            QTRY_VERIFY2_WITH_TIMEOUT(relay.err.contains(": 3 clients connected (--max-clients)"),
                                      relay.err, WaitMs);
            QVERIFY2(says.isEmpty() || closedWithOneLine(), relay.err);
        } else {
            send(later, "late\n");
            QVERIFY(hears(secure, "late\n"));
        }
    }

    // Peers in the order they come; refused ones are closed before a byte is read or sent, what
    // they sent reaches no one; one event line per address, its retries counted (said at stop).
    void whoMayConnect_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("listen");  // an address, or "mapped" for mappedListener()
        QTest::addColumn<QString>("peers");   // blank apart
        QTest::addColumn<QString>("refused"); // each peer's reason ('|' apart), empty: admitted
        QTest::newRow("IPv4 block, deny wins")
            << u"--allow=127.0.0.0/30 --deny 127.0.0.2"_s << u"127.0.0.1"_s
            << u"127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.5"_s
            << u"|denied by 127.0.0.2/32||not allowed"_s;
        QTest::newRow("deny only") << u"--deny=127.0.0.0/31"_s << u"127.0.0.1"_s
                                   << u"127.0.0.1 127.0.0.4"_s << u"denied by 127.0.0.0/31|"_s;
        QTest::newRow("IPv6 allowed by block")
            << u"--allow=::/64 --allow=10.0.0.0/8"_s << u"::1"_s << u"::1"_s << QString();
        QTest::newRow("IPv6 not among IPv4 rules or other blocks")
            << u"--allow=127.0.0.0/8 --allow=::2 --allow=2001:db8::/32"_s << u"::1"_s << u"::1"_s
            << u"not allowed"_s;
        QTest::newRow("IPv6 denied, deny wins")
            << u"--allow=::1 --deny=::/0"_s << u"::1"_s << u"::1"_s << u"denied by ::/0"_s;
        QTest::newRow("IPv4-mapped peers and rules")
            << u"--allow=127.0.0.0/29 --deny=::ffff:127.0.0.2/127 --deny=::/0"_s << u"mapped"_s
            << u"127.0.0.2 127.0.0.4 127.0.0.3 127.0.0.9"_s
            << u"denied by 127.0.0.2/31||denied by 127.0.0.2/31|not allowed"_s;
        QTest::newRow("max clients")
            << u"--max-clients=2"_s << u"127.0.0.1"_s << u"127.0.0.1 127.0.0.1 127.0.0.1"_s
            << u"||2 clients connected (--max-clients)"_s;
    }

    void whoMayConnect()
    {
        QFETCH(QString, args);
        QFETCH(QString, listen);
        QFETCH(QString, peers);
        QFETCH(QString, refused);
        const QStringList sources = peers.split(u' '), reasons = refused.split(u'|');
        const bool mapped = listen == u"mapped"_s;
        const int fd = mapped ? mappedListener() : -1;
        QVERIFY(!mapped || fd >= 0);
        const auto closeFd = qScopeGuard([fd] { fd >= 0 && ::close(fd); });
        const QStringList handed{
            u"-c"_s, u"export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$0\" \"$@\""_s, Program};
        Relay relay((mapped ? handed : QStringList{u"-p0"_s, u"-b"_s, listen}) +
                        QStringList{u"-q"_s} + args.split(u' '),
                    mapped ? Shell : Program, [fd] {
                        if (fd >= 0)
                            ::dup2(fd, 3);
                    });
        const quint16 port = relay.port();
        QVERIFY2(port, relay.err);
        QList<QTcpSocket *> admitted;
        for (qsizetype i = 0; i < sources.size(); ++i) {
            // A refused peer is tried three times; it talks at once, and hears nothing.
            for (int attempt = 0; attempt < (reasons[i].isEmpty() ? 1 : 3); ++attempt) {
                QTcpSocket *peer = relay.from(sources[i], port, mapped ? u"127.0.0.1"_s : listen);
                QVERIFY2(peer, qPrintable(sources[i]));
                if (reasons[i].isEmpty()) {
                    admitted << peer;
                    QVERIFY2(relay.opened(int(admitted.size())), relay.err);
                    continue;
                }
                send(peer, "secret from " + sources[i].toUtf8() + '\n');
                QVERIFY(hungUp(peer));
                QCOMPARE(peer->readAll(), QByteArray());
            }
        }
        QVERIFY(!admitted.isEmpty() || !relay.err.contains(" connected, "));
        if (!admitted.isEmpty())
            send(admitted.last(), "public\n");
        for (QTcpSocket *peer : admitted) {
            QByteArray got;
            QVERIFY(readUntil(peer, got, 7, "public\n"));
            QCOMPARE(got, "public\n");
        }
        relay.signal(SIGTERM);
        QVERIFY(relay.exits(0));
        for (qsizetype i = 0; i < sources.size(); ++i) {
            const QByteArray name =
                (sources[i].contains(u':') ? '[' + sources[i] + ']' : sources[i]).toUtf8();
            QVERIFY2(reasons[i].isEmpty() ||
                         (relay.err.count("refused " + name + ':') == 1 &&
                          relay.err.contains(": " + reasons[i].toUtf8() + '\n') &&
                          relay.err.contains("refused 2 more connections from " +
                                             sources[i].toUtf8() + " in the last minute")),
                     relay.err);
        }
    }

    // A flooder's lines all come through, whole and in order, no faster than the rate after
    // the burst, also once it hung up; another client's line meanwhile is relayed at once.
    void lineRateReadsFlooderSlowly()
    {
        constexpr int Rate = 20, Lines = 70;
        Relay relay(u"-q -p0 -b127.0.0.1 --max-line-rate "_s + QString::number(Rate));
        const QList<QTcpSocket *> peers = relay.peers(3);
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
        QTest::newRow("narrowed")
            << QByteArray("127.0.0.1  # the only one now\n")
            << QByteArray("closed: refused by the rules read again (not allowed), 1 open") << false;
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
        QVERIFY(file.open() && file.write("127.0.0.1\n127.0.0.2/32\n") && file.flush());
        Relay relay(u"-q -p0 -b127.0.0.1 --allow-file "_s + file.fileName());
        const quint16 port = relay.port();
        QTcpSocket *first = relay.from(u"127.0.0.1"_s, port);
        QTcpSocket *second = relay.from(u"127.0.0.2"_s, port);
        QVERIFY(first && second && relay.opened(2));
        QVERIFY(rewritten.isEmpty() ? file.remove()
                                    : file.resize(0) && file.write(rewritten) && file.flush());
        relay.signal(SIGHUP);
        QTRY_VERIFY2_WITH_TIMEOUT(relay.err.contains(says), relay.err, WaitMs);
        QVERIFY2(secondStays ? relay.err.contains("SIGHUP: access rules kept as they were: " +
                                                  file.fileName().toUtf8())
                             : hungUp(second),
                 relay.err);
        // Whoever is left still talks; a third, refused by old and new rules, does not get in.
        send(first, "still here\n");
        QVERIFY(hears(secondStays ? second : first, "still here\n"));
        QTcpSocket *third = relay.from(u"127.0.0.3"_s, port);
        QVERIFY(third && hungUp(third));
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
        Relay relay(u"-q -p0 -b127.0.0.1 "_s + option);
        // The first neither reads nor writes; the other two talk and read.
        auto *stuck = new QTcpSocket(&relay.owner);
        stuck->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        stuck->setReadBufferSize(4096); // or Qt reads it all whenever events are processed
        stuck->connectToHost(QHostAddress::LocalHost, relay.port());
        QVERIFY(stuck->waitForConnected(WaitMs) && relay.opened(1));
        const QList<QTcpSocket *> peers = relay.peers(2);
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
        QVERIFY2(relay.err.count(" closed") == 1 && relay.err.contains(says), relay.err);
        QVERIFY(clock.elapsed() >= (option.contains(u"idle"_s) ? 1000 : 0));
    }

    void refusesToStart_data()
    {
        QTest::addColumn<QString>("args"); // %port: a port taken, %file: a bad rules file
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("says"); // status 0: on standard output; empty: the usage
        QTest::newRow("port too big") << u"--port 65536"_s << 2 << QByteArray();
        QTest::newRow("port no number") << u"-p 5x"_s << 2 << QByteArray();
        QTest::newRow("bad address") << u"--bind host"_s << 2 << QByteArray();
        QTest::newRow("unknown option") << u"--colour"_s << 2 << QByteArray();
        QTest::newRow("stray argument") << u"555"_s << 2 << QByteArray();
        QTest::newRow("no queue") << u"--max-queue=0"_s << 2 << QByteArray();
        QTest::newRow("rate no number") << u"--max-line-rate=2.5"_s << 2 << QByteArray();
        QTest::newRow("TLS certificate without key") << u"--tls-cert=c.pem"_s << 2 << QByteArray();
        QTest::newRow("TLS port and TLS only")
            << u"--tls-port=5556 --tls-only"_s << 2 << QByteArray();
        QTest::newRow("prefix too long")
            << u"--allow=10.0.0.0/33"_s << 2 << QByteArray("--allow '10.0.0.0/33': prefix");
        QTest::newRow("octal") << u"--deny 010.0.0.1"_s << 2
                               << QByteArray("--deny '010.0.0.1': not an");
        QTest::newRow("scope") << u"--allow=fe80::1%lo"_s << 2
                               << QByteArray("--allow 'fe80::1%lo': not an IPv6");
        QTest::newRow("file line")
            << u"--deny-file=%file"_s << 2 << QByteArray(":4: '10.0.0.1/8/8': prefix length");
        QTest::newRow("no file") << u"--allow-file=/nonexistent/allow"_s << 2
                                 << QByteArray("/nonexistent/allow: No such file");
        QTest::newRow("port taken")
            << u"-p %port -b 127.0.0.1"_s << 1 << QByteArray("cannot listen on 127.0.0.1:");
        QTest::newRow("key unreadable")
            << u"--tls-only --tls-cert=%dir/cert.pem --tls-key=%dir/missing.pem"_s << 1
            << QByteArray("/missing.pem");
        QTest::newRow("LISTEN_FDS=0")
            << u"LISTEN_FDS=0"_s << 1 << QByteArray("LISTEN_FDS is \"0\"");
        QTest::newRow("descriptor 3 no socket")
            << u"LISTEN_FDS=1"_s << 1 << QByteArray("descriptor 3");
        QTest::newRow("--help") << u"--help"_s << 0 << QByteArray(" --timestamps ");
        QTest::newRow("--version") << u"--version"_s << 0 << QByteArray("kestrel-relay ");
    }

    // Bad options (status 2), a port or key that cannot be had, no socket handed over (status 1):
    // one line on standard error, or a complaint and the usage; nothing listens.
    void refusesToStart()
    {
        QFETCH(QString, args);
        QFETCH(int, status);
        QFETCH(QByteArray, says);
        QTcpServer taken;
        QTemporaryFile file;
        QVERIFY(taken.listen(QHostAddress::LocalHost) && file.open() &&
                file.write("10.0.0.0/8 # fine\n\n  # so is this\n10.0.0.1/8/8\n") && file.flush());
        args.replace(u"%port"_s, QString::number(taken.serverPort()))
            .replace(u"%file"_s, file.fileName())
            .replace(u"%dir"_s, dir.path());
        const bool handed = args.startsWith(u"LISTEN_FDS="_s); // descriptor 3 is no socket
        Relay relay(
            handed ? QStringList{u"-c"_s,
                                 u"export LISTEN_PID=$$ %1; exec \"$0\" 3</dev/null"_s.arg(args),
                                 Program}
                   : QStringList{u"-p0"_s, u"-b127.0.0.1"_s} + args.split(u' '),
            handed ? Shell : Program);
        QVERIFY2(relay.exits(status), relay.err);
        if (status == 0)
            QVERIFY(relay.process.readAllStandardOutput().contains(says));
        QVERIFY2(status == 0 ||
                     (says.isEmpty() ? relay.err.split('\n')[1].startsWith("Usage: ")
                                     : relay.err.count('\n') == 1 && relay.err.contains(says)),
                 relay.err);
        QVERIFY2(status != 2 || relay.err.startsWith("kestrel-relay: "), relay.err);
        QVERIFY(!relay.err.contains("listening"));
    }

    // Sockets 3 and 4 (LISTEN_FDS=2, LISTEN_PID its own) named tls and plain serve, not port 555:
    // TLS first, its made-at-start certificate naming that address; plain on IPv6 (peers written
    // in brackets); --trace names the TLS protocol. The chat appended to a file keeps what it held.
    void servesSocketsHandedOver()
    {
        QTemporaryFile file;
        QVERIFY(file.open() && file.write("kept\n") == 5 && file.flush());
        QTcpServer handed, handedTls;
        QVERIFY(handed.listen(QHostAddress::LocalHostIPv6) &&
                handedTls.listen(QHostAddress::LocalHost));
        handed.pauseAccepting();
        handedTls.pauseAccepting();
        const int fds[] = {int(handed.socketDescriptor()), int(handedTls.socketDescriptor())};
        Relay relay(
            {u"-c"_s,
             u"export LISTEN_PID=$$ LISTEN_FDS=2 LISTEN_FDNAMES=tls:plain; exec \"$0\" --trace >>\"$1\""_s,
             Program, file.fileName()},
            Shell, [fds] {
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
        const QList<QTcpSocket *> peers = relay.peers(1, handed.serverPort(), u"::1"_s);
        QSslSocket *secure =
            tlsPeer(handedTls.serverPort(), &relay.owner, QSslCertificate(), fingerprint);
        QVERIFY2(!peers.isEmpty() && secure && relay.opened(2), relay.err);
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
        QTemporaryDir renewing;
        const QString cert = renewing.filePath(u"cert.pem"_s);
        const QString key = renewing.filePath(u"key.pem"_s);
        QVERIFY(makeCertificate(renewing.path(),
                                {u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:P-256"_s}));
        Relay relay({u"--tls-only"_s, u"-p0"_s, u"-b127.0.0.1"_s, u"-q"_s, u"--tls-cert"_s, cert,
                     u"--tls-key"_s, key});
        const quint16 port = relay.port(true);
        QSslSocket *first = tlsPeer(port, &relay.owner, QSslCertificate::fromPath(cert).value(0));
        QVERIFY2(first && relay.opened(1), relay.err);

        QVERIFY(makeCertificate(renewing.path(), {u"rsa:2048"_s})); // EC before, RSA now
        const QSslCertificate renewed = QSslCertificate::fromPath(cert).value(0);
        relay.signal(SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(relay.err.count("TLS certificate read from"), 2, WaitMs);
        QSslSocket *second = tlsPeer(port, &relay.owner, renewed);
        QVERIFY2(second && relay.opened(2), relay.err);
        send(first, "still on the old one\n");
        QByteArray got;
        QVERIFY2(readUntil(second, got, 1, "still on the old one\n"), relay.err + got);

        QFile broken(key);
        QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate) && broken.write("x"));
        broken.close();
        relay.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(relay.err.contains(key.toUtf8()), WaitMs);
        QVERIFY(tlsPeer(port, &relay.owner, renewed));
    }

    // Common TLS clients: each sends a line through the relay and gets it back, having verified
    // the relay's certificate where the tool can. Skipped where the tool is not installed.
    void interoperates_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("args"); // CERT and PORT to be filled in
        QTest::newRow("openssl s_client")
            << u"openssl"_s
            << u"s_client -quiet -verify_return_error -CAfile CERT -verify_hostname localhost "
               "-connect 127.0.0.1:PORT"_s;
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
