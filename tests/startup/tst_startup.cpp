#include "application.h"
#include "commandline.h"
#include "modulemain.h"
#include "netsupport.h"
#include "windowopener.h"
#include "windowsupport.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <memory>

namespace {
QStringList windows(bool remove = false)
{
    QStringList names;
    const QWidgetList all = QApplication::topLevelWidgets();
    for (const QPointer<QWidget> &each : QList<QPointer<QWidget>>(all.begin(), all.end())) {
        if (each && each->isVisible())
            names << QString::fromLatin1(each->metaObject()->className());
        if (each && remove && !each->parentWidget())
            delete each.data();
    }
    return names;
}
// Every control a person uses, as "name" or "? role" when it has none, and the log panes that
// read as text.
void controlsOf(QAccessibleInterface *node, QStringList &controls, int &logs)
{
    const QAccessible::Role role = node->role();
    if (role == QAccessible::ScrollBar || role == QAccessible::List)
        return; // the mouse's business, and the combo box's closed list
    if (role == QAccessible::EditableText && node->state().readOnly && node->textInterface())
        ++logs;
    const bool control = node->state().focusable || role == QAccessible::PushButton ||
                         role == QAccessible::MenuItem || role == QAccessible::EditableText;
    if (control) {
        const QString name = node->text(QAccessible::Name);
        controls << (name.isEmpty() ? QStringLiteral("? %1").arg(role) : name);
    }
    for (int i = 0; i < node->childCount(); ++i)
        controlsOf(node->child(i), controls, logs);
}

} // namespace

// The command-line splitter, the start-up routine and the mode chooser (the server and UDP
// windows they open take their fixed ports).
class TestStartup final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Application::setUp(*qApp);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void cleanup() { windows(true); }
    void init() // the server and UDP windows take their fixed ports
    {
        const QByteArray tag = QTest::currentDataTag();
        if (tag == "/S x" || tag == "TCP Server")
            KESTREL_FIXED_PORTS(555);
        if (tag == "/U" || tag == "UDP")
            KESTREL_FIXED_PORTS(777, 778);
    }

    void split_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("tokens");
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("trailing blank") << "/s " << QStringList{"/s"};
        QTest::newRow("leading blank") << " /s" << QStringList{"", "/s"};
        QTest::newRow("blanks") << "a  x  " << QStringList{"a", "", "x", ""};
        QTest::newRow("quoted") << "\"a b\" c \"d e\"" << QStringList{"a b", "c", "d e"};
        QTest::newRow("quote runs on to the blank") << "\"a b\"x y" << QStringList{"a b\"", "y"};
        QTest::newRow("empty quoted") << "\"\" x" << QStringList{"", "x"};
        QTest::newRow("unclosed quote") << "\"abc def" << QStringList{"ab", "def"};
        QTest::newRow("lone quote") << "\"" << QStringList{""};
    }

    void split()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, tokens);
        QStringList list{"stale"};
        QCOMPARE(CommandLine::SplitCommandLine(list, text), tokens.size());
        QCOMPARE(list, tokens);
        // The platform hands the arguments split; joined for the splitter they come back whole.
        CommandLine::SplitCommandLine(list, CommandLine::argumentText(tokens));
        QCOMPARE(list, tokens);
    }

    void startUp_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("windows");
        QTest::addColumn<QStringList>("boxes");
        const QString help = "Exe Command Lines\r\n\r\n[/s] = Auto Server Mode Command\r\n"
                             "[/c] = Auto Client Mode Command\r\n[/?] = This Message Box";
        const QStringList none;
        QTest::newRow("nothing") << "" << QStringList{"FormMain"} << none;
        QTest::newRow("/S x") << "/S x" << QStringList{"FormTCPServerMain"}
                              << QStringList{"Host Port ? [555]"};
        QTest::newRow("/U") << "/U" << QStringList{"FormUDPMain"} << none;
        QTest::newRow("/c") << "/c" << QStringList{"FormTCPClientMain"} << none;
        QTest::newRow("/?") << "/?" << none << QStringList{help};
        QTest::newRow("leading blank") << " /s" << none << none;
    }

    void startUp()
    {
        QFETCH(QString, text);
        DialogScript script;
        script.ok();
        QWidget *opened = ModuleMain::startUp(text);
        QTEST(windows(), "windows");
        QVERIFY(!opened || opened->testAttribute(Qt::WA_DeleteOnClose));
        QTEST(script.boxes, "boxes");
    }

    // Hints follow the mouse over buttons and picture, not labels; Tab: Cancel, UDP, Client...
    // A screen reader finds each window as a window, every control by a name, the logs as text.
    void windowsForScreenReaders_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("controls"); // by name, '/' apart
        QTest::addColumn<int>("logs");
        using Mode = ModuleMain::Mode;
        QTest::newRow("chooser") << int(Mode::Chooser) << "TCP Server/TCP Client/UDP/Cancel" << 0;
        QTest::newRow("server") << int(Mode::Server) << "Log/Close/ConnectClose/InfoWSock/LogClear"
                                << 1;
        QTest::newRow("client") << int(Mode::Client) << "Log/Menu/Line/Line" << 1;
        QTest::newRow("UDP") << int(Mode::Udp) << "Log/Text/Send/ReSet/Min/Close" << 1;
    }

    void windowsForScreenReaders()
    {
        QFETCH(int, mode);
        std::unique_ptr<QWidget> window(WindowOpener::create(ModuleMain::Mode(mode)));
        QAccessibleInterface *root = QAccessible::queryAccessibleInterface(window.get());
        QCOMPARE(root->role(), QAccessible::Window);
        QVERIFY(!root->text(QAccessible::Name).isEmpty());
        QStringList controls;
        int logs = 0;
        for (int i = 0; i < root->childCount(); ++i)
            controlsOf(root->child(i), controls, logs);
        QTEST(controls.join(u'/'), "controls");
        QTEST(logs, "logs");
    }

    void chooserHintsAndFocus()
    {
        QPointer<QWidget> chooser = WindowOpener::create(ModuleMain::Mode::Chooser);
        chooser->setAttribute(Qt::WA_DeleteOnClose);
        chooser->show();
        QVERIFY(QTest::qWaitForWindowActive(chooser));
        auto *label = part<QLabel>(chooser, "LabelInformation");
        const QStringList hints{"終了します。", "TCPサーバーで起動します。",
                                "TCPクライアントで起動します。", "UDP通信で起動します。テスト中"};
        for (const int i : {0, 3, 2, 1}) {
            auto *button = chooser->findChild<QPushButton *>(QStringLiteral("btnChoise%1").arg(i));
            QCOMPARE(chooser->focusWidget(), button);
            QTest::keyClick(button, Qt::Key_Tab);
            QTest::mouseMove(button);
            QTest::mouseMove(part(chooser, "LabelVer"));
            QCOMPARE(label->text(), hints[i]);
            QTest::mouseMove(chooser, QPoint(250, 130));
            QCOMPARE(label->text(), QStringLiteral("チャットの種類を選んでください。"));
        }
    }

    void chooserClick_data()
    {
        QTest::addColumn<int>("button"); // -1: the Enter key right after showing
        QTest::addColumn<QStringList>("windows");
        QTest::addColumn<QStringList>("seen"); // each box, with what the chooser shows meanwhile
        const QString starting = "選択された項目で起動中です...";
        const QString unloading = "完了。このメニューをアンロードしています。";
        QTest::newRow("Cancel") << 0 << QStringList{} << QStringList{"after / " + starting};
        QTest::newRow("Enter") << -1 << QStringList{} << QStringList{"after / " + starting};
        QTest::newRow("TCP Server")
            << 1 << QStringList{"FormTCPServerMain"}
            << QStringList{"Host Port ? [555] / " + unloading, "after / " + unloading};
        QTest::newRow("TCP Client")
            << 2 << QStringList{"FormTCPClientMain"} << QStringList{"after / " + unloading};
        QTest::newRow("UDP") << 3 << QStringList{"FormUDPMain"}
                             << QStringList{"after / " + unloading};
    }

    // The chooser says what it does, opens the window (whose load work runs while the chooser
    // stands) and closes itself; Cancel only closes it.
    void chooserClick()
    {
        QFETCH(int, button);
        QPointer<QWidget> chooser = WindowOpener::create(ModuleMain::Mode::Chooser);
        chooser->setAttribute(Qt::WA_DeleteOnClose);
        chooser->show();
        QVERIFY(QTest::qWaitForWindowActive(chooser));
        auto *label = part<QLabel>(chooser, "LabelInformation");
        DialogScript script;
        script.ok();
        QStringList seen;
        script.onNextBox = [&] {
            seen << script.boxes.last() + " / " + label->text();
        };
        auto *pushed =
            chooser->findChild<QPushButton *>(QStringLiteral("btnChoise%1").arg(qMax(button, 0)));
        connect(pushed, &QPushButton::clicked, label, [&] { seen << "after / " + label->text(); });
        if (button < 0)
            QTest::keyClick(chooser->windowHandle(), Qt::Key_Return);
        else
            pushed->click();
        QTRY_VERIFY(!chooser);
        QTEST(seen, "seen");
        QTEST(windows(), "windows");
    }
};

Q_CONSTRUCTOR_FUNCTION(chooseFixedPortIsolation)
QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
