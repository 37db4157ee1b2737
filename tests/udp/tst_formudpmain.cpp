#include "formudpmain.h"

#include "application.h"
#include "cws_udp.h"
#include "dialogscript.h"
#include "logpane.h"
#include "windowtools.h"

#include <QAction>
#include <QKeySequence>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTest>
#include <QTextDocument>
#include <QUdpSocket>

#include <memory>
#include <optional>

namespace {

constexpr quint16 kReceivingPort = 777;
constexpr quint16 kSendingPort = 778;
constexpr int kTimeout = 5000;

const QString kSent = QStringLiteral("2000/06/12/9:05:07");
const QString kCancel = QStringLiteral("<cancel>");

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

void sendForeign(const QByteArray &datagram)
{
    QUdpSocket raw;
    QCOMPARE(raw.writeDatagram(datagram, QHostAddress::LocalHost, kReceivingPort),
             qint64(datagram.size()));
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

    void opensWithMenuAndSize();
    void send_data();
    void send();
    void foreignDatagramShownTheSameWay();
    void reSet_data();
    void reSet();
    void layoutAndMin();
    void closeConfirmation_data();
    void closeConfirmation();

private:
    void openWindow();
    void menu(const char *name) { triggerAction(m_window, name); }
    LogPane *log() const { return logOf(m_window); }
    QPlainTextEdit *entry() const
    {
        return m_window->findChild<QPlainTextEdit *>(QStringLiteral("TextMain"));
    }
    QWidget *clientArea() const { return m_window->centralWidget(); }

    std::optional<FixedClock> m_clock;
    std::unique_ptr<DialogScript> m_script;
    QPointer<FormUDPMain> m_window;
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
    m_clock.emplace(QDateTime(QDate(2000, 6, 12), QTime(9, 5, 7)));
    m_script = std::make_unique<DialogScript>();
}

void TestFormUDPMain::cleanup()
{
    const bool allAnswered = m_script->unexpected().isEmpty();
    // Deleting does not ask "Close ?"; the window's destructor releases both objects.
    delete m_window;
    m_script.reset();
    m_clock.reset();
    QVERIFY2(allAnswered, "the window showed a box the test did not expect");
}

void TestFormUDPMain::openWindow()
{
    m_window = new FormUDPMain;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestFormUDPMain::opensWithMenuAndSize()
{
    openWindow();
    QStringList captions;
    for (const QAction *action : m_window->menuBar()->actions()) {
        QVERIFY(!action->menu());
        captions << shownCaption(action);
    }
    QCOMPARE(captions, QStringList({"Send", "RIP:localhost", "Min", "Close"}));

    // A tool window, yet one that ends the program like the other mode windows.
    QVERIFY(m_window->windowFlags().testFlag(Qt::Tool));
    QVERIFY(m_window->testAttribute(Qt::WA_QuitOnClose));
    QCOMPARE(areaUnderMenuBar(m_window).size(), QSize(297, 153));
    QCOMPARE(clientArea()->geometry(), areaUnderMenuBar(m_window));
    QCOMPARE(log()->text(), QString());
}

void TestFormUDPMain::send_data()
{
    QTest::addColumn<QStringList>("entries"); // before each Send; the same text: left as it was
    QTest::addColumn<QStringList>("sent");    // the text in each block

    QTest::newRow("hello, sent twice")
        << QStringList{"hello", "hello"} << QStringList{"hello", "hello"};
    QTest::newRow("empty entry") << QStringList{""} << QStringList{""};
    QTest::newRow("lines end in CR LF, a shorter block replaces them")
        << QStringList{"one\ntwo\n", "x"} << QStringList{"one\r\ntwo\r\n", "x"};
}

// Each Send hands over one block stamped with the time it was sent; when it comes back
// through "localhost" its display, stamped with the time it came, replaces the whole log.
void TestFormUDPMain::send()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, sent);
    REQUIRE_PORTS();
    openWindow();

    const auto at = [](int second) {
        return QStringLiteral("2000/06/12/9:05:%1").arg(second, 2, 10, QLatin1Char('0'));
    };
    for (int i = 0; i < entries.size(); ++i) {
        if (i == 0 || entries[i] != entries[i - 1])
            entry()->setPlainText(entries[i]);
        const QString entered = entry()->document()->toRawText();
        menu("mnuSend");
        if (i == 0) // nothing is logged by sending
            QCOMPARE(log()->text(), QString());
        m_clock->advance(2);
        QTRY_COMPARE_WITH_TIMEOUT(log()->text(),
                                  display(at(9 + 2 * i), blockText(m_ip, at(7 + 2 * i), sent[i])),
                                  kTimeout);
        QCOMPARE(entry()->document()->toRawText(), entered);
    }
}

void TestFormUDPMain::foreignDatagramShownTheSameWay()
{
    REQUIRE_PORTS();
    openWindow();
    log()->setText(QStringLiteral("earlier content"));

    // Not a block at all, with lines and markup that must show as they are.
    const QString text = QStringLiteral("一行目\r\n<b>&amp;</b>");
    sendForeign(text.toUtf8());
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, text), kTimeout);
}

void TestFormUDPMain::reSet_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("kept"); // the address shown, offered next and sent to

    const QString local = QStringLiteral("localhost");
    const QString loop = QStringLiteral("127.0.0.1");
    const QString ampersands = QStringLiteral("R&D&&x");
    QTest::newRow("127.0.0.1") << loop << loop;
    QTest::newRow("cancel") << kCancel << local;
    QTest::newRow("empty answer") << QString() << local;
    QTest::newRow("ampersands shown literally") << ampersands << ampersands;
}

// An accepted answer becomes the next default; a cancelled or empty one leaves it.
void TestFormUDPMain::reSet()
{
    QFETCH(QString, answer);
    QFETCH(QString, kept);
    const bool sends = kept == QStringLiteral("127.0.0.1");
    if (sends)
        REQUIRE_PORTS();
    answer == kCancel ? m_script->cancel() : m_script->type(answer);
    m_script->type(QString()).cancel();
    openWindow();

    for (int i = 0; i < 3; ++i)
        menu("mnuReSet");
    const QString question = QStringLiteral("Remote IP ? [%1]");
    QCOMPARE(m_script->boxes(),
             QStringList({question.arg("localhost"), question.arg(kept), question.arg(kept)}));
    QCOMPARE(shownCaption(m_window->findChild<QAction *>(QStringLiteral("mnuReSet"))),
             QStringLiteral("RIP:") + kept);

    if (!sends)
        return;
    // The re-aimed sending object still reaches this window's receiving one.
    entry()->setPlainText(QStringLiteral("via 127.0.0.1"));
    menu("mnuSend");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(),
                              display(kSent, blockText(m_ip, kSent, "via 127.0.0.1")), kTimeout);
}

// The two boxes share the area under the menu bar in halves, one above the other; half a pixel
// cannot be drawn, so both round the same way.
void TestFormUDPMain::layoutAndMin()
{
    REQUIRE_PORTS();
    openWindow();
    const auto inHalves = [&](const QSize &inner) {
        const int half = log()->height();
        return qAbs(half - inner.height() / 2.0) <= 0.5 &&
               log()->geometry() == QRect(0, 0, inner.width(), half) &&
               entry()->geometry() == QRect(0, half, inner.width(), half);
    };
    QVERIFY(inHalves(QSize(297, 153)));
    m_window->resize(m_window->size() + QSize(3, 48));
    QTRY_COMPARE_WITH_TIMEOUT(clientArea()->size(), QSize(300, 201), kTimeout);
    QVERIFY(inHalves(QSize(300, 201)));

    // Minimised, both objects stay open; restored, the boxes are laid out again.
    menu("mnuMin");
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isMinimized(), kTimeout);
    QVERIFY(m_window->isVisible());
    sendForeign("while minimised");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, "while minimised"), kTimeout);
    log()->setGeometry(3, 4, 5, 6);
    entry()->setGeometry(7, 8, 9, 10);
    m_window->showNormal();
    QTRY_VERIFY_WITH_TIMEOUT(inHalves(QSize(300, 201)), kTimeout);

    // With no height at all (how some platforms report a minimised window) both keep theirs.
    clientArea()->resize(250, 0);
    QCOMPARE(log()->geometry(), QRect(0, 0, 250, 101));
    QCOMPARE(entry()->geometry(), QRect(0, 101, 250, 101));
}

void TestFormUDPMain::closeConfirmation_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::addColumn<bool>("confirm");
    QTest::newRow("menu Close, Cancel") << true << false;
    QTest::newRow("close box, Cancel") << false << false;
    QTest::newRow("menu Close, OK") << true << true;
    QTest::newRow("close box, OK") << false << true;
}

void TestFormUDPMain::closeConfirmation()
{
    QFETCH(bool, fromMenu);
    QFETCH(bool, confirm);
    REQUIRE_PORTS();
    confirm ? m_script->ok() : m_script->cancel();
    openWindow();
    QVERIFY(!portProblem().isEmpty());

    if (fromMenu)
        menu("mnuClose");
    else
        QCOMPARE(m_window->close(), confirm);
    QCOMPARE(m_script->boxes(), QStringList({"Close ? (OK, Cancel)"}));
    QCOMPARE(m_window->isVisible(), !confirm);

    if (confirm) {
        // The window object still exists: only the Close calls can have given the ports back.
        QCOMPARE(portProblem(), QString());
        return;
    }
    QVERIFY(!portProblem().isEmpty());
    sendForeign("still listening");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), display(kSent, "still listening"), kTimeout);
}

QTEST_MAIN(TestFormUDPMain)
#include "tst_formudpmain.moc"
