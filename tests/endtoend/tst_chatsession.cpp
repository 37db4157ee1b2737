// A whole chat in one process: the real server window and two real client windows on
// loopback. Both log in, one sends, every log holds the same lines, both log out and close.
#include "cws_tcp_c.h"
#include "cws_tcp_s.h"
#include "dialogscript.h"
#include "formtcpclientmain.h"
#include "formtcpservermain.h"
#include "logpane.h"
#include "windowtools.h"

#include <QComboBox>
#include <QPointer>
#include <QTest>

#include <optional>

class TestChatSession final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void twoClientsChatThroughTheServer();

private:
    std::optional<FixedClock> m_clock;
    QPointer<FormTCPServerMain> m_server;
    QPointer<FormTCPClientMain> m_alice;
    QPointer<FormTCPClientMain> m_bob;
};

void TestChatSession::init()
{
    m_clock.emplace(QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7)));
}

void TestChatSession::cleanup()
{
    delete m_alice;
    delete m_bob;
    delete m_server;
    m_clock.reset();
}

void TestChatSession::twoClientsChatThroughTheServer()
{
    DialogScript script;

    script.type(QStringLiteral("0"));
    m_server = new FormTCPServerMain;
    m_server->setAttribute(Qt::WA_DeleteOnClose);
    m_server->show();
    auto *serverObject = m_server->findChild<CWS_TCP_S *>();
    QVERIFY(serverObject);
    const QString port = QString::number(serverObject->Port());
    QVERIFY(serverObject->Port() > 0);

    auto logIn = [&](QPointer<FormTCPClientMain> &window, const QString &handle) {
        window = new FormTCPClientMain;
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->show();
        script.type(QStringLiteral("127.0.0.1")).type(port).type(handle);
        triggerAction(window, "mnuConnect");
    };
    logIn(m_alice, QStringLiteral("Alice"));
    QTRY_COMPARE(serverObject->ConnectCount(), qint16(1));
    QTRY_VERIFY(logOf(m_alice)->text().contains(QStringLiteral("|login - 2026/12/06/9:05:07\r\n")));
    logIn(m_bob, QStringLiteral("ボブ"));
    QTRY_COMPARE(serverObject->ConnectCount(), qint16(2));
    QTRY_VERIFY(logOf(m_bob)->text().contains(QStringLiteral("@ボブ        |login")));

    const qint32 aliceId = m_alice->findChild<CWS_TCP_C *>()->ID();
    const qint32 bobId = m_bob->findChild<CWS_TCP_C *>()->ID();
    QCOMPARE(m_alice->windowTitle(),
             QStringLiteral("[Alice:127.0.0.1:%1] - wisp client").arg(port));
    QCOMPARE(m_server->windowTitle(),
             QStringLiteral("[2]-[%1:%2] - wisp server").arg(serverObject->IP(), port));

    auto *entry = m_alice->findChild<QComboBox *>(QStringLiteral("ComboMain"));
    entry->setEditText(QStringLiteral("こんにちは | @ everyone"));
    triggerAction(m_alice, "mnuSend");

    const QString expected = QStringLiteral("%1@Alice     |login - 2026/12/06/9:05:07\r\n"
                                            "%2@ボブ        |login - 2026/12/06/9:05:07\r\n"
                                            "%1@Alice     |こんにちは | @ everyone\r\n")
                                 .arg(aliceId)
                                 .arg(bobId);
    QTRY_COMPARE(logOf(m_server)->text(), expected);
    // Alice's own login came back before Bob's, so all three logs read alike.
    QTRY_COMPARE(logOf(m_alice)->text(), expected);
    QTRY_COMPARE(logOf(m_bob)->text(),
                 expected.mid(expected.indexOf(QString::number(bobId) + u'@')));

    // Closing waits for the logout line to come back through the server, then closes.
    script.ok();
    m_alice->close();
    QTRY_VERIFY(!m_alice);
    const QString aliceLogout =
        QStringLiteral("%1@Alice     |logout - 2026/12/06/9:05:07\r\n").arg(aliceId);
    QTRY_COMPARE(logOf(m_bob)->text().right(aliceLogout.size()), aliceLogout);
    QTRY_COMPARE(serverObject->ConnectCount(), qint16(1));

    script.ok();
    m_bob->close();
    QTRY_VERIFY(!m_bob);
    QTRY_COMPARE(serverObject->ConnectCount(), qint16(0));
    QVERIFY(logOf(m_server)->text().endsWith(
        QStringLiteral("%1@ボブ        |logout - 2026/12/06/9:05:07\r\n").arg(bobId)));
    QTRY_COMPARE(m_server->windowTitle(),
                 QStringLiteral("[0]-[%1:%2] - wisp server").arg(serverObject->IP(), port));

    script.ok();
    QVERIFY(m_server->close());
    QTRY_VERIFY(!m_server);
    QVERIFY(script.unexpected().isEmpty());
}

QTEST_MAIN(TestChatSession)
#include "tst_chatsession.moc"
