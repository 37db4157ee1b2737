#include "cws_tcp_c.h"
#include "cws_tcp_s.h"
#include "formtcpclientmain.h"
#include "formtcpservermain.h"
#include "logpane.h"
#include "netsupport.h"
#include "windowsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>

#include <sys/socket.h>
#include <unistd.h>

namespace {
LogPane *logOf(QWidget *window)
{
    return part<LogPane>(window, "TextLog");
}
} // namespace

// One chat on port 555: the server window, two client windows and a raw peer that sends what no
// client would.
class TestSession final : public QObject
{
    Q_OBJECT

private slots:
    void chat()
    {
        KESTREL_FIXED_PORTS(555);
        QApplication::setQuitOnLastWindowClosed(false);
        FixedClock clock;
        DialogScript script;
        script.ok(); // "Host Port ?" with its default, 555
        QPointer<FormTCPServerMain> server = shown<FormTCPServerMain>();
        const QString caption = QStringLiteral("[%1]-[%2:555] - wisp server")
                                    .arg(u"%1", part<CWS_TCP_S>(server, "CWS_TCP_S")->IP());
        QPointer<FormTCPClientMain> clients[2];
        const QString names[2] = {QStringLiteral("Alice"), QStringLiteral("Bob")};
        qsizetype joined[2]; // how much of the server's log came before each client
        for (int i = 0; i < 2; ++i) {
            joined[i] = logOf(server)->length();
            clients[i] = shown<FormTCPClientMain>();
            script.ok().ok().type(names[i]); // localhost, 555 and the name
            trigger(clients[i], "mnuConnect");
            QTRY_COMPARE(server->windowTitle(), caption.arg(i + 1));
            QTRY_VERIFY(logOf(server)->text().endsWith(
                names[i].leftJustified(10) + QStringLiteral("|login - 2000/06/12/9:05:07\r\n")));
            const QString ip = part<CWS_TCP_C>(clients[i], "CWS_TCP_C")->IP(); // 127.0.0.1 or ::1
            QCOMPARE(clients[i]->windowTitle(),
                     QStringLiteral("[%1:%2:555] - wisp client").arg(names[i], ip));
        }
        // Enter sends as "Send" does; the history keeps a text unless it is the newest entry.
        const auto say = [&](int i, const QString &text, bool enter = false) {
            auto *entry = part<QComboBox>(clients[i], "ComboMain");
            entry->setEditText(text);
            if (enter)
                QTest::keyClick(entry->lineEdit(), Qt::Key_Return);
            else
                trigger(clients[i], "mnuSend");
            QCOMPARE(entry->currentText(), QString());
            QTRY_VERIFY(logOf(server)->text().endsWith(text + QStringLiteral("\r\n")));
        };
        say(0, QStringLiteral("hello"), true);
        say(0, QStringLiteral("hello"));
        say(1, QStringLiteral("日本語 |@ <b>&amp;"), true);
        say(0, QStringLiteral("Hello"));
        auto *combo = part<QComboBox>(clients[0], "ComboMain");
        QCOMPARE(combo->count() == 2 ? combo->itemText(0) + combo->itemText(1) : QString(),
                 QStringLiteral("Hellohello"));
        trigger(clients[0], "mnuHistClear");
        QCOMPARE(combo->count(), 0);

        // The raw peer: bytes that are no UTF-8, no line end, then a reset.
        const int raw = rawConnect(555);
        QTRY_COMPARE(server->windowTitle(), caption.arg(3));
        const QByteArray hostile = "\xff\xfe bad\r\nhalf a line";
        QCOMPARE(::send(raw, hostile.constData(), hostile.size(), 0), ssize_t(hostile.size()));
        QTRY_VERIFY(logOf(server)->text().endsWith(QStringLiteral("half a line")));
        linger reset{1, 0};
        ::setsockopt(raw, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(raw);
        QTRY_COMPARE(server->windowTitle(), caption.arg(2));

        // Every window saw the same texts in one order from when it joined, its own included.
        const QString all = logOf(server)->text();
        QVERIFY(all.contains(QStringLiteral("\uFFFD\uFFFD bad\r\nhalf a line")));
        for (int i = 0; i < 2; ++i) {
            QTRY_COMPARE(logOf(clients[i])->text(), all.mid(joined[i]));
            QCOMPARE(logOf(clients[i])->caretPosition(), all.size() - joined[i] - 1);
        }
        QCOMPARE(logOf(server)->caretPosition(), all.size());

        // Bob leaves: his logout line comes back to him, which ends his wait well before its
        // 3 s limit, and reaches Alice.
        script.ok();
        clients[1]->close();
        QTRY_VERIFY_WITH_TIMEOUT(!clients[1], 2000);
        QTRY_COMPARE(server->windowTitle(), caption.arg(1));
        QTRY_VERIFY(logOf(clients[0])
                        ->text()
                        .endsWith(QStringLiteral("@Bob       |logout - 2000/06/12/9:05:07\r\n")));

        // The server goes: Alice is told, and then closes with no echo to wait for.
        script.ok().ok();
        server->close();
        QTRY_VERIFY(!server);
        QTRY_COMPARE(script.boxes.last(), QStringLiteral("切断されました。"));
        script.ok();
        clients[0]->close();
        QTRY_VERIFY(!clients[0]);
        QVERIFY(script.unexpected.isEmpty());
    }
};

Q_CONSTRUCTOR_FUNCTION(chooseFixedPortIsolation)
QTEST_MAIN(TestSession)
#include "tst_session.moc"
