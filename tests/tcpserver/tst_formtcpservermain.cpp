#include "common/appearance.h"
#include "common/application.h"
#include "common/logpane.h"
#include "dialogscript.h"
#include "sockets/cws_tcp_s.h"
#include "tcpserver/formtcpservermain.h"

#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QPointer>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int kTimeout = 10000;
const QString kCancel = QStringLiteral("<cancel>");

struct Caption
{
    int count = -1;
    QString ip;
    int port = -1;
};

// Reads "[count]-[IP:Port] - wisp server"; count -1 when the caption has another form.
Caption readCaption(const QString &title)
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\[(-?\d+)\]-\[(.*):(-?\d+)\] - wisp server$)"));
    const QRegularExpressionMatch match = pattern.match(title);
    if (!match.hasMatch())
        return {};
    return {match.captured(1).toInt(), match.captured(2), match.captured(3).toInt()};
}

// A port nobody listens on right now, for answers that must reach Listen unchanged.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

bool canBind(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, port);
}

// A raw client on loopback that keeps every byte the server sends it.
class Peer final
{
    Q_DISABLE_COPY_MOVE(Peer)

public:
    explicit Peer(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            const QByteArray bytes = socket.readAll();
            receivedCount += bytes.size();
            if (keep)
                received += bytes;
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    QTcpSocket socket;
    QByteArray received;
    qint64 receivedCount = 0;
    bool keep = true; // a peer that only drains keeps nothing
};

// Records how many boxes had been asked, and the caption, when the window first appeared.
class ShowWatcher final : public QObject
{
public:
    ShowWatcher(QWidget *window, const DialogScript &script) : m_script(script)
    {
        window->installEventFilter(this);
    }

    qsizetype boxesAtShow = -1;
    QString captionAtShow;
    int shows = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (shows++ == 0) {
                boxesAtShow = m_script.asked().size();
                captionAtShow = static_cast<QWidget *>(watched)->windowTitle();
            }
        }
        return false;
    }

private:
    const DialogScript &m_script;
};

} // namespace

class TestFormTCPServerMain final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void portQuestionRepeats_data();
    void portQuestionRepeats();
    void portAnswerReachesListen_data();
    void portAnswerReachesListen();
    void loadRunsOnceBeforeFirstShow();
    void opensWithItsSizePlaceAndLook();
    void resizeKeepsPaneFillingInnerArea_data();
    void resizeKeepsPaneFillingInnerArea();

    void captionFollowsConnections();
    void relayReachesEveryClientAndIsLogged_data();
    void relayReachesEveryClientAndIsLogged();
    void textsWithoutLineEndRunTogether();
    void logClearEmptiesPane();
    void connectCloseClosesEveryConnection();
    void infoWSockTwiceRestoresSwitch();
    void failedConnectionIsClosedSilently();
    void closeCommandCancelThenOk();
    void closeBoxCancelLeavesWindowAndServer();

private:
    // Opens a window listening on a port the system picks; returns that port, 0 on failure.
    quint16 openServing(DialogScript &script);
    CWS_TCP_S *server() const { return m_window->findChild<CWS_TCP_S *>(); }
    LogPane *log() const { return m_window->findChild<LogPane *>(QStringLiteral("TextLog")); }
    void trigger(const char *name);
    // Connects a raw client and waits until the caption counts it; nullptr when it does not.
    Peer *connectPeer(quint16 port);

    QPointer<FormTCPServerMain> m_window;
    std::vector<std::unique_ptr<Peer>> m_peers;
};

void TestFormTCPServerMain::initTestCase()
{
    Application::setUp(*qApp);
    // The test drives the windows itself; closing one must not end any waiting loop.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestFormTCPServerMain::cleanup()
{
    m_peers.clear();
    delete m_window;
}

quint16 TestFormTCPServerMain::openServing(DialogScript &script)
{
    script.type(QStringLiteral("0"));
    m_window = new FormTCPServerMain;
    m_window->show();
    return quint16(qMax(0, readCaption(m_window->windowTitle()).port));
}

void TestFormTCPServerMain::trigger(const char *name)
{
    QAction *action = m_window->findChild<QAction *>(QLatin1String(name));
    QVERIFY2(action, name);
    action->trigger();
}

Peer *TestFormTCPServerMain::connectPeer(quint16 port)
{
    const int before = readCaption(m_window->windowTitle()).count;
    m_peers.push_back(std::make_unique<Peer>(port));
    const bool counted = QTest::qWaitFor(
        [&] { return readCaption(m_window->windowTitle()).count == before + 1; }, kTimeout);
    return counted ? m_peers.back().get() : nullptr;
}

void TestFormTCPServerMain::portQuestionRepeats_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("defaults");

    QTest::newRow("cancel and empty ask again") << QStringList{kCancel, "", kCancel, "", "0"}
                                                << QStringList{"555", "555", "555", "555", "555"};
    // Blanks alone are an answer, and read as 0 like any text without a number.
    QTest::newRow("blanks are an answer") << QStringList{" \t"} << QStringList{"555"};
    QTest::newRow("above 32 bits offered back")
        << QStringList{"2147483648", "0"} << QStringList{"555", "2147483648"};
    QTest::newRow("below 32 bits offered back")
        << QStringList{"-2147483649", "9e99", "0"} << QStringList{"555", "-2147483649", "9e99"};
    QTest::newRow("cancel after refusal restores 555")
        << QStringList{"99999999999", kCancel, "0"} << QStringList{"555", "99999999999", "555"};
}

void TestFormTCPServerMain::portQuestionRepeats()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, defaults);
    DialogScript script;
    for (const QString &answer : answers) {
        if (answer == kCancel)
            script.cancel();
        else
            script.type(answer);
    }
    m_window = new FormTCPServerMain;
    m_window->show();

    QCOMPARE(script.pending(), 0);
    QVERIFY(script.unexpected().isEmpty());
    QCOMPARE(script.asked().size(), qsizetype(defaults.size()));
    for (qsizetype i = 0; i < defaults.size(); ++i) {
        const Dialogs::Request &request = script.asked().at(i);
        QCOMPARE(request.kind, Dialogs::Request::Kind::Input);
        QCOMPARE(request.text, QStringLiteral("Host Port ?"));
        QCOMPARE(request.defaultAnswer, defaults.at(i));
    }
    // The last answer read as 0: the system picked a port and the caption shows it.
    QVERIFY(server()->Port() > 0);
    QCOMPARE(readCaption(m_window->windowTitle()).port, server()->Port());
}

void TestFormTCPServerMain::portAnswerReachesListen_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("expected"); // -1: any port the system picks

    const quint16 port = freePort();
    QVERIFY(port > 0);
    const QString digits = QString::number(port);
    QString spaced;
    for (QChar digit : digits)
        spaced += QStringLiteral(" \t\n") + digit;

    QTest::newRow("default 555") << QStringLiteral("555") << 555;
    QTest::newRow("plain") << digits << int(port);
    QTest::newRow("blanks tabs and line feeds") << spaced << int(port);
    QTest::newRow("trailing text") << digits + QStringLiteral("x80") << int(port);
    QTest::newRow("fraction rounds down") << digits + QStringLiteral(".4") << int(port);
    QTest::newRow("exponent") << digits + QStringLiteral("0e-1") << int(port);
    QTest::newRow("hexadecimal") << QStringLiteral("&H") + QString::number(port, 16) << int(port);
    QTest::newRow("no number") << QStringLiteral("abc") << -1;
    QTest::newRow("number after text") << QStringLiteral("x80") << -1;
    QTest::newRow("fraction below half") << QStringLiteral("0.4") << -1;
}

void TestFormTCPServerMain::portAnswerReachesListen()
{
    QFETCH(QString, answer);
    QFETCH(int, expected);
    if (expected > 0 && !canBind(quint16(expected)))
        QSKIP("this port cannot be bound here");

    DialogScript script;
    script.type(answer);
    m_window = new FormTCPServerMain;
    m_window->show();
    QVERIFY(script.unexpected().isEmpty());
    QCOMPARE(script.asked().size(), 1);

    const int listening = server()->Port();
    if (expected > 0)
        QCOMPARE(listening, expected);
    else
        QVERIFY(listening > 0);
    QCOMPARE(readCaption(m_window->windowTitle()).port, listening);

    QTcpSocket client;
    QSignalSpy connected(&client, &QTcpSocket::connected);
    client.connectToHost(QHostAddress::LocalHost, quint16(listening));
    QVERIFY(connected.wait(kTimeout));
}

void TestFormTCPServerMain::loadRunsOnceBeforeFirstShow()
{
    DialogScript script;
    m_window = new FormTCPServerMain;
    QCOMPARE(m_window->windowTitle(), QStringLiteral("wisp server"));
    QVERIFY(script.asked().isEmpty());
    QCOMPARE(server()->Port(), 0);

    ShowWatcher watcher(m_window, script);
    script.cancel().type(QStringLiteral("0"));
    m_window->show();
    QCOMPARE(watcher.boxesAtShow, 2);
    const Caption caption = readCaption(watcher.captionAtShow);
    QCOMPARE(caption.count, 0);
    QCOMPARE(caption.ip, server()->IP());
    QCOMPARE(caption.port, server()->Port());

    // A spare answer, so that a second load would show up here instead of asking forever.
    script.type(QStringLiteral("0"));
    m_window->hide();
    m_window->show();
    QCOMPARE(watcher.shows, 2);
    QCOMPARE(script.asked().size(), 2);
    QCOMPARE(script.pending(), 1);
}

void TestFormTCPServerMain::opensWithItsSizePlaceAndLook()
{
    DialogScript script;
    QVERIFY(openServing(script) > 0);
    LogPane *pane = log();
    QVERIFY(pane);
    QMenuBar *bar = m_window->menuBar();

    QCOMPARE(pane->size(), QSize(205, 114));
    QCOMPARE(pane->geometry().topLeft(), QPoint(0, bar->geometry().bottom() + 1));
    QCOMPARE(m_window->size(), QSize(205, 114 + bar->height()));
    const QPoint offCentre =
        m_window->geometry().center() - m_window->screen()->availableGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 2,
             qPrintable(QString::number(offCentre.x()) + ',' + QString::number(offCentre.y())));

    QCOMPARE(pane->palette().color(QPalette::Base), Appearance::kLightBlue);
    QCOMPARE(pane->palette().color(QPalette::Text), Appearance::kDarkGrey);
    QCOMPARE(pane->font().family(), Appearance::boxFont().family());
    QCOMPARE(pane->font().pointSize(), 9);
    QCOMPARE(m_window->windowIcon().pixmap(16).toImage(), Application::icon().pixmap(16).toImage());

    QStringList names;
    QStringList captions;
    for (QAction *action : bar->actions()) {
        QVERIFY(!action->menu());
        QVERIFY(action->shortcut().isEmpty());
        names << action->objectName();
        captions << action->text();
    }
    QCOMPARE(names, (QStringList{"mnuClose", "mnuConnectClose", "mnuInfoWSock", "mnuLogClear"}));
    QCOMPARE(captions, (QStringList{"Close", "ConnectClose", "InfoWSock", "LogClear"}));
}

void TestFormTCPServerMain::resizeKeepsPaneFillingInnerArea_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("larger") << QSize(640, 480);
    QTest::newRow("wide and flat") << QSize(900, 60);
    QTest::newRow("narrower than the menu") << QSize(90, 200);
    QTest::newRow("tiny") << QSize(30, 40);
}

void TestFormTCPServerMain::resizeKeepsPaneFillingInnerArea()
{
    QFETCH(QSize, size);
    DialogScript script;
    QVERIFY(openServing(script) > 0);
    LogPane *pane = log();
    QMenuBar *bar = m_window->menuBar();

    const auto fills = [&] {
        const int top = bar->isVisible() ? bar->geometry().bottom() + 1 : 0;
        return pane->geometry() ==
               QRect(0, top, m_window->width(), qMax(0, m_window->height() - top));
    };
    m_window->resize(size);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), size, kTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(fills(), kTimeout);

    m_window->showMinimized();
    QTRY_VERIFY_WITH_TIMEOUT(fills(), kTimeout);
    m_window->showNormal();
    QTRY_VERIFY_WITH_TIMEOUT(fills(), kTimeout);
    QVERIFY(script.unexpected().isEmpty());
}

void TestFormTCPServerMain::captionFollowsConnections()
{
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    const QString tail = QStringLiteral(":%1] - wisp server").arg(port);
    const QString ip = server()->IP();
    QCOMPARE(m_window->windowTitle(), QStringLiteral("[0]-[") + ip + tail);

    Peer *first = connectPeer(port);

    QVERIFY(first);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("[1]-[") + ip + tail);
    Peer *second = connectPeer(port);
    QVERIFY(second);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("[2]-[") + ip + tail);

    first->socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), QStringLiteral("[1]-[") + ip + tail,
                              kTimeout);
    second->socket.abort();
    QTRY_COMPARE_WITH_TIMEOUT(m_window->windowTitle(), QStringLiteral("[0]-[") + ip + tail,
                              kTimeout);
    QVERIFY(log()->text().isEmpty());
    QVERIFY(script.unexpected().isEmpty());
}

void TestFormTCPServerMain::relayReachesEveryClientAndIsLogged_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("chat line") << QStringLiteral("3@Default   |hello\r\n");
    QTest::newRow("japanese") << QStringLiteral("2@山田       |こんにちは\r\n");
}

void TestFormTCPServerMain::relayReachesEveryClientAndIsLogged()
{
    QFETCH(QString, text);
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    Peer *sender = connectPeer(port);
    QVERIFY(sender);
    Peer *other = connectPeer(port);
    QVERIFY(other);
    Peer *third = connectPeer(port);
    QVERIFY(third);
    // Runs right after the window's own handler for the same text. Closing every connection
    // there lets through only what the window had already handed to the server object, so
    // each client gets the text only if it was relayed inside that handler.
    QStringList logAfterHandler;
    connect(server(), &CWS_TCP_S::GetData, this, [&](qint32 &, QString &) {
        logAfterHandler << log()->text();
        trigger("mnuConnectClose");
    });

    const QByteArray bytes = text.toUtf8();
    sender->socket.write(bytes);
    for (Peer *peer : {sender, other, third})
        QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState,
                                  kTimeout);
    for (Peer *peer : {sender, other, third})
        QCOMPARE(peer->received, bytes);

    QCOMPARE(logAfterHandler, QStringList{text});
    QCOMPARE(log()->text(), text);
    QCOMPARE(log()->caretPosition(), text.size());
    QVERIFY(script.unexpected().isEmpty());
}

void TestFormTCPServerMain::textsWithoutLineEndRunTogether()
{
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    Peer *first = connectPeer(port);
    QVERIFY(first);
    Peer *second = connectPeer(port);
    QVERIFY(second);

    first->socket.write("abc");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), QStringLiteral("abc"), kTimeout);
    second->socket.write("def");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), QStringLiteral("abcdef"), kTimeout);
    QCOMPARE(log()->caretPosition(), 6);
    for (Peer *peer : {first, second})
        QTRY_COMPARE_WITH_TIMEOUT(peer->received, QByteArray("abcdef"), kTimeout);
}

void TestFormTCPServerMain::logClearEmptiesPane()
{
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    Peer *peer = connectPeer(port);
    QVERIFY(peer);
    peer->socket.write("first\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), QStringLiteral("first\r\n"), kTimeout);

    trigger("mnuLogClear");
    QCOMPARE(log()->text(), QString());
    QCOMPARE(log()->caretPosition(), 0);

    peer->socket.write("second\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), QStringLiteral("second\r\n"), kTimeout);
    QCOMPARE(log()->caretPosition(), 8);
    QTRY_COMPARE_WITH_TIMEOUT(peer->received, QByteArray("first\r\nsecond\r\n"), kTimeout);
    QVERIFY(script.unexpected().isEmpty());
}

void TestFormTCPServerMain::connectCloseClosesEveryConnection()
{
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    Peer *first = connectPeer(port);
    QVERIFY(first);
    Peer *second = connectPeer(port);
    QVERIFY(second);
    const QString logBefore = log()->text();

    trigger("mnuConnectClose");
    for (Peer *peer : {first, second})
        QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState,
                                  kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(readCaption(m_window->windowTitle()).count, 0, kTimeout);

    // Only the connections went: the server still takes new clients.
    QVERIFY(connectPeer(port));
    QCOMPARE(log()->text(), logBefore);
    QVERIFY(script.unexpected().isEmpty());
}

void TestFormTCPServerMain::infoWSockTwiceRestoresSwitch()
{
    DialogScript script;
    QVERIFY(openServing(script) > 0);
    const bool initial = server()->InfoWSock();
    const QString caption = m_window->windowTitle();

    trigger("mnuInfoWSock");
    QCOMPARE(server()->InfoWSock(), !initial);
    trigger("mnuInfoWSock");
    QCOMPARE(server()->InfoWSock(), initial);

    QCOMPARE(m_window->windowTitle(), caption);
    QVERIFY(log()->text().isEmpty());
    QCOMPARE(script.asked().size(), 1);
}

void TestFormTCPServerMain::failedConnectionIsClosedSilently()
{
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    // A client that never reads: what is relayed to it piles up until the server object
    // reports its connection as failed.
    QTcpSocket stalled;
    stalled.setReadBufferSize(1024);
    stalled.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(readCaption(m_window->windowTitle()).count, 1, kTimeout);
    Peer *flooder = connectPeer(port);
    QVERIFY(flooder);
    flooder->keep = false;
    QList<qint32> errors;
    connect(server(), &CWS_TCP_S::ServiceError, this, [&](qint32 &Index) { errors << Index; });

    const QByteArray line = QByteArray(1022, 'x') + "\r\n";
    QByteArray chunk;
    for (int i = 0; i < 1024; ++i)
        chunk += line;
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
    QVERIFY2(!errors.isEmpty(), "the stalled client was never reported as failed");

    QCOMPARE(errors.size(), 1);

    // The server object leaves a failed connection open: the count drops only because the
    // window closed it, and only that one, as the flooder is still served. Nobody is told.
    QTRY_COMPARE_WITH_TIMEOUT(readCaption(m_window->windowTitle()).count, 1, kTimeout);
    QCOMPARE(flooder->socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(script.asked().size(), 1);
    QVERIFY(script.unexpected().isEmpty());
    const QString logged = log()->text();
    QVERIFY(!logged.isEmpty());
    QCOMPARE(logged.count(u'x') + logged.count(u'\r') + logged.count(u'\n'), logged.size());
}

void TestFormTCPServerMain::closeCommandCancelThenOk()
{
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    Peer *peer = connectPeer(port);
    QVERIFY(peer);
    peer->socket.write("kept\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(log()->text(), QStringLiteral("kept\r\n"), kTimeout);

    script.cancel();
    trigger("mnuClose");
    QCOMPARE(script.askedTexts().last(), QStringLiteral("Close ?"));
    QCOMPARE(script.asked().last().buttons, Dialogs::Buttons::OkCancel);
    QVERIFY(m_window);
    QVERIFY(m_window->isVisible());
    // The server was closed before the question and stays closed.
    QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState, kTimeout);
    QCOMPARE(server()->Port(), 0);
    QTcpSocket refused;
    QSignalSpy failed(&refused, &QTcpSocket::errorOccurred);
    refused.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(failed.wait(kTimeout));
    QCOMPARE(log()->text(), QStringLiteral("kept\r\n"));

    const qsizetype asked = script.asked().size();
    trigger("mnuConnectClose");
    trigger("mnuInfoWSock");
    trigger("mnuLogClear");
    QCOMPARE(script.asked().size(), asked);
    QVERIFY(m_window->isVisible());
    QVERIFY(log()->text().isEmpty());

    script.ok();
    trigger("mnuClose");
    QCOMPARE(script.askedTexts().last(), QStringLiteral("Close ?"));
    QTRY_VERIFY_WITH_TIMEOUT(m_window.isNull(), kTimeout);
    QCOMPARE(script.pending(), 0);
    QVERIFY(script.unexpected().isEmpty());
}

void TestFormTCPServerMain::closeBoxCancelLeavesWindowAndServer()
{
    DialogScript script;
    const quint16 port = openServing(script);
    QVERIFY(port > 0);
    Peer *peer = connectPeer(port);
    QVERIFY(peer);
    const QString caption = m_window->windowTitle();

    script.cancel();
    QVERIFY(!m_window->close());
    QCOMPARE(script.askedTexts(), (QStringList{"Host Port ?", "Close ?"}));
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_window->windowTitle(), caption);

    peer->socket.write("still serving\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(peer->received, QByteArray("still serving\r\n"), kTimeout);
    QCOMPARE(log()->text(), QStringLiteral("still serving\r\n"));
    QVERIFY(connectPeer(port));

    script.ok();
    QVERIFY(m_window->close());
    QVERIFY(!m_window->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState, kTimeout);
    QCOMPARE(server()->Port(), 0);
    QVERIFY(script.unexpected().isEmpty());
}

QTEST_MAIN(TestFormTCPServerMain)
#include "tst_formtcpservermain.moc"
