#include "application.h"
#include "cws_tcp_s.h"
#include "dialogscript.h"
#include "formtcpservermain.h"
#include "linepeers.h"
#include "logpane.h"
#include "windowtools.h"

#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kTimeout = 10000;
const QString kCancel = QStringLiteral("<cancel>");

// Sees every message the program logs while installed, at the moment it is logged.
std::function<void(const QString &)> g_onMessage;

void forwardMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (g_onMessage)
        g_onMessage(message);
}

} // namespace

class TestFormTCPServerMain final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void portQuestion_data();
    void portQuestion();
    void opensCentredAndPaneFillsInnerArea();
    void captionFollowsConnections();
    void relayAndLog();
    void infoWSockTwiceRestoresSwitch();
    void stalledClient();
    void closing_data();
    void closing();

private:
    // Opens a window listening on a port the system picks; returns that port, 0 on failure.
    quint16 openServing();
    CWS_TCP_S *server() const { return m_window->findChild<CWS_TCP_S *>(); }
    LogPane *log() const { return logOf(m_window); }
    // "[count]-[IP:Port] - wisp server", as the caption reads with that many clients.
    QString caption(int count) const
    {
        return QStringLiteral("[%1]-[%2:%3] - wisp server")
            .arg(QString::number(count), server()->IP(), QString::number(server()->Port()));
    }
    void menu(const char *name) { triggerAction(m_window, name); }
    // Connects a raw client and waits until the caption counts it; nullptr when it does not.
    RawClient *connectPeer(quint16 port);

    std::unique_ptr<DialogScript> m_script;
    QPointer<FormTCPServerMain> m_window;
    std::vector<std::unique_ptr<RawClient>> m_peers;
};

void TestFormTCPServerMain::initTestCase()
{
    Application::setUp(*qApp);
    // The test drives the windows itself; closing one must not end any waiting loop.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestFormTCPServerMain::init()
{
    m_script = std::make_unique<DialogScript>();
}

void TestFormTCPServerMain::cleanup()
{
    const bool allAnswered = m_script->unexpected().isEmpty();
    m_peers.clear();
    delete m_window;
    m_script.reset();
    QVERIFY2(allAnswered, "the window showed a box the test did not expect");
}

quint16 TestFormTCPServerMain::openServing()
{
    m_script->type(QStringLiteral("0"));
    m_window = new FormTCPServerMain;
    m_window->show();
    return quint16(server()->Port());
}

RawClient *TestFormTCPServerMain::connectPeer(quint16 port)
{
    const QString counted = caption(server()->ConnectCount() + 1);
    m_peers.push_back(std::make_unique<RawClient>(port));
    const bool shown =
        QTest::qWaitFor([&] { return m_window->windowTitle() == counted; }, kTimeout);
    return shown ? m_peers.back().get() : nullptr;
}

void TestFormTCPServerMain::portQuestion_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("defaults"); // offered by each question in turn
    QTest::addColumn<int>("port");             // reaching Listen; 0: any the system picks

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::Any, 0));
    const quint16 unused = probe.serverPort();
    probe.close();
    QString spaced;
    for (QChar digit : QString::number(unused))
        spaced += QStringLiteral(" \t\n") + digit;

    QTest::newRow("555") << QStringList{"555"} << QStringList{"555"} << 555;
    QTest::newRow("blanks between digits")
        << QStringList{spaced} << QStringList{"555"} << int(unused);
    QTest::newRow("no number reads 0") << QStringList{"abc"} << QStringList{"555"} << 0;
    // Blanks alone are an answer, and read as 0 like any text without a number.
    QTest::newRow("blanks are an answer") << QStringList{" \t"} << QStringList{"555"} << 0;
    QTest::newRow("cancel and empty ask again")
        << QStringList{kCancel, "", kCancel, "", "0"}
        << QStringList{"555", "555", "555", "555", "555"} << 0;
    QTest::newRow("above 32 bits offered back")
        << QStringList{"2147483648", "0"} << QStringList{"555", "2147483648"} << 0;
    QTest::newRow("below 32 bits offered back") << QStringList{"-2147483649", "9e99", "0"}
                                                << QStringList{"555", "-2147483649", "9e99"} << 0;
    QTest::newRow("cancel after refusal restores 555")
        << QStringList{"99999999999", kCancel, "0"} << QStringList{"555", "99999999999", "555"}
        << 0;
}

void TestFormTCPServerMain::portQuestion()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, defaults);
    QFETCH(int, port);
    if (port > 0) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, quint16(port)))
            QSKIP("this port cannot be bound here");
    }

    for (const QString &answer : answers)
        answer == kCancel ? m_script->cancel() : m_script->type(answer);
    m_window = new FormTCPServerMain;
    QVERIFY(m_script->asked().isEmpty());
    QStringList captionsWhileHidden;
    connect(m_window, &QWidget::windowTitleChanged, this, [&](const QString &title) {
        if (!m_window->isVisible())
            captionsWhileHidden << title;
    });
    m_window->show();

    // The questions, Listen and then the caption refresh, all before the window appeared.
    QCOMPARE(captionsWhileHidden, QStringList{caption(0)});
    QStringList expected;
    for (const QString &offered : defaults)
        expected << QStringLiteral("Host Port ? [%1]").arg(offered);
    QCOMPARE(m_script->boxes(), expected);
    const int listening = server()->Port();
    QVERIFY(listening > 0);
    if (port > 0)
        QCOMPARE(listening, port);
    QTcpSocket client;
    QSignalSpy connected(&client, &QTcpSocket::connected);
    client.connectToHost(QHostAddress::LocalHost, quint16(listening));
    QVERIFY(connected.wait(kTimeout));

    // Load runs once: a second showing asks nothing (a spare answer keeps a wrong one finite).
    m_script->type(QStringLiteral("0"));
    m_window->hide();
    m_window->show();
    QCOMPARE(m_script->pending(), 1);
}

void TestFormTCPServerMain::opensCentredAndPaneFillsInnerArea()
{
    QVERIFY(openServing() > 0);
    QCOMPARE(log()->size(), QSize(205, 114));
    const QPoint off = offCentre(m_window);
    QVERIFY2(off.manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(off.x()).arg(off.y())));
    QStringList commands;
    for (QAction *action : m_window->menuBar()->actions()) {
        QVERIFY(!action->menu());
        commands << action->text();
    }
    QCOMPARE(commands, (QStringList{"Close", "ConnectClose", "InfoWSock", "LogClear"}));

    const auto fills = [&] {
        return log()->geometry() == areaUnderMenuBar(m_window);
    };
    QVERIFY(fills());
    // Larger, narrower than the menu (whose bar then wraps), tiny; then minimised and restored.
    for (const QSize size : {QSize(640, 480), QSize(90, 200), QSize(30, 40)}) {
        m_window->resize(size);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), size, kTimeout);
        QTRY_VERIFY_WITH_TIMEOUT(fills(), kTimeout);
    }
    m_window->showMinimized();
    QTRY_VERIFY_WITH_TIMEOUT(fills(), kTimeout);
    m_window->showNormal();
    QTRY_VERIFY_WITH_TIMEOUT(fills(), kTimeout);
}

void TestFormTCPServerMain::captionFollowsConnections()
{
    const quint16 port = openServing();
    QVERIFY(port > 0);
    QCOMPARE(m_window->windowTitle(), caption(0));
    RawClient *first = connectPeer(port);
    QVERIFY(first);
    QCOMPARE(m_window->windowTitle(), caption(1));
    RawClient *second = connectPeer(port);
    QVERIFY(second);
    QCOMPARE(m_window->windowTitle(), caption(2));
    first->socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), caption(1), kTimeout);
    QVERIFY(connectPeer(port));

    // ConnectClose ends every connection, and only the connections: new clients still come.
    menu("mnuConnectClose");
    QTRY_COMPARE_WITH_TIMEOUT(second->socket.state(), QAbstractSocket::UnconnectedState, kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(m_peers.back()->socket.state(), QAbstractSocket::UnconnectedState,
                              kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), caption(0), kTimeout);
    QVERIFY(connectPeer(port));
    QVERIFY(log()->text().isEmpty());
}

void TestFormTCPServerMain::relayAndLog()
{
    const quint16 port = openServing();
    QVERIFY(port > 0);
    RawClient *first = connectPeer(port);
    QVERIFY(first);
    RawClient *second = connectPeer(port);
    QVERIFY(second);

    // Every client, the sender too, gets every text; in the log, texts without a line end run
    // together whoever sent them.
    first->socket.write("abc");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), QStringLiteral("abc"), kTimeout);
    second->socket.write("def");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), QStringLiteral("abcdef"), kTimeout);
    QCOMPARE(log()->caretPosition(), 6);
    for (RawClient *peer : {first, second})
        QTRY_COMPARE_WITH_TIMEOUT(peer->received, QByteArray("abcdef"), kTimeout);

    menu("mnuLogClear");
    QCOMPARE(log()->text(), QString());
    QCOMPARE(log()->caretPosition(), 0);

    // Runs right after the window's own handler for the same text. Closing every connection
    // there lets through only what the window had already handed to the server object, so
    // each client gets the text only if it was relayed inside that handler.
    QStringList logAfterHandler;
    connect(server(), &CWS_TCP_S::GetData, this, [&](qint32 &, QString &) {
        logAfterHandler << log()->text();
        menu("mnuConnectClose");
    });
    const QString text = QStringLiteral("2@山田       |こんにちは\r\n");
    second->socket.write(text.toUtf8());
    for (RawClient *peer : {first, second}) {
        QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState,
                                  kTimeout);
        QCOMPARE(peer->received, "abcdef" + text.toUtf8());
    }
    QCOMPARE(logAfterHandler, QStringList{text});
    QCOMPARE(log()->caretPosition(), text.size());
}

void TestFormTCPServerMain::infoWSockTwiceRestoresSwitch()
{
    QVERIFY(openServing() > 0);
    const bool initial = server()->InfoWSock();
    menu("mnuInfoWSock");
    QCOMPARE(server()->InfoWSock(), !initial);
    menu("mnuInfoWSock");
    QCOMPARE(server()->InfoWSock(), initial);
}

// A client that never reads: what is relayed to it piles up until the server object refuses
// more, says so on the spot, and later reports the connection as failed.
void TestFormTCPServerMain::stalledClient()
{
    const quint16 port = openServing();
    QVERIFY(port > 0);
    QTcpSocket stalled;
    stalled.setReadBufferSize(1024);
    stalled.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), caption(1), kTimeout);
    RawClient *flooder = connectPeer(port);
    QVERIFY(flooder);
    flooder->keep = false;
    QList<qint32> errors;
    connect(server(), &CWS_TCP_S::ServiceError, this, [&](qint32 &Index) { errors << Index; });

    // The refusal is said inside SendData. The log then must not hold the text being relayed
    // yet: its length must be what it was once the text before had been handled.
    qsizetype loggedBefore = 0;
    connect(server(), &CWS_TCP_S::GetData, this,
            [&](qint32 &, QString &) { loggedBefore = log()->length(); });
    QList<qsizetype> atRefusal; // the log's length then, and what it was before this text
    g_onMessage = [&](const QString &message) {
        if (atRefusal.isEmpty() && message.contains(QStringLiteral("unsent output passed")))
            atRefusal = {log()->length(), loggedBefore};
    };
    const QtMessageHandler previous = qInstallMessageHandler(forwardMessage);
    const auto restore = qScopeGuard([previous] {
        qInstallMessageHandler(previous);
        g_onMessage = nullptr;
    });

    const QByteArray chunk = (QByteArray(1022, 'x') + "\r\n").repeated(1024);
    constexpr qint64 kFloodLimit = 64LL * 1024 * 1024;
    qint64 flooded = 0;
    // One chunk at a time, each once its echo is back, so only the stalled client falls behind.
    const auto echoed = [&] {
        return !errors.isEmpty() || flooder->receivedCount == flooded;
    };
    while (flooded < kFloodLimit && QTest::qWaitFor(echoed, kTimeout) && errors.isEmpty()) {
        flooder->socket.write(chunk);
        flooded += chunk.size();
    }
    QCOMPARE(errors.size(), 1);
    QCOMPARE(atRefusal.size(), 2);
    QCOMPARE(atRefusal[0], atRefusal[1]);

    // The server object leaves a failed connection open: the count drops only because the
    // window closed it, and only that one, as the flooder is still served. Nobody is told.
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), caption(1), kTimeout);
    QCOMPARE(flooder->socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(m_script->asked().size(), 1);
}

void TestFormTCPServerMain::closing_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("menu Close") << true;
    QTest::newRow("close box") << false;
}

// Cancel, then OK. The menu command closes the server before it asks, and the server stays
// closed on Cancel with every command still harmless; the close box leaves it serving.
void TestFormTCPServerMain::closing()
{
    QFETCH(bool, fromMenu);
    const quint16 port = openServing();
    QVERIFY(port > 0);
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    RawClient *peer = connectPeer(port);
    QVERIFY(peer);
    const QString caption = m_window->windowTitle();
    const auto close = [&] {
        if (fromMenu)
            menu("mnuClose");
        else
            m_window->close();
    };

    m_script->cancel();
    close();
    QCOMPARE(m_script->boxes(), (QStringList{"Host Port ? [555]", "Close ? (OK, Cancel)"}));
    QVERIFY(m_window->isVisible());
    peer->socket.write("kept\r\n");
    if (fromMenu) {
        QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState,
                                  kTimeout);
        QCOMPARE(server()->Port(), 0);
        QTcpSocket refused;
        QSignalSpy failed(&refused, &QTcpSocket::errorOccurred);
        refused.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(failed.wait(kTimeout));
        for (const char *command : {"mnuConnectClose", "mnuInfoWSock", "mnuLogClear"})
            menu(command);
        QCOMPARE(m_script->asked().size(), 2);
        QVERIFY(m_window->isVisible());
    } else {
        QCOMPARE(m_window->windowTitle(), caption);
        QTRY_COMPARE_WITH_TIMEOUT(peer->received, QByteArray("kept\r\n"), kTimeout);
        QCOMPARE(log()->text(), QStringLiteral("kept\r\n"));
        QVERIFY(connectPeer(port));
    }

    m_script->ok();
    close();
    QCOMPARE(m_script->asked().size(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(m_window.isNull(), kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState, kTimeout);
}

QTEST_MAIN(TestFormTCPServerMain)
#include "tst_formtcpservermain.moc"
