#include "chatline.h"
#include "datetimetexts.h"

#include <QTest>

class TestChatLine final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { DateTimeTexts::setClockForTesting({}); }
    void build_data();
    void build();
    void overlongHandle_data();
    void overlongHandle();
    void statusTexts();
    void echo_data();
    void echo();
};

void TestChatLine::build_data()
{
    QTest::addColumn<qint32>("id");
    QTest::addColumn<QString>("handle");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");

    QTest::newRow("seven characters") << 7 << "Default"
                                      << "hello"
                                      << "7@Default   |hello\r\n";
    QTest::newRow("empty handle") << 7 << ""
                                  << "hi"
                                  << "7@          |hi\r\n";
    QTest::newRow("ten characters") << 12 << "0123456789"
                                    << "x"
                                    << "12@0123456789|x\r\n";
    QTest::newRow("japanese handle")
        << 3 << QStringLiteral("山田") << "x" << QStringLiteral("3@山田        |x\r\n");
    QTest::newRow("surrogate pair counts two")
        << 3 << QStringLiteral("a\U0001F426b") << "" << QStringLiteral("3@a\U0001F426b      |\r\n");
    QTest::newRow("negative id") << -5 << "Default"
                                 << "x"
                                 << "-5@Default   |x\r\n";
    QTest::newRow("extreme ids") << qint32(-2147483647 - 1) << "a"
                                 << ""
                                 << "-2147483648@a         |\r\n";
    QTest::newRow("zero id") << 0 << "a"
                             << "b"
                             << "0@a         |b\r\n";
    QTest::newRow("bar and at in text") << 1 << "Default"
                                        << "a|b@c"
                                        << "1@Default   |a|b@c\r\n";
    QTest::newRow("bar and at in handle") << 1 << "@|"
                                          << "t"
                                          << "1@@|        |t\r\n";
    QTest::newRow("empty text") << 7 << "Default"
                                << ""
                                << "7@Default   |\r\n";
    QTest::newRow("line break in text") << 7 << "D"
                                        << "a\r\nb"
                                        << "7@D         |a\r\nb\r\n";
}

void TestChatLine::build()
{
    QFETCH(qint32, id);
    QFETCH(QString, handle);
    QFETCH(QString, text);
    QFETCH(QString, line);

    QCOMPARE(ChatLine::build(id, handle, text), line);
}

void TestChatLine::overlongHandle_data()
{
    QTest::addColumn<QString>("handle");
    QTest::addColumn<QString>("field");

    QTest::newRow("eleven") << "0123456789A"
                            << "0123456789";
    QTest::newRow("many") << QString(50, u'x') << QString(10, u'x');
    // A pair across the cut would leave half a character, which no encoding can carry.
    QTest::newRow("pair across the cut")
        << QStringLiteral("012345678\U0001F426z") << QStringLiteral("012345678 ");
    QTest::newRow("pair before the cut")
        << QStringLiteral("01234567\U0001F426z") << QStringLiteral("01234567\U0001F426");
}

void TestChatLine::overlongHandle()
{
    QFETCH(QString, handle);
    QFETCH(QString, field);

    const QString result = ChatLine::handleField(handle);
    QCOMPARE(result, field);
    QCOMPARE(result.size(), ChatLine::HandleWidth);
}

void TestChatLine::statusTexts()
{
    DateTimeTexts::setClockForTesting([] { return QDateTime(QDate(2000, 6, 12), QTime(9, 5, 7)); },
                                      QLocale(QLocale::Japanese, QLocale::Japan));
    QCOMPARE(ChatLine::loginText(), QStringLiteral("login - 2000/06/12/9:05:07"));
    QCOMPARE(ChatLine::logoutText(), QStringLiteral("logout - 2000/06/12/9:05:07"));
    QCOMPARE(ChatLine::build(7, QStringLiteral("Default"), ChatLine::loginText()),
             QStringLiteral("7@Default   |login - 2000/06/12/9:05:07\r\n"));
}

void TestChatLine::echo_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<bool>("isEcho");

    const QString last = QStringLiteral("7@Default   |hello\r\n");
    QTest::newRow("same line") << last << true;
    QTest::newRow("other case") << "7@default   |hello\r\n" << false;
    QTest::newRow("no line end") << "7@Default   |hello" << false;
    QTest::newRow("line feed only") << "7@Default   |hello\n" << false;
    QTest::newRow("inside more text") << last + last << false;
    QTest::newRow("other client's line") << "8@Other     |hello\r\n" << false;
    QTest::newRow("empty") << "" << false;
}

void TestChatLine::echo()
{
    QFETCH(QString, received);
    QFETCH(bool, isEcho);

    QCOMPARE(ChatLine::isEcho(received, QStringLiteral("7@Default   |hello\r\n")), isEcho);
}

QTEST_APPLESS_MAIN(TestChatLine)
#include "tst_chatline.moc"
