#include "commandline.h"
#include "dialogscript.h"
#include "formtcpclientmain.h"
#include "modulemain.h"

#include <QApplication>
#include <QPointer>
#include <QProcess>
#include <QTest>

class TestModuleMain final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void helpBoxOpensNoWindow();
    void unknownKeyOpensNothing_data();
    void unknownKeyOpensNothing();
    void clientKeyOpensClientWindow();
    void executableEndsAtOnceOnUnknownKeys_data();
    void executableEndsAtOnceOnUnknownKeys();
};

void TestModuleMain::cleanup()
{
    CommandLine::setArgumentText(QString());
    // Owned pop-ups are top-level widgets too: delete only the windows, each once.
    QList<QPointer<QWidget>> windows;
    for (QWidget *widget : QApplication::topLevelWidgets())
        windows.append(widget);
    for (const QPointer<QWidget> &window : windows) {
        if (window && !window->parentWidget())
            delete window.data();
    }
}

void TestModuleMain::helpBoxOpensNoWindow()
{
    DialogScript script;
    script.ok();
    CommandLine::setArgumentText(QStringLiteral("/?"));
    QCOMPARE(ModuleMain::startUp(), nullptr);
    QCOMPARE(script.askedTexts(),
             QStringList{"Exe Command Lines\r\n\r\n[/s] = Auto Server Mode Command\r\n"
                         "[/c] = Auto Client Mode Command\r\n[/?] = This Message Box"});
    QCOMPARE(script.asked().first().buttons, Dialogs::Buttons::Ok);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestModuleMain::unknownKeyOpensNothing_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("/x") << "/x";
    QTest::newRow("-s") << "-s";
    QTest::newRow("leading blank") << " /s";
    QTest::newRow("empty token") << "\"\"";
}

void TestModuleMain::unknownKeyOpensNothing()
{
    QFETCH(QString, text);
    DialogScript script;
    CommandLine::setArgumentText(text);
    QCOMPARE(ModuleMain::startUp(), nullptr);
    QVERIFY(script.asked().isEmpty());
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestModuleMain::clientKeyOpensClientWindow()
{
    DialogScript script;
    CommandLine::setArgumentText(QStringLiteral("/C extra"));
    QPointer<QWidget> window = ModuleMain::startUp();
    QVERIFY(window);
    QVERIFY(qobject_cast<FormTCPClientMain *>(window));
    QVERIFY(window->isVisible());
    QVERIFY(!window->parentWidget());
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(script.asked().isEmpty());
}

void TestModuleMain::executableEndsAtOnceOnUnknownKeys_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("/x") << QStringList{"/x"};
    QTest::newRow("-s") << QStringList{"-s"};
    QTest::newRow("empty") << QStringList{""};
}

void TestModuleMain::executableEndsAtOnceOnUnknownKeys()
{
    QFETCH(QStringList, arguments);
    QProcess process;
    process.start(QStringLiteral(KESTREL_EXECUTABLE), arguments);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_MAIN(TestModuleMain)
#include "tst_modulemain.moc"
