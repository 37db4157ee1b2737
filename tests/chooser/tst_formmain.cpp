#include "application.h"
#include "dialogs.h"
#include "formmain.h"
#include "formtcpclientmain.h"
#include "formtcpservermain.h"
#include "formudpmain.h"
#include "windowopener.h"
#include "windowtools.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace {

const QString kPictureHint = QStringLiteral("チャットの種類を選んでください。");
const QString kStarting = QStringLiteral("選択された項目で起動中です...");
const QString kUnloading = QStringLiteral("完了。このメニューをアンロードしています。");

// The JPEG's frame header, found by walking its marker segments up to the start of scan:
// "C0 320x240" for a 320 by 240 baseline picture (C2 would be progressive).
QString jpegFrame(const QByteArray &data)
{
    const auto byte = [&data](qsizetype i) {
        return int(quint8(data.at(i)));
    };
    for (qsizetype at = 2; data.startsWith("\xFF\xD8") && at + 9 <= data.size() && byte(at) == 0xFF;
         at += 2 + (byte(at + 2) << 8 | byte(at + 3))) {
        const int marker = byte(at + 1);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            return QStringLiteral("%1 %2x%3")
                .arg(QString::number(marker, 16).toUpper())
                .arg(byte(at + 7) << 8 | byte(at + 8))
                .arg(byte(at + 5) << 8 | byte(at + 6));
        if (marker == 0xDA)
            break;
    }
    return {};
}

QList<QWidget *> visibleWindows()
{
    QList<QWidget *> windows;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible())
            windows.append(widget);
    }
    return windows;
}

} // namespace

class TestFormMain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void placesAndVersion();
    void pictureIsBaselineJpegDrawnFromTopLeft();
    void focusStartsOnCancelAndFollowsTabOrder();
    void hints_data();
    void hints();
    void choosing_data();
    void choosing();

private:
    void showChooser();
    template <typename T> T *child(const QString &name) const
    {
        T *found = m_chooser->findChild<T *>(name);
        if (!found)
            qFatal("no child %s", qPrintable(name));
        return found;
    }

    QPointer<FormMain> m_chooser;
};

void TestFormMain::initTestCase()
{
    Application::setUp(*qApp);
}

void TestFormMain::init()
{
    m_chooser = qobject_cast<FormMain *>(WindowOpener::create(ModuleMain::Mode::Chooser));
    m_chooser->setAttribute(Qt::WA_DeleteOnClose);
}

void TestFormMain::cleanup()
{
    Dialogs::setResponderForTesting({});
    delete m_chooser;
    // Mode windows opened by a test are deleted outright: their close questions are not the
    // chooser's business.
    QList<QPointer<QWidget>> opened;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<FormTCPServerMain *>(widget) ||
            qobject_cast<FormTCPClientMain *>(widget) || qobject_cast<FormUDPMain *>(widget))
            opened.append(widget);
    }
    for (const QPointer<QWidget> &window : opened)
        delete window.data();
}

void TestFormMain::showChooser()
{
    m_chooser->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_chooser));
}

void TestFormMain::placesAndVersion()
{
    auto *version = child<QLabel>(QStringLiteral("LabelVer"));
    QCOMPARE(version->text(), QStringLiteral("0.0.0"));

    showChooser();
    QCOMPARE(m_chooser->size(), QSize(320, 240));
    // Twips divided by 15, rounded: 3500 -> 233, 2650 -> 177, 2800 -> 187, 2500 -> 167.
    const QList<std::pair<QString, QRect>> places{{"btnChoise1", {53, 7, 80, 20}},
                                                  {"btnChoise2", {53, 35, 80, 20}},
                                                  {"btnChoise3", {53, 63, 80, 20}},
                                                  {"btnChoise0", {233, 177, 80, 20}},
                                                  {"LabelInformation", {53, 187, 167, 13}}};
    for (const auto &[name, place] : places)
        QCOMPARE(child<QWidget>(name)->geometry(), place);
    QVERIFY2(offCentre(m_chooser).manhattanLength() <= 2,
             qPrintable(QStringLiteral("window at %1,%2").arg(m_chooser->x()).arg(m_chooser->y())));
    QCOMPARE(version->text(), QStringLiteral("1.0.46"));
    QCOMPARE(child<QLabel>(QStringLiteral("LabelInformation"))->text(), QString());
    // It stands at its place and is wide and high enough for the whole text.
    QCOMPARE(version->pos(), QPoint(7, 220));
    QVERIFY(version->width() >= version->sizeHint().width());
    QVERIFY(version->height() >= version->sizeHint().height());
    QVERIFY(m_chooser->rect().contains(version->geometry()));
}

void TestFormMain::pictureIsBaselineJpegDrawnFromTopLeft()
{
    QFile file(QStringLiteral(":/chooser.jpg"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QCOMPARE(jpegFrame(bytes), QStringLiteral("C0 320x240"));

    showChooser();
    const QImage picture = QImage::fromData(bytes).convertToFormat(QImage::Format_RGB32);
    const QImage shown = m_chooser->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), picture.size());
    // Corners and spots that no control covers show the picture's own pixels, unscaled.
    for (const QPoint spot : {QPoint(0, 0), QPoint(319, 0), QPoint(0, 239), QPoint(319, 239),
                              QPoint(200, 100), QPoint(20, 150), QPoint(300, 120)}) {
        QCOMPARE(QColor(shown.pixel(spot)), QColor(picture.pixel(spot)));
    }
}

void TestFormMain::focusStartsOnCancelAndFollowsTabOrder()
{
    showChooser();
    QVERIFY(QTest::qWaitForWindowActive(m_chooser));
    QCOMPARE(QApplication::focusWidget(), child<QWidget>(QStringLiteral("btnChoise0")));

    for (const char *next : {"btnChoise3", "btnChoise2", "btnChoise1", "btnChoise0"}) {
        QTest::keyClick(m_chooser->windowHandle(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
    }
}

void TestFormMain::hints_data()
{
    QTest::addColumn<QStringList>("path"); // where the mouse goes, in order
    QTest::addColumn<QString>("expected");

    // "picture" is a bare spot of the background.
    QTest::newRow("picture") << QStringList{"picture"} << kPictureHint;
    QTest::newRow("Cancel") << QStringList{"btnChoise0"} << QStringLiteral("終了します。");
    QTest::newRow("TCP Server") << QStringList{"btnChoise1"}
                                << QStringLiteral("TCPサーバーで起動します。");
    QTest::newRow("TCP Client") << QStringList{"btnChoise2"}
                                << QStringLiteral("TCPクライアントで起動します。");
    QTest::newRow("UDP") << QStringList{"btnChoise3"}
                         << QStringLiteral("UDP通信で起動します。テスト中");
    QTest::newRow("button then picture") << QStringList{"btnChoise1", "picture"} << kPictureHint;
    QTest::newRow("button then labels") << QStringList{"btnChoise2", "LabelInformation", "LabelVer"}
                                        << QStringLiteral("TCPクライアントで起動します。");
    QTest::newRow("picture then labels")
        << QStringList{"picture", "LabelVer", "LabelInformation"} << kPictureHint;
    QTest::newRow("labels only") << QStringList{"LabelInformation", "LabelVer"} << QString();
}

void TestFormMain::hints()
{
    QFETCH(QStringList, path);
    QFETCH(QString, expected);

    showChooser();
    for (const QString &stop : path) {
        QWidget *target =
            stop == u"picture" ? static_cast<QWidget *>(m_chooser) : child<QWidget>(stop);
        const QPoint spot = stop == u"picture" ? QPoint(250, 130) : target->rect().center();
        // Entering, then moving on within the same widget; over a label a drag as well.
        QTest::mouseMove(target, spot);
        QTest::mouseMove(target, spot + QPoint(1, 1));
        if (stop.startsWith(u"Label")) {
            QTest::mousePress(target, Qt::LeftButton, {}, spot);
            QTest::mouseMove(target, spot + QPoint(2, 1));
            QTest::mouseRelease(target, Qt::LeftButton, {}, spot + QPoint(2, 1));
        }
    }
    QCOMPARE(child<QLabel>(QStringLiteral("LabelInformation"))->text(), expected);
}

void TestFormMain::choosing_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("byEnterKey");
    QTest::addColumn<QStringList>("seen");    // each box shown: "question / what the chooser shows"
    QTest::addColumn<QString>("information"); // the chooser's text once the click is handled
    QTest::addColumn<QString>("windowClass"); // the one window left; empty for none

    const QString none;
    QTest::newRow("Cancel") << "btnChoise0" << false << QStringList{} << kStarting << none;
    QTest::newRow("Enter right after showing")
        << "btnChoise0" << true << QStringList{} << kStarting << none;
    QTest::newRow("TCP Server") << "btnChoise1" << false
                                << QStringList{QStringLiteral("Host Port ? / ") + kUnloading}
                                << kUnloading << "FormTCPServerMain";
    QTest::newRow("TCP Client") << "btnChoise2" << false << QStringList{} << kUnloading
                                << "FormTCPClientMain";
    QTest::newRow("UDP") << "btnChoise3" << false << QStringList{} << kUnloading << "FormUDPMain";
}

// The chooser shows what it does, opens the mode window, whose load work runs while the
// chooser still stands, and closes; Cancel only closes it, ending the program.
void TestFormMain::choosing()
{
    QFETCH(QString, button);
    QFETCH(bool, byEnterKey);
    QFETCH(QStringList, seen);
    QFETCH(QString, information);
    QFETCH(QString, windowClass);

    showChooser();
    auto *label = child<QLabel>(QStringLiteral("LabelInformation"));
    QStringList boxes;
    Dialogs::setResponderForTesting([&](const Dialogs::Request &request) {
        const bool standing = m_chooser && m_chooser->isVisible();
        boxes << request.text + QStringLiteral(" / ") +
                     (standing ? label->text() : QStringLiteral("(chooser gone)"));
        // Port 0: the system picks a free one, so the server never clashes with anything.
        return Dialogs::Answer{Dialogs::Reply::Ok, QStringLiteral("0")};
    });
    QString afterClick;
    connect(child<QPushButton>(button), &QPushButton::clicked, label,
            [&] { afterClick = label->text(); });

    if (byEnterKey) {
        QVERIFY(QTest::qWaitForWindowActive(m_chooser));
        QTest::keyClick(m_chooser->windowHandle(), Qt::Key_Return);
    } else {
        child<QPushButton>(button)->click();
    }

    QCOMPARE(boxes, seen);
    QCOMPARE(afterClick, information);
    QTRY_VERIFY(m_chooser.isNull());
    QStringList left;
    for (QWidget *window : visibleWindows()) {
        left << QString::fromLatin1(window->metaObject()->className());
        QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    }
    QCOMPARE(left, windowClass.isEmpty() ? QStringList{} : QStringList{windowClass});
}

QTEST_MAIN(TestFormMain)
#include "tst_formmain.moc"
