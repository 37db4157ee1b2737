#include "datetimetexts.h"
#include "dialogs.h"
#include "logpane.h"
#include "numberreading.h"
#include "windowsupport.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>

#include <cfenv>

// The helpers every window shares: number reading, date and time texts, the close question
// and the log pane.
class TestCommon final : public QObject
{
    Q_OBJECT

private slots:
    void numberReading_data();
    void numberReading();
    void halvesGoToEvenWhateverTheRoundingMode();
    void dateAndTimeReadOnce();
    void closeQuestion();
    void logKeepsTextExactly();
    void logSelection();
    void logFollowsTheCaret();
};

void TestCommon::numberReading_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("inRange");
    QTest::newRow("plain") << "555" << 555 << true;
    QTest::newRow("blanks, tabs, line feeds") << "\t5 5\n5 " << 555 << true;
    QTest::newRow("carriage return ends it") << "5\r5" << 5 << true;
    QTest::newRow("trailing junk") << "80x" << 80 << true;
    QTest::newRow("leading junk") << "x80" << 0 << true;
    QTest::newRow("half down to even") << "80.5" << 80 << true;
    QTest::newRow("half up to even") << "81.5" << 82 << true;
    QTest::newRow("negative half") << "-2.5" << -2 << true;
    QTest::newRow("above half") << "80.51" << 81 << true;
    QTest::newRow("fraction only") << ".5" << 0 << true;
    QTest::newRow("exponent") << "25E-1" << 2 << true;
    QTest::newRow("incomplete exponent") << "12e+" << 12 << true;
    QTest::newRow("sign alone") << "+" << 0 << true;
    QTest::newRow("hexadecimal") << "&h1Fz" << 31 << true;
    QTest::newRow("octal stops at 8") << "&O178" << 15 << true;
    QTest::newRow("ampersand, other letter") << "&X5" << 0 << true;
    QTest::newRow("32-bit pattern") << "&HFFFFFFFF" << -1 << true;
    QTest::newRow("past 32 bits") << "&H100000000" << 0 << false;
    QTest::newRow("largest") << "2147483647.4" << 2147483647 << true;
    QTest::newRow("smallest") << "-2147483648" << int(-2147483648LL) << true;
    QTest::newRow("rounds out of range") << "2147483647.5" << 0 << false;
    QTest::newRow("huge") << "1e400" << 0 << false;
    QTest::newRow("long zeros") << QString(5000, u'0') + "7" << 7 << true;
    QTest::newRow("full-width digits") << "５５５" << 0 << true;
}

void TestCommon::numberReading()
{
    QFETCH(QString, text);
    const NumberReading::Result result = NumberReading::readNumber(text);
    QTEST(int(result.value), "value");
    QTEST(result.inRange, "inRange");
}

// The rule holds whatever rounding mode the process runs in, and the mode is left as it was.
void TestCommon::halvesGoToEvenWhateverTheRoundingMode()
{
    for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        const int up = NumberReading::readNumber(QStringLiteral("80.5")).value;
        const int down = NumberReading::readNumber(QStringLiteral("-81.5")).value;
        const int after = std::fegetround();
        std::fesetround(FE_TONEAREST);
        QCOMPARE(up, 80);
        QCOMPARE(down, -82);
        QCOMPARE(after, mode);
    }
}

// Date and time come from one reading of the clock, so they belong together even at midnight.
void TestCommon::dateAndTimeReadOnce()
{
    int reads = 0;
    DateTimeTexts::setClockForTesting(
        [&] { return QDateTime(QDate(2000, 6, 12), QTime(23, 59, 59)).addSecs(reads++); },
        QLocale(QLocale::Japanese, QLocale::Japan));
    QCOMPARE(DateTimeTexts::dateSlashTime(), QStringLiteral("2000/06/12/23:59:59"));
    QCOMPARE(reads, 1);
    DateTimeTexts::setClockForTesting([] { return QDateTime(QDate(2000, 1, 2), QTime(9, 5, 7)); },
                                      QLocale(QLocale::English, QLocale::UnitedStates));
    QCOMPARE(DateTimeTexts::dateSlashTime(), QStringLiteral("1/2/00/9:05:07 AM"));
    DateTimeTexts::setClockForTesting({});
}

void TestCommon::closeQuestion()
{
    DialogScript script;
    script.cancel().ok();
    QVERIFY(!Dialogs::confirmClose(nullptr));
    QVERIFY(Dialogs::confirmClose(nullptr));
    QCOMPARE(script.boxes, QStringList(2, QStringLiteral("Close ? (OK, Cancel)")));
}

void TestCommon::logKeepsTextExactly()
{
    LogPane pane;
    QString expected;
    const QString line(70000, u'x'); // longer than a storage chunk and a row
    for (const QString &piece : {QStringLiteral("7@a|hi\r\n"), QStringLiteral("no end"), QString(),
                                 QStringLiteral("日本\t\x01\r"), line}) {
        pane.appendText(piece);
        expected += piece;
    }
    QCOMPARE(pane.text(), expected);
    QCOMPARE(pane.length(), expected.size());
    pane.setCaretPosition(pane.length() + 5);
    QCOMPARE(pane.caretPosition(), expected.size());
    pane.setCaretPosition(-1);
    QCOMPARE(pane.caretPosition(), 0);
    pane.show();
    QTest::keyClicks(&pane, QStringLiteral("typed"));
    QTest::keyClick(&pane, Qt::Key_Backspace);
    QCOMPARE(pane.text(), expected);
    pane.setText(QStringLiteral("new"));
    QCOMPARE(pane.text(), QStringLiteral("new"));
    pane.clear();
    QCOMPARE(pane.text(), QString());
}

// The user selects with the mouse (a drag, a shift-click, a double click for a row) and with
// the keys, sees the selection drawn, and copies exactly the selected text.
void TestCommon::logSelection()
{
    LogPane pane;
    pane.resize(400, 200);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    pane.appendText(QStringLiteral("first row\r\nsecond row\r\nthird"));
    QWidget *view = pane.viewport();
    const int row = pane.fontMetrics().height();
    const auto rowY = [row](int i) {
        return 2 + row * i + row / 2;
    };
    QTRY_COMPARE(pane.verticalScrollBar()->maximum(), 2);
    const QImage plain = pane.grab().toImage();

    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(0, rowY(0)));
    QTest::mouseMove(view, QPoint(view->width() - 1, rowY(1)));
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(view->width() - 1, rowY(1)));
    QCOMPARE(pane.selectedText(), QStringLiteral("first row\r\nsecond row"));
    QVERIFY(pane.grab().toImage() != plain);
    QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, QPoint(view->width() - 1, rowY(2)));
    QCOMPARE(pane.selectedText(), QStringLiteral("first row\r\nsecond row\r\nthird"));
    QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(5, rowY(1)));
    QCOMPARE(pane.selectedText(), QStringLiteral("second row\r\n"));
    QTest::keySequence(&pane, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("second row\r\n"));
    pane.setCaretPosition(3);
    QCOMPARE(pane.selectedText(), QString());
    QTest::keySequence(&pane, QKeySequence::SelectAll);
    QCOMPARE(pane.selectedText(), pane.text());
}

// Setting the caret at the end brings the last row to the bottom of the pane; at the start,
// the first row to the top.
void TestCommon::logFollowsTheCaret()
{
    LogPane pane;
    pane.resize(300, 150);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    for (int i = 0; i < 500; ++i) {
        pane.appendText(QStringLiteral("line %1\r\n").arg(i));
        pane.setCaretPosition(pane.length());
    }
    QScrollBar *bar = pane.verticalScrollBar();
    QTRY_COMPARE(bar->maximum(), 500);
    const int rowsShown = (pane.viewport()->height() - 4) / pane.fontMetrics().height();
    QTRY_COMPARE(bar->value(), 501 - rowsShown);
    pane.setCaretPosition(0);
    QTRY_COMPARE(bar->value(), 0);
    pane.setCaretPosition(pane.length() - 9); // "line 499" is the row before the last
    QTRY_COMPARE(bar->value(), 500 - rowsShown);
}

QTEST_MAIN(TestCommon)
#include "tst_common.moc"
