#include "dialogs.h"
#include "dialogscript.h"

#include <QTest>

// The hook everything else relies on: boxes are answered in order, and what was shown is kept.
class TestDialogs final : public QObject
{
    Q_OBJECT

private slots:
    void answersInOrderAndRecords();
    void okOnlyBoxIgnoresCancel();
    void okAcceptsTheDefaultAnswer();
    void runningOutIsRecordedAndCancels();
    void closeConfirmation();
};

void TestDialogs::answersInOrderAndRecords()
{
    DialogScript script;
    script.type("555").cancel().ok();

    QCOMPARE(Dialogs::inputBox("Host Port ?", "555"), QStringLiteral("555"));
    QCOMPARE(Dialogs::inputBox("Host IP ?", "localhost"), QString());
    QCOMPARE(Dialogs::messageBox("Close ?", Dialogs::Buttons::OkCancel), Dialogs::Reply::Ok);

    QCOMPARE(script.askedTexts(), (QStringList{"Host Port ?", "Host IP ?", "Close ?"}));
    QCOMPARE(script.asked().at(0).kind, Dialogs::Request::Kind::Input);
    QCOMPARE(script.asked().at(1).defaultAnswer, QStringLiteral("localhost"));
    QCOMPARE(script.asked().at(2).buttons, Dialogs::Buttons::OkCancel);
    QVERIFY(script.unexpected().isEmpty());
    QCOMPARE(script.pending(), 0);
}

void TestDialogs::okOnlyBoxIgnoresCancel()
{
    DialogScript script;
    script.cancel();
    QCOMPARE(Dialogs::messageBox("接続に失敗しました。"), Dialogs::Reply::Ok);
}

void TestDialogs::okAcceptsTheDefaultAnswer()
{
    DialogScript script;
    script.ok().type(QString());
    QCOMPARE(Dialogs::inputBox("Host Port ?", "555"), QStringLiteral("555"));
    QCOMPARE(Dialogs::inputBox("Host Port ?", "555"), QString());
}

void TestDialogs::runningOutIsRecordedAndCancels()
{
    DialogScript script;
    QCOMPARE(Dialogs::inputBox("Remote IP ?", "localhost"), QString());
    QCOMPARE(Dialogs::messageBox("Close ?", Dialogs::Buttons::OkCancel), Dialogs::Reply::Cancel);
    QCOMPARE(script.unexpected().size(), 2);
}

void TestDialogs::closeConfirmation()
{
    DialogScript script;
    script.cancel().ok();
    QVERIFY(!Dialogs::confirmClose(nullptr));
    QVERIFY(Dialogs::confirmClose(nullptr));
    QCOMPARE(script.askedTexts(), (QStringList{"Close ?", "Close ?"}));
    QCOMPARE(script.asked().at(0).buttons, Dialogs::Buttons::OkCancel);
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
