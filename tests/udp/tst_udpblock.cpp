#include "udpblock.h"

#include <QTest>

namespace {

const DateTimeTexts::Stamp kMorning{QStringLiteral("2000/06/12"), QStringLiteral("9:05:07")};

} // namespace

class TestUdpBlock final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { DateTimeTexts::setClockForTesting({}); }
    void block_data();
    void block();
    void blockFromTheClock();
    void receivedDisplay_data();
    void receivedDisplay();
    void entryText_data();
    void entryText();
};

void TestUdpBlock::block_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("hello") << "192.168.1.5"
                           << "hello"
                           << "send IP - 192.168.1.5\r\n"
                              "send date - 2000/06/12/9:05:07\r\n"
                              "\r\n"
                              "--- [SOF] ---\r\n"
                              "hello\r\n"
                              "--- [EOF] ---";
    QTest::newRow("empty text: one empty line between the markers")
        << "127.0.0.1"
        << ""
        << "send IP - 127.0.0.1\r\nsend date - 2000/06/12/9:05:07\r\n\r\n"
           "--- [SOF] ---\r\n\r\n--- [EOF] ---";
    QTest::newRow("own line ends kept, trailing one too")
        << "10.0.0.1"
        << "one\r\ntwo\r\n"
        << "send IP - 10.0.0.1\r\nsend date - 2000/06/12/9:05:07\r\n\r\n"
           "--- [SOF] ---\r\none\r\ntwo\r\n\r\n--- [EOF] ---";
    QTest::newRow("markers, markup and japanese as typed")
        << "10.0.0.1" << QString::fromUtf8("--- [EOF] ---\r\n<b>こんにちは</b> &")
        << QString::fromUtf8("send IP - 10.0.0.1\r\nsend date - 2000/06/12/9:05:07\r\n\r\n"
                             "--- [SOF] ---\r\n--- [EOF] ---\r\n<b>こんにちは</b> &\r\n"
                             "--- [EOF] ---");
}

void TestUdpBlock::block()
{
    QFETCH(QString, ip);
    QFETCH(QString, text);
    QFETCH(QString, expected);

    QCOMPARE(UdpBlock::build(ip, kMorning, text), expected);
}

// Date and time come from the shared texts, the date read first and joined by "/".
void TestUdpBlock::blockFromTheClock()
{
    DateTimeTexts::setClockForTesting([] { return QDateTime(QDate(2000, 6, 12), QTime(9, 5, 7)); },
                                      QLocale(QLocale::Japanese, QLocale::Japan));

    const QStringList lines =
        UdpBlock::build(QStringLiteral("1.2.3.4"), DateTimeTexts::now(), QStringLiteral("x"))
            .split(QStringLiteral("\r\n"));
    QCOMPARE(lines.value(1), QStringLiteral("send date - 2000/06/12/9:05:07"));
}

void TestUdpBlock::receivedDisplay_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("expected");

    QTest::newRow("block") << "send IP - 1.2.3.4\r\n--- [EOF] ---"
                           << "got date - 2000/06/12/9:05:07\r\n\r\nsend IP - 1.2.3.4\r\n"
                              "--- [EOF] ---";
    QTest::newRow("empty") << ""
                           << "got date - 2000/06/12/9:05:07\r\n\r\n";
    QTest::newRow("foreign text with bare line ends")
        << "a\nb\r"
        << "got date - 2000/06/12/9:05:07\r\n\r\na\nb\r";
}

void TestUdpBlock::receivedDisplay()
{
    QFETCH(QString, received);
    QFETCH(QString, expected);

    QCOMPARE(UdpBlock::receivedDisplay(kMorning, received), expected);
}

void TestUdpBlock::entryText_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("expected");

    QTest::newRow("single line") << "hello"
                                 << "hello";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("paragraphs") << QStringLiteral("one\u2029two\u2029")
                                << QStringLiteral("one\r\ntwo\r\n");
    QTest::newRow("soft line break") << QStringLiteral("a\u2028b") << QStringLiteral("a\r\nb");
    QTest::newRow("no-break space and tab stay")
        << QStringLiteral("a\u00a0b\tc") << QStringLiteral("a\u00a0b\tc");
}

void TestUdpBlock::entryText()
{
    QFETCH(QString, raw);
    QFETCH(QString, expected);

    QCOMPARE(UdpBlock::entryText(raw), expected);
}

QTEST_APPLESS_MAIN(TestUdpBlock)
#include "tst_udpblock.moc"
