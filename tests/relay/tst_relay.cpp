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

bool hungUp(QAbstractSocket *socket)
{
    return socket->state() != QAbstractSocket::ConnectedState ||
           socket->waitForDisconnected(WaitMs);
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

// One kestrel-relay process (or program), standard error collected; its peers live as long.
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
    QRegularExpressionMatch seen(const QString &pattern) // in standard error, waited for
    {
        const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
        QRegularExpressionMatch match;
        const auto found = [&] {
            return (match = re.match(QString::fromUtf8(err))).hasMatch();
        };
        (void)QTest::qWaitFor([&] { return found() || !process.processId(); }, WaitMs);
        return match;
    }
    quint16 port(bool tls = false) // of the "listening on" line (of TLS), or 0
    {
        const QString end = tls ? u" for TLS"_s : u"(?=\\s|$)(?! for TLS)"_s;
        return quint16(seen(u"listening on \\S+:(\\d+)"_s + end).captured(1).toUInt());
    }
    QByteArray fingerprint() // of the certificate made at start; empty when none was
    {
        return seen(u"sha256 Fingerprint=([0-9A-F:]{95})$"_s).captured(1).toLatin1();
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    bool exits(int status)
    {
        const bool done = process.waitForFinished(WaitMs);
        err += process.readAllStandardError();
        return done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == status;
    }
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

// Listening on ::ffff:127.0.0.1 as a BindIPv6Only=both socket: IPv4 peers come as ::ffff:a.b.c.d.
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

// Self-signed for localhost and 127.0.0.1 in dir (cert.pem, key.pem), as an administrator would.
bool makeCertificate(const QString &dir, const QString &newKey) // newKey: as -newkey takes it
{
    QProcess openssl;
    openssl.start(u"openssl"_s, u"req -x509 -newkey %1 -nodes -days 2 -subj /CN=localhost -addext "
                                "subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout %2/key.pem "
                                "-out %2/cert.pem"_s.arg(newKey, dir)
                                    .split(u' '));
    return openssl.waitForFinished(WaitMs) && openssl.exitCode() == 0;
}

// A TLS client trusting only trusted (for "localhost"), or pinning a SHA-256 fingerprint.
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

QByteArray clientHello() // the first bytes a TLS client sends
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
// Arguments for Shell: exports (LISTEN_PID=$$ unless they say otherwise), then exec the relay.
QStringList viaShell(const QString &exports, const QString &then)
{
    return {u"-c"_s, u"export LISTEN_PID=$$ %1; exec \"$0\" %2"_s.arg(exports, then), Program};
}
} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

    QTemporaryDir dir; // cert.pem and key.pem, for localhost and 127.0.0.1
    static void send(QTcpSocket *socket, const QByteArray &bytes)
    {
        socket->write(bytes);
        socket->flush();
    }

private slots:
    void initTestCase() { QVERIFY(makeCertificate(dir.path(), u"rsa:2048"_s)); }

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

    // Standard output a pipe, --timestamps, SIGINT, LISTEN_PID another's (port 0 serves). Chat
    // lines carry time and sender; a reader behind loses whole lines, counted once; one gone costs
    // the chat, said once; the pipe's mode stays; SIGINT stops as SIGTERM; events have times.
    void stdoutPipeTimestampsAndSigint()
    {
        int pipeEnds[2];
        QTcpServer handed;
        QVERIFY(::pipe2(pipeEnds, O_CLOEXEC) == 0 && handed.listen(QHostAddress::LocalHost));
        const int fd = int(handed.socketDescriptor());
        Relay relay(
            viaShell(u"LISTEN_PID=$PPID LISTEN_FDS=1"_s, u"--timestamps --trace -p0 -b127.0.0.1"_s),
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
        const QRegularExpression stamp(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z "_s);
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

    // Whatever one peer does at either port (one event line; refused before any handshake), the
    // others get their lines whole and nothing else; a new peer gets in unless it holds a slot.
    void hostilePeerHurtsNoOther_data()
    {
        QTest::addColumn<bool>("atTls");
        QTest::addColumn<QByteArray>("attack");
        QTest::addColumn<QByteArray>("seen"); // what the others get of it: valid UTF-8
        QTest::addColumn<QByteArray>("says"); // its event line, after address:port; empty: none
        QTest::addColumn<bool>("holds");      // a slot, while a new peer comes
        const QByteArray flood(3 * 1024 * 1024, 'x'), hello = clientHello(), tls(" TLS handshake ");
        const QByteArray bad("\xef\xbf\xbd"), no; // U+FFFD for each byte that is no UTF-8
        QVERIFY(hello.startsWith("\x16\x03"));
        const auto row = [](const char *name, bool atTls, const QByteArray &attack,
                            const QByteArray &seen, const QByteArray &says, bool holds) {
            QTest::newRow(name) << atTls << attack << seen << says << holds;
        };
        row("flood without line end", false, flood, flood, no, true);
        row("garbage", false, QByteArray("\xff\xfe\xc3\x00\x80garbage\n", 13),
            bad + bad + bad + QByteArray(1, 0) + bad + "garbage\n", no, true);
        row("reset half-way through a line", false, "half a li", "half a li", no, false);
        row("plain client at the TLS port", true, "hello there\n", no, tls, false);
        row("TLS client at the plain port", false, hello, no, tls, false);
        row("hello with line ends at the plain port", false, hello.first(9) + "\n\xff\n garb\n", no,
            tls, false);
        row("truncated hello", true, hello.first(hello.size() / 2), no, tls, false);
        row("garbage in a handshake record", true, hello.first(9) + "\n\xff\n garb", no, tls,
            false);
        row("silence", true, no, no, tls, true);
        row("refused at the TLS port", true, hello, no, ": denied by 127.0.0.2/32", false);
    }

    void hostilePeerHurtsNoOther()
    {
        QFETCH(bool, atTls);
        QFETCH(QByteArray, attack);
        QFETCH(QByteArray, seen);
        QFETCH(QByteArray, says);
        QFETCH(bool, holds);
        const QString from = says.contains("denied") ? u"127.0.0.2"_s : u"127.0.0.1"_s;
        Relay relay(u"-q -p0 --tls-port=0 -b127.0.0.1 --deny=127.0.0.2 --max-clients=3"_s);
        const quint16 plainPort = relay.port(), tlsPort = relay.port(true);
        const QList<QTcpSocket *> plain = relay.peers(1);
        QSslSocket *secure = tlsPeer(tlsPort, &relay.owner, QSslCertificate(), relay.fingerprint());
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
        const auto row = [](const char *name, const char *args, const char *listen,
                            const char *peers, const char *refused) {
            QTest::newRow(name) << QString::fromUtf8(args) << QString::fromUtf8(listen)
                                << QString::fromUtf8(peers) << QString::fromUtf8(refused);
        };
        row("IPv4 block, deny wins", "--allow=127.0.0.0/30 --deny 127.0.0.2", "127.0.0.1",
            "127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.5", "|denied by 127.0.0.2/32||not allowed");
        row("deny only", "--deny=127.0.0.0/31", "127.0.0.1", "127.0.0.1 127.0.0.4",
            "denied by 127.0.0.0/31|");
        row("IPv6 allowed by block", "--allow=::/64 --allow=10.0.0.0/8", "::1", "::1", "");
        row("IPv6 not among IPv4 rules or other blocks",
            "--allow=127.0.0.0/8 --allow=::2 --allow=2001:db8::/32", "::1", "::1", "not allowed");
        row("IPv6 denied, deny wins", "--allow=::1 --deny=::/0", "::1", "::1", "denied by ::/0");
        row("IPv4-mapped peers and rules",
            "--allow=127.0.0.0/29 --deny=::ffff:127.0.0.2/127 --deny=::/0", "mapped",
            "127.0.0.2 127.0.0.4 127.0.0.3 127.0.0.9",
            "denied by 127.0.0.2/31||denied by 127.0.0.2/31|not allowed");
        row("max clients", "--max-clients=2", "127.0.0.1", "127.0.0.1 127.0.0.1 127.0.0.1",
            "||2 clients connected (--max-clients)");
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
        Relay relay((mapped ? viaShell(u"LISTEN_FDS=1"_s, u"\"$@\""_s)
                            : QStringList{u"-p0"_s, u"-b"_s, listen}) +
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

    // SIGHUP reads the allow file and the certificate again. Clients still allowed stay, the
    // others are closed with a line each; a bad or missing file keeps the rules as they were and
    // says why. A renewed certificate serves new connections while an open one goes on; a key that
    // cannot be read keeps the pair served, and the event line names the file.
    void sighupReadsRulesAndCertificate()
    {
        QTemporaryDir files;
        QFile allow(files.filePath(u"allow"_s)), key(files.filePath(u"key.pem"_s));
        const QString cert = files.filePath(u"cert.pem"_s);
        const auto write = [](QFile &file, const QByteArray &text) {
            const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                                 file.write(text) == text.size();
            file.close();
            return written;
        };
        QVERIFY(write(allow, "127.0.0.1\n127.0.0.2/32\n") &&
                makeCertificate(files.path(), u"ec -pkeyopt ec_paramgen_curve:P-256"_s));
        Relay relay(
            u"-q -p0 --tls-port=0 -b127.0.0.1 --allow-file %1 --tls-cert %2 --tls-key %3"_s.arg(
                allow.fileName(), cert, key.fileName()));
        const quint16 port = relay.port(), tlsPort = relay.port(true);
        QTcpSocket *first = relay.from(u"127.0.0.1"_s, port);
        QTcpSocket *second = relay.from(u"127.0.0.2"_s, port);
        QSslSocket *old = tlsPeer(tlsPort, &relay.owner, QSslCertificate::fromPath(cert).value(0));
        QVERIFY2(first && second && old && relay.opened(3), relay.err);
        QVERIFY(makeCertificate(files.path(), u"rsa:2048"_s)); // EC before, RSA now
        const QSslCertificate renewed = QSslCertificate::fromPath(cert).value(0);
        const QByteArray kept = "SIGHUP: access rules kept as they were: " + files.path().toUtf8();
        const QByteArray keyBad = key.fileName().toUtf8() + " holds no";
        const std::pair<QByteArray, QByteArray> steps[] = {
            // the allow file rewritten (empty: removed, and the key goes bad), what is said
            {"127.0.0.1\n\n# next\n127.0.0.300\n", ":4: '127.0.0.300': not an IPv4"},
            {{}, ": No such file"},
            {"127.0.0.1  # the only one now\n",
             "closed: refused by the rules read again (not allowed), 4 open"}};
        for (int step = 0; step < 3; ++step) {
            const auto &[rewritten, says] = steps[step];
            QVERIFY(rewritten.isEmpty() ? allow.remove() && write(key, "x")
                                        : write(allow, rewritten));
            relay.signal(SIGHUP);
            // The renewed pair is read once; a bad key is named each time and the pair kept.
            QTRY_VERIFY2_WITH_TIMEOUT(relay.err.contains(says) && relay.err.count(keyBad) == step &&
                                          relay.err.count("TLS certificate read from") == 2,
                                      relay.err, WaitMs);
            const bool narrowed = step == 2;
            QVERIFY2(narrowed ? hungUp(second) : relay.err.count(kept) == step + 1, relay.err);
            QSslSocket *renewedPeer = tlsPeer(tlsPort, &relay.owner, renewed);
            QTRY_VERIFY2_WITH_TIMEOUT(renewedPeer && relay.err.count(" connected, ") == step + 4,
                                      relay.err, WaitMs);
            // Whoever is left still talks; a third, refused by old and new rules, does not get in.
            send(first, "still here\n");
            QVERIFY(hears(narrowed ? first : second, "still here\n"));
            send(old, "still on the old one\n");
            QVERIFY2(hears(renewedPeer, "still on the old one\n"), relay.err);
            QTcpSocket *third = relay.from(u"127.0.0.3"_s, port);
            QVERIFY(third && hungUp(third));
            QCOMPARE(relay.err.count(" closed"), narrowed ? 1 : 0);
        }
    }

    void limitsCut_data() // a client cut by a limit: its closing line names the limit
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("idle") << u"--idle-timeout=1"_s
                              << "sent nothing for 1 s (--idle-timeout)"_ba;
        QTest::newRow("queue") << u"--max-queue=1024K"_s
                               << "output queue passed 1048576 bytes (--max-queue)"_ba;
    }

    void limitsCut()
    {
        QFETCH(QString, option);
        QFETCH(QByteArray, says);
        says = "closed: " + says + ", 2 open";
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
        const auto row = [](const char *name, const char *args, int status, const char *says) {
            QTest::newRow(name) << QString::fromUtf8(args) << status << QByteArray(says);
        };
        for (const char *usage :
             {"--port 65536", "-p 5x", "--bind host", "--colour", "555", "--max-queue=0",
              "--max-line-rate=2.5", "--tls-cert=c.pem", "--tls-port=5556 --tls-only"})
            row(usage, usage, 2, "");
        row("prefix too long", "--allow=10.0.0.0/33", 2, "--allow '10.0.0.0/33': prefix");
        row("octal", "--deny 010.0.0.1", 2, "--deny '010.0.0.1': not an");
        row("scope", "--allow=fe80::1%lo", 2, "--allow 'fe80::1%lo': not an IPv6");
        row("file line", "--deny-file=%file", 2, ":4: '10.0.0.1/8/8': prefix length");
        row("no file", "--allow-file=/nonexistent/allow", 2, "/nonexistent/allow: No such file");
        row("port taken", "-p %port -b 127.0.0.1", 1, "cannot listen on 127.0.0.1:");
        row("key unreadable", "--tls-only --tls-cert=%dir/cert.pem --tls-key=%dir/missing.pem", 1,
            "/missing.pem");
        row("LISTEN_FDS=0", "LISTEN_FDS=0", 1, "LISTEN_FDS is \"0\"");
        row("descriptor 3 no socket", "LISTEN_FDS=1", 1, "descriptor 3");
        row("--help", "--help", 0, " --timestamps ");
        row("--version", "--version", 0, "kestrel-relay ");
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
        Relay relay(handed ? viaShell(args, u"3</dev/null"_s)
                           : QStringList{u"-p0"_s, u"-b127.0.0.1"_s} + args.split(u' '),
                    handed ? Shell : Program);
        QVERIFY2(relay.exits(status), relay.err);
        QVERIFY2(status == 0
                     ? relay.process.readAllStandardOutput().contains(says)
                     : (says.isEmpty() ? relay.err.split('\n')[1].startsWith("Usage: ")
                                       : relay.err.count('\n') == 1 && relay.err.contains(says)),
                 relay.err);
        QVERIFY2(status != 2 || relay.err.startsWith("kestrel-relay: "), relay.err);
        QVERIFY(!relay.err.contains("listening"));
    }

    // Sockets 3 and 4 named tls and plain serve (TLS first, certificate made at start; plain on
    // IPv6, peers in brackets); --trace names the TLS protocol; chat appended to a file keeps it.
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
        Relay relay(viaShell(u"LISTEN_FDS=2 LISTEN_FDNAMES=tls:plain"_s, u"--trace >>\"$1\""_s)
                        << file.fileName(),
                    Shell, [fds] {
                        // Out of the way first: either may sit at 3 or 4 already.
                        const int plain = ::fcntl(fds[0], F_DUPFD, 10);
                        const int tls = ::fcntl(fds[1], F_DUPFD, 10);
                        ::dup2(tls, 3);
                        ::dup2(plain, 4);
                    });
        QCOMPARE(relay.port(), handed.serverPort());
        QCOMPARE(relay.port(true), handedTls.serverPort());
        QVERIFY(relay.err.contains("handed over"));
        const QList<QTcpSocket *> peers = relay.peers(1, handed.serverPort(), u"::1"_s);
        QSslSocket *secure =
            tlsPeer(handedTls.serverPort(), &relay.owner, QSslCertificate(), relay.fingerprint());
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

    // Common TLS clients verify the relay's certificate and get their line back (if installed).
    void interoperates_data()
    {
        QTest::addColumn<QString>("command"); // CERT and PORT to be filled in
        QTest::newRow("openssl") << u"openssl s_client -quiet -verify_return_error -CAfile CERT "
                                    "-verify_hostname localhost -connect 127.0.0.1:PORT"_s;
        QTest::newRow("socat")
            << u"socat - OPENSSL:127.0.0.1:PORT,cafile=CERT,commonname=localhost"_s;
        QTest::newRow("ncat")
            << u"ncat --ssl --ssl-verify --ssl-trustfile CERT -4 localhost PORT"_s;
    }

    void interoperates()
    {
        QFETCH(QString, command);
        QStringList args = command.split(u' ');
        const QString tool = args.takeFirst();
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP("the tool is not installed");
        const QString cert = dir.filePath(u"cert.pem"_s);
        Relay relay(u"--tls-only -p0 -b127.0.0.1 -q --tls-cert %1 --tls-key %2"_s.arg(
            cert, dir.filePath(u"key.pem"_s)));
        const QString port = QString::number(relay.port(true));
        args.replaceInStrings(u"CERT"_s, cert).replaceInStrings(u"PORT"_s, port);
        Relay client(args, tool);
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
