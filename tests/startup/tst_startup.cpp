#include "commandline.h"
#include "modulemain.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

// The command-line splitter and the start-up routine. Opening the UDP window needs its fixed
// ports: the test has a network namespace of its own.
class TestStartup final : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void argumentsComeBackWhole_data();
    void argumentsComeBackWhole();
    void startUp_data();
    void startUp();
};

void TestStartup::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("tokens");
    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("one") << "/s" << QStringList{"/s"};
    QTest::newRow("trailing blank") << "/s " << QStringList{"/s"};
    QTest::newRow("leading blank") << " /s" << QStringList{"", "/s"};
    QTest::newRow("two blanks") << "/s  x" << QStringList{"/s", "", "x"};
    QTest::newRow("run of blanks at the end") << "a   " << QStringList{"a", "", ""};
    QTest::newRow("tab is no blank") << "a\tb c" << QStringList{"a\tb", "c"};
    QTest::newRow("quoted") << "\"a b\" c" << QStringList{"a b", "c"};
    QTest::newRow("quoted last") << "x \"a b\"" << QStringList{"x", "a b"};
    QTest::newRow("quote runs on to the blank") << "\"a b\"x y" << QStringList{"a b\"", "y"};
    QTest::newRow("quote inside a token") << "ab\"c d" << QStringList{"ab\"c", "d"};
    QTest::newRow("empty quoted") << "\"\" x" << QStringList{"", "x"};
    QTest::newRow("unclosed quote last") << "\"abc" << QStringList{"ab"};
    QTest::newRow("unclosed quote before more") << "\"abc def" << QStringList{"ab", "def"};
    QTest::newRow("lone quote") << "\"" << QStringList{""};
    QTest::newRow("partner with no blank after") << "\"a b\"c" << QStringList{"a b\""};
    QTest::newRow("Japanese") << "/S 日本 語" << QStringList{"/S", "日本", "語"};
}

void TestStartup::split()
{
    QFETCH(QString, text);
    QFETCH(QStringList, tokens);
    QStringList list{"stale"};
    QCOMPARE(CommandLine::SplitCommandLine(list, text), tokens.size());
    QCOMPARE(list, tokens);
}

void TestStartup::argumentsComeBackWhole_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("plain") << QStringList{"/s", "x"};
    QTest::newRow("blank inside") << QStringList{"/s", "a b", "c"};
    QTest::newRow("empty ones") << QStringList{"", "/s", ""};
    QTest::newRow("quotes") << QStringList{"\"abc", "a \"b", "c\""};
}

// The platform hands the arguments split; joined for the splitter, they must split back whole.
void TestStartup::argumentsComeBackWhole()
{
    QFETCH(QStringList, arguments);
    QStringList list;
    CommandLine::SplitCommandLine(list, CommandLine::argumentText(arguments));
    QCOMPARE(list, arguments);
}

void TestStartup::startUp_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("window"); // class of the window opened, empty for none
    QTest::addColumn<QStringList>("boxes");
    const QString help = "Exe Command Lines\r\n\r\n[/s] = Auto Server Mode Command\r\n"
                         "[/c] = Auto Client Mode Command\r\n[/?] = This Message Box";
    QTest::newRow("nothing") << ""
                             << "FormMain" << QStringList{};
    QTest::newRow("/S x") << "/S x"
                          << "FormTCPServerMain" << QStringList{"Host Port ? [555]"};
    QTest::newRow("/c") << "/c"
                        << "FormTCPClientMain" << QStringList{};
    QTest::newRow("/U") << "/U"
                        << "FormUDPMain" << QStringList{};
    QTest::newRow("/?") << "/?"
                        << "" << QStringList{help};
    QTest::newRow("/x") << "/x"
                        << "" << QStringList{};
    QTest::newRow("/server") << "/server"
                             << "" << QStringList{};
    QTest::newRow("leading blank") << " /s"
                                   << "" << QStringList{};
    QTest::newRow("quoted key") << "\"/s\""
                                << "FormTCPServerMain" << QStringList{"Host Port ? [555]"};
}

void TestStartup::startUp()
{
    QFETCH(QString, text);
    QFETCH(QString, window);
    DialogScript script;
    script.ok();
    CommandLine::setArgumentText(text);
    QPointer<QWidget> opened = ModuleMain::startUp();
    QCOMPARE(opened ? QString::fromLatin1(opened->metaObject()->className()) : QString(), window);
    QVERIFY(!opened || (opened->isVisible() && opened->testAttribute(Qt::WA_DeleteOnClose)));
    int shown = 0;
    for (QWidget *each : QApplication::topLevelWidgets())
        shown += each->isVisible();
    QCOMPARE(shown, opened ? 1 : 0);
    QTEST(script.boxes, "boxes");
    delete opened;
}

KESTREL_TEST_MAIN_PRIVATE_NETWORK(QApplication, TestStartup)
#include "tst_startup.moc"
