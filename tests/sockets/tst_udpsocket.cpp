#include "cws_udp.h"
#include "netsupport.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QUdpSocket>

// The UDP object on fixed ports, in a network namespace of the test's own.
class TestUdpSocket final : public QObject
{
    Q_OBJECT

private slots:
    void blocksCrossWithSwappedPorts();
    void failuresAreRaisedNotThrown();
    void objectGoneBeforeItsLookupAnswers();
};

void TestUdpSocket::blocksCrossWithSwappedPorts()
{
    CWS_UDP receiving, sending;
    QStringList got;
    connect(&receiving, &CWS_UDP::GetData, this, [&](QString &text) { got << text; });
    QVERIFY(receiving.Connect(QStringLiteral("localhost"), 777, 778));
    QVERIFY(sending.Connect(QStringLiteral("localhost"), 778, 777));
    QCOMPARE(sending.IP(), QStringLiteral("127.0.0.1")); // the namespace has loopback only

    // Sent while "localhost" is still being looked up: held, then sent in order.
    const QString block = QStringLiteral("send IP - x\r\n日本\r\n") + QString(60000, u'z');
    sending.SendData(block);
    sending.SendData(QString());
    sending.SendData(QStringLiteral("3"));
    QTRY_COMPARE(got, (QStringList{block, QString(), "3"}));

    // Re-aimed at an address: the same port keeps its socket.
    QVERIFY(sending.Connect(QStringLiteral("127.0.0.1"), 778, 777));
    sending.SendData(QStringLiteral("4"));
    QTRY_COMPARE(got.size(), 4);
    QCOMPARE(got.last(), QStringLiteral("4"));

    receiving.Close();
    receiving.Close();
    QUdpSocket taker; // the port is free again
    QVERIFY(taker.bind(QHostAddress::Any, 777));
}

void TestUdpSocket::failuresAreRaisedNotThrown()
{
    CWS_UDP first, second;
    QSignalSpy errors(&second, &CWS_UDP::SocketError);
    QStringList got;
    connect(&first, &CWS_UDP::GetData, this, [&](QString &text) { got << text; });
    QVERIFY(first.Connect(QStringLiteral("127.0.0.1"), 777, 778));

    // A port already held: said so, and the object still sends from another port.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot bind port 777"));
    QVERIFY(!second.Connect(QStringLiteral("127.0.0.1"), 777, 777));
    QVERIFY(errors.wait());
    second.SendData(QStringLiteral("still sent"));
    QTRY_COMPARE(got, QStringList{"still sent"});

    // Too big for one datagram: not sent, said so.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("block of 65508 bytes not sent"));
    second.SendData(QString(65508, u'x'));
    QVERIFY(errors.wait());
    second.SendData(QString(65507, u'x'));
    QTRY_COMPARE(got.size(), 2);
    QCOMPARE(got.last().size(), 65507);

    // A name that cannot resolve fails at once here (no name server is reachable).
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot look up"));
    second.Connect(QStringLiteral("no-such-host.invalid"), 779, 777);
    second.SendData(QStringLiteral("lost"));
    QVERIFY(errors.wait(30000));
    QVERIFY(errors.last().first().toString().contains(QStringLiteral("no-such-host.invalid")));
}

// Objects are destroyed or closed while their lookups still run. Whatever a lookup leaves
// behind must go with the object: the sanitizer run checks for leaks at exit.
void TestUdpSocket::objectGoneBeforeItsLookupAnswers()
{
    for (int i = 0; i < 10; ++i) {
        CWS_UDP closed;
        closed.Connect(QStringLiteral("localhost"), 800 + i, 900);
        closed.Close();
        auto gone = std::make_unique<CWS_UDP>();
        gone->Connect(QStringLiteral("localhost"), 810 + i, 900);
        gone->Connect(QStringLiteral("localhost"), 810 + i, 901);
    }
    // A later lookup answering tells the earlier ones have answered too, to nobody.
    CWS_UDP receiving, sending;
    QSignalSpy got(&receiving, &CWS_UDP::GetData);
    receiving.Connect(QStringLiteral("127.0.0.1"), 777, 778);
    sending.Connect(QStringLiteral("localhost"), 778, 777);
    sending.SendData(QStringLiteral("looked up"));
    QVERIFY(got.wait());
}

KESTREL_TEST_MAIN_PRIVATE_NETWORK(QCoreApplication, TestUdpSocket)
#include "tst_udpsocket.moc"
