#include "cws_udp.h"
#include "sockettools.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

// A raw UDP receiver on a free port.
class RawReceiver : public QUdpSocket
{
public:
    RawReceiver()
    {
        bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
        connect(this, &QUdpSocket::readyRead, this, [this] {
            while (hasPendingDatagrams())
                datagrams << receiveDatagram();
        });
    }
    QList<QNetworkDatagram> datagrams;
};

class TstCwsUdp : public QObject
{
    Q_OBJECT

private slots:
    void exchangeWithSwappedPorts_data();
    void exchangeWithSwappedPorts();
    void reAim();
    void oversizedBlock_data();
    void oversizedBlock();
    void bindFailureStillSends();
};

void TstCwsUdp::exchangeWithSwappedPorts_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("localhost") << QStringLiteral("localhost");
    QTest::newRow("IPv4") << QStringLiteral("127.0.0.1");
    QTest::newRow("IPv6") << QStringLiteral("::1");
}

void TstCwsUdp::exchangeWithSwappedPorts()
{
    QFETCH(QString, host);
    if (host == QLatin1String("::1")) {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHostIPv6, 0))
            QSKIP("no IPv6 loopback here");
    }
    const quint16 p1 = freeUdpPort(), p2 = freeUdpPort();
    QVERIFY(p1 != p2);
    // The window's two objects: receiving (p1, p2), sending (p2, p1). Blocks sent at once are
    // held while "localhost" is looked up.
    CWS_UDP receiving, sending;
    QStringList atReceiving, atSending;
    connect(&receiving, &CWS_UDP::GetData, this, [&](QString &text) { atReceiving << text; });
    connect(&sending, &CWS_UDP::GetData, this, [&](QString &text) { atSending << text; });
    QVERIFY(receiving.Connect(host, p1, p2));
    QVERIFY(sending.Connect(host, p2, p1));

    const QString block =
        QStringLiteral("send IP - 127.0.0.1\r\n\r\n--- [SOF] ---\r\n日本\r\n--- [EOF] ---");
    sending.SendData(block);
    sending.SendData(QStringLiteral("second"));
    WAIT_UNTIL(atReceiving.size() == 2);
    QCOMPARE(atReceiving, QStringList({block, "second"}));
    receiving.SendData(QStringLiteral("back"));
    WAIT_UNTIL(atSending.size() == 1);
    QCOMPARE(atSending.first(), QStringLiteral("back"));

    // A foreign peer's invalid bytes do not stop the object.
    QUdpSocket raw;
    raw.writeDatagram("a\xff", QHostAddress::LocalHost, p1);
    WAIT_UNTIL(atReceiving.size() == 3);
    QCOMPARE(atReceiving.last(), QStringLiteral("a\uFFFD"));

    receiving.Close();
    receiving.Close();
    receiving.SendData(QStringLiteral("after close"));
    QUdpSocket reuse; // the port is free again
    QVERIFY(reuse.bind(QHostAddress::Any, p1, QAbstractSocket::DontShareAddress));
}

void TstCwsUdp::reAim()
{
    RawReceiver first, second;
    const quint16 own = freeUdpPort();
    CWS_UDP udp;
    QVERIFY(udp.Connect(QStringLiteral("127.0.0.1"), own, first.localPort()));
    udp.SendData(QStringLiteral("one"));
    WAIT_UNTIL(first.datagrams.size() == 1);
    QCOMPARE(first.datagrams[0].senderPort(), own);

    // Same own port: the socket stays.
    QVERIFY(udp.Connect(QStringLiteral("127.0.0.1"), own, second.localPort()));
    udp.SendData(QStringLiteral("two"));
    WAIT_UNTIL(second.datagrams.size() == 1);
    QCOMPARE(second.datagrams[0].data(), QByteArray("two"));
    QCOMPARE(second.datagrams[0].senderPort(), own);

    // New own port: rebound, and the old one is released.
    const quint16 other = freeUdpPort();
    QVERIFY(udp.Connect(QStringLiteral("127.0.0.1"), other, second.localPort()));
    udp.SendData(QStringLiteral("three"));
    WAIT_UNTIL(second.datagrams.size() == 2);
    QCOMPARE(second.datagrams[1].senderPort(), other);
    QCOMPARE(first.datagrams.size(), 1);
    QUdpSocket reuse;
    QVERIFY(reuse.bind(QHostAddress::Any, own, QAbstractSocket::DontShareAddress));
}

void TstCwsUdp::oversizedBlock_data()
{
    QTest::addColumn<QString>("block");
    QTest::addColumn<bool>("sent");
    QTest::newRow("65,507 bytes") << QString(65507, u'x') << true;
    QTest::newRow("65,508 bytes") << QString(65508, u'x') << false;
    QTest::newRow("21,836 Japanese characters, 65,508 bytes")
        << QStringLiteral("日").repeated(21836) << false;
}

void TstCwsUdp::oversizedBlock()
{
    QFETCH(QString, block);
    QFETCH(bool, sent);
    RawReceiver receiver;
    CWS_UDP udp;
    QSignalSpy errors(&udp, &CWS_UDP::SocketError);
    QVERIFY(udp.Connect(QStringLiteral("127.0.0.1"), freeUdpPort(), receiver.localPort()));
    if (!sent)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CWS_UDP: block of 65508 bytes"));
    udp.SendData(block);
    udp.SendData(QStringLiteral("marker"));
    WAIT_UNTIL(!receiver.datagrams.isEmpty() && receiver.datagrams.last().data() == "marker");
    QCOMPARE(receiver.datagrams.size(), sent ? 2 : 1);
    if (sent)
        QCOMPARE(receiver.datagrams.first().data(), block.toUtf8());
    QCOMPARE(errors.size(), sent ? 0 : 1);
}

void TstCwsUdp::bindFailureStillSends()
{
    QUdpSocket occupant;
    QVERIFY(occupant.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress));
    RawReceiver receiver;
    CWS_UDP udp;
    QSignalSpy errors(&udp, &CWS_UDP::SocketError);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CWS_UDP: cannot bind port"));
    QVERIFY(!udp.Connect(QStringLiteral("127.0.0.1"), occupant.localPort(), receiver.localPort()));
    QCOMPARE(errors.size(), 0);
    QVERIFY(errors.wait(2000));
    udp.SendData(QStringLiteral("still"));
    WAIT_UNTIL(receiver.datagrams.size() == 1);
    QCOMPARE(receiver.datagrams[0].data(), QByteArray("still"));
    QVERIFY(receiver.datagrams[0].senderPort() != occupant.localPort());
}

QTEST_GUILESS_MAIN(TstCwsUdp)
#include "tst_cws_udp.moc"
