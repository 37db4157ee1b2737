// Hostile datagrams against the UDP endpoint (on free high ports) and the UDP window (on its
// fixed ports, where they can be bound here). Every datagram that arrives is shown whole and
// exactly as decoded; a flood neither crashes nor grows memory; the next block still arrives.

#include "application.h"
#include "cws_udp.h"
#include "dialogscript.h"
#include "formudpmain.h"
#include "logpane.h"
#include "sockettools.h"
#include "windowtools.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int kTimeout = 10000;
constexpr int kBurst = 10000;
// The largest payload one IPv4 datagram carries.
constexpr qsizetype kMaxDatagram = 65507;

bool canBind(quint16 port)
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress);
}

// Datagram i of the burst: numbered, some of them invalid UTF-8 or with NUL bytes.
QByteArray burstDatagram(int i)
{
    QByteArray d = "dgram " + QByteArray::number(i) + ' ';
    switch (i % 4) {
    case 0:
        d += "plain text";
        break;
    case 1:
        d += "bad \xc2 \xe3\x81 \xff\xfe lead at end \xe6\x97";
        break;
    case 2:
        d += QByteArray("nul \0 inside\0", 13);
        break;
    case 3:
        d += "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e <b>&amp;</b>";
        break;
    }
    return d;
}

// The burst, letting the receiver run now and then as a busy program would, then a pause for
// what is still queued.
void sendBurst(quint16 port)
{
    QUdpSocket sender;
    for (int i = 0; i < kBurst; ++i) {
        sender.writeDatagram(burstDatagram(i), QHostAddress::LocalHost, port);
        if (i % 1000 == 999)
            pump(1);
    }
    pump(200);
}

// A receiving endpoint on a free port, keeping what it was given.
class Receiver
{
public:
    Receiver()
    {
        port = freeUdpPort();
        QObject::connect(&udp, &CWS_UDP::GetData, &udp,
                         [this](QString &text) { received.append(text); });
        udp.Connect(QStringLiteral("127.0.0.1"), port, freeUdpPort());
    }
    CWS_UDP udp;
    quint16 port = 0;
    QStringList received;
};

} // namespace

class TstHostileUdp final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void burstOfTenThousand();
    void datagramArrivesWhole_data();
    void datagramArrivesWhole();
    void endpointGoneBeforeItsLookupAnswers();
    void windowUnderBurst();
};

void TstHostileUdp::initTestCase()
{
    Application::setUp(*qApp);
    QApplication::setQuitOnLastWindowClosed(false);
}

// Loopback keeps datagrams in order but drops what the receive buffer cannot hold: whatever
// arrives is whole and in order, and the block after the burst arrives.
void TstHostileUdp::burstOfTenThousand()
{
    Receiver r;
    MemoryWatch watch;
    sendBurst(r.port);
    const QByteArray after = "after the burst";
    QUdpSocket sender;
    sender.writeDatagram(after, QHostAddress::LocalHost, r.port);
    WAIT_UNTIL_MS(!r.received.isEmpty() && r.received.last() == decoded(after), kTimeout);
    VERIFY_GROWTH(watch, 16 * MiB);

    int next = 0;
    for (qsizetype k = 0; k + 1 < r.received.size(); ++k) {
        const QString &text = r.received.at(k);
        const int number = text.section(u' ', 1, 1).toInt();
        QVERIFY2(number >= next, "out of order or repeated");
        QCOMPARE(text, decoded(burstDatagram(number)));
        next = number + 1;
    }
    qInfo("%lld of %d datagrams of the burst arrived", qlonglong(r.received.size() - 1), kBurst);
    QVERIFY(r.received.size() > 1);
}

void TstHostileUdp::datagramArrivesWhole_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::newRow("largest datagram") << QByteArray(kMaxDatagram, 'x');
    QTest::newRow("largest datagram of three-byte characters")
        << QByteArray("\xe6\x97\xa5").repeated(kMaxDatagram / 3);
    QTest::newRow("invalid UTF-8") << QByteArray("\x80\xbf\xc0\xaf\xed\xa0\x80\xf5\xff\xe3\x81");
    QTest::newRow("NUL bytes") << QByteArray(512, '\0');
    QTest::newRow("empty") << QByteArray();
}

void TstHostileUdp::datagramArrivesWhole()
{
    QFETCH(QByteArray, datagram);
    Receiver r;
    QUdpSocket sender;
    QCOMPARE(sender.writeDatagram(datagram, QHostAddress::LocalHost, r.port),
             qint64(datagram.size()));
    const QByteArray after = "next";
    sender.writeDatagram(after, QHostAddress::LocalHost, r.port);
    WAIT_UNTIL_MS(r.received.size() == 2, kTimeout);
    QCOMPARE(r.received.at(0), decoded(datagram));
    QCOMPARE(r.received.at(1), QStringLiteral("next"));
}

// Windows are closed while their "localhost" lookups still run. Whatever the lookup leaves
// behind must go with it: the sanitizer run checks for leaks at exit.
void TstHostileUdp::endpointGoneBeforeItsLookupAnswers()
{
    for (int i = 0; i < 20; ++i) {
        auto endpoint = std::make_unique<CWS_UDP>();
        endpoint->Connect(QStringLiteral("localhost"), freeUdpPort(), freeUdpPort());
        endpoint->Connect(QStringLiteral("localhost"), freeUdpPort(), freeUdpPort());
    }
    // The answers come to objects that are gone.
    pump(500);
    Receiver r;
    CWS_UDP sender;
    sender.Connect(QStringLiteral("localhost"), freeUdpPort(), r.port);
    sender.SendData(QStringLiteral("looked up"));
    WAIT_UNTIL_MS(r.received == QStringList{QStringLiteral("looked up")}, kTimeout);
}

// The window on its fixed ports, flooded: it shows the latest block, exactly, and stays within
// its memory bound (it keeps only that block).
void TstHostileUdp::windowUnderBurst()
{
    if (!canBind(777) || !canBind(778))
        QSKIP("ports 777 and 778 cannot be bound here (in use, or no privilege for ports "
              "below 1024)");
    DialogScript script;
    const std::unique_ptr<FormUDPMain> window(new FormUDPMain);
    window->show();
    LogPane *log = logOf(window.get());

    MemoryWatch watch;
    sendBurst(777);
    const QByteArray last = "--- [SOF] ---\r\n<b>last</b> &amp; [*] \xff\r\n--- [EOF] ---";
    QUdpSocket sender;
    sender.writeDatagram(last, QHostAddress::LocalHost, 777);
    const QString shown = QStringLiteral("\r\n\r\n") + decoded(last);
    WAIT_UNTIL_MS(log->text().endsWith(shown), kTimeout);
    VERIFY_GROWTH(watch, 16 * MiB);
    QVERIFY(log->text().startsWith(QStringLiteral("got date - ")));
    QCOMPARE(log->text().count(QStringLiteral("\r\n")), shown.count(QStringLiteral("\r\n")));
    QVERIFY(script.asked().isEmpty());
}

QTEST_MAIN(TstHostileUdp)
#include "tst_hostile_udp.moc"
