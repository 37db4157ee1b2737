#include "cws_udp.h"
#include "formudpmain.h"
#include "logpane.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QUdpSocket>

namespace {
const QString Stamp = QStringLiteral("2000/06/12/9:05:07");
QString ownIP; // as the sending object reports it

QString block(const QString &text)
{
    return QStringLiteral("send IP - ") + ownIP + QStringLiteral("\r\nsend date - ") + Stamp +
           QStringLiteral("\r\n\r\n--- [SOF] ---\r\n") + text + QStringLiteral("\r\n--- [EOF] ---");
}

QString shown(const QString &received)
{
    return QStringLiteral("got date - ") + Stamp + QStringLiteral("\r\n\r\n") + received;
}
} // namespace

// The UDP window on its fixed ports 777 and 778.
class TestUdp final : public QObject
{
    Q_OBJECT

    FixedClock clock;

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void sendReceiveReAimAndClose()
    {
        KESTREL_FIXED_PORTS(777, 778);
        DialogScript script;
        auto *window = new FormUDPMain;
        window->show();
        ownIP = part<CWS_UDP>(window, "CWS_UDP_C")->IP();
        QCOMPARE(part<QAction>(window, "mnuReSet")->text(), QStringLiteral("RIP:localhost"));
        auto *log = part<LogPane>(window, "TextLog");
        auto *entry = part<QPlainTextEdit>(window, "TextMain");

        // Aimed at "localhost", the window receives its own block; the entry keeps its text.
        entry->setPlainText(QStringLiteral("hello\nworld"));
        trigger(window, "mnuSend");
        QTRY_COMPARE(log->text(), shown(block(QStringLiteral("hello\r\nworld"))));
        QCOMPARE(entry->toPlainText(), QStringLiteral("hello\nworld"));

        // Re-aimed by the answer as typed; Cancel and an empty answer change nothing.
        script.type("127.0.0.1").cancel().type("");
        trigger(window, "mnuReSet");
        trigger(window, "mnuReSet");
        trigger(window, "mnuReSet");
        QCOMPARE(part<QAction>(window, "mnuReSet")->text(), QStringLiteral("RIP:127.0.0.1"));
        QCOMPARE(script.boxes, (QStringList{"Remote IP ? [localhost]", "Remote IP ? [127.0.0.1]",
                                            "Remote IP ? [127.0.0.1]"}));
        entry->clear(); // an empty entry makes a block all the same
        trigger(window, "mnuSend");
        QTRY_COMPARE(log->text(), shown(block(QString())));

        // "Close ?" Cancel keeps both ports; OK frees them.
        script.cancel().ok();
        window->close();
        QVERIFY(window->isVisible());
        QUdpSocket taker;
        QVERIFY(!taker.bind(QHostAddress::Any, 777, QUdpSocket::DontShareAddress));
        window->close(); // the objects are closed before the window goes
        QVERIFY(!window->isVisible());
        QVERIFY(taker.bind(QHostAddress::Any, 777, QUdpSocket::DontShareAddress));
        QVERIFY(QUdpSocket().bind(QHostAddress::Any, 778, QUdpSocket::DontShareAddress));
        delete window;
    }
};

Q_CONSTRUCTOR_FUNCTION(chooseFixedPortIsolation)
QTEST_MAIN(TestUdp)
#include "tst_udp.moc"
