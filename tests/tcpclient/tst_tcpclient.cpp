#include "chatline.h"
#include "formtcpclientmain.h"
#include "logpane.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>

namespace {
const QString Login = QStringLiteral("login - 2000/06/12/9:05:07");
const QString Logout = QStringLiteral("logout - 2000/06/12/9:05:07");

void trigger(QWidget *window, const char *name)
{
    window->findChild<QAction *>(QString::fromLatin1(name))->trigger();
}
} // namespace

// The chat line and the client window, against toy servers on loopback.
class TestTcpClient final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void chatLine_data();
    void chatLine();
    void echoRule();
    void connectDialogue_data();
    void connectDialogue();
    void sessionWithARelay();
    void closeEndsWhenNoEchoCanCome_data();
    void closeEndsWhenNoEchoCanCome();
    void closeWaitEndsAtItsLimit();

private:
    FixedClock clock;
};

void TestTcpClient::chatLine_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("handle");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");
    QTest::newRow("default") << 7 << "Default"
                             << "hello"
                             << "7@Default   |hello\r\n";
    QTest::newRow("ten characters") << 1 << "0123456789"
                                    << ""
                                    << "1@0123456789|\r\n";
    QTest::newRow("empty handle") << 0 << ""
                                  << "x"
                                  << "0@          |x\r\n";
    QTest::newRow("negative, marks kept") << -5 << "a|b"
                                          << "@|\r\nz"
                                          << "-5@a|b       |@|\r\nz\r\n";
    QTest::newRow("Japanese handle") << 12 << "日本"
                                     << "語"
                                     << "12@日本        |語\r\n";
}

void TestTcpClient::chatLine()
{
    QFETCH(int, id);
    QFETCH(QString, handle);
    QFETCH(QString, text);
    QTEST(ChatLine::build(id, handle, text), "line");
}

void TestTcpClient::echoRule()
{
    const QString line = QStringLiteral("7@Default   |hello\r\n");
    QVERIFY(ChatLine::isEcho(line, line));
    QVERIFY(!ChatLine::isEcho(QStringLiteral("7@default   |hello\r\n"), line));
    QVERIFY(!ChatLine::isEcho(QStringLiteral("7@Default   |hello"), line));
    QVERIFY(!ChatLine::isEcho(line + line, line));
    QCOMPARE(ChatLine::loginText(), Login);
    QCOMPARE(ChatLine::logoutText(), Logout);
}

void TestTcpClient::connectDialogue_data()
{
    QTest::addColumn<QStringList>("answers"); // "~" answers Cancel, "" empty OK
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("connects");
    const QString host = "Host IP ? [localhost]", port = "Host Port ? [555]";
    const QString handle = "Handle Name ? (0 < ? < 11) [%1]";
    QTest::newRow("cancel host") << QStringList{"~"} << QStringList{host} << false;
    QTest::newRow("empty port") << QStringList{"127.0.0.1", ""} << QStringList{host, port} << false;
    QTest::newRow("eleven, then empty")
        << QStringList{"localhost", "PORT", "Handle12345", "", ""}
        << QStringList{host, port, handle.arg("Default"), "Wrong a Handle Name",
                       handle.arg("Handle12345")}
        << false;
    QTest::newRow("ten") << QStringList{"localhost", "PORT", "Handle1234"}
                         << QStringList{host, port, handle.arg("Default")} << true;
    QTest::newRow("port read by the number rule")
        << QStringList{"127.0.0.1", " PORT.4xyz", "A"}
        << QStringList{host, port, handle.arg("Default")} << true;
}

void TestTcpClient::connectDialogue()
{
    QFETCH(QStringList, answers);
    ToyServer server(ToyServer::Mode::Relay);
    DialogScript script;
    for (const QString &answer : std::as_const(answers)) {
        if (answer == "~")
            script.cancel();
        else
            script.type(QString(answer).replace("PORT", QString::number(server.serverPort())));
    }
    FormTCPClientMain window;
    window.show();
    trigger(&window, "mnuConnect");
    QTEST(script.boxes, "boxes");
    QFETCH(bool, connects);
    if (connects)
        QTRY_VERIFY(server.seen.endsWith((Login + "\r\n").toUtf8()));
    else
        QVERIFY(!server.hasPendingConnections() && server.sockets.isEmpty());
    QVERIFY(script.unexpected.isEmpty());
}

// Login, caption, sending with Enter and the menu, the history, the log and the echo, and the
// close sequence, against a server that relays.
void TestTcpClient::sessionWithARelay()
{
    ToyServer server(ToyServer::Mode::Relay);
    DialogScript script;
    script.ok().type(QString::number(server.serverPort())).type("Alice");
    auto *window = new FormTCPClientMain;
    window->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<FormTCPClientMain> alive(window);
    window->show();
    QCOMPARE(window->windowTitle(), QStringLiteral("wisp client"));
    trigger(window, "mnuConnect");
    QTRY_COMPARE(server.sockets.size(), 1);
    const QString id = QString::number(server.sockets[0]->peerPort());
    const QString prefix = id + QStringLiteral("@Alice     |");
    QTRY_COMPARE(server.seen, (prefix + Login + "\r\n").toUtf8());
    QCOMPARE(window->windowTitle(),
             QStringLiteral("[Alice:127.0.0.1:%1] - wisp client").arg(server.serverPort()));

    auto *combo = window->findChild<QComboBox *>(QStringLiteral("ComboMain"));
    auto *log = window->findChild<LogPane *>(QStringLiteral("TextLog"));
    combo->setEditText(QStringLiteral("hi"));
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
    combo->setEditText(QStringLiteral("hi"));
    trigger(window, "mnuSend");
    combo->setEditText(QStringLiteral("Hi"));
    trigger(window, "mnuSend");
    QCOMPARE(combo->currentText(), QString());
    QStringList history;
    for (int i = 0; i < combo->count(); ++i)
        history << combo->itemText(i);
    QCOMPARE(history, (QStringList{"Hi", "hi"}));

    // Everything comes back, appended unchanged; the caret rests before the last character.
    QTRY_VERIFY(log->text().endsWith(prefix + "Hi\r\n"));
    server.sockets[0]->write("from another client");
    const QString expected = prefix + Login + "\r\n" + prefix + "hi\r\n" + prefix + "hi\r\n" +
                             prefix + "Hi\r\n" + "from another client";
    QTRY_COMPARE(log->text(), expected);
    QCOMPARE(log->caretPosition(), expected.size() - 1);
    trigger(window, "mnuLogClear");
    QCOMPARE(log->text(), QString());
    trigger(window, "mnuHistClear");
    QCOMPARE(combo->count(), 0);

    // "Close ?" answered OK: the logout line goes out, comes back, then the connection closes.
    script.ok();
    window->close();
    QTRY_VERIFY(server.seen.endsWith((prefix + Logout + "\r\n").toUtf8()));
    QTRY_COMPARE(server.sockets[0]->state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(!alive);
    QVERIFY(script.unexpected.isEmpty());
}

void TestTcpClient::closeEndsWhenNoEchoCanCome_data()
{
    QTest::addColumn<bool>("connect");
    QTest::newRow("never connected") << false;
    QTest::newRow("server hangs up on logout") << true;
}

// No echo can come without a connection or once it has ended: the wait ends then, well before
// its limit.
void TestTcpClient::closeEndsWhenNoEchoCanCome()
{
    QFETCH(bool, connect);
    ToyServer server(ToyServer::Mode::HangUp);
    DialogScript script;
    auto *window = new FormTCPClientMain;
    window->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<FormTCPClientMain> alive(window);
    window->show();
    if (connect) {
        script.ok().type(QString::number(server.serverPort())).ok();
        trigger(window, "mnuConnect");
        QTRY_VERIFY(server.seen.contains("|login - "));
    }
    script.ok().ok(); // "Close ?", then "切断されました。" when the server hangs up
    QElapsedTimer closing;
    closing.start();
    window->close();
    QTRY_VERIFY_WITH_TIMEOUT(!alive || !alive->isVisible(), 2500);
    QVERIFY2(closing.elapsed() < 2500, "the close waited for an echo that could not come");
    QCOMPARE(server.seen.contains("|logout - "), connect);
    QVERIFY(script.boxes.contains(QStringLiteral("Close ? (OK, Cancel)")));
    delete alive;
}

// A server that never relays: the window waits three seconds for the echo, then closes.
void TestTcpClient::closeWaitEndsAtItsLimit()
{
    ToyServer server(ToyServer::Mode::Silent);
    DialogScript script;
    script.ok().type(QString::number(server.serverPort())).ok();
    auto *window = new FormTCPClientMain;
    QPointer<FormTCPClientMain> alive(window);
    window->show();
    trigger(window, "mnuConnect");
    QTRY_VERIFY(server.seen.contains("|login - "));
    script.cancel().ok();
    window->close();
    QVERIFY(window->isVisible());
    QElapsedTimer closing;
    closing.start();
    window->close();
    QTRY_VERIFY(server.seen.contains("|logout - "));
    QTRY_COMPARE_WITH_TIMEOUT(server.sockets[0]->state(), QAbstractSocket::UnconnectedState, 10000);
    QVERIFY(closing.elapsed() >= 2900);
    QTRY_VERIFY(!window->isVisible());
    QVERIFY(script.unexpected.isEmpty());
    delete alive;
}

QTEST_MAIN(TestTcpClient)
#include "tst_tcpclient.moc"
