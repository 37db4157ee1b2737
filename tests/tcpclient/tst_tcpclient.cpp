#include "chatline.h"
#include "formtcpclientmain.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {
// Connects window to server through the dialogue, with the default handle; false if no login
// line comes.
bool connectTo(const ToyServer &server, FormTCPClientMain *window)
{
    DialogScript script;
    script.ok().type(QString::number(server.serverPort())).ok();
    trigger(window, "mnuConnect");
    return QTest::qWaitFor([&] { return server.seen.contains("|login - "); });
}
} // namespace

// The chat line, the client window's dialogue and close sequence (a whole chat: tst_session).
class TestTcpClient final : public QObject
{
    Q_OBJECT

    FixedClock clock;

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void chatLine_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QStringList>("parts"); // handle, text, the line they make
        QTest::newRow("default") << 7 << QStringList{"Default", "hello", "7@Default   |hello\r\n"};
        QTest::newRow("ten characters") << 1 << QStringList{"0123456789", "", "1@0123456789|\r\n"};
        QTest::newRow("empty handle") << 0 << QStringList{"", "x", "0@          |x\r\n"};
        QTest::newRow("negative, marks kept")
            << -5 << QStringList{"a|b", "@|\r\nz", "-5@a|b       |@|\r\nz\r\n"};
        QTest::newRow("Japanese") << 12 << QStringList{"日本", "語", "12@日本        |語\r\n"};
    }

    void chatLine()
    {
        QFETCH(int, id);
        QFETCH(QStringList, parts);
        const QString line = parts[2];
        QCOMPARE(ChatLine::build(id, parts[0], parts[1]), line);
        // Only the very same text is the line's echo.
        QVERIFY(ChatLine::isEcho(line, line) && !ChatLine::isEcho(line.chopped(2), line) &&
                !ChatLine::isEcho(line + line, line) &&
                (line.toLower() == line || !ChatLine::isEcho(line.toLower(), line)));
        QCOMPARE(ChatLine::logoutText(), QStringLiteral("logout - 2000/06/12/9:05:07"));
    }

    void connectDialogue_data()
    {
        QTest::addColumn<QStringList>("answers"); // "~" answers Cancel
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("connects");
        const QString host = "Host IP ? [localhost]", port = "Host Port ? [555]";
        const QString handle = "Handle Name ? (0 < ? < 11) [%1]";
        QTest::newRow("cancel host") << QStringList{"~"} << QStringList{host} << false;
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
        QTest::newRow("connection fails")
            << QStringList{"127.0.0.1", "x80", "A", ""}
            << QStringList{host, port, handle.arg("Default"), "接続に失敗しました。"} << false;
    }

    void connectDialogue()
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
        QFETCH(QStringList, boxes);
        QTRY_COMPARE(script.boxes, boxes);
        QFETCH(bool, connects);
        if (connects)
            QTRY_VERIFY(server.seen.endsWith("|login - 2000/06/12/9:05:07\r\n"));
        else
            QVERIFY(!server.hasPendingConnections() && server.sockets.isEmpty());
        QVERIFY(script.unexpected.isEmpty());
    }

    void closeSequence_data()
    {
        QTest::addColumn<bool>("connect");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("waitsOut"); // the wait for the echo runs to its 3 s limit
        QTest::newRow("never connected") << false << int(ToyServer::Mode::Silent) << false;
        QTest::newRow("hang-up on logout") << true << int(ToyServer::Mode::HangUp) << false;
        QTest::newRow("echoed") << true << int(ToyServer::Mode::Relay) << false;
        QTest::newRow("server never relays") << true << int(ToyServer::Mode::Silent) << true;
    }

    // "Close ?" OK sends the logout line and waits for its echo: over when it comes, at once
    // when none can (no connection, or it ended), at its limit for a server that never relays.
    void closeSequence()
    {
        QFETCH(bool, connect);
        QFETCH(int, mode);
        QFETCH(bool, waitsOut);
        ToyServer server{ToyServer::Mode(mode)};
        QPointer<FormTCPClientMain> window = shown<FormTCPClientMain>();
        QVERIFY(!connect || connectTo(server, window));
        DialogScript script;
        script.cancel().ok().ok(); // "Close ?" twice, then "切断されました。" after a hang-up
        window->close();
        QVERIFY(window && window->isVisible() && !server.seen.contains("|logout - "));
        QElapsedTimer closing;
        closing.start();
        window->close();
        QTRY_VERIFY_WITH_TIMEOUT(!window, 10000);
        QCOMPARE(server.seen.contains("|logout - "), connect);
        QVERIFY2((closing.elapsed() >= 2900) == waitsOut,
                 qPrintable(QString::number(closing.elapsed())));
        for (QTcpSocket *socket : std::as_const(server.sockets))
            QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    }

    // At any size the log fills the window above one row: the menu button, then the entry box
    // to the right edge.
    void controlsFollowTheWindow()
    {
        FormTCPClientMain window;
        window.show();
        for (const QSize size : {QSize(420, 300), QSize(900, 700)}) {
            window.resize(size);
            const QRect log = part(&window, "TextLog")->geometry();
            const QRect combo = part(&window, "ComboMain")->geometry();
            const QRect button = part(&window, "btnMenu")->geometry();
            QCOMPARE(log, QRect(0, 0, size.width(), log.height()));
            QCOMPARE(
                QList({button.top(), combo.top(), combo.left(), combo.right()}),
                QList({log.bottom() + 1, log.bottom() + 1, button.right() + 1, size.width() - 1}));
        }
    }

    // Without a mouse: Tab from the log reaches the menu button, Space opens its menu, the
    // arrow keys and Enter run a command, and Tab goes on to the entry.
    void commandsByKeyboard()
    {
        FormTCPClientMain window;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *button = part<QPushButton>(&window, "btnMenu");
        part(&window, "TextLog")->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button);
        QTest::keyClick(button, Qt::Key_Space);
        QTRY_VERIFY(QApplication::activePopupWidget());
        DialogScript script;
        script.cancel();
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Down);
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Return);
        QCOMPARE(script.boxes, QStringList{"Host IP ? [localhost]"});
        QTest::keyClick(button, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), u"ComboMain");
    }

    // The wait runs out while a real box of the window is up (the connect dialogue, opened
    // during the wait): the handler under the box still needs its window, so the window stays
    // until the box has gone, and closes then.
    void closeWaitsForABoxUp()
    {
        ToyServer server{ToyServer::Mode::Silent};
        QPointer<FormTCPClientMain> window = shown<FormTCPClientMain>();
        QVERIFY(connectTo(server, window));
        auto *connectAction = part<QAction>(window, "mnuConnect");
        bool visibleUnderBox = false;
        QElapsedTimer boxUp;
        QTimer user; // answers the real boxes as a person would
        connect(&user, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (auto *question = qobject_cast<QMessageBox *>(box)) {
                question->button(QMessageBox::Ok)->click(); // "Close ?": the wait begins
                QTimer::singleShot(0, connectAction, &QAction::trigger);
            } else if (box && !boxUp.isValid()) {
                boxUp.start();
            } else if (box && boxUp.elapsed() > 4000) { // past the wait's 3 s limit
                visibleUnderBox = window && window->isVisible();
                box->reject();
            }
        });
        user.start(20);
        QTimer::singleShot(0, window, &QWidget::close);
        QTRY_VERIFY_WITH_TIMEOUT(!window, 10000);
        QVERIFY(visibleUnderBox);
    }
};

QTEST_MAIN(TestTcpClient)
#include "tst_tcpclient.moc"
