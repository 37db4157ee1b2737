// SendData with index 0 gathers the texts of one pass of the event loop and hands them to every
// connection together. These cases pin down what that batching must never change: who gets a
// text, in which order, and that nothing sent before a Disconnect is lost.
#include "cws_tcp_s.h"
#include "sockettools.h"

#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

class TstBroadcast : public QObject
{
    Q_OBJECT

private slots:
    void everyConnectionSeesOneOrder();
    void disconnectAfterSendStillDelivers();
    void singleConnectionSendKeepsItsPlace();
    void connectionGetsOnlyTextsSentWhileOpen();
};

namespace {

// Splits what a peer received into its lines.
QList<QByteArray> linesOf(const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

// Three peers send at once, many lines each, as the window relays them: every peer, senders
// included, receives every line exactly once, all in one and the same order, and each sender's
// lines in the order it sent them.
void TstBroadcast::everyConnectionSeesOneOrder()
{
    constexpr int peers = 3;
    constexpr int linesEach = 2000;
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    connect(&server, &CWS_TCP_S::GetData, this,
            [&](qint32 &, QString &rstrData) { server.SendData(rstrData, 0); });

    std::vector<std::unique_ptr<RawPeer>> clients;
    for (int i = 0; i < peers; ++i)
        clients.push_back(std::make_unique<RawPeer>(server.Port()));
    WAIT_UNTIL(server.ConnectCount() == peers);

    for (int i = 0; i < peers; ++i) {
        QByteArray burst;
        for (int n = 0; n < linesEach; ++n)
            burst += QByteArray::number(i) + ':' + QByteArray::number(n) + "\r\n";
        clients[size_t(i)]->write(burst);
    }
    const qsizetype total = peers * linesEach;
    WAIT_UNTIL_MS(std::all_of(clients.begin(), clients.end(),
                              [&](const auto &c) { return linesOf(c->received).size() >= total; }),
                  30000);

    const QList<QByteArray> first = linesOf(clients[0]->received);
    QCOMPARE(first.size(), total);
    for (const auto &c : clients)
        QCOMPARE(linesOf(c->received), first);
    std::vector<int> next(peers, 0);
    for (const QByteArray &line : first) {
        const QList<QByteArray> parts = line.chopped(1).split(':');
        QCOMPARE(parts.size(), 2);
        const int sender = parts[0].toInt();
        QCOMPARE(parts[1].toInt(), next[size_t(sender)]++);
    }
}

// The window relays a text and then drops the connection it came from, within one handler:
// that connection still gets the text before the connection ends, as do the others.
void TstBroadcast::disconnectAfterSendStillDelivers()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &Index, QString &rstrData) {
        server.SendData(rstrData, 0);
        if (rstrData.startsWith(u"bye"))
            server.Disconnect(Index);
    });
    RawPeer leaving(server.Port()), staying(server.Port());
    WAIT_UNTIL(server.ConnectCount() == 2);
    leaving.write("one\nbye\n");
    WAIT_UNTIL(leaving.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(leaving.received, QByteArray("one\nbye\n"));
    WAIT_UNTIL(staying.received.size() >= 8);
    QCOMPARE(staying.received, QByteArray("one\nbye\n"));

    // Close: the same for every connection at once.
    server.SendData(QStringLiteral("last\n"), 0);
    server.Close();
    WAIT_UNTIL(staying.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(staying.received, QByteArray("one\nbye\nlast\n"));
}

// A text for one connection sent after one for all goes out after it, not before.
void TstBroadcast::singleConnectionSendKeepsItsPlace()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    connect(&server, &CWS_TCP_S::GetData, this, [&](qint32 &Index, QString &rstrData) {
        server.SendData(rstrData, 0);
        server.SendData(QStringLiteral("only you\n"), Index);
        server.SendData(QStringLiteral("all again\n"), 0);
    });
    RawPeer asker(server.Port()), other(server.Port());
    WAIT_UNTIL(server.ConnectCount() == 2);
    asker.write("hi\n");
    WAIT_UNTIL(asker.received.size() >= 22 && other.received.size() >= 13);
    QCOMPARE(asker.received, QByteArray("hi\nonly you\nall again\n"));
    QCOMPARE(other.received, QByteArray("hi\nall again\n"));
}

// Each accepted connection is greeted with a text for all. Two peers connect at once (plain
// sockets, complete in the system before the server's event loop runs), so the server
// takes both in one go: the second must not get the greeting that was sent before it existed.
void TstBroadcast::connectionGetsOnlyTextsSentWhileOpen()
{
    CWS_TCP_S server;
    QVERIFY(server.Listen(0));
    connect(&server, &CWS_TCP_S::ServiceComplete, this, [&](bool vblnFlag, qint32 &Index) {
        if (vblnFlag)
            server.SendData(QStringLiteral("welcome %1\n").arg(Index), 0);
    });

    const int peers[2] = {rawConnect(server.Port(), 2000), rawConnect(server.Port(), 2000)};
    QVERIFY(peers[0] >= 0 && peers[1] >= 0);
    QByteArray received[2];
    const auto readAll = [&] {
        for (int i = 0; i < 2; ++i) {
            char buffer[256];
            const ssize_t n = ::recv(peers[i], buffer, sizeof buffer, 0);
            if (n > 0)
                received[i].append(buffer, n);
        }
        return true;
    };
    WAIT_UNTIL(readAll() && received[1].size() >= 10 && received[0].size() >= 20);
    QCOMPARE(server.ConnectCount(), 2);
    QCOMPARE(received[0], QByteArray("welcome 1\nwelcome 2\n"));
    QCOMPARE(received[1], QByteArray("welcome 2\n"));
    for (int fd : peers)
        ::close(fd);
}

QTEST_GUILESS_MAIN(TstBroadcast)
#include "tst_broadcast.moc"
