#include "datetimetexts.h"
#include "logpane.h"
#include "numberreading.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>

#include <cfenv>

namespace {

// What a screen reader hears from the log pane, one entry per event: "insert 9 text",
// "remove 0 text", "update old>new", "caret 17", "selection 2-5".
QStringList heard;
const QObject *listenedTo = nullptr;

void listen(QAccessibleEvent *event)
{
    if (event->object() != listenedTo)
        return;
    if (const auto *e = dynamic_cast<QAccessibleTextInsertEvent *>(event))
        heard << QStringLiteral("insert %1 %2").arg(e->changePosition()).arg(e->textInserted());
    else if (const auto *e = dynamic_cast<QAccessibleTextRemoveEvent *>(event))
        heard << QStringLiteral("remove %1 %2").arg(e->changePosition()).arg(e->textRemoved());
    else if (const auto *e = dynamic_cast<QAccessibleTextUpdateEvent *>(event))
        heard << QStringLiteral("update %1>%2").arg(e->textRemoved(), e->textInserted());
    else if (const auto *e = dynamic_cast<QAccessibleTextSelectionEvent *>(event))
        heard << QStringLiteral("selection %1-%2").arg(e->selectionStart()).arg(e->selectionEnd());
    else if (const auto *e = dynamic_cast<QAccessibleTextCursorEvent *>(event))
        heard << QStringLiteral("caret %1").arg(e->cursorPosition());
}

QAccessibleTextInterface *textOf(LogPane &pane)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&pane);
    return iface ? iface->textInterface() : nullptr;
}

} // namespace

// The helpers every window shares: number reading and the log pane.
class TestCommon final : public QObject
{
    Q_OBJECT

private slots:
    // As a screen reader's bridge does; the offscreen platform has none to switch it on.
    void initTestCase()
    {
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
        QAccessible::installUpdateHandler(listen);
    }

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
            const QList<int> read{NumberReading::readNumber(QStringLiteral("80.5")).value,
                                  NumberReading::readNumber(QStringLiteral("-81.5")).value,
                                  std::fegetround()};
            std::fesetround(FE_TONEAREST);
            QCOMPARE(read, QList<int>({80, -82, mode}));
        }
    }

    void dateAndTimeText_data()
    {
        QTest::addColumn<QStringList>("texts"); // locale, date, time
        QTest::newRow("M/d/yy, h:mm AM") << QStringList{"en_US", "6/12/00", "9:05:07 AM"};
        QTest::newRow("yy. M. d., AM h:mm") << QStringList{"ko_KR", "00. 6. 12.", "오전 9:05:07"};
        QTest::newRow("d.M.y, H.mm") << QStringList{"fi_FI", "12.6.2000", "9.05.07"};
    }

    // The locale's short date, in its order; seconds after the minutes, wherever hours stand.
    void dateAndTimeText()
    {
        QFETCH(QStringList, texts);
        QCOMPARE(DateTimeTexts::dateText(QDate(2000, 6, 12), QLocale(texts[0])), texts[1]);
        QCOMPARE(DateTimeTexts::timeText(QTime(9, 5, 7), QLocale(texts[0])), texts[2]);
    }

    // A tab shows as a blank, other control characters as their symbols; the text keeps them.
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

    // The caret's row comes into view: at the bottom when below, at the top when above; Ctrl+Home
    // goes to the top.
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
        QTest::keySequence(&pane, QKeySequence::MoveToStartOfDocument);
        QCOMPARE(bar->value(), 0);
    }

    // A point and the character drawn there agree on every screen row of a wrapped line, as a
    // click or a screen reader's pointer needs.
    void logPointsAtCharacters()
    {
        LogPane pane;
        pane.resize(160, 300);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        pane.appendText(QStringLiteral("words wrap here ").repeated(6) + QStringLiteral("\r\nend"));
        QTRY_VERIFY(pane.characterRect(90).top() >= 2 * pane.fontMetrics().height());
        for (qsizetype p = 0; p < 96; ++p) {
            const QRect r = pane.characterRect(p);
            QCOMPARE(pane.positionAt(QPoint(r.left() + 1, r.center().y())), p);
        }
    }

    // A screen reader gets what the pane shows; it hears of appends, LogClear and replaces.
    void logReadsAsText()
    {
        LogPane pane;
        pane.show();
        listenedTo = &pane;
        heard.clear();
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&pane);
        QVERIFY(iface && iface->textInterface());
        QCOMPARE(iface->role(), QAccessible::EditableText);
        QVERIFY(iface->state().readOnly && iface->state().multiLine && !iface->state().editable);
        QAccessibleTextInterface *text = iface->textInterface();
        const auto all = [text] {
            return text->text(0, text->characterCount());
        };

        pane.appendText(QStringLiteral("7@a|one\r\n"));
        pane.appendText(QStringLiteral("8@b|two\r\n"));
        pane.setCaretPosition(pane.length() - 1);
        QCOMPARE(all(), pane.text());
        QCOMPARE(text->cursorPosition(), 17);
        // Told with the screen, once per pass of the event loop, however many lines came.
        QTRY_COMPARE(heard, QStringList({"insert 0 7@a|one\r\n8@b|two\r\n", "caret 17"}));

        heard.clear();
        pane.clear();
        QCOMPARE(text->characterCount(), 0);
        QCOMPARE(heard, QStringList({"remove 0 7@a|one\r\n8@b|two\r\n", "caret 0"}));

        heard.clear();
        pane.setText(QStringLiteral("got\r\n\r\nfirst"));
        pane.setText(QStringLiteral("got\r\n\r\nsecond"));
        QCOMPARE(all(), pane.text());
        QCOMPARE(heard, QStringList({"insert 0 got\r\n\r\nfirst",
                                     "update got\r\n\r\nfirst>got\r\n\r\nsecond"}));

        // The selection, set by a screen reader or by the user, reads the same both ways.
        heard.clear();
        text->setSelection(0, 9, 5);
        QCOMPARE(pane.selectedText(), QStringLiteral("\r\nse"));
        int start = -1, end = -1;
        text->selection(0, &start, &end);
        QCOMPARE(std::pair(start, end), std::pair(5, 9));
        pane.selectAll();
        text->selection(0, &start, &end);
        QCOMPARE(std::pair(start, end), std::pair(0, 13));
        text->removeSelection(0);
        QCOMPARE(text->selectionCount(), 0);
        QCOMPARE(heard, QStringList({"caret 5", "selection 5-9", "caret 13", "selection 0-13",
                                     "selection 13-13"}));
        listenedTo = nullptr;
    }

    // Reading by character, word and line, at, before and after an offset, as screen readers
    // move through a log; -1 is the end and -2 the caret (here at 8).
    void logReadsByUnit_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("boundary");
        QTest::addColumn<QStringList>("atBeforeAfter"); // each "text@start"

        const auto line = QAccessible::LineBoundary;
        const auto word = QAccessible::WordBoundary;
        const auto character = QAccessible::CharBoundary;
        QTest::newRow("first line")
            << 0 << int(line) << QStringList{"7@a|hi there\r\n@0", "@-1", "8@b|日本語\r\n@14"};
        QTest::newRow("on a line end")
            << 13 << int(line) << QStringList{"7@a|hi there\r\n@0", "@-1", "8@b|日本語\r\n@14"};
        QTest::newRow("second line")
            << 14 << int(line)
            << QStringList{"8@b|日本語\r\n@14", "7@a|hi there\r\n@0", "unfinished@23"};
        QTest::newRow("last line, unfinished")
            << 30 << int(line) << QStringList{"unfinished@23", "8@b|日本語\r\n@14", "@33"};
        QTest::newRow("end of text")
            << -1 << int(line) << QStringList{"unfinished@23", "8@b|日本語\r\n@14", "@33"};
        QTest::newRow("word") << 8 << int(word) << QStringList{"there@7", " @6", "\r\n@12"};
        QTest::newRow("word at the caret")
            << -2 << int(word) << QStringList{"there@7", " @6", "\r\n@12"};
        QTest::newRow("character") << 5 << int(character) << QStringList{"i@5", "h@4", " @6"};
        QTest::newRow("character at the end")
            << 33 << int(character) << QStringList{"@33", "d@32", "@33"};
        QTest::newRow("character past the end")
            << 34 << int(character) << QStringList{"@-1", "@-1", "@-1"};
    }

    void logReadsByUnit()
    {
        QFETCH(int, offset);
        QFETCH(int, boundary);
        LogPane pane;
        pane.appendText(QStringLiteral("7@a|hi there\r\n8@b|日本語\r\nunfinished"));
        pane.setCaretPosition(8);
        QAccessibleTextInterface *text = textOf(pane);
        QVERIFY(text);
        const auto type = QAccessible::TextBoundaryType(boundary);
        using Reader = QString (QAccessibleTextInterface::*)(int, QAccessible::TextBoundaryType,
                                                             int *, int *) const;
        QStringList read;
        for (const Reader reader :
             {&QAccessibleTextInterface::textAtOffset, &QAccessibleTextInterface::textBeforeOffset,
              &QAccessibleTextInterface::textAfterOffset}) {
            int start = 0, end = 0;
            const QString unit = (text->*reader)(offset, type, &start, &end);
            read << unit + u'@' + QString::number(start);
        }
        QTEST(read, "atBeforeAfter");
    }
};

QTEST_MAIN(TestCommon)
#include "tst_common.moc"
