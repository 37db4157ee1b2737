#include "cws_tcp_c.h"
#include "sockettools.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

// A raw server that keeps its accepted sockets and what they receive.
class RawServer : public QTcpServer
{
public:
    explicit RawServer(const QHostAddress &address = QHostAddress::Any)
    {
        listen(address, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                peers << socket;
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket] { received += socket->readAll(); });
            }
        });
    }
    QList<QTcpSocket *> peers;
    QByteArray received;
};

class TstCwsTcpC : public QObject
{
    Q_OBJECT

private slots:
    void connectErrors_data();
    void connectErrors();
    void peerCloseDeliversRestFirst();
    void reconnectAfterClose_data();
    void reconnectAfterClose();
    void handlerMayClose_data();
    void handlerMayClose();
};

void TstCwsTcpC::connectErrors_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("started");

    QTest::newRow("refused port") << QStringLiteral("127.0.0.1") << int(freeTcpPort()) << true;
    QTest::newRow("bad host") << QStringLiteral("no-such-host.invalid") << 5555 << true;
    QTest::newRow("port 70000") << QStringLiteral("127.0.0.1") << 70000 << false;
    QTest::newRow("port 0") << QStringLiteral("127.0.0.1") << 0 << false;
}

void TstCwsTcpC::connectErrors()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, started);

    CWS_TCP_C client;
    QSignalSpy failed(&client, &CWS_TCP_C::ConnectError);
    QSignalSpy described(&client, &CWS_TCP_C::SocketError);
    QSignalSpy made(&client, qOverload<>(&CWS_TCP_C::Connect));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CWS_TCP_C: cannot connect"));
    QCOMPARE(client.Connect(host, port), started);
    QCOMPARE(failed.size(), 0); // never from inside the call
    // A resolver without network may take its time; the connect timeout bounds it.
    QVERIFY(failed.wait(15000));
    QCOMPARE(made.size(), 0);
    QCOMPARE(described.size(), 1);
    QCOMPARE(client.ID(), 0);
    QCOMPARE(client.IP(), QString());
}

void TstCwsTcpC::peerCloseDeliversRestFirst()
{
    RawServer server;
    CWS_TCP_C client;
    QStringList events;
    connect(&client, &CWS_TCP_C::GetData, this, [&](QString &text) { events << text; });
    connect(&client, &CWS_TCP_C::ConnectClose, this, [&] {
        events << QStringLiteral("<close>");
        QCOMPARE(client.ID(), 0);
    });
    QSignalSpy failed(&client, &CWS_TCP_C::ConnectError);
    client.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
    WAIT_UNTIL(!server.peers.isEmpty());
    server.peers.first()->write("line\r\ntail");
    server.peers.first()->disconnectFromHost();
    WAIT_UNTIL(events.size() == 3);
    QCOMPARE(events, QStringList({"line\r\n", "tail", "<close>"}));
    QCOMPARE(failed.size(), 0);
    QCOMPARE(client.Port(), 0);
}

void TstCwsTcpC::reconnectAfterClose_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("shownIP");
    QTest::newRow("IPv4") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
    QTest::newRow("IPv6") << QStringLiteral("::1") << QStringLiteral("::1");
    QTest::newRow("IPv4-mapped shown dotted")
        << QStringLiteral("::ffff:127.0.0.1") << QStringLiteral("127.0.0.1");
}

// Connect, Close, connect again on the same object; the window reads IP, Port and ID in the
// Connect event and sends its login line there.
void TstCwsTcpC::reconnectAfterClose()
{
    QFETCH(QString, host);
    QFETCH(QString, shownIP);
    QTcpServer probe;
    if (host.contains(u':') && !probe.listen(QHostAddress::LocalHostIPv6, 0))
        QSKIP("no IPv6 loopback here");

    RawServer server;
    CWS_TCP_C client;
    QSignalSpy closed(&client, &CWS_TCP_C::ConnectClose);
    QString ip;
    qint32 port = 0, id = 0;
    connect(&client, qOverload<>(&CWS_TCP_C::Connect), this, [&] {
        ip = client.IP();
        port = client.Port();
        id = client.ID();
        client.SendData(QStringLiteral("7@Default   |日本\r\n"));
    });
    client.Close(); // never opened
    QVERIFY(client.Connect(QStringLiteral("127.0.0.1"), server.serverPort()));
    WAIT_UNTIL(port != 0 && server.peers.size() == 1);
    client.Close();
    client.Close();
    QCOMPARE(client.ID(), 0);
    client.SendData(QStringLiteral("lost\n"));
    WAIT_UNTIL(server.peers[0]->state() == QAbstractSocket::UnconnectedState);

    port = 0;
    // A second Connect drops the attempt before it.
    client.Connect(QStringLiteral("127.0.0.1"), freeTcpPort());
    QVERIFY(client.Connect(host, server.serverPort()));
    WAIT_UNTIL(port != 0 && server.peers.size() == 2);
    QCOMPARE(ip, shownIP);
    QCOMPARE(port, int(server.serverPort()));
    QCOMPARE(id, int(server.peers[1]->peerPort()));
    const QByteArray login = QStringLiteral("7@Default   |日本\r\n").toUtf8();
    WAIT_UNTIL(server.received.size() == 2 * login.size());
    QCOMPARE(server.received, login + login);
    QCOMPARE(closed.size(), 0);
}

void TstCwsTcpC::handlerMayClose_data()
{
    QTest::addColumn<int>("scene");
    QTest::newRow("Close in GetData") << 0;
    QTest::newRow("SendData and Close in Connect") << 1;
}

void TstCwsTcpC::handlerMayClose()
{
    QFETCH(int, scene);
    RawServer server;
    CWS_TCP_C client;
    QStringList got;
    QSignalSpy closed(&client, &CWS_TCP_C::ConnectClose);
    QSignalSpy made(&client, qOverload<>(&CWS_TCP_C::Connect));
    connect(&client, &CWS_TCP_C::GetData, this, [&](QString &text) {
        got << text;
        client.Close();
    });
    connect(&client, qOverload<>(&CWS_TCP_C::Connect), this, [&] {
        if (scene == 1) {
            client.SendData(QStringLiteral("hello\n"));
            client.Close();
        }
    });
    client.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
    WAIT_UNTIL(made.size() == 1 && server.peers.size() == 1);
    QTcpSocket *peer = server.peers.first();
    if (scene == 0)
        peer->write("a\nb\n");
    WAIT_UNTIL(peer->state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(got, scene == 0 ? QStringList{"a\n"} : QStringList());
    QCOMPARE(server.received, scene == 1 ? QByteArray("hello\n") : QByteArray());
    QCOMPARE(closed.size(), 0);
}

QTEST_GUILESS_MAIN(TstCwsTcpC)
#include "tst_cws_tcp_c.moc"
