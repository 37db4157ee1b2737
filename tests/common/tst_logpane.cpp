#include "logpane.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>

class TestLogPane final : public QObject
{
    Q_OBJECT

private slots:
    void readsBackExactly();
    void caretCountsEveryCharacter();
    void caretIsClamped();
    void setTextReplacesAndClearEmpties();
    void longLineWithoutLineFeedIsKeptWhole();
    void followsTheEndWhenTheCaretIsSetThere();
    void selectAllCopiesExactText();
    void userCannotEdit();
    void paintsOddCharactersWithoutTrouble();
};

void TestLogPane::readsBackExactly()
{
    LogPane pane;
    const QStringList pieces{
        "7@Default   |hello\r\n", "no line end", " runs on", "\r\n", "日本語\r\n", "",
        "tab\there\x01\r"};
    QString expected;
    for (const QString &piece : pieces) {
        pane.appendText(piece);
        expected += piece;
        QCOMPARE(pane.text(), expected);
        QCOMPARE(pane.length(), expected.size());
    }
}

void TestLogPane::caretCountsEveryCharacter()
{
    LogPane pane;
    pane.appendText(QStringLiteral("ab\r\n"));
    pane.setCaretPosition(pane.length() - 1);
    QCOMPARE(pane.caretPosition(), 3); // between CR and LF
    pane.setCaretPosition(pane.length());
    QCOMPARE(pane.caretPosition(), 4);
}

void TestLogPane::caretIsClamped()
{
    LogPane pane;
    pane.setCaretPosition(-1);
    QCOMPARE(pane.caretPosition(), 0);
    pane.appendText(QStringLiteral("abc"));
    pane.setCaretPosition(99);
    QCOMPARE(pane.caretPosition(), 3);
}

void TestLogPane::setTextReplacesAndClearEmpties()
{
    LogPane pane;
    pane.appendText(QStringLiteral("first block\r\n"));
    pane.setText(QStringLiteral("second\r\nblock"));
    QCOMPARE(pane.text(), QStringLiteral("second\r\nblock"));
    pane.setCaretPosition(5);
    pane.clear();
    QCOMPARE(pane.text(), QString());
    QCOMPARE(pane.caretPosition(), 0);
    pane.appendText(QStringLiteral("x"));
    QCOMPARE(pane.text(), QStringLiteral("x"));
}

void TestLogPane::longLineWithoutLineFeedIsKeptWhole()
{
    // Longer than both a storage chunk and a display row.
    QString line;
    for (int i = 0; i < 200000; ++i)
        line.append(QChar(u'a' + i % 26));
    LogPane pane;
    pane.resize(300, 200);
    pane.show();
    pane.appendText(line.left(70001));
    pane.appendText(line.mid(70001));
    pane.appendText(QStringLiteral("\r\n"));
    pane.setCaretPosition(pane.length());
    QCOMPARE(pane.text(), line + QStringLiteral("\r\n"));
    pane.selectAll();
    QCOMPARE(pane.selectedText(), pane.text());
    QTest::qWait(1); // let the batched screen work run over the long line
}

void TestLogPane::followsTheEndWhenTheCaretIsSetThere()
{
    LogPane pane;
    pane.resize(300, 120);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    for (int i = 0; i < 500; ++i) {
        pane.appendText(QStringLiteral("line %1\r\n").arg(i));
        pane.setCaretPosition(pane.length());
    }
    QScrollBar *bar = pane.verticalScrollBar();
    QTRY_VERIFY(bar->maximum() >= 500);
    QTRY_VERIFY(bar->value() > 450);
    pane.setCaretPosition(0);
    QTRY_COMPARE(bar->value(), 0);
}

void TestLogPane::selectAllCopiesExactText()
{
    LogPane pane;
    pane.appendText(QStringLiteral("one\r\ntwo\r\n"));
    pane.selectAll();
    QCOMPARE(pane.selectedText(), QStringLiteral("one\r\ntwo\r\n"));
    QCOMPARE(pane.caretPosition(), 0);
    pane.copy();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("one\r\ntwo\r\n"));
}

void TestLogPane::userCannotEdit()
{
    LogPane pane;
    pane.appendText(QStringLiteral("kept"));
    pane.show();
    QTest::keyClicks(&pane, QStringLiteral("typed"));
    QTest::keyClick(&pane, Qt::Key_Backspace);
    QTest::keyClick(&pane, Qt::Key_Delete);
    QCOMPARE(pane.text(), QStringLiteral("kept"));
}

void TestLogPane::paintsOddCharactersWithoutTrouble()
{
    LogPane pane;
    pane.resize(200, 100);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    const QByteArray raw("\x00\x01\x1b[31m<b>bold</b>&amp;\xef\xbf\xbd\r\r\n", 29);
    const QString odd = QString::fromUtf8(raw) + QChar(0xD800); // a lone surrogate too
    pane.appendText(odd);
    pane.setCaretPosition(pane.length());
    QCOMPARE(pane.text(), odd);
    const QImage shot = pane.grab().toImage();
    QVERIFY(!shot.isNull());
}

QTEST_MAIN(TestLogPane)
#include "tst_logpane.moc"
