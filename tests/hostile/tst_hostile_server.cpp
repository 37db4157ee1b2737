// Hostile peers against the TCP server: the bare component and the real server window. In
// every case the server survives, stays within a stated memory bound, keeps serving a
// well-behaved client, and logs every text exactly as it was decoded.

#include "application.h"
#include "attacks.h"
#include "cws_tcp_s.h"
#include "dialogscript.h"
#include "formtcpservermain.h"
#include "linereader.h"
#include "logpane.h"
#include "sockettools.h"
#include "windowtools.h"

#include <QApplication>
#include <QPointer>
#include <QScopeGuard>
#include <QTest>

#include <cstring>
#include <vector>

#include <unistd.h>

using namespace Hostile;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int kTimeout = 10000;

// The server reads at most about MaxPiece + 256 KiB per connection and queues at most 4 MiB
// of unsent output per connection; the peers here keep at most a few hundred KiB queued.
constexpr qint64 kComponentBound = 32 * MiB;
// The window adds its log: two bytes a character and the index of its rows.
qint64 windowBound(qint64 loggedChars)
{
    return 48 * MiB + 2 * loggedChars + loggedChars / 4;
}

const QByteArray kLine1 = "1@good      |before\r\n";
const QByteArray kLine2 = "1@good      |after \xe6\x97\xa5\r\n";

// A server window opened the way the start-up opens it, answering the port question with 0.
class ServerWindow
{
public:
    bool open()
    {
        m_script.type(QStringLiteral("0"));
        window = new FormTCPServerMain;
        window->show();
        server = window->findChild<CWS_TCP_S *>(QStringLiteral("CWS_TCP_S"));
        log = logOf(window);
        return server && log && server->Port() > 0 && m_script.unexpected().isEmpty();
    }
    ~ServerWindow() { delete window; }

    quint16 port() const { return quint16(server->Port()); }

    QPointer<FormTCPServerMain> window;
    CWS_TCP_S *server = nullptr;
    LogPane *log = nullptr;

private:
    DialogScript m_script;
};

// The bare component, handled as the window handles it: every text goes back to everyone.
// Instead of logging, each text is checked against the expected stream as it arrives.
class RelayingServer
{
public:
    RelayingServer()
    {
        QObject::connect(&server, &CWS_TCP_S::GetData, &server, [this](qint32 &, QString &text) {
            server.SendData(text, 0);
            largestPiece = std::max(largestPiece, text.size());
            if (mismatchAt < 0 && QStringView(expected).mid(received, text.size()) != text)
                mismatchAt = received;
            received += text.size();
        });
        QObject::connect(&server, &CWS_TCP_S::ServiceError, &server,
                         [this](qint32 &index) { server.Disconnect(index); });
    }

    CWS_TCP_S server;
    QString expected;
    qsizetype received = 0;
    qsizetype mismatchAt = -1;
    qsizetype largestPiece = 0;
};

} // namespace

class TstHostileServer final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void componentUnderAttack_data();
    void componentUnderAttack();
    void windowUnderAttack_data();
    void windowUnderAttack();

    void connectThenReset();
    void clientThatNeverReads();
};

void TstHostileServer::initTestCase()
{
    Application::setUp(*qApp);
    QApplication::setQuitOnLastWindowClosed(false);
}

void TstHostileServer::componentUnderAttack_data()
{
    addAttackRows();
}

void TstHostileServer::componentUnderAttack()
{
    QFETCH(AttackKind, kind);
    const Attack attack = makeAttack(kind);
    const QString attackText = decoded(attack.payload);
    const QString expected = decoded(kLine1) + attackText + decoded(kLine2);
    const QByteArray relayed = expected.toUtf8();

    RelayingServer relay;
    relay.expected = expected;
    QVERIFY(relay.server.Listen(0));
    const quint16 port = quint16(relay.server.Port());

    StreamPeer good(port);
    QVERIFY(good.waitConnected(kTimeout));
    good.expect(relayed);
    good.send(kLine1);
    WAIT_UNTIL_MS(relay.received == kLine1.size(), kTimeout);

    MemoryWatch watch;
    StreamPeer attacker(port);
    QVERIFY(attacker.waitConnected(kTimeout));
    attacker.send(attack.payload, attack.writeSize, attack.pauseMs);
    WAIT_UNTIL_MS(relay.received >= kLine1.size() + attackText.size() || relay.mismatchAt >= 0,
                  attack.timeoutMs);

    good.send(kLine2);
    WAIT_UNTIL_MS(good.receivedCount() >= relayed.size() || !good.receivedAsExpected(), kTimeout);
    QCOMPARE(relay.mismatchAt, -1);
    QCOMPARE(relay.received, expected.size());
    QVERIFY2(relay.largestPiece <= LineReader::MaxPiece,
             qPrintable(QString::number(relay.largestPiece)));
    QCOMPARE(good.mismatchAt(), -1);
    QVERIFY(good.tail().endsWith(kLine2));
    QCOMPARE(relay.server.ConnectCount(), qint16(2));
    VERIFY_GROWTH(watch, kComponentBound);
}

void TstHostileServer::windowUnderAttack_data()
{
    addAttackRows();
}

void TstHostileServer::windowUnderAttack()
{
    QFETCH(AttackKind, kind);
    const Attack attack = makeAttack(kind);
    const QString attackText = decoded(attack.payload);
    const QString line1 = decoded(kLine1);
    const QString line2 = decoded(kLine2);
    const QByteArray relayed = (line1 + attackText + line2).toUtf8();

    ServerWindow w;
    QVERIFY(w.open());
    StreamPeer good(w.port());
    QVERIFY(good.waitConnected(kTimeout));
    good.expect(relayed);
    good.send(kLine1);
    WAIT_UNTIL_MS(w.log->length() == line1.size(), kTimeout);

    MemoryWatch watch;
    StreamPeer attacker(w.port());
    QVERIFY(attacker.waitConnected(kTimeout));
    attacker.send(attack.payload, attack.writeSize, attack.pauseMs);
    WAIT_UNTIL_MS(w.log->length() >= line1.size() + attackText.size(), attack.timeoutMs);
    VERIFY_GROWTH(watch, windowBound(w.log->length()));

    good.send(kLine2);
    WAIT_UNTIL_MS(good.receivedCount() >= relayed.size() || !good.receivedAsExpected(), kTimeout);
    QCOMPARE(good.mismatchAt(), -1);
    QCOMPARE(good.receivedCount(), relayed.size());

    const QString log = w.log->text();
    QCOMPARE(log.size(), line1.size() + attackText.size() + line2.size());
    QVERIFY(log.startsWith(line1));
    QVERIFY(QStringView(log).sliced(line1.size(), attackText.size()) == attackText);
    QVERIFY(log.endsWith(line2));
    QVERIFY(w.window->windowTitle().startsWith(QStringLiteral("[2]-[")));
}

// A thousand peers that connect and at once reset the connection: nothing is logged, no
// connection is left over, memory does not creep, and the chat goes on.
void TstHostileServer::connectThenReset()
{
    ServerWindow w;
    QVERIFY(w.open());
    StreamPeer good(w.port());
    QVERIFY(good.waitConnected(kTimeout));
    good.expect(kLine1 + kLine2);
    good.send(kLine1);
    WAIT_UNTIL_MS(w.log->length() == kLine1.size(), kTimeout);

    const int descriptorsBefore = openDescriptors();
    MemoryWatch watch;
    constexpr int kPeers = 1000;
    constexpr int kBatch = 50;
    int made = 0;
    for (int batch = 0; batch < kPeers / kBatch; ++batch) {
        std::vector<int> fds;
        for (int i = 0; i < kBatch; ++i) {
            const int fd = rawConnect(w.port(), kTimeout);
            QVERIFY2(fd >= 0, strerror(errno));
            fds.push_back(fd);
        }
        // Half of them are reset before the server has even taken them.
        for (int i = 0; i < kBatch / 2; ++i)
            resetAndClose(fds[size_t(i)]);
        pump(5);
        for (int i = kBatch / 2; i < kBatch; ++i)
            resetAndClose(fds[size_t(i)]);
        made += kBatch;
        WAIT_UNTIL_MS(w.server->ConnectCount() == 1, kTimeout);
    }
    QCOMPARE(made, kPeers);
    // Every ended connection gives its descriptor back.
    WAIT_UNTIL_MS(openDescriptors() <= descriptorsBefore, kTimeout);
    VERIFY_GROWTH(watch, 16 * MiB);

    good.send(kLine2);
    WAIT_UNTIL_MS(good.receivedCount() >= kLine1.size() + kLine2.size(), kTimeout);
    QCOMPARE(good.mismatchAt(), -1);
    QCOMPARE(w.log->text(), decoded(kLine1 + kLine2));
    QVERIFY(w.window->windowTitle().startsWith(QStringLiteral("[1]-[")));
}

// A peer that stops reading while two others chat in volume: the server drops it once its
// unsent output passes the cap; the others receive every line intact and the log has them all.
void TstHostileServer::clientThatNeverReads()
{
    ServerWindow w;
    QVERIFY(w.open());

    const int stuck = rawConnect(w.port(), kTimeout, 4096);
    QVERIFY2(stuck >= 0, strerror(errno));
    const auto closeStuck = qScopeGuard([stuck] { ::close(stuck); });
    StreamPeer alice(w.port());
    StreamPeer bob(w.port());
    QVERIFY(alice.waitConnected(kTimeout));
    QVERIFY(bob.waitConnected(kTimeout));
    WAIT_UNTIL_MS(w.server->ConnectCount() == 3, kTimeout);

    // 12 MiB of chat: 768 lines of 16 KiB from Alice, one short line from Bob after them.
    QByteArray chat;
    for (int i = 0; i < 768; ++i) {
        QByteArray line = "2@alice     |" + QByteArray::number(i) + ' ';
        line += QByteArray(16 * 1024 - line.size() - 2, char('a' + i % 26));
        chat += line + "\r\n";
    }
    const QByteArray bobLine = "3@bob       |still here\r\n";
    alice.expect(chat + bobLine);
    bob.expect(chat + bobLine);

    MemoryWatch watch;
    // A heavy chat, yet one a reading client can follow: Alice writes 64 KiB a millisecond.
    // Dumped in one go, a reader that shares this test's event loop with the server may fall
    // 4 MiB behind and be cut like the one that never reads.
    alice.send(chat, 64 * 1024, 1);
    WAIT_UNTIL_MS(w.server->ConnectCount() == 2, 60000);
    WAIT_UNTIL_MS(bob.receivedCount() >= chat.size() || !bob.receivedAsExpected(), 60000);
    bob.send(bobLine);
    WAIT_UNTIL_MS(alice.receivedCount() >= chat.size() + bobLine.size() ||
                      !alice.receivedAsExpected(),
                  kTimeout);
    WAIT_UNTIL_MS(bob.receivedCount() >= chat.size() + bobLine.size(), kTimeout);
    VERIFY_GROWTH(watch, windowBound(chat.size() + bobLine.size()));

    QCOMPARE(alice.mismatchAt(), -1);
    QCOMPARE(bob.mismatchAt(), -1);
    QCOMPARE(alice.receivedCount(), chat.size() + bobLine.size());
    QVERIFY(w.log->text() == QString::fromLatin1(chat + bobLine));
    QVERIFY(w.window->windowTitle().startsWith(QStringLiteral("[2]-[")));
}

QTEST_MAIN(TstHostileServer)
#include "tst_hostile_server.moc"
