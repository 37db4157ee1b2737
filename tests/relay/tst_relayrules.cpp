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
        const auto row = [](const char *allow, const char *deny, const char *peer,
                            const char *why) {
            QTest::addRow("%s | %s | %s", allow, deny, peer)
                << QString::fromUtf8(allow) << QString::fromUtf8(deny) << QString::fromUtf8(peer)
                << QString::fromUtf8(why);
        };
        row("", "", "203.0.113.9", "");
        row("", "10.1.2.3/8", "10.200.0.1", "denied by 10.0.0.0/8");            // host bits ignored
        row("", "10.0.0.0/8 10.1.0.0/16", "10.1.0.1", "denied by 10.1.0.0/16"); // narrowest
        row("0.0.0.0/0", "", "198.51.100.1", "");
        row("0.0.0.0/0", "", "2001:db8::1", "not allowed");
        row("", "::/0", "::ffff:192.0.2.1", ""); // IPv6 /0 holds no IPv4
        row("", "::/0 2001:db8::2/127", "2001:db8::3", "denied by 2001:db8::2/127");
        row("2001:db8:8000::/33", "", "2001:db8:7fff::1", "not allowed");
        row("2001:db8::2/127", "", "2001:db8::3", ""); // within the low bits
        row("", "::ffff:192.0.2.0/120", "192.0.2.77", "denied by 192.0.2.0/24"); // it is IPv4
        row("", "::ffff:0:0/95", "192.0.2.77", ""); // too short to be IPv4
        row("192.0.2.0/24", "192.0.2.8/29", "192.0.2.9", "denied by 192.0.2.8/29"); // deny wins
    }

    void accessList()
    {
        QFETCH(QString, allow);
        QFETCH(QString, deny);
        QFETCH(QString, peer);
        QFETCH(QString, why);
        AccessList list;
        QString error, said;
        const auto rules = [](const QString &text) {
            return text.split(u' ', Qt::SkipEmptyParts);
        };
        QVERIFY2(AccessList::build({rules(allow), rules(deny), {}, {}}, list, error),
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
        int admitted = 0, i = 0;
        for (; i < EventThrottle::MaxAddresses + 10; ++i)
            admitted += throttle.admit(QHostAddress(quint32(0x0a000000 + i))) ? 1 : 0;
        QCOMPARE(admitted, EventThrottle::MaxAddresses);
        QVERIFY(!throttle.admit(QHostAddress(quint32(0x0a000000 + i - 1)))); // one of those
        QCOMPARE(spy.size(), 0);
        throttle.flush();
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy[0], (QVariantList{QVariant::fromValue(QHostAddress()), qint64(11)}));
    }
};

QTEST_GUILESS_MAIN(TestRelayRules)
#include "tst_relayrules.moc"
