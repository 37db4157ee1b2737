#include "datetimetexts.h"
#include "logpane.h"
#include "numberreading.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <cfenv>

// The helpers every window shares: number reading and the log pane.
class TestCommon final : public QObject
{
    Q_OBJECT

private slots:
    void numberReading_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("inRange");
        QTest::newRow("blanks, tabs, line feeds") << "\t5 5\n5 " << 555 << true;
        QTest::newRow("leading junk") << "x80" << 0 << true;
        QTest::newRow("half down to even") << "80.5" << 80 << true;
        QTest::newRow("half up to even, exponent") << "-8150e-2" << -82 << true;
        QTest::newRow("hexadecimal") << "&h1Fz" << 31 << true;
        QTest::newRow("32-bit pattern") << "&HFFFFFFFF" << -1 << true;
        QTest::newRow("rounds out of range") << "2147483647.5" << 0 << false;
        QTest::newRow("empty") << "" << 0 << true;
        QTest::newRow("sign, point, exponent alone") << "-.e" << 0 << true;
        QTest::newRow("radix mark alone") << "&" << 0 << true;
        QTest::newRow("exponent mark at the end") << "5e" << 5 << true;
    }

    void numberReading()
    {
        QFETCH(QString, text);
        const NumberReading::Result result = NumberReading::readNumber(text);
        QTEST(int(result.value), "value");
        QTEST(result.inRange, "inRange");
    }

    // The rule holds whatever rounding mode the process runs in, and leaves the mode alone.
    void halvesGoToEvenWhateverTheRoundingMode()
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

    void dateAndTimeText_data()
    {
        QTest::addColumn<QStringList>("texts"); // locale, date, time
        QTest::newRow("M/d/yy, h:mm AM") << QStringList{"en_US", "6/12/00", "9:05:07 AM"};
        QTest::newRow("yy. M. d., AM h:mm") << QStringList{"ko_KR", "00. 6. 12.", "오전 9:05:07"};
        QTest::newRow("d.M.y, H.mm") << QStringList{"fi_FI", "12.6.2000", "9.05.07"};
    }

    // The locale's short date, in its order; seconds go after the minutes with the locale's own
    // separator, wherever the hours stand.
    void dateAndTimeText()
    {
        QFETCH(QStringList, texts);
        QCOMPARE(DateTimeTexts::dateText(QDate(2000, 6, 12), QLocale(texts[0])), texts[1]);
        QCOMPARE(DateTimeTexts::timeText(QTime(9, 5, 7), QLocale(texts[0])), texts[2]);
    }

    // A row shows a tab as a blank and other control characters as their symbols, one for one;
    // the text keeps them as they came.
    void logShowsControlCharacters()
    {
        const QString raw = QStringLiteral("a\tb|\x01|\x0b|\r|\x0c|\x1c|\x1e|\x1f|\x7f|\r\n");
        LogPane shown, expected;
        shown.resize(400, 60);
        expected.resize(400, 60);
        shown.appendText(raw);
        expected.appendText(QStringLiteral("a b|␁|␋|␍|␌|␜|␞|␟|␡|\r\n"));
        QCOMPARE(shown.grab().toImage(), expected.grab().toImage());
        QCOMPARE(shown.text(), raw);
    }

    // Selecting by drag, shift-click, double click (a row) and menu; copying it exactly.
    void logSelection()
    {
        LogPane pane;
        pane.resize(400, 200);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        pane.appendText(QStringLiteral("first row\r\nsecond row\r\nthird"));
        QWidget *view = pane.viewport();
        const auto row = [&](int i) {
            return 2 + pane.fontMetrics().height() * i + pane.fontMetrics().height() / 2;
        };
        const QPoint end0(view->width() - 1, row(1)), end2(view->width() - 1, row(2));
        QTRY_COMPARE(pane.verticalScrollBar()->maximum(), 2);
        const QImage plain = pane.grab().toImage();
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(0, row(0)));
        QTest::mouseMove(view, end0);
        QTest::mouseRelease(view, Qt::LeftButton, {}, end0);
        QCOMPARE(pane.selectedText(), QStringLiteral("first row\r\nsecond row"));
        QVERIFY(pane.grab().toImage() != plain);
        QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, end2);
        QCOMPARE(pane.selectedText(), QStringLiteral("first row\r\nsecond row\r\nthird"));
        QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(5, row(1)));
        QCOMPARE(pane.selectedText(), QStringLiteral("second row\r\n"));
        QTest::keySequence(&pane, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("second row\r\n"));
        QTest::keySequence(&pane, QKeySequence::SelectAll);
        QCOMPARE(pane.selectedText(), pane.text());
        pane.setCaretPosition(3);
        QCOMPARE(pane.selectedText(), QString());
        QTimer::singleShot(0, &pane, [] { // the context menu's "Select All"
            QApplication::activePopupWidget()->actions().at(1)->trigger();
            QApplication::activePopupWidget()->close();
        });
        QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(5, 5));
        QApplication::sendEvent(view, &menu);
        QCOMPARE(pane.selectedText(), pane.text());
        QTest::keyClicks(&pane, QStringLiteral("typed")); // the user cannot edit
        QCOMPARE(pane.text(), QStringLiteral("first row\r\nsecond row\r\nthird"));
    }

    // The caret's row comes into view: at the bottom when below, at the top when above.
    void logFollowsTheCaret()
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
        const int rowsShown = (pane.viewport()->height() - 4) / pane.fontMetrics().height();
        QTRY_COMPARE(bar->maximum(), 500);
        QTRY_COMPARE(bar->value(), 501 - rowsShown);
        pane.setCaretPosition(0);
        QTRY_COMPARE(bar->value(), 0);
        pane.setCaretPosition(pane.length() - 9); // in "line 499", the row before the last
        QTRY_COMPARE(bar->value(), 500 - rowsShown);
    }
};

QTEST_MAIN(TestCommon)
#include "tst_common.moc"
