#include "chooser/formmain.h"
#include "common/application.h"
#include "common/dialogs.h"
#include "tcpclient/formtcpclientmain.h"
#include "tcpserver/formtcpservermain.h"
#include "udp/formudpmain.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <memory>

namespace {

const QString kPictureHint = QStringLiteral("チャットの種類を選んでください。");
const QString kStarting = QStringLiteral("選択された項目で起動中です...");
const QString kUnloading = QStringLiteral("完了。このメニューをアンロードしています。");

struct JpegFrame
{
    int marker = 0; // 0xC0 baseline, 0xC1 extended, 0xC2 progressive, ...
    int precision = 0;
    int height = 0;
    int width = 0;
    int components = 0;
};

// Walks the JPEG's marker segments up to the start of scan and reports its frame header.
JpegFrame readJpegFrame(const QByteArray &data)
{
    JpegFrame frame;
    if (!data.startsWith("\xFF\xD8"))
        return frame;
    qsizetype at = 2;
    const auto byte = [&data](qsizetype i) {
        return int(quint8(data.at(i)));
    };
    while (at + 4 <= data.size() && byte(at) == 0xFF) {
        const int marker = byte(at + 1);
        const int length = byte(at + 2) << 8 | byte(at + 3);
        const bool startOfFrame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame && at + 10 <= data.size()) {
            frame = {marker, byte(at + 4), byte(at + 5) << 8 | byte(at + 6),
                     byte(at + 7) << 8 | byte(at + 8), byte(at + 9)};
        }
        if (marker == 0xDA)
            break;
        at += 2 + length;
    }
    return frame;
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

    void windowShape();
    void controlGeometry_data();
    void controlGeometry();
    void pictureIsBaselineJpegDrawnFromTopLeft();
    void versionBeforeAndAfterLoad();
    void labelsLook();
    void focusStartsOnCancelAndFollowsTabOrder();
    void hints_data();
    void hints();
    void cancelClosesEverything_data();
    void cancelClosesEverything();
    void modeButtonOpensWindowThenCloses_data();
    void modeButtonOpensWindowThenCloses();

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
    QApplication *app = qApp;
    Application::setUp(*app);
}

void TestFormMain::init()
{
    m_chooser = new FormMain;
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

void TestFormMain::windowShape()
{
    QVERIFY(m_chooser->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(m_chooser->isWindow());
    QCOMPARE(m_chooser->windowTitle(), QString());
    QCOMPARE(m_chooser->minimumSize(), QSize(320, 240));
    QCOMPARE(m_chooser->maximumSize(), QSize(320, 240));
    QVERIFY(!m_chooser->windowIcon().isNull());

    showChooser();
    QCOMPARE(m_chooser->size(), QSize(320, 240));
    const QRect screen = m_chooser->screen()->availableGeometry();
    QVERIFY2(qAbs(m_chooser->geometry().center().x() - screen.center().x()) <= 1,
             qPrintable(QStringLiteral("window at %1").arg(m_chooser->x())));
    QVERIFY2(qAbs(m_chooser->geometry().center().y() - screen.center().y()) <= 1,
             qPrintable(QStringLiteral("window at %1").arg(m_chooser->y())));
}

void TestFormMain::controlGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("pixels");

    // Twips divided by 15, rounded: 3500 -> 233, 2650 -> 177, 2800 -> 187, 2500 -> 167.
    QTest::newRow("TCP Server") << "btnChoise1"
                                << "TCP Server" << QRect(53, 7, 80, 20);
    QTest::newRow("TCP Client") << "btnChoise2"
                                << "TCP Client" << QRect(53, 35, 80, 20);
    QTest::newRow("UDP") << "btnChoise3"
                         << "UDP" << QRect(53, 63, 80, 20);
    QTest::newRow("Cancel") << "btnChoise0"
                            << "Cancel" << QRect(233, 177, 80, 20);
    QTest::newRow("information") << "LabelInformation"
                                 << "" << QRect(53, 187, 167, 13);
}

void TestFormMain::controlGeometry()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, pixels);

    showChooser();
    QWidget *control = child<QWidget>(name);
    QCOMPARE(control->geometry(), pixels);
    if (auto *button = qobject_cast<QPushButton *>(control))
        QCOMPARE(button->text(), caption);
    else
        QCOMPARE(qobject_cast<QLabel *>(control)->text(), caption);
}

void TestFormMain::pictureIsBaselineJpegDrawnFromTopLeft()
{
    QFile file(QStringLiteral(":/chooser.jpg"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const JpegFrame frame = readJpegFrame(bytes);
    QCOMPARE(frame.marker, 0xC0);
    QCOMPARE(frame.precision, 8);
    QCOMPARE(frame.components, 3);
    QCOMPARE(QSize(frame.width, frame.height), QSize(320, 240));

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

void TestFormMain::versionBeforeAndAfterLoad()
{
    auto *version = child<QLabel>(QStringLiteral("LabelVer"));
    QCOMPARE(version->text(), QStringLiteral("0.0.0"));

    showChooser();
    QCOMPARE(version->text(), QStringLiteral("1.0.46"));
    QCOMPARE(child<QLabel>(QStringLiteral("LabelInformation"))->text(), QString());

    // It stands at its place and is wide and high enough for the whole text.
    QCOMPARE(version->pos(), QPoint(7, 220));
    QVERIFY(version->width() >= version->sizeHint().width());
    QVERIFY(version->height() >= version->sizeHint().height());
    QVERIFY(m_chooser->rect().contains(version->geometry()));
}

void TestFormMain::labelsLook()
{
    showChooser();
    auto *version = child<QLabel>(QStringLiteral("LabelVer"));
    QCOMPARE(version->palette().color(version->foregroundRole()), QColor(Qt::white));
    QVERIFY(!version->autoFillBackground());

    auto *information = child<QLabel>(QStringLiteral("LabelInformation"));
    const QPalette system = QApplication::palette();
    QVERIFY(information->autoFillBackground());
    QCOMPARE(information->palette().color(information->backgroundRole()),
             system.color(QPalette::Window));
    QCOMPARE(information->palette().color(information->foregroundRole()),
             system.color(QPalette::WindowText));
    QCOMPARE(information->font().pointSizeF(), 8.25);
    QCOMPARE(information->font().weight(), QFont::Normal);
    QVERIFY(information->font().families().contains(QStringLiteral("IPAPGothic")));

    for (QLabel *label : {version, information})
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
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
    QTest::newRow("picture then button")
        << QStringList{"picture", "btnChoise3"} << QStringLiteral("UDP通信で起動します。テスト中");
    QTest::newRow("button then information label")
        << QStringList{"btnChoise2", "LabelInformation"}
        << QStringLiteral("TCPクライアントで起動します。");
    QTest::newRow("button then version label")
        << QStringList{"btnChoise0", "LabelVer"} << QStringLiteral("終了します。");
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
        // Entering, then moving on within the same widget.
        QTest::mouseMove(target, spot);
        QTest::mouseMove(target, spot + QPoint(1, 1));
    }
    QCOMPARE(child<QLabel>(QStringLiteral("LabelInformation"))->text(), expected);
}

void TestFormMain::cancelClosesEverything_data()
{
    QTest::addColumn<bool>("byEnterKey");
    QTest::newRow("click") << false;
    QTest::newRow("Enter right after showing") << true;
}

void TestFormMain::cancelClosesEverything()
{
    QFETCH(bool, byEnterKey);

    QStringList shownWhileClosing;
    auto *information = child<QLabel>(QStringLiteral("LabelInformation"));
    showChooser();
    // The text at the moment the chooser is told to close, before it is gone.
    QObject::connect(child<QPushButton>(QStringLiteral("btnChoise0")), &QPushButton::clicked,
                     information, [&] { shownWhileClosing.append(information->text()); });

    if (byEnterKey) {
        QVERIFY(QTest::qWaitForWindowActive(m_chooser));
        QTest::keyClick(m_chooser->windowHandle(), Qt::Key_Return);
    } else {
        child<QPushButton>(QStringLiteral("btnChoise0"))->click();
    }

    QCOMPARE(shownWhileClosing, QStringList{kStarting});
    QTRY_VERIFY(m_chooser.isNull());
    QVERIFY(visibleWindows().isEmpty());
}

void TestFormMain::modeButtonOpensWindowThenCloses_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("windowClass");
    QTest::addColumn<QStringList>("questions"); // asked while the mode window loads

    QTest::newRow("TCP Server") << "btnChoise1"
                                << "FormTCPServerMain"
                                << QStringList{QStringLiteral("Host Port ?")};
    QTest::newRow("TCP Client") << "btnChoise2"
                                << "FormTCPClientMain" << QStringList{};
    QTest::newRow("UDP") << "btnChoise3"
                         << "FormUDPMain" << QStringList{};
}

void TestFormMain::modeButtonOpensWindowThenCloses()
{
    QFETCH(QString, button);
    QFETCH(QString, windowClass);
    QFETCH(QStringList, questions);

    showChooser();
    auto *information = child<QLabel>(QStringLiteral("LabelInformation"));

    struct Seen
    {
        QString question;
        bool chooserVisible = false;
        QString information;
    };
    QList<Seen> seen;
    Dialogs::setResponderForTesting([&](const Dialogs::Request &request) {
        seen.append({request.text, m_chooser && m_chooser->isVisible(),
                     m_chooser ? information->text() : QString()});
        // Port 0: the system picks a free one, so the server never clashes with anything.
        return Dialogs::Answer{Dialogs::Reply::Ok, QStringLiteral("0")};
    });

    child<QPushButton>(button)->click();

    QCOMPARE(seen.size(), questions.size());
    for (qsizetype i = 0; i < seen.size(); ++i) {
        QCOMPARE(seen[i].question, questions[i]);
        QVERIFY2(seen[i].chooserVisible, "the chooser closed before the mode window loaded");
        QCOMPARE(seen[i].information, kUnloading);
    }

    QTRY_VERIFY(m_chooser.isNull());
    const QList<QWidget *> windows = visibleWindows();
    QCOMPARE(windows.size(), 1);
    QCOMPARE(QString::fromLatin1(windows.first()->metaObject()->className()), windowClass);
    QVERIFY(windows.first()->isWindow());
    QCOMPARE(windows.first()->parentWidget(), nullptr);
    QVERIFY(windows.first()->testAttribute(Qt::WA_DeleteOnClose));
}

QTEST_MAIN(TestFormMain)
#include "tst_formmain.moc"
