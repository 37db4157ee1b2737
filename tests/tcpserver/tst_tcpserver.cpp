#include "cws_tcp_s.h"
#include "formtcpservermain.h"
#include "logpane.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QApplication>
#include <QScrollBar>

#include <ctime>

#include <sys/socket.h>
#include <unistd.h>

// The server window against raw clients; it listens on a port the system chooses.
class TestTcpServer final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void portQuestionUntilAPortIsGiven()
    {
        DialogScript script;
        script.type("").type("99999999999").type(" 0 ").ok();
        FormTCPServerMain window;
        window.show(); // the port question and Listen run inside show()
        QCOMPARE(script.boxes, (QStringList{"Host Port ? [555]", "Host Port ? [555]",
                                            "Host Port ? [99999999999]"}));
        auto *server = part<CWS_TCP_S>(&window, "CWS_TCP_S");
        QVERIFY(server->Port() > 0);
        QCOMPARE(window.windowTitle(),
                 QStringLiteral("[0]-[%1:%2] - wisp server").arg(server->IP()).arg(server->Port()));
        TraceCapture trace; // "InfoWSock" switches the trace on, then off
        for (int peers : {1, 2}) {
            trigger(&window, "mnuInfoWSock");
            (new Peer(quint16(server->Port())))->setParent(&window);
            QTRY_COMPARE(server->ConnectCount(), peers);
            QCOMPARE(trace.count("accept #"), 1);
        }
        window.close(); // "Close ?" answered OK stops the server
        QVERIFY(server->Port() == 0 && script.unexpected.isEmpty());
    }

    // A port held already: said on standard error; the window asks nothing more, shows the
    // server's state and idles (no retry) until closed.
    void busyPortLeavesTheWindowIdle()
    {
        QTcpServer holder;
        QVERIFY(holder.listen());
        DialogScript script;
        script.type(QString::number(holder.serverPort())).ok();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot listen on port"));
        FormTCPServerMain window;
        window.show();
        auto *server = part<CWS_TCP_S>(&window, "CWS_TCP_S");
        QCOMPARE(window.windowTitle(),
                 QStringLiteral("[0]-[%1:0] - wisp server").arg(server->IP()));
        const std::clock_t before = std::clock(); // processor time of the process
        QTest::qWait(1000);
        QVERIFY2(std::clock() - before < CLOCKS_PER_SEC / 4, "busy while idle");
        window.close();
        QCOMPARE(script.boxes, (QStringList{"Host Port ? [555]", "Close ? (OK, Cancel)"}));
    }

    // Clients wait for their lines to come back: a text is relayed before it is logged. Raised
    // after the quiet interval (no line end), it makes the pane update on the next pass; by
    // then the text has gone out.
    void relaysBeforeItLogs()
    {
        DialogScript script;
        script.type("0");
        FormTCPServerMain window;
        window.show();
        auto *server = part<CWS_TCP_S>(&window, "CWS_TCP_S");
        auto *log = part<LogPane>(&window, "TextLog");
        const int client = rawConnect(quint16(server->Port()));
        QTRY_COMPARE(server->ConnectCount(), 1);
        int relayedAtLog = -1;
        char peek;
        connect(log->verticalScrollBar(), &QScrollBar::rangeChanged, this, [&] {
            if (relayedAtLog < 0)
                relayedAtLog = ::recv(client, &peek, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
        });
        const QByteArray text(5000, 'x');
        QCOMPARE(::send(client, text.constData(), text.size(), 0), ssize_t(text.size()));
        QTRY_COMPARE(relayedAtLog, 1);
        QCOMPARE(log->text(), QString::fromLatin1(text));
        ::close(client);
    }

    // "ConnectClose" ends the connections; "Close" stops the server, then asks "Close ?".
    void closeMenus()
    {
        DialogScript script;
        script.type("0").cancel().ok();
        QPointer<FormTCPServerMain> window = shown<FormTCPServerMain>();
        auto *server = part<CWS_TCP_S>(window, "CWS_TCP_S");
        Peer one(quint16(server->Port())), two(quint16(server->Port()));
        QTRY_COMPARE(server->ConnectCount(), 2);
        trigger(window, "mnuConnectClose");
        QTRY_VERIFY(one.state() + two.state() == QAbstractSocket::UnconnectedState);
        Peer three(quint16(server->Port()));
        QTRY_COMPARE(server->ConnectCount(), 1);
        trigger(window, "mnuClose");
        QTRY_COMPARE(three.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(window && window->isVisible() && server->Port() == 0);
        window->close();
        QTRY_VERIFY(!window);
        QCOMPARE(script.boxes, (QStringList{"Host Port ? [555]", "Close ? (OK, Cancel)",
                                            "Close ? (OK, Cancel)"}));
    }
};

QTEST_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"
