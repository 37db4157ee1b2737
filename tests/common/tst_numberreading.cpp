#include "numberreading.h"

#include <QTest>

class TestNumberReading final : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
};

void TestNumberReading::read_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("inRange");

    QTest::newRow("plain") << "555" << 555 << true;
    QTest::newRow("blanks inside") << "5 5 5" << 555 << true;
    QTest::newRow("tabs and line feeds") << "\t5\n5 5\n" << 555 << true;
    QTest::newRow("trailing junk") << "80x" << 80 << true;
    QTest::newRow("leading junk") << "x80" << 0 << true;
    QTest::newRow("carriage return is not ignored") << "5\r5" << 5 << true;
    QTest::newRow("half down to even") << "80.5" << 80 << true;
    QTest::newRow("half up to even") << "81.5" << 82 << true;
    QTest::newRow("negative half") << "-2.5" << -2 << true;
    QTest::newRow("above half") << "80.51" << 81 << true;
    QTest::newRow("fraction only") << ".5" << 0 << true;
    QTest::newRow("exponent") << "1e3" << 1000 << true;
    QTest::newRow("exponent upper case, signed") << "25E-1" << 2 << true;
    QTest::newRow("incomplete exponent") << "12e" << 12 << true;
    QTest::newRow("plus sign") << "+7" << 7 << true;
    QTest::newRow("sign alone") << "-" << 0 << true;
    QTest::newRow("point alone") << "." << 0 << true;
    QTest::newRow("hexadecimal") << "&H1F" << 31 << true;
    QTest::newRow("hexadecimal lower case") << "&h1f" << 31 << true;
    QTest::newRow("hexadecimal stops at junk") << "&H1Fz" << 31 << true;
    QTest::newRow("octal") << "&O17" << 15 << true;
    QTest::newRow("octal stops at 8") << "&O178" << 15 << true;
    QTest::newRow("hexadecimal prefix alone") << "&H" << 0 << true;
    QTest::newRow("ampersand alone") << "&5" << 0 << true;
    QTest::newRow("32-bit pattern") << "&HFFFFFFFF" << -1 << true;
    QTest::newRow("hexadecimal past 32 bits") << "&H100000000" << 0 << false;
    QTest::newRow("largest") << "2147483647" << 2147483647 << true;
    QTest::newRow("smallest") << "-2147483648" << int(-2147483648LL) << true;
    QTest::newRow("one past largest") << "2147483648" << 0 << false;
    QTest::newRow("one past smallest") << "-2147483649" << 0 << false;
    QTest::newRow("rounds into range") << "2147483647.4" << 2147483647 << true;
    QTest::newRow("rounds out of range") << "2147483647.5" << 0 << false;
    QTest::newRow("empty") << "" << 0 << true;
    QTest::newRow("blanks only") << "   " << 0 << true;
    QTest::newRow("very long digits") << QString(5000, u'9') << 0 << false;
    QTest::newRow("very long zeros") << QString(5000, u'0') + "7" << 7 << true;
    QTest::newRow("huge exponent") << "1e400" << 0 << false;
    QTest::newRow("tiny exponent") << "1e-400" << 0 << true;
    QTest::newRow("full-width digits are no number") << "５５５" << 0 << true;
}

void TestNumberReading::read()
{
    QFETCH(QString, text);
    const NumberReading::Result result = NumberReading::readNumber(text);
    QTEST(int(result.value), "value");
    QTEST(result.inRange, "inRange");
}

QTEST_APPLESS_MAIN(TestNumberReading)
#include "tst_numberreading.moc"
