#include "accesslist.h"
#include "eventthrottle.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class TestRelayRules : public QObject
{
    Q_OBJECT

private slots:
    // Addresses a loopback test cannot have: IPv6 beyond the first 64 bits, IPv4 far apart.
    void accessList_data()
    {
        QTest::addColumn<QString>("allow"); // rules, blank apart
        QTest::addColumn<QString>("deny");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("why"); // empty: admitted
        QTest::newRow("no rules") << u""_s << u""_s << u"203.0.113.9"_s << u""_s;
        QTest::newRow("host bits ignored")
            << u""_s << u"10.1.2.3/8"_s << u"10.200.0.1"_s << u"denied by 10.0.0.0/8"_s;
        QTest::newRow("narrowest deny named")
            << u""_s << u"10.0.0.0/8 10.1.0.0/16"_s << u"10.1.0.1"_s << u"denied by 10.1.0.0/16"_s;
        QTest::newRow("IPv4 /0") << u"0.0.0.0/0"_s << u""_s << u"198.51.100.1"_s << u""_s;
        QTest::newRow("IPv4 /0 holds no IPv6")
            << u"0.0.0.0/0"_s << u""_s << u"2001:db8::1"_s << u"not allowed"_s;
        QTest::newRow("IPv6 /0 holds no IPv4")
            << u""_s << u"::/0"_s << u"::ffff:192.0.2.1"_s << u""_s;
        QTest::newRow("IPv6 /0, narrower named")
            << u""_s << u"::/0 2001:db8::2/127"_s << u"2001:db8::3"_s
            << u"denied by 2001:db8::2/127"_s;
        QTest::newRow("IPv6 /33 edge")
            << u"2001:db8:8000::/33"_s << u""_s << u"2001:db8:7fff::1"_s << u"not allowed"_s;
        QTest::newRow("IPv6 /127 within low bits")
            << u"2001:db8::2/127"_s << u""_s << u"2001:db8::3"_s << u""_s;
        QTest::newRow("mapped rule is IPv4")
            << u""_s << u"::ffff:192.0.2.0/120"_s << u"192.0.2.77"_s << u"denied by 192.0.2.0/24"_s;
        QTest::newRow("short mapped rule stays IPv6")
            << u""_s << u"::ffff:0:0/95"_s << u"192.0.2.77"_s << u""_s;
        QTest::newRow("deny wins") << u"192.0.2.0/24"_s << u"192.0.2.8/29"_s << u"192.0.2.9"_s
                                   << u"denied by 192.0.2.8/29"_s;
    }

    void accessList()
    {
        QFETCH(QString, allow);
        QFETCH(QString, deny);
        QFETCH(QString, peer);
        QFETCH(QString, why);
        AccessList list;
        QString error, said;
        QVERIFY2(AccessList::build({allow.split(u' ', Qt::SkipEmptyParts),
                                    deny.split(u' ', Qt::SkipEmptyParts),
                                    {},
                                    {}},
                                   list, error),
                 qPrintable(error));
        QCOMPARE(list.admits(QHostAddress(peer), &said), why.isEmpty());
        QCOMPARE(said, why);
    }

    // Per address the first event is written, the rest counted and summed up once the period
    // is over; an address that keeps at it is summed up every period, a quiet one forgotten.
    void throttlePerAddress()
    {
        EventThrottle throttle(1s);
        QSignalSpy spy(&throttle, &EventThrottle::suppressed);
        const QHostAddress a(u"192.0.2.1"_s), mapped(u"::ffff:192.0.2.1"_s), b(u"2001:db8::1"_s);
        QVERIFY(throttle.admit(a) && !throttle.admit(mapped) && !throttle.admit(a));
        QVERIFY(throttle.admit(b));
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 5000);
        QCOMPARE(spy[0], (QVariantList{QVariant::fromValue(a), qint64(2)}));
        // a is still followed: counted, and summed up a period later; b was forgotten.
        QVERIFY(!throttle.admit(a) && throttle.admit(b));
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 5000);
        QCOMPARE(spy[1][1].toLongLong(), 1);
        QVERIFY(!throttle.admit(a)); // one is enough to keep it followed
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 3, 5000);
        QTest::qWait(2200); // a quiet period for both
        QVERIFY(throttle.admit(a) && throttle.admit(b));
        QCOMPARE(spy.size(), 3);
    }

    // A scan from more addresses than are followed: the rest are counted together, and a flush
    // writes every count at once.
    void throttleOverflowAndFlush()
    {
        EventThrottle throttle(1h);
        QSignalSpy spy(&throttle, &EventThrottle::suppressed);
        Q_IPV6ADDR bytes{};
        bytes[0] = 0x20;
        int admitted = 0;
        for (int i = 0; i < EventThrottle::MaxAddresses + 10; ++i) {
            bytes[14] = quint8(i >> 8);
            bytes[15] = quint8(i);
            admitted += throttle.admit(QHostAddress(bytes)) ? 1 : 0;
        }
        QCOMPARE(admitted, EventThrottle::MaxAddresses);
        QVERIFY(!throttle.admit(QHostAddress(bytes))); // the first of those
        QCOMPARE(spy.size(), 0);
        throttle.flush();
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy[0], (QVariantList{QVariant::fromValue(QHostAddress()), qint64(11)}));
    }
};

QTEST_GUILESS_MAIN(TestRelayRules)
#include "tst_relayrules.moc"
