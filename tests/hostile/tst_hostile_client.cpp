// Hostile servers against the TCP client: the bare component and the real client window. The
// client survives, stays within a stated memory bound, logs every text exactly, and always
// lets itself be closed.

#include "application.h"
#include "cws_tcp_c.h"
#include "dialogscript.h"
#include "formtcpclientmain.h"
#include "linereader.h"
#include "logpane.h"
#include "sockettools.h"
#include "windowtools.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTest>

#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int kTimeout = 10000;
// The client window gives up waiting for its logout line after 3 s; closing must end well
// within this.
constexpr int kCloseBoundMs = 10000;

const QString kDisconnected = QStringLiteral("切断されました。");
const QString kConnectFailed = QStringLiteral("接続に失敗しました。");

// 50 MiB without a line end, in three-byte characters so that the cap falls inside them.
QByteArray fiftyMiB()
{
    const QByteArray pattern = "kestrel \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e ";
    return pattern.repeated(50 * MiB / pattern.size() + 1).first(50 * MiB);
}

// A chat server on loopback that the test plays: it takes one connection at a time.
class FakeServer
{
public:
    FakeServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                peer = std::make_unique<StreamPeer>(socket);
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    bool waitPeer(int timeoutMs)
    {
        return waitUntil([this] { return peer != nullptr; }, timeoutMs);
    }

    std::unique_ptr<StreamPeer> peer;

private:
    QTcpServer m_server;
};

class ClientWindow
{
public:
    ClientWindow()
    {
        window = new FormTCPClientMain;
        window->show();
        log = logOf(window);
    }
    ~ClientWindow() { delete window; }

    void connectTo(const QString &host, quint16 port)
    {
        script.type(host).type(QString::number(port)).type(QStringLiteral("evil"));
        triggerAction(window, "mnuConnect");
    }
    bool asked(const QString &text) const { return script.askedTexts().contains(text); }
    // "Close ?" answered OK: how long closing took, or -1 when the window stayed.
    qint64 closeAnsweringOk()
    {
        script.ok();
        QElapsedTimer clock;
        clock.start();
        window->close();
        // The window closes once its close sequence is over.
        return waitUntil([this] { return !window->isVisible(); }, 10000) ? clock.elapsed() : -1;
    }

    DialogScript script;
    QPointer<FormTCPClientMain> window;
    LogPane *log = nullptr;
};

} // namespace

class TstHostileClient final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void componentTakesFiftyMiBWithoutLineEnd();
    void windowTakesFiftyMiBWithoutLineEnd();
    void serverClosesInTheMiddleOfALine();
    void serverThatNeverEchoesStillLetsTheWindowClose();
    void hostThatDoesNotResolve();
};

void TstHostileClient::initTestCase()
{
    Application::setUp(*qApp);
    QApplication::setQuitOnLastWindowClosed(false);
}

void TstHostileClient::componentTakesFiftyMiBWithoutLineEnd()
{
    const QByteArray payload = fiftyMiB();
    const QString expected = decoded(payload);
    FakeServer fake;

    CWS_TCP_C client;
    qsizetype received = 0;
    qsizetype mismatchAt = -1;
    qsizetype largestPiece = 0;
    connect(&client, &CWS_TCP_C::GetData, this, [&](QString &text) {
        if (mismatchAt < 0 && QStringView(expected).mid(received, text.size()) != text)
            mismatchAt = received;
        received += text.size();
        largestPiece = std::max(largestPiece, text.size());
    });
    client.Connect(QStringLiteral("127.0.0.1"), fake.port());
    QVERIFY(fake.waitPeer(kTimeout));

    // The reader holds at most about a piece and a socket read; the test server queues at
    // most a few hundred KiB.
    MemoryWatch watch;
    fake.peer->send(payload);
    WAIT_UNTIL_MS(received >= expected.size() || mismatchAt >= 0, 120000);
    VERIFY_GROWTH(watch, 32 * MiB);
    QCOMPARE(mismatchAt, -1);
    QCOMPARE(received, expected.size());
    QVERIFY(largestPiece <= LineReader::MaxPiece);
}

void TstHostileClient::windowTakesFiftyMiBWithoutLineEnd()
{
    const QByteArray payload = fiftyMiB();
    const QByteArray after = "\r\n2@other     |still readable\r\n";
    const QString expected = decoded(payload + after);
    FakeServer fake;
    ClientWindow w;
    w.connectTo(QStringLiteral("127.0.0.1"), fake.port());
    QVERIFY(fake.waitPeer(kTimeout));
    WAIT_UNTIL_MS(fake.peer->tail().contains("|login - "), kTimeout);

    MemoryWatch watch;
    fake.peer->send(payload);
    WAIT_UNTIL_MS(w.log->length() >= expected.size() - after.size(), 120000);
    // The log keeps two bytes a character; the rest as for the component.
    VERIFY_GROWTH(watch, 48 * MiB + 2 * w.log->length() + w.log->length() / 4);
    fake.peer->send(after);
    WAIT_UNTIL_MS(w.log->length() >= expected.size(), kTimeout);
    QVERIFY(w.log->text() == expected);
    QVERIFY(w.script.unexpected().isEmpty());
}

// The server ends the connection halfway through a line, inside a character: what came is
// shown, the cut character as U+FFFD, the user is told, and the next connection works.
void TstHostileClient::serverClosesInTheMiddleOfALine()
{
    FakeServer fake;
    ClientWindow w;
    w.connectTo(QStringLiteral("127.0.0.1"), fake.port());
    QVERIFY(fake.waitPeer(kTimeout));
    fake.peer->setEcho(true);
    WAIT_UNTIL_MS(fake.peer->tail().endsWith("\r\n"), kTimeout);
    const QByteArray login = fake.peer->tail();
    WAIT_UNTIL_MS(w.log->length() == decoded(login).size(), kTimeout);

    const QByteArray half = "9@other     |half a line \xe6\x97\xa5\xe6\x97";
    w.script.ok(); // the "disconnected" box
    fake.peer->setEcho(false);
    fake.peer->socket().write(half);
    fake.peer->socket().disconnectFromHost();
    WAIT_UNTIL_MS(w.asked(kDisconnected), kTimeout);
    QCOMPARE(w.log->text(), decoded(login) + decoded(half));
    QVERIFY(w.log->text().endsWith(QChar::ReplacementCharacter));

    fake.peer.reset();
    w.connectTo(QStringLiteral("127.0.0.1"), fake.port());
    QVERIFY(fake.waitPeer(kTimeout));
    fake.peer->setEcho(true);
    WAIT_UNTIL_MS(fake.peer->tail().endsWith("\r\n"), kTimeout);
    const QByteArray secondLogin = fake.peer->tail();
    const QString expected = decoded(login) + decoded(half) + decoded(secondLogin);
    WAIT_UNTIL_MS(w.log->length() == expected.size(), kTimeout);
    QCOMPARE(w.log->text(), expected);
    QVERIFY(w.script.unexpected().isEmpty());
}

// A server that takes every line and sends nothing back: "Close ?" answered OK still closes
// the window, after the logout line went out, within the wait limit.
void TstHostileClient::serverThatNeverEchoesStillLetsTheWindowClose()
{
    FakeServer fake;
    ClientWindow w;
    w.connectTo(QStringLiteral("127.0.0.1"), fake.port());
    QVERIFY(fake.waitPeer(kTimeout));
    WAIT_UNTIL_MS(fake.peer->tail().contains("|login - "), kTimeout);

    const qint64 closingMs = w.closeAnsweringOk();
    QVERIFY2(closingMs >= 0 && closingMs < kCloseBoundMs, qPrintable(QString::number(closingMs)));
    WAIT_UNTIL_MS(fake.peer->tail().contains("|logout - "), kTimeout);
    WAIT_UNTIL_MS(fake.peer->socket().state() == QAbstractSocket::UnconnectedState, kTimeout);
    QCOMPARE(w.log->text(), QString());
    QVERIFY(w.script.unexpected().isEmpty());
}

// A name in the reserved .invalid domain never resolves: the user is told, and the window
// still closes at once.
void TstHostileClient::hostThatDoesNotResolve()
{
    ClientWindow w;
    w.connectTo(QStringLiteral("kestrel-no-such-host.invalid"), 555);
    w.script.ok(); // "connection failed"
    WAIT_UNTIL_MS(w.asked(kConnectFailed), 30000);

    const qint64 closingMs = w.closeAnsweringOk();
    QVERIFY2(closingMs >= 0 && closingMs < kCloseBoundMs, qPrintable(QString::number(closingMs)));
    QCOMPARE(w.log->text(), QString());
    QVERIFY(w.script.unexpected().isEmpty());
}

QTEST_MAIN(TstHostileClient)
#include "tst_hostile_client.moc"
