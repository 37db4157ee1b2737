#include "udp/formudpmain.h"

#include "common/appearance.h"
#include "common/application.h"
#include "common/datetimetexts.h"
#include "common/logpane.h"
#include "dialogscript.h"
#include "sockets/cws_udp.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>
#include <QTextDocument>
#include <QUdpSocket>

namespace {

constexpr quint16 kReceivingPort = 777;
constexpr quint16 kSendingPort = 778;
constexpr int kTimeout = 5000;

const QString kSent = QStringLiteral("2000/06/12/9:05:07");
const QString kGot = QStringLiteral("2000/06/12/9:05:09");

// Why the fixed ports cannot be used by this process right now, or empty when they can.
QString portProblem()
{
    for (const quint16 port : {kReceivingPort, kSendingPort}) {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::AnyIPv4, port)) {
            return QStringLiteral("UDP port %1 cannot be bound (%2): the window's ports need "
                                  "root or CAP_NET_BIND_SERVICE and no other holder")
                .arg(port)
                .arg(probe.errorString());
        }
    }
    return {};
}

QString blockText(const QString &ip, const QString &dateTime, const QString &text)
{
    return QStringLiteral("send IP - ") + ip + QStringLiteral("\r\nsend date - ") + dateTime +
           QStringLiteral("\r\n\r\n--- [SOF] ---\r\n") + text + QStringLiteral("\r\n--- [EOF] ---");
}

QString display(const QString &dateTime, const QString &received)
{
    return QStringLiteral("got date - ") + dateTime + QStringLiteral("\r\n\r\n") + received;
}

// The caption as the menu bar draws it, or a marker when it would grow an accelerator.
QString shownCaption(const QAction *action)
{
    if (!QKeySequence::mnemonic(action->text()).isEmpty())
        return QStringLiteral("<accelerator in %1>").arg(action->text());
    return QString(action->text()).replace(QStringLiteral("&&"), QStringLiteral("&"));
}

} // namespace

#define REQUIRE_PORTS()                                                                            \
    do {                                                                                           \
        const QString problem = portProblem();                                                     \
        if (!problem.isEmpty())                                                                    \
            QSKIP(qPrintable(problem));                                                            \
    } while (false)

class TestFormUDPMain final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void opensWithMenuAndBoxes();
    void sendHandsOverOneBlock_data();
    void sendHandsOverOneBlock();
    void typedLinesTravelWithCrLf();
    void secondSend_data();
    void secondSend();
    void foreignDatagramShownTheSameWay_data();
    void foreignDatagramShownTheSameWay();
    void reSet_data();
    void reSet();
    void reSetOffersLastAcceptedAddress();
    void layoutInHalves_data();
    void layoutInHalves();
    void minimiseAndRestore();
    void closeCancelKeepsEverythingOpen_data();
    void closeCancelKeepsEverythingOpen();
    void closeOkClosesBothObjects_data();
    void closeOkClosesBothObjects();

private:
    FormUDPMain *openWindow();
    template <typename T> T *child(const char *name) const;
    QAction *menu(const char *name) const { return child<QAction>(name); }
    LogPane *log() const { return child<LogPane>("TextLog"); }
    QPlainTextEdit *entry() const { return child<QPlainTextEdit>("TextMain"); }
    QWidget *clientArea() const { return m_window->centralWidget(); }
    void sendForeign(const QByteArray &datagram);

    QPointer<FormUDPMain> m_window;
    QDateTime m_now;
    QString m_ip;
};

void TestFormUDPMain::initTestCase()
{
    Application::setUp(*qApp);
    // Every object reports the same address, opened or not.
    m_ip = CWS_UDP().IP();
    QVERIFY(!m_ip.isEmpty());
}

void TestFormUDPMain::init()
{
    m_now = QDateTime(QDate(2000, 6, 12), QTime(9, 5, 7));
    DateTimeTexts::setClockForTesting([this] { return m_now; },
                                      QLocale(QLocale::Japanese, QLocale::Japan));
}

void TestFormUDPMain::cleanup()
{
    // Deleting does not ask "Close ?"; the window's destructor releases both objects.
    delete m_window;
    DateTimeTexts::setClockForTesting({});
}

FormUDPMain *TestFormUDPMain::openWindow()
{
    m_window = new FormUDPMain;
    m_window->show();
    return m_window;
}

template <typename T> T *TestFormUDPMain::child(const char *name) const
{
    T *found = m_window ? m_window->findChild<T *>(QLatin1String(name)) : nullptr;
    if (!found)
        qFatal("no child %s", name);
    return found;
}

void TestFormUDPMain::sendForeign(const QByteArray &datagram)
{
    QUdpSocket raw;
    QCOMPARE(raw.writeDatagram(datagram, QHostAddress::LocalHost, kReceivingPort),
             qint64(datagram.size()));
}

void TestFormUDPMain::opensWithMenuAndBoxes()
{
    DialogScript script;
    m_window = new FormUDPMain;
    QCOMPARE(menu("mnuReSet")->text(), QStringLiteral("ReSet"));

    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));

    QStringList captions;
    for (const QAction *action : m_window->menuBar()->actions())
        captions << action->objectName() + u'=' + shownCaption(action);
    QCOMPARE(captions, QStringList({"mnuSend=Send", "mnuReSet=RIP:localhost", "mnuMin=Min",
                                    "mnuClose=Close"}));
    for (const QAction *action : m_window->menuBar()->actions())
        QVERIFY(action->menu() == nullptr);

    QCOMPARE(m_window->windowTitle(), QStringLiteral("UDP"));
    QVERIFY(m_window->windowFlags().testFlag(Qt::Tool));
    QVERIFY(m_window->testAttribute(Qt::WA_QuitOnClose));
    QVERIFY(!m_window->windowIcon().isNull());
    QCOMPARE(clientArea()->size(), QSize(297, 153));

    QCOMPARE(log()->text(), QString());
    QVERIFY(!entry()->isReadOnly());
    QCOMPARE(m_window->focusWidget(), entry());
    for (QWidget *box : {static_cast<QWidget *>(log()), static_cast<QWidget *>(entry())})
        QCOMPARE(box->palette().color(QPalette::Base), Appearance::kLightOrange);
    QVERIFY(script.asked().isEmpty());
}

void TestFormUDPMain::sendHandsOverOneBlock_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("sentText");

    QTest::newRow("hello") << "hello"
                           << "hello";
    QTest::newRow("empty entry") << ""
                                 << "";
    QTest::newRow("lines end in CR LF") << "one\ntwo\n"
                                        << "one\r\ntwo\r\n";
    QTest::newRow("japanese and no-break space")
        << QString::fromUtf8("こんにちは\u00a0世界") << QString::fromUtf8("こんにちは\u00a0世界");
}

void TestFormUDPMain::sendHandsOverOneBlock()
{
    QFETCH(QString, text);
    QFETCH(QString, sentText);
    REQUIRE_PORTS();
    DialogScript script;
    openWindow();
    entry()->setPlainText(text);
    const QString entered = entry()->document()->toRawText();

    menu("mnuSend")->trigger();
    // Nothing is written to the log by sending; the block shows up only when it comes back.
    QCOMPARE(log()->text(), QString());
    QCOMPARE(entry()->document()->toRawText(), entered);

    m_now = m_now.addSecs(2);
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kGot, blockText(m_ip, kSent, sentText)),
                              kTimeout);
    QCOMPARE(entry()->document()->toRawText(), entered);
    QVERIFY(script.asked().isEmpty());
}

void TestFormUDPMain::typedLinesTravelWithCrLf()
{
    REQUIRE_PORTS();
    DialogScript script;
    openWindow();
    QTest::keyClicks(entry(), QStringLiteral("ab"));
    QTest::keyClick(entry(), Qt::Key_Return);
    QTest::keyClicks(entry(), QStringLiteral("cd"));

    menu("mnuSend")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, blockText(m_ip, kSent, "ab\r\ncd")),
                              kTimeout);
}

void TestFormUDPMain::secondSend_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");

    QTest::newRow("same text again, entry kept") << "again"
                                                 << "";
    QTest::newRow("shorter block replaces longer") << "first block\nwith two lines"
                                                   << "second";
}

// Each block carries the time it was sent and wipes out the display of the one before.
void TestFormUDPMain::secondSend()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    REQUIRE_PORTS();
    DialogScript script;
    openWindow();

    entry()->setPlainText(first);
    menu("mnuSend")->trigger();
    const QString firstSent = QString(first).replace(u'\n', QStringLiteral("\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, blockText(m_ip, kSent, firstSent)),
                              kTimeout);
    QCOMPARE(entry()->toPlainText(), first);

    m_now = m_now.addSecs(2);
    if (!second.isEmpty())
        entry()->setPlainText(second);
    const QString expected = entry()->toPlainText();
    menu("mnuSend")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kGot, blockText(m_ip, kGot, expected)),
                              kTimeout);
    QCOMPARE(entry()->toPlainText(), expected);
}

void TestFormUDPMain::foreignDatagramShownTheSameWay_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("shown");

    QTest::newRow("plain text, no block") << QByteArray("not a block") << "not a block";
    QTest::newRow("japanese lines")
        << QString::fromUtf8("一行目\r\n二行目").toUtf8() << QString::fromUtf8("一行目\r\n二行目");
    QTest::newRow("a display look-alike and markup")
        << QByteArray("got date - x\r\n\r\n<b>&amp;</b>") << "got date - x\r\n\r\n<b>&amp;</b>";
}

void TestFormUDPMain::foreignDatagramShownTheSameWay()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, shown);
    REQUIRE_PORTS();
    DialogScript script;
    openWindow();
    log()->setText(QStringLiteral("earlier content"));

    sendForeign(datagram);
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, shown), kTimeout);
}

void TestFormUDPMain::reSet_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("caption");

    QTest::newRow("127.0.0.1") << false << "127.0.0.1"
                               << "RIP:127.0.0.1";
    QTest::newRow("cancel") << true << ""
                            << "RIP:localhost";
    QTest::newRow("empty answer") << false << ""
                                  << "RIP:localhost";
    QTest::newRow("ampersand shown literally") << false << "R&D&&x"
                                               << "RIP:R&D&&x";
    QTest::newRow("kept as typed, blanks included") << false << " 127.0.0.1 "
                                                    << "RIP: 127.0.0.1 ";
}

void TestFormUDPMain::reSet()
{
    QFETCH(bool, cancel);
    QFETCH(QString, answer);
    QFETCH(QString, caption);
    DialogScript script;
    openWindow();

    if (cancel)
        script.cancel();
    else
        script.type(answer);
    menu("mnuReSet")->trigger();

    QCOMPARE(script.asked().size(), 1);
    QCOMPARE(script.asked().at(0).kind, Dialogs::Request::Kind::Input);
    QCOMPARE(script.asked().at(0).text, QStringLiteral("Remote IP ?"));
    QCOMPARE(script.asked().at(0).defaultAnswer, QStringLiteral("localhost"));
    QVERIFY(script.unexpected().isEmpty());
    QCOMPARE(shownCaption(menu("mnuReSet")), caption);
}

// The answer becomes the next default, a refused question leaves it, and the re-aimed sending
// object still reaches this window's receiving one.
void TestFormUDPMain::reSetOffersLastAcceptedAddress()
{
    REQUIRE_PORTS();
    DialogScript script;
    script.type(QStringLiteral("127.0.0.1")).cancel().type(QString()).cancel();
    openWindow();

    for (int i = 0; i < 4; ++i)
        menu("mnuReSet")->trigger();
    QCOMPARE(script.pending(), 0);
    QVERIFY(script.unexpected().isEmpty());
    QStringList defaults;
    for (const Dialogs::Request &request : script.asked())
        defaults << request.defaultAnswer;
    QCOMPARE(defaults, QStringList({"localhost", "127.0.0.1", "127.0.0.1", "127.0.0.1"}));
    QCOMPARE(shownCaption(menu("mnuReSet")), QStringLiteral("RIP:127.0.0.1"));

    entry()->setPlainText(QStringLiteral("via 127.0.0.1"));
    menu("mnuSend")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(),
                              display(kSent, blockText(m_ip, kSent, "via 127.0.0.1")), kTimeout);
}

void TestFormUDPMain::layoutInHalves_data()
{
    QTest::addColumn<QSize>("inner");

    QTest::newRow("odd height") << QSize(297, 201);
    QTest::newRow("even height") << QSize(420, 300);
    QTest::newRow("one pixel high") << QSize(200, 1);
    // A window cannot be made that low here; some platforms report a minimised window so.
    QTest::newRow("no height: heights stay") << QSize(250, 0);
}

void TestFormUDPMain::layoutInHalves()
{
    QFETCH(QSize, inner);
    DialogScript script;
    openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    const int logHeightBefore = log()->height();
    const int entryHeightBefore = entry()->height();

    if (inner.height() > 0) {
        m_window->resize(m_window->size() + (inner - clientArea()->size()));
        QTRY_COMPARE_WITH_TIMEOUT(clientArea()->size(), inner, kTimeout);
    } else {
        clientArea()->resize(inner);
    }

    const QRect logBox = log()->geometry();
    const QRect entryBox = entry()->geometry();
    QCOMPARE(logBox.topLeft(), QPoint(0, 0));
    QCOMPARE(logBox.width(), inner.width());
    QCOMPARE(entryBox.left(), 0);
    QCOMPARE(entryBox.width(), inner.width());
    QCOMPARE(entryBox.top(), logBox.height());
    if (inner.height() > 0) {
        // Half a pixel cannot be drawn: both boxes round the same way.
        QVERIFY2(qAbs(logBox.height() - inner.height() / 2.0) <= 0.5,
                 qPrintable(QString::number(logBox.height())));
        QCOMPARE(entryBox.height(), logBox.height());
    } else {
        QCOMPARE(logBox.height(), logHeightBefore);
        QCOMPARE(entryBox.height(), entryHeightBefore);
    }
}

void TestFormUDPMain::minimiseAndRestore()
{
    REQUIRE_PORTS();
    DialogScript script;
    openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));

    menu("mnuMin")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isMinimized(), kTimeout);
    QVERIFY(m_window->isVisible());

    // Both objects stay open while minimised.
    sendForeign("while minimised");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, "while minimised"), kTimeout);

    log()->setGeometry(3, 4, 5, 6);
    entry()->setGeometry(7, 8, 9, 10);
    m_window->showNormal();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isMinimized(), kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(log()->geometry(), QRect(0, 0, 297, 77), kTimeout);
    QCOMPARE(entry()->geometry(), QRect(0, 77, 297, 77));
    QVERIFY(script.asked().isEmpty());
}

void TestFormUDPMain::closeCancelKeepsEverythingOpen_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("menu Close") << true;
    QTest::newRow("close box") << false;
}

void TestFormUDPMain::closeCancelKeepsEverythingOpen()
{
    QFETCH(bool, fromMenu);
    REQUIRE_PORTS();
    DialogScript script;
    script.cancel();
    openWindow();

    if (fromMenu)
        menu("mnuClose")->trigger();
    else
        QVERIFY(!m_window->close());

    QCOMPARE(script.askedTexts(), QStringList({"Close ?"}));
    QCOMPARE(script.asked().at(0).buttons, Dialogs::Buttons::OkCancel);
    QVERIFY(m_window->isVisible());
    QVERIFY(!portProblem().isEmpty());

    sendForeign("still listening");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, "still listening"), kTimeout);
    QVERIFY(script.unexpected().isEmpty());
}

void TestFormUDPMain::closeOkClosesBothObjects_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("menu Close") << true;
    QTest::newRow("close box") << false;
}

void TestFormUDPMain::closeOkClosesBothObjects()
{
    QFETCH(bool, fromMenu);
    REQUIRE_PORTS();
    DialogScript script;
    script.ok();
    openWindow();
    QVERIFY(!portProblem().isEmpty());

    if (fromMenu)
        menu("mnuClose")->trigger();
    else
        QVERIFY(m_window->close());

    QCOMPARE(script.askedTexts(), QStringList({"Close ?"}));
    QVERIFY(!m_window->isVisible());
    // The window object still exists: only the Close calls can have given the ports back.
    QCOMPARE(portProblem(), QString());
    QVERIFY(script.unexpected().isEmpty());
}

QTEST_MAIN(TestFormUDPMain)
#include "tst_formudpmain.moc"
