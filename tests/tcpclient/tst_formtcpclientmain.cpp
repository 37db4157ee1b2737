#include "cws_tcp_c.h"
#include "dialogscript.h"
#include "formtcpclientmain.h"
#include "linepeers.h"
#include "logpane.h"
#include "windowtools.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include <memory>
#include <optional>

namespace {

const QString kStamp = QStringLiteral("2000/06/12/9:05:07");
const QString kHost = QStringLiteral("127.0.0.1");
const QString kCancel = QStringLiteral("<cancel>");
const QString kOk = QStringLiteral("<ok>"); // accepts the default answer

} // namespace

class TestFormTCPClientMain final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void menuButtonAndInfWSock();
    void connectDialogue_data();
    void connectDialogue();
    void overlongHandleWhileRefused();
    void logAndHistoryCommands();
    void history_data();
    void history();
    void closing_data();
    void closing();
    void duringTheWait_data();
    void duringTheWait();
    void placementOnWindow();
    void waitEndsUnderARealBox();

private:
    void openWindow();
    void connectTo(LineServer &server, const QString &handle = QStringLiteral("Default"));
    void menu(const char *name) { triggerAction(m_window, name); }

    CWS_TCP_C *component() const { return m_window->findChild<CWS_TCP_C *>(); }
    LogPane *log() const { return logOf(m_window); }
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

    std::optional<FixedClock> m_clock;
    std::unique_ptr<DialogScript> m_script;
    QPointer<FormTCPClientMain> m_window;
};

void TestFormTCPClientMain::init()
{
    m_clock.emplace(QDateTime(QDate(2000, 6, 12), QTime(9, 5, 7)));
    // Every box of every test is answered by a script; none may block.
    m_script = std::make_unique<DialogScript>();
}

void TestFormTCPClientMain::cleanup()
{
    const bool allAnswered = m_script->unexpected().isEmpty();
    delete m_window;
    m_script.reset();
    m_clock.reset();
    QVERIFY2(allAnswered, "the window showed a box the test did not expect");
}

void TestFormTCPClientMain::openWindow()
{
    m_window = new FormTCPClientMain;
    m_window->show();
}

void TestFormTCPClientMain::connectTo(LineServer &server, const QString &handle)
{
    m_script->type(kHost).type(server.portText()).type(handle);
    const qsizetype before = server.lines.size();
    menu("mnuConnect");
    QTRY_COMPARE(server.lines.size(), before + 1);
    QVERIFY(server.lines.last().contains(QStringLiteral("|login - ")));
}

void TestFormTCPClientMain::menuButtonAndInfWSock()
{
    openWindow();
    QVERIFY(!m_window->findChild<QMenuBar *>());
    auto *popUp = m_window->findChild<QMenu *>(QStringLiteral("mnuMenu"));
    QVERIFY(!popUp->isVisible());
    QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("btnMenu")),
                      Qt::LeftButton);
    QTRY_VERIFY(popUp->isVisible());
    popUp->hide();

    // InfWSock switches the component's trace, and back.
    const bool first = component()->InfoWSock();
    menu("mnuInfWSock");
    QCOMPARE(component()->InfoWSock(), !first);
    menu("mnuInfWSock");
    QCOMPARE(component()->InfoWSock(), first);
}

void TestFormTCPClientMain::connectDialogue_data()
{
    // %port: the server's, with blanks between its digits; %closed: one nobody listens on.
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("field");    // in the login line; empty: no connection attempted
    QTest::addColumn<QStringList>("next"); // the next dialogue's questions, when none was

    const QString ip = QStringLiteral("Host IP ? [%1]");
    const QString port = QStringLiteral("Host Port ? [%1]");
    const QString handle = QStringLiteral("Handle Name ? (0 < ? < 11) [%1]");
    const QStringList firstTime{ip.arg("localhost"), port.arg("555"), handle.arg("Default")};
    const QString eleven = QStringLiteral("0123456789A");
    const QString wrong = QStringLiteral("Wrong a Handle Name");
    const QString range = QStringLiteral("Port number out of range.");
    const QStringList refused =
        firstTime + QStringList{wrong, handle.arg(eleven), wrong, handle.arg(eleven + u'B')};

    QTest::newRow("default handle")
        << QStringList{kHost, "%port", kOk} << firstTime << "Default   " << QStringList{};
    QTest::newRow("title placeholder")
        << QStringList{kHost, "%port", "[*]"} << firstTime << "[*]       " << QStringList{};
    QTest::newRow("host typed empty")
        << QStringList{""} << firstTime.mid(0, 1) << QString()
        << QStringList{ip.arg(""), port.arg("555"), handle.arg("Default")};
    QTest::newRow("host cancelled")
        << QStringList{kCancel} << firstTime.mid(0, 1) << QString()
        << QStringList{ip.arg(""), port.arg("555"), handle.arg("Default")};
    QTest::newRow("port typed empty")
        << QStringList{kHost, ""} << firstTime.mid(0, 2) << QString()
        << QStringList{ip.arg(kHost), port.arg(""), handle.arg("Default")};
    QTest::newRow("handle cancelled")
        << QStringList{kHost, "%port", kCancel} << firstTime << QString()
        << QStringList{ip.arg(kHost), port.arg("%port"), handle.arg("")};
    QTest::newRow("handle refused, then ten characters")
        << QStringList{kHost, "%port", eleven, kOk, eleven + u'B', kOk, "0123456789"} << refused
        << "0123456789" << QStringList{};
    QTest::newRow("handle refused, then empty")
        << QStringList{kHost, "%port", eleven, kOk, eleven + u'B', kOk, ""} << refused << QString()
        << QStringList{ip.arg(kHost), port.arg("%port"), handle.arg("")};
    QTest::newRow("nobody listens")
        << QStringList{kHost, "%closed", kOk, kOk}
        << firstTime + QStringList{QStringLiteral("接続に失敗しました。")} << QString()
        << QStringList{ip.arg(kHost), port.arg("%closed"), handle.arg("Default")};
    QTest::newRow("port out of range, asked again")
        << QStringList{kHost, "99999999999", "Default", kOk, "-3e10", kOk, "%port"}
        << firstTime + QStringList{range, port.arg("99999999999"), range, port.arg("-3e10")}
        << "Default   " << QStringList{};
}

void TestFormTCPClientMain::connectDialogue()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, boxes);
    QFETCH(QString, field);
    QFETCH(QStringList, next);

    LineServer server(LineServer::Mode::Relay);
    // Blanks between the digits: the port is read by the number reading rule.
    const QString port = server.portText().split(QString(), Qt::SkipEmptyParts).join(u' ');
    quint16 closed;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closed = probe.serverPort();
    }
    const auto fill = [&](QStringList texts) {
        return texts.replaceInStrings(QStringLiteral("%port"), port)
            .replaceInStrings(QStringLiteral("%closed"), QString::number(closed));
    };
    openWindow();
    for (const QString &answer : fill(answers)) {
        if (answer == kCancel)
            m_script->cancel();
        else if (answer == kOk)
            m_script->ok();
        else
            m_script->type(answer);
    }
    menu("mnuConnect");
    QTRY_COMPARE(m_script->boxes(), fill(boxes));

    if (!field.isEmpty()) {
        QTRY_COMPARE(server.lines.size(), 1);
        const QString login = line(field, QStringLiteral("login - ") + kStamp);
        QCOMPARE(server.lines, QStringList{login});
        QTRY_COMPARE(m_window->windowHandle()->title(),
                     QStringLiteral("[%1:%2:%3] - wisp client")
                         .arg(field.trimmed(), kHost, server.portText()));
        // The login line comes back through the relay like any other line.
        QTRY_COMPARE(log()->text(), login);
        QCOMPARE(log()->caretPosition(), login.size() - 1);
        return;
    }
    QCOMPARE(m_window->windowTitle(), QStringLiteral("wisp client"));
    QVERIFY(log()->text().isEmpty());
    // Every answer, the empty one too, is offered the next time; and the next dialogue makes
    // the first connection to the server.
    const qsizetype before = m_script->boxes().size();
    connectTo(server);
    QCOMPARE(m_script->boxes().mid(before), fill(next));
    QCOMPARE(server.connectionsMade, 1);
}

void TestFormTCPClientMain::overlongHandleWhileRefused()
{
    // The connection of a first dialogue is made while a second dialogue shows its refusal:
    // the login line goes out while the refused name is stored, and carries ten characters.
    LineServer server(LineServer::Mode::Silent);
    openWindow();
    m_script->type(kHost).type(server.portText()).type("Default");
    menu("mnuConnect");

    const QString refused = QStringLiteral("ABCDEFGHIJKL");
    bool loginWhileRefused = false;
    Dialogs::setResponderForTesting([&](const Dialogs::Request &request) -> Dialogs::Answer {
        if (request.text == QStringLiteral("Host IP ?"))
            return {Dialogs::Reply::Ok, kHost};
        if (request.text == QStringLiteral("Host Port ?"))
            return {Dialogs::Reply::Ok, server.portText()};
        if (request.kind == Dialogs::Request::Kind::Input)
            return {Dialogs::Reply::Ok, request.defaultAnswer == refused ? QString() : refused};
        loginWhileRefused = QTest::qWaitFor([&] { return !server.lines.isEmpty(); }, 5000);
        return {};
    });
    menu("mnuConnect");
    m_script.reset(); // before the next one installs itself
    m_script = std::make_unique<DialogScript>();

    QVERIFY(loginWhileRefused);
    QCOMPARE(server.lines[0],
             line(QStringLiteral("ABCDEFGHIJ"), QStringLiteral("login - ") + kStamp));
    QCOMPARE(server.connectionsMade, 1);
}

void TestFormTCPClientMain::logAndHistoryCommands()
{
    LineServer server(LineServer::Mode::Silent);
    openWindow();
    connectTo(server);

    // Other people's lines and pieces without a line end run on, unchanged, with the caret one
    // character before the end.
    const QString other = QStringLiteral("9@Other     |<b>&x</b> 日本\r\n");
    server.sendToAll(other.toUtf8());
    QTRY_COMPARE(log()->text(), other);
    QCOMPARE(log()->caretPosition(), other.size() - 1);
    server.sendToAll("ab");
    QTRY_COMPARE(log()->text(), other + QStringLiteral("ab"));
    server.sendToAll("cd");
    QTRY_COMPARE(log()->text(), other + QStringLiteral("abcd"));
    QCOMPARE(log()->caretPosition(), log()->length() - 1);

    combo()->setEditText(QStringLiteral("first"));
    menu("mnuSend");
    combo()->setEditText(QStringLiteral("typed"));
    menu("mnuLogClear");
    QCOMPARE(log()->text(), QString());
    QCOMPARE(historyEntries(), QStringList{"first"});
    QCOMPARE(combo()->currentText(), QStringLiteral("typed"));

    menu("mnuHistClear");
    QCOMPARE(combo()->count(), 0);
    QCOMPARE(combo()->currentText(), QString());

    // Still connected and still logging.
    server.sendToAll("next\r\n");
    QTRY_COMPARE(log()->text(), QStringLiteral("next\r\n"));
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
        if (how == "menu")
            menu("mnuSend");
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

void TestFormTCPClientMain::closing_data()
{
    // The server, then how the window is closed: menu Close, or the close box answered.
    QTest::addColumn<QString>("setting");
    QTest::addColumn<bool>("takesTheTimeLimit");
    QTest::addColumn<QStringList>("boxes"); // shown besides "Close ?"

    const QStringList closed{QStringLiteral("切断されました。")};
    QTest::newRow("menu Close") << "relay menu" << false << QStringList{};
    QTest::newRow("close box, Cancel") << "relay cancel" << false << QStringList{};
    QTest::newRow("close box, OK") << "relay ok" << false << QStringList{};
    QTest::newRow("silent server, menu") << "silent menu" << true << QStringList{};
    QTest::newRow("silent server, close box") << "silent ok" << true << QStringList{};
    QTest::newRow("hangs up on logout") << "hangup menu" << false << closed;
    QTest::newRow("server gone before") << "gone menu" << false << closed;
    QTest::newRow("never connected, menu") << "none menu" << false << QStringList{};
    QTest::newRow("never connected, close box") << "none ok" << false << QStringList{};
}

// The logout line goes out and the wait for its echo ends when the echo comes, or when none
// can come (no echo from the server, the connection gone, never connected): after three
// seconds at the latest. Then the connection is closed, and the window with a close box's OK.
void TestFormTCPClientMain::closing()
{
    QFETCH(QString, setting);
    QFETCH(bool, takesTheTimeLimit);
    QFETCH(QStringList, boxes);
    const QString server = setting.section(u' ', 0, 0);
    const QString how = setting.section(u' ', 1, 1);

    LineServer peer(server == "relay"    ? LineServer::Mode::Relay
                    : server == "hangup" ? LineServer::Mode::HangUpOnLogout
                                         : LineServer::Mode::Silent);
    openWindow();
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    if (server != "none")
        connectTo(peer);
    if (server == "relay")
        QTRY_VERIFY(!log()->text().isEmpty());
    const qsizetype boxesBefore = m_script->asked().size();
    for (qsizetype i = 0; i < boxes.size(); ++i)
        m_script->ok();
    if (server == "gone") {
        peer.stop();
        QTRY_COMPARE(m_script->asked().size(), boxesBefore + 1);
    }
    const QString logout = line(QStringLiteral("Default   "), QStringLiteral("logout - ") + kStamp);
    const QString caption = m_window->windowTitle();
    const qint32 id = component()->ID();

    QElapsedTimer clock;
    clock.start();
    if (how == "menu") {
        menu("mnuClose");
    } else {
        how == "ok" ? m_script->ok() : m_script->cancel();
        // With OK the window closes at once only when there is no connection to wait on.
        QCOMPARE(m_window->close(), how == "ok" && server == "none");
    }
    // The wait is over once the connection is closed, and with OK the window too.
    if (how == "ok")
        QTRY_VERIFY_WITH_TIMEOUT(!m_window, 10000);
    else if (how == "menu")
        QTRY_COMPARE_WITH_TIMEOUT(component()->ID(), 0, 10000);
    const qint64 waited = clock.elapsed();

    if (takesTheTimeLimit)
        QVERIFY2(waited >= 2900, qPrintable(QString::number(waited)));
    else
        QVERIFY2(waited < 2500, qPrintable(QString::number(waited)));
    const QStringList question{QStringLiteral("Close ? (OK, Cancel)")};
    QCOMPARE(m_script->boxes().mid(boxesBefore),
             (how == "menu" ? QStringList{} : question) + boxes);
    if (how == "cancel") {
        QCOMPARE(component()->ID(), id);
        peer.sendToAll("still here\r\n");
        QTRY_VERIFY(log()->text().endsWith(QStringLiteral("still here\r\n")));
        QCOMPARE(peer.lines.size(), 1);
        QCOMPARE(peer.connectionsEnded, 0);
        return;
    }
    if (server != "none" && server != "gone")
        QCOMPARE(peer.lines.last(), logout);
    if (server != "none")
        QTRY_COMPARE(peer.connectionsEnded, 1);
    if (how == "ok")
        return;
    QVERIFY(m_window->isVisible());
    if (server == "relay") {
        // The echo was in the log before the connection was closed; the caption stays.
        QVERIFY(log()->text().endsWith(logout));
        QCOMPARE(m_window->windowTitle(), caption);
        // The same object connects again.
        connectTo(peer);
        QCOMPARE(peer.connectionsMade, 2);
    }
}

void TestFormTCPClientMain::duringTheWait_data()
{
    QTest::addColumn<QString>("what"); // happens while a menu Close waits for its echo
    QTest::newRow("another Close") << "menu";
    QTest::newRow("window closed") << "close";
    QTest::newRow("window deleted") << "delete";
}

// The echo cannot come before the event loop runs again, so what follows the menu Close here
// happens during its wait. A second Close sends its own logout line and the wait ends with
// that line's echo; a window closed with OK closes once the wait is over; a deleted window
// ends the wait with it.
void TestFormTCPClientMain::duringTheWait()
{
    QFETCH(QString, what);
    LineServer server(what == "delete" ? LineServer::Mode::Silent : LineServer::Mode::Relay);
    openWindow();
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    connectTo(server);

    QElapsedTimer clock;
    clock.start();
    menu("mnuClose");
    if (what == "delete") {
        delete m_window;
    } else if (what == "close") {
        m_script->ok();
        QVERIFY(!m_window->close());
        QVERIFY(m_window->isVisible());
    } else {
        menu("mnuClose");
    }
    QTRY_COMPARE(server.connectionsEnded, 1);
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    if (what == "delete")
        return;
    QTRY_COMPARE(server.lines.size(), 3);
    QVERIFY(server.lines[1].contains(QStringLiteral("|logout - ")));
    QVERIFY(server.lines[2].contains(QStringLiteral("|logout - ")));
    if (what == "close") {
        QTRY_VERIFY(!m_window);
    } else {
        QVERIFY(log()->text().endsWith(server.lines[2]));
        QVERIFY(m_window->isVisible());
    }
}

void TestFormTCPClientMain::placementOnWindow()
{
    openWindow();
    QWidget *logPane = log();
    QWidget *button = m_window->findChild<QPushButton *>(QStringLiteral("btnMenu"));
    const int h = combo()->height();
    QVERIFY(h > 0);

    // The bottom row stands at rowTop: below a log as high as the window allows.
    const auto checkArrangement = [&](int width, int rowTop) {
        QCOMPARE(logPane->geometry(), QRect(0, 0, width, rowTop));
        QCOMPARE(button->geometry(), QRect(0, rowTop, h, h));
        QCOMPARE(combo()->geometry(), QRect(h, rowTop, width - h, h));
    };
    checkArrangement(419, 293 - h);

    m_window->resize(600, 400);
    QTRY_COMPARE(m_window->size(), QSize(600, 400));
    checkArrangement(600, 400 - h);

    // Too flat for the bottom row: the log keeps its height, the row stays below it.
    m_window->resize(600, h);
    QTRY_COMPARE(m_window->size(), QSize(600, h));
    checkArrangement(600, 400 - h);

    // Too narrow: the combo box keeps its width beside the button.
    m_window->resize(h, 400);
    QTRY_COMPARE(m_window->size(), QSize(h, 400));
    QCOMPARE(logPane->geometry(), QRect(0, 0, h, 400 - h));
    QCOMPARE(combo()->geometry(), QRect(h, 400 - h, 600 - h, h));

    m_window->showMinimized();
    m_window->showNormal();
    m_window->resize(419, 293);
    QTRY_COMPARE(m_window->size(), QSize(419, 293));
    checkArrangement(419, 293 - h);
}

QTEST_MAIN(TestFormTCPClientMain)
#include "tst_formtcpclientmain.moc"

// The wait for the logout echo runs out while a real "Close ?" box is up: the handler under
// the box must find its window still there, and the window closes once the box has gone.
void TestFormTCPClientMain::waitEndsUnderARealBox()
{
    LineServer peer(LineServer::Mode::Silent);
    openWindow();
    QPointer<FormTCPClientMain> window(m_window);
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    connectTo(peer);
    m_script.reset(); // real boxes from here on
    int boxes = 0;
    bool visibleUnderBox = false;
    QTimer answerer;
    answerer.setInterval(20);
    QElapsedTimer sinceSecond;
    connect(&answerer, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (boxes == 0) {
            ++boxes;
            // OK to Close ?: the wait begins, and the user asks to connect again meanwhile.
            qobject_cast<QMessageBox *>(modal)->button(QMessageBox::Ok)->click();
            QTimer::singleShot(0, window, [&] { menu("mnuConnect"); });
            return;
        }
        if (!sinceSecond.isValid())
            sinceSecond.start();
        if (sinceSecond.elapsed() > 4000) { // the second box outlives the 3 s wait
            visibleUnderBox = window && window->isVisible();
            qobject_cast<QDialog *>(modal)->reject();
        }
    });
    answerer.start();
    QTimer::singleShot(0, m_window, [&] { window->close(); });
    QTRY_VERIFY_WITH_TIMEOUT(!window, 10000);
    m_window = nullptr;
    QVERIFY(visibleUnderBox);
    m_script = std::make_unique<DialogScript>();
}
