#include "formmain.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

namespace {
const QString Starting = QStringLiteral("選択された項目で起動中です...");
const QString Unloading = QStringLiteral("完了。このメニューをアンロードしています。");
const QString PictureHint = QStringLiteral("チャットの種類を選んでください。");
} // namespace

// The mode chooser. The windows it opens take their fixed ports in a namespace of the test's own.
class TestChooser final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { delete chooser; }
    void hints_data();
    void hints();
    void choosing_data();
    void choosing();

private:
    template <class T> T *child(const QString &name) { return chooser->findChild<T *>(name); }
    QPointer<FormMain> chooser;
};

void TestChooser::init()
{
    QApplication::setQuitOnLastWindowClosed(false);
    chooser = new FormMain;
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->show();
    QVERIFY(QTest::qWaitForWindowExposed(chooser));
}

void TestChooser::hints_data()
{
    QTest::addColumn<QStringList>("path"); // where the mouse goes; "" is a bare spot of picture
    QTest::addColumn<QString>("hint");
    QTest::newRow("picture") << QStringList{""} << PictureHint;
    QTest::newRow("Cancel") << QStringList{"btnChoise0"} << "終了します。";
    QTest::newRow("TCP Server") << QStringList{"btnChoise1"} << "TCPサーバーで起動します。";
    QTest::newRow("TCP Client") << QStringList{"btnChoise2"} << "TCPクライアントで起動します。";
    QTest::newRow("UDP") << QStringList{"btnChoise3"} << "UDP通信で起動します。テスト中";
    QTest::newRow("button, picture") << QStringList{"btnChoise1", ""} << PictureHint;
    QTest::newRow("button, labels") << QStringList{"btnChoise2", "LabelInformation", "LabelVer"}
                                    << "TCPクライアントで起動します。";
    QTest::newRow("labels only") << QStringList{"LabelVer"} << QString();
}

void TestChooser::hints()
{
    QFETCH(QStringList, path);
    for (const QString &name : std::as_const(path)) {
        QWidget *target = name.isEmpty() ? chooser.data() : child<QWidget>(name);
        const QPoint spot = name.isEmpty() ? QPoint(250, 130) : target->rect().center();
        QTest::mouseMove(target, spot);
        QTest::mouseMove(target, spot + QPoint(1, 1));
    }
    QTEST(child<QLabel>(QStringLiteral("LabelInformation"))->text(), "hint");
}

void TestChooser::choosing_data()
{
    QTest::addColumn<int>("button"); // -1: the Enter key right after showing
    QTest::addColumn<QString>("window");
    QTest::addColumn<QStringList>("seen"); // each box, with what the chooser shows meanwhile
    QTest::newRow("Cancel") << 0 << "" << QStringList{};
    QTest::newRow("Enter") << -1 << "" << QStringList{};
    QTest::newRow("TCP Server") << 1 << "FormTCPServerMain"
                                << QStringList{"Host Port ? [555] / " + Unloading};
    QTest::newRow("TCP Client") << 2 << "FormTCPClientMain" << QStringList{};
    QTest::newRow("UDP") << 3 << "FormUDPMain" << QStringList{};
}

// The chooser says what it does, opens the mode window, whose load work runs while the chooser
// still stands, and then closes itself; Cancel only closes it.
void TestChooser::choosing()
{
    QFETCH(int, button);
    QFETCH(QString, window);
    auto *label = child<QLabel>(QStringLiteral("LabelInformation"));
    DialogScript script;
    script.ok();
    QStringList seen;
    script.onNextBox = [&] {
        seen << script.boxes.last() + " / " +
                    (chooser && chooser->isVisible() ? label->text() : "");
    };
    QString afterClick;
    auto *pushed = child<QPushButton>(QStringLiteral("btnChoise%1").arg(qMax(button, 0)));
    connect(pushed, &QPushButton::clicked, label, [&] { afterClick = label->text(); });
    if (button < 0) {
        QVERIFY(QTest::qWaitForWindowActive(chooser));
        QTest::keyClick(chooser->windowHandle(), Qt::Key_Return);
    } else {
        pushed->click();
    }
    QCOMPARE(afterClick, window.isEmpty() ? Starting : Unloading);
    QTRY_VERIFY(!chooser);
    QTEST(seen, "seen");
    QStringList left;
    for (QWidget *each : QApplication::topLevelWidgets()) {
        if (each->isVisible())
            left << QString::fromLatin1(each->metaObject()->className());
    }
    QCOMPARE(left, window.isEmpty() ? QStringList{} : QStringList{window});
    QList<QPointer<QWidget>> windows;
    for (QWidget *each : QApplication::topLevelWidgets())
        windows << each;
    for (const QPointer<QWidget> &each : windows)
        if (each && !each->parentWidget())
            delete each.data();
}

KESTREL_TEST_MAIN_PRIVATE_NETWORK(QApplication, TestChooser)
#include "tst_chooser.moc"
