#include <QProcess>
#include <QRegularExpression>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

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
    quint16 port(bool tls = false) // of the "listening on" line (of TLS), or 0
    {
        static const QRegularExpression listening(u"^listening on \\S+:(\\d+)( for TLS)?"_s,
                                                  QRegularExpression::MultilineOption);
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
        QTest::newRow("port too big") << QStringList{u"--port"_s, u"65536"_s};
        QTest::newRow("port no number") << QStringList{u"-p"_s, u"5x"_s};
        QTest::newRow("bad address") << QStringList{u"--bind"_s, u"host"_s};
        QTest::newRow("unknown option") << QStringList{u"--colour"_s};
        QTest::newRow("stray argument") << QStringList{u"555"_s};
        QTest::newRow("TLS certificate without key") << QStringList{u"--tls-cert=c.pem"_s};
        QTest::newRow("TLS port and TLS only")
            << QStringList{u"--tls-port=5556"_s, u"--tls-only"_s};
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

    // Sockets at descriptors 3 and 4, LISTEN_FDS=2, LISTEN_PID its own, named plain and tls:
    // served instead of port 555, the second one with TLS (the plain one on IPv6, whose peers
    // the event lines write in brackets).
    void servesSocketsHandedOver()
    {
        QTcpServer handed, handedTls;
        QVERIFY(handed.listen(QHostAddress::LocalHostIPv6));
        QVERIFY(handedTls.listen(QHostAddress::LocalHost));
        handed.pauseAccepting();
        handedTls.pauseAccepting();
        const int fds[] = {int(handed.socketDescriptor()), int(handedTls.socketDescriptor())};
        Relay relay(
            {u"-c"_s,
             u"export LISTEN_PID=$$ LISTEN_FDS=2 LISTEN_FDNAMES=plain:tls; exec \"$0\" -q"_s,
             u"" KESTREL_RELAY ""_s},
            u"/bin/sh"_s, [fds] {
                // Out of the way first: either may sit at 3 or 4 already.
                const int plain = ::fcntl(fds[0], F_DUPFD, 10);
                const int tls = ::fcntl(fds[1], F_DUPFD, 10);
                ::dup2(plain, 3);
                ::dup2(tls, 4);
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
                                    " connected"),
                 relay.err);
        send(peers[0], "through the handed-over socket\n");
        QByteArray got;
        QVERIFY(readUntil(secure, got, 1, "\n"));
        QCOMPARE(got, "through the handed-over socket\n");
    }

    // A TLS client and a plain one chat through one relay: TLS on a second port with a
    // certificate given (RSA, verified against it) or made at start (EC, pinned by the
    // fingerprint on standard error, with no complaint but being self-signed).
    void tlsChatsWithPlain_data()
    {
        QTest::addColumn<bool>("given");
        QTest::newRow("certificate given") << true;
        QTest::newRow("certificate made at start") << false;
    }

    void tlsChatsWithPlain()
    {
        QFETCH(bool, given);
        QTemporaryDir dir;
        QStringList args{u"-p0"_s, u"--tls-port=0"_s, u"-b127.0.0.1"_s, u"--trace"_s};
        QSslCertificate trusted;
        if (given) {
            QVERIFY(makeCertificate(dir.path(), {u"rsa:2048"_s}));
            args << u"--tls-cert"_s << dir.filePath(u"cert.pem"_s) << u"--tls-key"_s
                 << dir.filePath(u"key.pem"_s);
            trusted = QSslCertificate::fromPath(dir.filePath(u"cert.pem"_s)).value(0);
        }
        Relay relay(args);
        const quint16 plainPort = relay.port(), tlsPort = relay.port(true);
        QVERIFY2(plainPort && tlsPort, relay.err);
        const QByteArray fingerprint = given ? QByteArray() : relay.fingerprint();
        QObject owner;
        QSslSocket *secure = tlsPeer(tlsPort, &owner, trusted, fingerprint);
        QVERIFY2(secure, relay.err);
        QVERIFY(relay.opened(1));
        QVERIFY2(relay.err.contains(":" + QByteArray::number(secure->localPort()) + " (TLSv1."),
                 relay.err);
        const QList<QTcpSocket *> plain = connectPeers(relay, plainPort, 1, &owner);
        QVERIFY(!plain.isEmpty());
        QByteArray got[2];
        send(secure, "over TLS\n");
        QVERIFY(readUntil(plain[0], got[0], 1, "over TLS\n"));
        send(plain[0], "in the clear\n");
        QVERIFY(readUntil(plain[0], got[0], 1, "in the clear\n"));
        QVERIFY(readUntil(secure, got[1], 1, "in the clear\n"));
        QCOMPARE(got[0], "over TLS\nin the clear\n");
        QCOMPARE(got[1], got[0]);
        ::kill(pid_t(relay.process.processId()), SIGTERM);
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.readAllStandardOutput(), got[0]);
    }

    // A broken handshake closes that connection (a silent one after a few seconds) with one
    // event line; nothing of it is relayed and the chat of the others goes on.
    void brokenHandshakeHurtsNoOther_data()
    {
        QTest::addColumn<bool>("atTls"); // at the TLS port, else at the plain one
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray hello = clientHello();
        QVERIFY(hello.startsWith("\x16\x03"));
        QTest::newRow("plain client at the TLS port") << true << QByteArray("hello there\n");
        QTest::newRow("TLS client at the plain port") << false << hello;
        QTest::newRow("hello with line ends at the plain port")
            << false << hello.first(9) + "\n\xff\n garb\n";
        QTest::newRow("truncated hello") << true << hello.first(hello.size() / 2);
        QTest::newRow("garbage in a handshake record") << true << hello.first(9) + "\n\xff\n garb";
        QTest::newRow("silence") << true << QByteArray();
    }

    void brokenHandshakeHurtsNoOther()
    {
        QFETCH(bool, atTls);
        QFETCH(QByteArray, bytes);
        Relay relay({u"-p0"_s, u"--tls-port=0"_s, u"-b127.0.0.1"_s});
        const quint16 plainPort = relay.port(), tlsPort = relay.port(true);
        const QByteArray fingerprint = relay.fingerprint();
        QObject owner;
        const QList<QTcpSocket *> plain = connectPeers(relay, plainPort, 1, &owner);
        QVERIFY(!plain.isEmpty());
        QSslSocket *secure = tlsPeer(tlsPort, &owner, QSslCertificate(), fingerprint);
        QVERIFY(secure && relay.opened(2));

        QTcpSocket broken;
        broken.connectToHost(QHostAddress::LocalHost, atTls ? tlsPort : plainPort);
        QVERIFY(broken.waitForConnected(WaitMs));
        const QByteArray peer = "127.0.0.1:" + QByteArray::number(broken.localPort()) + ' ';
        send(&broken, bytes);
        QVERIFY2(broken.waitForDisconnected(WaitMs), relay.err);
        QTRY_VERIFY2_WITH_TIMEOUT(relay.err.count(peer + "TLS handshake ") == 1, relay.err, WaitMs);

        send(secure, "after\n");
        QByteArray got[2];
        QVERIFY(readUntil(plain[0], got[0], 1, "after\n"));
        QVERIFY(readUntil(secure, got[1], 1, "after\n"));
        QCOMPARE(got[0], "after\n");
        QCOMPARE(got[1], "after\n");
        // A TLS port counts a connection only once its handshake is done.
        QVERIFY(relay.opened(2) && relay.err.contains(" 3 open") == !atTls);
        ::kill(pid_t(relay.process.processId()), SIGTERM);
        QVERIFY(relay.finished());
        QCOMPARE(relay.process.readAllStandardOutput(), "after\n");
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

        QVERIFY(makeCertificate(dir.path(), ec));
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
