#include "cws_tcp_s.h"
#include "formtcpservermain.h"
#include "logpane.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QAction>
#include <QApplication>
#include <QScrollBar>

#include <sys/socket.h>
#include <unistd.h>

// The server window against raw clients; it listens on a port the system chooses.
class TestTcpServer final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void portQuestionUntilAPortIsGiven();
    void relaysBeforeItLogs();
    void closeMenuAndConfirmation();
};

void TestTcpServer::portQuestionUntilAPortIsGiven()
{
    DialogScript script;
    script.type("").type("99999999999").type(" 0 ");
    FormTCPServerMain window;
    window.show(); // the port question and Listen run inside show()
    QCOMPARE(script.boxes,
             (QStringList{"Host Port ? [555]", "Host Port ? [555]", "Host Port ? [99999999999]"}));
    auto *server = window.findChild<CWS_TCP_S *>(QStringLiteral("CWS_TCP_S"));
    QVERIFY(server->Port() > 0);
    const QString caption = QStringLiteral("[%1]-[%2:%3] - wisp server");
    QCOMPARE(window.windowTitle(), caption.arg(0).arg(server->IP()).arg(server->Port()));
    Peer peer(quint16(server->Port()));
    QTRY_COMPARE(window.windowTitle(), caption.arg(1).arg(server->IP()).arg(server->Port()));
    peer.disconnectFromHost();
    QTRY_COMPARE(window.windowTitle(), caption.arg(0).arg(server->IP()).arg(server->Port()));
    QVERIFY(script.unexpected.isEmpty());
}

// A client waits for its own line to come back, so the window hands a text on before it logs
// it: when the log pane first updates its scroll range, the text has already gone out.
void TestTcpServer::relaysBeforeItLogs()
{
    DialogScript script;
    script.type("0");
    FormTCPServerMain window;
    window.show();
    auto *server = window.findChild<CWS_TCP_S *>(QStringLiteral("CWS_TCP_S"));
    auto *log = window.findChild<LogPane *>(QStringLiteral("TextLog"));
    const int client = rawConnect(quint16(server->Port()));
    QTRY_COMPARE(server->ConnectCount(), 1);
    qsizetype relayedAtLog = -1;
    connect(log->verticalScrollBar(), &QScrollBar::rangeChanged, this, [&] {
        if (relayedAtLog < 0)
            relayedAtLog = rawPending(client);
    });
    const QByteArray line = "1@a         |one\r\n";
    QCOMPARE(::send(client, line.constData(), line.size(), 0), ssize_t(line.size()));
    QTRY_VERIFY(relayedAtLog >= 0);
    QCOMPARE(relayedAtLog, line.size());
    QCOMPARE(log->text(), QString::fromLatin1(line));
    QCOMPARE(log->caretPosition(), line.size());
    ::close(client);
}

void TestTcpServer::closeMenuAndConfirmation()
{
    DialogScript script;
    script.type("0").cancel().ok();
    auto *window = new FormTCPServerMain;
    window->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<FormTCPServerMain> alive(window);
    window->show();
    auto *server = window->findChild<CWS_TCP_S *>(QStringLiteral("CWS_TCP_S"));
    Peer one(quint16(server->Port())), two(quint16(server->Port()));
    QTRY_COMPARE(server->ConnectCount(), 2);

    window->findChild<QAction *>(QStringLiteral("mnuConnectClose"))->trigger();
    QTRY_COMPARE(one.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(two.state(), QAbstractSocket::UnconnectedState);
    const quint16 port = quint16(server->Port());
    Peer three(port);
    QTRY_COMPARE(server->ConnectCount(), 1);

    // "Close" stops the server first; Cancel then keeps the window, OK closes it.
    window->findChild<QAction *>(QStringLiteral("mnuClose"))->trigger();
    QTRY_COMPARE(three.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(window->isVisible());
    QCOMPARE(server->Port(), 0);
    window->close();
    QTRY_VERIFY(!alive);
    QCOMPARE(script.boxes,
             (QStringList{"Host Port ? [555]", "Close ? (OK, Cancel)", "Close ? (OK, Cancel)"}));
}

QTEST_MAIN(TestTcpServer)
#include "tst_tcpserver.moc"
