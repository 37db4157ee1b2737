#include "common/datetimetexts.h"
#include "common/logpane.h"
#include "dialogscript.h"
#include "sockets/cws_tcp_c.h"
#include "tcpclient/clientlayout.h"
#include "tcpclient/formtcpclientmain.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <memory>

namespace {

// A chat server played by raw sockets. It keeps every line each connection sends (CR LF
// included) and, as a relay, writes every received piece back out to all connections.
class LineServer final : public QObject
{
public:
    enum class Mode { Relay, Silent, HangUpOnLogout };

    explicit LineServer(Mode mode) : m_mode(mode)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &LineServer::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    ~LineServer() override
    {
        // The sockets die with m_server, after the lists their handlers use.
        for (QTcpSocket *socket : m_server.findChildren<QTcpSocket *>())
            socket->disconnect(this);
    }

    quint16 port() const { return m_server.serverPort(); }
    QString portText() const { return QString::number(port()); }

    QStringList lines;
    int connectionsMade = 0;
    int connectionsEnded = 0;

    void sendToAll(const QByteArray &bytes)
    {
        for (QTcpSocket *socket : std::as_const(m_sockets))
            socket->write(bytes);
    }
    void hangUp()
    {
        for (QTcpSocket *socket : std::as_const(m_sockets))
            socket->disconnectFromHost();
    }
    void stop()
    {
        m_server.close();
        hangUp();
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++connectionsMade;
            m_sockets.append(socket);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                ++connectionsEnded;
                m_sockets.removeAll(socket);
                socket->deleteLater();
            });
        }
    }

    void read(QTcpSocket *socket)
    {
        const QByteArray bytes = socket->readAll();
        QByteArray &pending = m_pending[socket];
        pending += bytes;
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end + 1));
            pending.remove(0, end + 1);
            lines.append(line);
            if (m_mode == Mode::HangUpOnLogout && line.contains(QStringLiteral("|logout - ")))
                socket->disconnectFromHost();
        }
        if (m_mode == Mode::Relay)
            sendToAll(bytes);
    }

    Mode m_mode;
    QTcpServer m_server;
    QList<QTcpSocket *> m_sockets;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

const QDateTime kMorning(QDate(2000, 6, 12), QTime(9, 5, 7));
const QString kStamp = QStringLiteral("2000/06/12/9:05:07");

QAction *menuItem(QWidget *window, const char *name)
{
    return window->findChild<QAction *>(QString::fromLatin1(name));
}

} // namespace

class TestFormTCPClientMain final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void designedWindow();
    void connectsAndLogsIn_data();
    void connectsAndLogsIn();
    void emptyAnswerEndsDialogue_data();
    void emptyAnswerEndsDialogue();
    void handleRefusal_data();
    void handleRefusal();
    void portText_data();
    void portText();
    void portOutOfRange();
    void overlongHandleWhileRefused();
    void failedConnectionIsReported();
    void receivedTextsAreAppended();
    void history_data();
    void history();
    void olderEntryIsCopiedToTop();
    void logAndHistoryClear();
    void menuCloseWaitsForEcho();
    void closeConfirmation_data();
    void closeConfirmation();
    void waitEndsWithoutEcho_data();
    void waitEndsWithoutEcho();
    void nestedCloseRunsToItsEndFirst();
    void closeAcceptedDuringWait();
    void deletedDuringWait();
    void infoWSockTwice();
    void placementRule_data();
    void placementRule();
    void placementOnWindow();

private:
    FormTCPClientMain *openWindow();
    void connectTo(LineServer &server, const QString &handle = QStringLiteral("Default"));

    CWS_TCP_C *component() const { return m_window->findChild<CWS_TCP_C *>(); }
    LogPane *log() const { return m_window->findChild<LogPane *>(QStringLiteral("TextLog")); }
    QComboBox *combo() const
    {
        return m_window->findChild<QComboBox *>(QStringLiteral("ComboMain"));
    }
    QStringList historyEntries() const
    {
        QStringList items;
        for (int i = 0; i < combo()->count(); ++i)
            items.append(combo()->itemText(i));
        return items;
    }
    QString line(const QString &handleField, const QString &text) const
    {
        return QString::number(component()->ID()) + u'@' + handleField + u'|' + text +
               QStringLiteral("\r\n");
    }

    std::unique_ptr<DialogScript> m_script;
    QPointer<FormTCPClientMain> m_window;
};

void TestFormTCPClientMain::init()
{
    DateTimeTexts::setClockForTesting([] { return kMorning; },
                                      QLocale(QLocale::Japanese, QLocale::Japan));
    // Every box of every test is answered by a script; none may block.
    m_script = std::make_unique<DialogScript>();
}

void TestFormTCPClientMain::cleanup()
{
    delete m_window;
    m_script.reset();
    DateTimeTexts::setClockForTesting({});
}

FormTCPClientMain *TestFormTCPClientMain::openWindow()
{
    m_window = new FormTCPClientMain;
    m_window->show();
    return m_window;
}

void TestFormTCPClientMain::connectTo(LineServer &server, const QString &handle)
{
    m_script->type(QStringLiteral("127.0.0.1")).type(server.portText()).type(handle);
    const int before = server.lines.size();
    menuItem(m_window, "mnuConnect")->trigger();
    QTRY_COMPARE(server.lines.size(), before + 1);
    QVERIFY(server.lines.last().contains(QStringLiteral("|login - ")));
}

void TestFormTCPClientMain::designedWindow()
{
    openWindow();
    QCOMPARE(m_window->windowTitle(), QStringLiteral("wisp client"));
    QCOMPARE(m_window->size(), QSize(419, 293));
    QVERIFY(!m_window->findChild<QMenuBar *>());

    auto *button = m_window->findChild<QPushButton *>(QStringLiteral("btnMenu"));
    QVERIFY(button);
    QVERIFY(button->text().isEmpty());
    QVERIFY(combo()->isEditable());
    QVERIFY(combo()->count() == 0 && combo()->currentText().isEmpty());

    auto *menu = m_window->findChild<QMenu *>(QStringLiteral("mnuMenu"));
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("Menu"));
    QStringList names;
    QStringList captions;
    for (QAction *action : menu->actions()) {
        names.append(action->objectName());
        captions.append(action->isSeparator() ? QStringLiteral("-") : action->text());
        QVERIFY(action->shortcut().isEmpty());
    }
    QCOMPARE(names, QStringList({"mnuConnect", "mnuClose", "mnuSend", "mnuInfWSock", "mnuHR01",
                                 "mnuLogClear", "mnuHistClear"}));
    QCOMPARE(captions,
             QStringList({"Connect", "Close", "Send", "InfWSock", "-", "LogClear", "HistClear"}));

    QVERIFY(!menu->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
}

void TestFormTCPClientMain::connectsAndLogsIn_data()
{
    QTest::addColumn<QString>("handle");
    QTest::addColumn<QString>("field");

    QTest::newRow("default") << "Default"
                             << "Default   ";
    QTest::newRow("ten characters") << "0123456789"
                                    << "0123456789";
    QTest::newRow("japanese") << QStringLiteral("山田") << QStringLiteral("山田        ");
    QTest::newRow("title placeholder") << "[*]"
                                       << "[*]       ";
}

void TestFormTCPClientMain::connectsAndLogsIn()
{
    QFETCH(QString, handle);
    QFETCH(QString, field);

    LineServer server(LineServer::Mode::Relay);
    openWindow();
    connectTo(server, handle);

    const QList<Dialogs::Request> &asked = m_script->asked();
    QCOMPARE(asked.size(), 3);
    QCOMPARE(asked[0].text, QStringLiteral("Host IP ?"));
    QCOMPARE(asked[0].defaultAnswer, QStringLiteral("localhost"));
    QCOMPARE(asked[1].text, QStringLiteral("Host Port ?"));
    QCOMPARE(asked[1].defaultAnswer, QStringLiteral("555"));
    QCOMPARE(asked[2].text, QStringLiteral("Handle Name ? (0 < ? < 11)"));
    QCOMPARE(asked[2].defaultAnswer, QStringLiteral("Default"));

    const QString login = line(field, QStringLiteral("login - ") + kStamp);
    QCOMPARE(server.lines, QStringList{login});

    const QString caption = u'[' + handle + QStringLiteral(":127.0.0.1:") + server.portText() +
                            QStringLiteral("] - wisp client");
    QTRY_COMPARE(m_window->windowHandle()->title(), caption);

    // The login line comes back through the relay like any other line.
    QTRY_COMPARE(log()->text(), login);
    QCOMPARE(log()->caretPosition(), login.size() - 1);
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::emptyAnswerEndsDialogue_data()
{
    QTest::addColumn<int>("answered"); // boxes answered before the empty answer
    QTest::addColumn<bool>("cancel");

    QTest::newRow("host, typed empty") << 0 << false;
    QTest::newRow("host, cancelled") << 0 << true;
    QTest::newRow("port") << 1 << false;
    QTest::newRow("handle") << 2 << true;
}

void TestFormTCPClientMain::emptyAnswerEndsDialogue()
{
    QFETCH(int, answered);
    QFETCH(bool, cancel);

    LineServer server(LineServer::Mode::Relay);
    openWindow();
    const QStringList answers{QStringLiteral("127.0.0.1"), server.portText(), "Default"};
    for (int i = 0; i < answered; ++i)
        m_script->type(answers[i]);
    if (cancel)
        m_script->cancel();
    else
        m_script->type(QString());
    menuItem(m_window, "mnuConnect")->trigger();
    QCOMPARE(m_script->asked().size(), answered + 1);

    // The empty answer is kept and offered next time; the answers before it are kept too.
    for (int i = 0; i < answered; ++i)
        m_script->type(answers[i]);
    m_script->cancel();
    menuItem(m_window, "mnuConnect")->trigger();
    const QList<Dialogs::Request> &asked = m_script->asked();
    QCOMPARE(asked.size(), 2 * (answered + 1));
    for (int i = 0; i <= answered; ++i)
        QCOMPARE(asked[answered + 1 + i].defaultAnswer, i < answered ? answers[i] : QString());

    // No attempt was made: the first connection the server sees is the next dialogue's.
    m_script->type(answers[0]).type(answers[1]).type(answers[2]);
    menuItem(m_window, "mnuConnect")->trigger();
    QTRY_COMPARE(server.lines.size(), 1);
    QCOMPARE(server.connectionsMade, 1);
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::handleRefusal_data()
{
    QTest::addColumn<QString>("second");

    QTest::newRow("then ten characters") << "0123456789";
    QTest::newRow("then empty") << "";
}

void TestFormTCPClientMain::handleRefusal()
{
    QFETCH(QString, second);

    LineServer server(LineServer::Mode::Relay);
    openWindow();
    const QString eleven = QStringLiteral("0123456789A");
    m_script->type(QStringLiteral("127.0.0.1")).type(server.portText());
    m_script->type(eleven).ok().type(eleven + u'B').ok().type(second);
    menuItem(m_window, "mnuConnect")->trigger();

    const QList<Dialogs::Request> &asked = m_script->asked();
    QCOMPARE(asked.size(), 7);
    QCOMPARE(asked[3].kind, Dialogs::Request::Kind::Message);
    QCOMPARE(asked[3].text, QStringLiteral("Wrong a Handle Name"));
    QCOMPARE(asked[3].buttons, Dialogs::Buttons::Ok);
    QCOMPARE(asked[4].text, QStringLiteral("Handle Name ? (0 < ? < 11)"));
    QCOMPARE(asked[4].defaultAnswer, eleven);
    QCOMPARE(asked[6].defaultAnswer, eleven + u'B');

    if (second.isEmpty()) {
        // Proof that nothing was attempted: a full dialogue afterwards is the first connection.
        connectTo(server);
        QCOMPARE(server.connectionsMade, 1);
    } else {
        QTRY_COMPARE(server.lines.size(), 1);
        QCOMPARE(server.lines[0], line(second, QStringLiteral("login - ") + kStamp));
    }
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::portText_data()
{
    QTest::addColumn<QString>("pattern"); // %1 is the server's port
    QTest::addColumn<bool>("spaced");     // blanks between its digits

    QTest::newRow("plain") << "%1" << false;
    QTest::newRow("blanks inside") << " %1 " << true;
    QTest::newRow("trailing letters") << "%1x" << false;
    QTest::newRow("fraction rounds") << "%1.4" << false;
}

void TestFormTCPClientMain::portText()
{
    QFETCH(QString, pattern);
    QFETCH(bool, spaced);

    LineServer server(LineServer::Mode::Relay);
    QString digits = server.portText();
    if (spaced)
        digits = digits.split(QString(), Qt::SkipEmptyParts).join(u' ');
    openWindow();
    m_script->type(QStringLiteral("127.0.0.1")).type(pattern.arg(digits)).type("Default");
    menuItem(m_window, "mnuConnect")->trigger();
    QTRY_COMPARE(server.lines.size(), 1);
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::portOutOfRange()
{
    LineServer server(LineServer::Mode::Relay);
    openWindow();
    m_script->type(QStringLiteral("127.0.0.1")).type(QStringLiteral("99999999999"));
    m_script->type(QStringLiteral("Default")).ok().type(QStringLiteral("-3e10")).ok();
    m_script->type(server.portText());
    menuItem(m_window, "mnuConnect")->trigger();

    QTRY_COMPARE(server.lines.size(), 1);
    const QList<Dialogs::Request> &asked = m_script->asked();
    QCOMPARE(asked.size(), 7);
    QCOMPARE(asked[3].kind, Dialogs::Request::Kind::Message);
    QCOMPARE(asked[3].buttons, Dialogs::Buttons::Ok);
    QCOMPARE(asked[4].text, QStringLiteral("Host Port ?"));
    QCOMPARE(asked[4].defaultAnswer, QStringLiteral("99999999999"));
    QCOMPARE(asked[5].text, asked[3].text);
    QCOMPARE(asked[6].defaultAnswer, QStringLiteral("-3e10"));
    QCOMPARE(server.connectionsMade, 1);
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::overlongHandleWhileRefused()
{
    // The connection of a first dialogue is made while a second dialogue shows its refusal:
    // the login line goes out while the refused name is stored, and carries ten characters.
    LineServer server(LineServer::Mode::Silent);
    openWindow();
    m_script->type(QStringLiteral("127.0.0.1")).type(server.portText()).type("Default");
    menuItem(m_window, "mnuConnect")->trigger();

    const QString refused = QStringLiteral("ABCDEFGHIJKL");
    bool loginWhileRefused = false;
    Dialogs::setResponderForTesting([&](const Dialogs::Request &request) -> Dialogs::Answer {
        if (request.text == QStringLiteral("Host IP ?"))
            return {Dialogs::Reply::Ok, QStringLiteral("127.0.0.1")};
        if (request.text == QStringLiteral("Host Port ?"))
            return {Dialogs::Reply::Ok, server.portText()};
        if (request.kind == Dialogs::Request::Kind::Input)
            return {Dialogs::Reply::Ok, request.defaultAnswer == refused ? QString() : refused};
        loginWhileRefused = QTest::qWaitFor([&] { return !server.lines.isEmpty(); }, 5000);
        return {};
    });
    menuItem(m_window, "mnuConnect")->trigger();
    m_script.reset();
    m_script = std::make_unique<DialogScript>();

    QVERIFY(loginWhileRefused);
    QCOMPARE(server.lines[0],
             line(QStringLiteral("ABCDEFGHIJ"), QStringLiteral("login - ") + kStamp));
    QCOMPARE(server.connectionsMade, 1);
}

void TestFormTCPClientMain::failedConnectionIsReported()
{
    quint16 closedPort;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    openWindow();
    m_script->type(QStringLiteral("127.0.0.1")).type(QString::number(closedPort)).type("Default");
    m_script->ok();
    menuItem(m_window, "mnuConnect")->trigger();
    QTRY_COMPARE(m_script->asked().size(), 4);
    QCOMPARE(m_script->asked()[3].text, QStringLiteral("接続に失敗しました。"));
    QCOMPARE(m_script->asked()[3].buttons, Dialogs::Buttons::Ok);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("wisp client"));
    QVERIFY(log()->text().isEmpty());
}

void TestFormTCPClientMain::receivedTextsAreAppended()
{
    LineServer server(LineServer::Mode::Silent);
    openWindow();
    connectTo(server);

    // Other people's lines and pieces without a line end run on, unchanged.
    const QString other = QStringLiteral("9@Other     |<b>&x</b> 日本\r\n");
    server.sendToAll(other.toUtf8());
    QTRY_COMPARE(log()->text(), other);
    QCOMPARE(log()->caretPosition(), other.size() - 1);
    server.sendToAll("ab");
    QTRY_COMPARE(log()->text(), other + QStringLiteral("ab"));
    server.sendToAll("cd");
    QTRY_COMPARE(log()->text(), other + QStringLiteral("abcd"));
    QCOMPARE(log()->caretPosition(), log()->length() - 1);
}

void TestFormTCPClientMain::history_data()
{
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("same twice") << QStringList{"abc", "abc"} << "menu" << QStringList{"abc"};
    QTest::newRow("back to first")
        << QStringList{"abc", "def", "abc"} << "menu" << QStringList{"abc", "def", "abc"};
    QTest::newRow("case differs") << QStringList{"abc", "ABC"} << "menu"
                                  << QStringList{"ABC", "abc"};
    QTest::newRow("enter on combo")
        << QStringList{"abc", "abc", "def"} << "combo" << QStringList{"def", "abc"};
    QTest::newRow("enter on line edit")
        << QStringList{"abc", "def", "def"} << "lineedit" << QStringList{"def", "abc"};
    QTest::newRow("keypad enter") << QStringList{"x"} << "keypad" << QStringList{"x"};
    QTest::newRow("empty into empty list") << QStringList{""} << "combo" << QStringList{};
    QTest::newRow("empty below a text")
        << QStringList{"abc", ""} << "combo" << QStringList{"", "abc"};
}

void TestFormTCPClientMain::history()
{
    QFETCH(QStringList, sent);
    QFETCH(QString, how);
    QFETCH(QStringList, entries);

    LineServer server(LineServer::Mode::Relay);
    openWindow();
    connectTo(server);

    QWidget *target = how == "lineedit" ? static_cast<QWidget *>(combo()->lineEdit()) : combo();
    QStringList expectedLines = server.lines;
    for (const QString &text : sent) {
        QTest::keyClicks(combo(), text);
        QCOMPARE(combo()->currentText(), text);
        if (how == "menu")
            menuItem(m_window, "mnuSend")->trigger();
        else
            QTest::keyClick(target, how == "keypad" ? Qt::Key_Enter : Qt::Key_Return,
                            how == "keypad" ? Qt::KeypadModifier : Qt::NoModifier);
        QCOMPARE(combo()->currentText(), QString());
        expectedLines.append(line(QStringLiteral("Default   "), text));
    }
    QCOMPARE(historyEntries(), entries);
    // One line per send, none twice.
    QTRY_COMPARE(server.lines.size(), expectedLines.size());
    QCOMPARE(server.lines, expectedLines);
}

void TestFormTCPClientMain::olderEntryIsCopiedToTop()
{
    openWindow();
    for (const char *text : {"one", "two", "three"}) {
        combo()->setEditText(QString::fromLatin1(text));
        menuItem(m_window, "mnuSend")->trigger();
    }
    combo()->setCurrentIndex(2);
    QCOMPARE(combo()->currentText(), QStringLiteral("one"));
    menuItem(m_window, "mnuSend")->trigger();
    QCOMPARE(historyEntries(), QStringList({"one", "three", "two", "one"}));
    QCOMPARE(combo()->currentText(), QString());
}

void TestFormTCPClientMain::logAndHistoryClear()
{
    LineServer server(LineServer::Mode::Relay);
    openWindow();
    connectTo(server);
    combo()->setEditText(QStringLiteral("first"));
    menuItem(m_window, "mnuSend")->trigger();
    QTRY_VERIFY(log()->text().endsWith(QStringLiteral("|first\r\n")));
    combo()->setEditText(QStringLiteral("typed"));

    menuItem(m_window, "mnuLogClear")->trigger();
    QCOMPARE(log()->text(), QString());
    QCOMPARE(historyEntries(), QStringList{"first"});
    QCOMPARE(combo()->currentText(), QStringLiteral("typed"));

    menuItem(m_window, "mnuHistClear")->trigger();
    QCOMPARE(combo()->count(), 0);
    QCOMPARE(combo()->currentText(), QString());

    // Still connected and still logging.
    server.sendToAll("next\r\n");
    QTRY_COMPARE(log()->text(), QStringLiteral("next\r\n"));
}

void TestFormTCPClientMain::menuCloseWaitsForEcho()
{
    LineServer server(LineServer::Mode::Relay);
    openWindow();
    connectTo(server);
    QTRY_VERIFY(!log()->text().isEmpty());
    const QString logout = line(QStringLiteral("Default   "), QStringLiteral("logout - ") + kStamp);
    const QString caption = m_window->windowTitle();

    menuItem(m_window, "mnuClose")->trigger();

    // The echo was in the log before the connection was closed.
    QVERIFY(log()->text().endsWith(logout));
    QCOMPARE(server.lines.last(), logout);
    QCOMPARE(component()->ID(), 0);
    QTRY_COMPARE(server.connectionsEnded, 1);
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_window->windowTitle(), caption);
    QVERIFY(m_script->unexpected().isEmpty());

    // The same object connects again.
    connectTo(server);
    QCOMPARE(server.connectionsMade, 2);
}

void TestFormTCPClientMain::closeConfirmation_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::newRow("cancel") << false;
    QTest::newRow("ok") << true;
}

void TestFormTCPClientMain::closeConfirmation()
{
    QFETCH(bool, confirm);

    LineServer server(LineServer::Mode::Relay);
    openWindow();
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    connectTo(server);
    const qint32 id = component()->ID();
    QTRY_VERIFY(!log()->text().isEmpty());

    if (confirm)
        m_script->ok();
    else
        m_script->cancel();
    QCOMPARE(m_window->close(), confirm);
    QCOMPARE(m_script->askedTexts().last(), QStringLiteral("Close ?"));
    QCOMPARE(m_script->asked().last().buttons, Dialogs::Buttons::OkCancel);

    if (confirm) {
        QCOMPARE(server.lines.size(), 2);
        QVERIFY(server.lines.last().contains(QStringLiteral("|logout - ")));
        QTRY_VERIFY(!m_window);
        QTRY_COMPARE(server.connectionsEnded, 1);
    } else {
        QVERIFY(m_window->isVisible());
        QCOMPARE(component()->ID(), id);
        server.sendToAll("still here\r\n");
        QTRY_VERIFY(log()->text().endsWith(QStringLiteral("still here\r\n")));
        QCOMPARE(server.lines.size(), 1);
        QCOMPARE(server.connectionsEnded, 0);
    }
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::waitEndsWithoutEcho_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("fromCloseBox");
    QTest::addColumn<bool>("takesTheTimeLimit");
    QTest::addColumn<QStringList>("boxes");

    const QStringList closed{QStringLiteral("切断されました。")};
    QTest::newRow("silent server, menu") << "silent" << false << true << QStringList{};
    QTest::newRow("silent server, close box") << "silent" << true << true << QStringList{};
    QTest::newRow("hangs up on logout") << "hangup" << false << false << closed;
    QTest::newRow("server gone before") << "gone" << false << false << closed;
    QTest::newRow("never connected, menu") << "none" << false << false << QStringList{};
    QTest::newRow("never connected, close box") << "none" << true << false << QStringList{};
}

void TestFormTCPClientMain::waitEndsWithoutEcho()
{
    QFETCH(QString, server);
    QFETCH(bool, fromCloseBox);
    QFETCH(bool, takesTheTimeLimit);
    QFETCH(QStringList, boxes);

    LineServer peer(server == "hangup" ? LineServer::Mode::HangUpOnLogout
                                       : LineServer::Mode::Silent);
    openWindow();
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    if (server != "none")
        connectTo(peer);
    const qsizetype boxesBefore = m_script->asked().size();
    for (qsizetype i = 0; i < boxes.size(); ++i)
        m_script->ok();
    if (server == "gone") {
        peer.stop();
        QTRY_COMPARE(m_script->asked().size(), boxesBefore + 1);
    }

    QElapsedTimer clock;
    clock.start();
    if (fromCloseBox) {
        m_script->ok();
        QVERIFY(m_window->close());
    } else {
        menuItem(m_window, "mnuClose")->trigger();
    }
    const qint64 waited = clock.elapsed();

    if (takesTheTimeLimit)
        QVERIFY2(waited >= 2900, qPrintable(QString::number(waited)));
    else
        QVERIFY2(waited < 2500, qPrintable(QString::number(waited)));
    QStringList shown = m_script->askedTexts().mid(boxesBefore);
    shown.removeAll(QStringLiteral("Close ?"));
    QCOMPARE(shown, boxes);
    if (server == "silent" || server == "hangup")
        QVERIFY(peer.lines.last().contains(QStringLiteral("|logout - ")));
    if (server != "none")
        QTRY_COMPARE(peer.connectionsEnded, 1);
    if (fromCloseBox)
        QTRY_VERIFY(!m_window);
    else
        QCOMPARE(component()->ID(), 0);
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::nestedCloseRunsToItsEndFirst()
{
    LineServer server(LineServer::Mode::Relay);
    openWindow();
    connectTo(server);

    bool innerRan = false;
    qint32 idAfterInner = -1;
    QTimer::singleShot(0, this, [&] {
        innerRan = true;
        menuItem(m_window, "mnuClose")->trigger();
        idAfterInner = component()->ID();
    });
    menuItem(m_window, "mnuClose")->trigger();

    QVERIFY(innerRan);
    QCOMPARE(idAfterInner, 0); // the inner sequence had closed the connection already
    QTRY_COMPARE(server.lines.size(), 3);
    QVERIFY(server.lines[1].contains(QStringLiteral("|logout - ")));
    QVERIFY(server.lines[2].contains(QStringLiteral("|logout - ")));
    QTRY_COMPARE(server.connectionsEnded, 1);
    QVERIFY(m_window->isVisible());
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::closeAcceptedDuringWait()
{
    // The window is closed (and due for deletion) from inside the wait of a menu Close; it
    // must outlive that wait and go away afterwards. Run under an event loop, as in the
    // program, where deferred deletions are handled differently from a bare test function.
    LineServer server(LineServer::Mode::Relay);
    openWindow();
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    connectTo(server);

    bool closed = false;
    bool aliveAfterWait = false;
    m_script->ok();
    QEventLoop loop;
    QTimer::singleShot(0, this, [&] {
        QTimer::singleShot(0, this, [&] { closed = m_window->close(); });
        menuItem(m_window, "mnuClose")->trigger();
        aliveAfterWait = !m_window.isNull();
        loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();

    QVERIFY(closed);
    QVERIFY(aliveAfterWait);
    QTRY_VERIFY(!m_window);
    QTRY_COMPARE(server.connectionsEnded, 1);
    QTRY_COMPARE(server.lines.size(), 3);
    QVERIFY(m_script->unexpected().isEmpty());
}

void TestFormTCPClientMain::deletedDuringWait()
{
    LineServer server(LineServer::Mode::Silent);
    openWindow();
    connectTo(server);

    QTimer::singleShot(0, this, [&] { delete m_window; });
    QElapsedTimer clock;
    clock.start();
    menuItem(m_window, "mnuClose")->trigger();
    QVERIFY(clock.elapsed() < 2500);
    QVERIFY(!m_window);
    QTRY_COMPARE(server.connectionsEnded, 1);
}

void TestFormTCPClientMain::infoWSockTwice()
{
    openWindow();
    const bool first = component()->InfoWSock();
    menuItem(m_window, "mnuInfWSock")->trigger();
    QCOMPARE(component()->InfoWSock(), !first);
    menuItem(m_window, "mnuInfWSock")->trigger();
    QCOMPARE(component()->InfoWSock(), first);
}

void TestFormTCPClientMain::placementRule_data()
{
    QTest::addColumn<QSizeF>("area");
    QTest::addColumn<double>("comboHeight");
    QTest::addColumn<QRectF>("textLog");
    QTest::addColumn<QRectF>("btnMenu");
    QTest::addColumn<QRectF>("comboMain");

    // Before each row the controls stand where a 6000 x 3000 area with h 300 put them.
    QTest::newRow("design size") << QSizeF(6285, 4395) << 300.0 << QRectF(0, 0, 6285, 4095)
                                 << QRectF(0, 4095, 300, 300) << QRectF(300, 4095, 5985, 300);
    QTest::newRow("fraction") << QSizeF(6285.5, 4395.25) << 300.0 << QRectF(0, 0, 6285.5, 4095.25)
                              << QRectF(0, 4095.25, 300, 300) << QRectF(300, 4095.25, 5985.5, 300);
    QTest::newRow("half rounds to even, down")
        << QSizeF(1000, 1000) << 300.5 << QRectF(0, 0, 1000, 700) << QRectF(0, 700, 300, 300)
        << QRectF(300, 700, 700, 300);
    QTest::newRow("half rounds to even, up")
        << QSizeF(1000, 1000) << 301.5 << QRectF(0, 0, 1000, 698) << QRectF(0, 698, 302, 302)
        << QRectF(302, 698, 698, 300);
    QTest::newRow("flat window") << QSizeF(6285, 200) << 300.0 << QRectF(0, 0, 6285, 2700)
                                 << QRectF(0, 2700, 300, 300) << QRectF(300, 2700, 5985, 300);
    QTest::newRow("height equals h") << QSizeF(6285, 300) << 300.0 << QRectF(0, 0, 6285, 2700)
                                     << QRectF(0, 2700, 300, 300) << QRectF(300, 2700, 5985, 300);
    QTest::newRow("narrow window") << QSizeF(300, 4395) << 300.0 << QRectF(0, 0, 300, 4095)
                                   << QRectF(0, 4095, 300, 300) << QRectF(300, 4095, 5700, 300);
    QTest::newRow("nothing left") << QSizeF(0, 0) << 300.0 << QRectF(0, 0, 0, 2700)
                                  << QRectF(0, 2700, 300, 300) << QRectF(300, 2700, 5700, 300);
}

void TestFormTCPClientMain::placementRule()
{
    QFETCH(QSizeF, area);
    QFETCH(double, comboHeight);
    QFETCH(QRectF, textLog);
    QFETCH(QRectF, btnMenu);
    QFETCH(QRectF, comboMain);

    const ClientLayout::Placement before{QRectF(0, 0, 6000, 2700), QRectF(0, 2700, 300, 300),
                                         QRectF(300, 2700, 5700, 300)};
    const ClientLayout::Placement after =
        ClientLayout::place(area.width(), area.height(), comboHeight, before);
    QCOMPARE(after.textLog, textLog);
    QCOMPARE(after.btnMenu, btnMenu);
    QCOMPARE(after.comboMain, comboMain);
}

void TestFormTCPClientMain::placementOnWindow()
{
    openWindow();
    QWidget *logPane = log();
    QWidget *button = m_window->findChild<QPushButton *>(QStringLiteral("btnMenu"));
    const int h = combo()->height();
    QVERIFY(h > 0);

    const auto checkArrangement = [&](int width, int height) {
        QCOMPARE(logPane->geometry(), QRect(0, 0, width, height - h));
        QCOMPARE(button->geometry(), QRect(0, height - h, h, h));
        QCOMPARE(combo()->geometry(), QRect(h, height - h, width - h, h));
    };
    checkArrangement(419, 293);

    m_window->resize(600, 400);
    QTRY_COMPARE(m_window->size(), QSize(600, 400));
    checkArrangement(600, 400);

    // Too flat for the bottom row: the log keeps its height, the row stays below it.
    m_window->resize(600, h);
    QTRY_COMPARE(m_window->size(), QSize(600, h));
    QCOMPARE(logPane->geometry(), QRect(0, 0, 600, 400 - h));
    QCOMPARE(button->geometry(), QRect(0, 400 - h, h, h));
    QCOMPARE(combo()->geometry(), QRect(h, 400 - h, 600 - h, h));

    m_window->showMinimized();
    m_window->showNormal();
    m_window->resize(419, 293);
    QTRY_COMPARE(m_window->size(), QSize(419, 293));
    checkArrangement(419, 293);
}

QTEST_MAIN(TestFormTCPClientMain)
#include "tst_formtcpclientmain.moc"
