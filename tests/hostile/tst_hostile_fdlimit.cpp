// The server at the open-file limit. This process lowers its own soft limit to 256, so the
// limit is met within a couple of hundred connections; the test's raw peers take descriptors
// from the same table, so the server's accept is what the system refuses.

#include "application.h"
#include "cws_tcp_s.h"
#include "dialogscript.h"
#include "formtcpservermain.h"
#include "logpane.h"
#include "sockettools.h"
#include "windowtools.h"

#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTest>

#include <cerrno>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int kTimeout = 10000;
constexpr rlim_t kLimit = 256;

qint64 cpuMicroseconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

} // namespace

class TstHostileFdLimit final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void serverRidesOutDescriptorExhaustion();
};

void TstHostileFdLimit::initTestCase()
{
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < kLimit)
        QSKIP("the hard open-file limit is below 256 here");
    limit.rlim_cur = kLimit;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);

    Application::setUp(*qApp);
    QApplication::setQuitOnLastWindowClosed(false);

    // Under UndefinedBehaviorSanitizer the first check of an object's dynamic type reads its
    // vtable through a pipe; with the table full that pipe cannot be made and the check
    // fails. What runs while the table is full has its types checked (and cached) here
    // first: the logging path the server's refusal takes, and the idle event loop below.
    qInfo().nospace() << "open-file limit lowered to " << int(kLimit);
    QEventLoop loop;
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
}

void TstHostileFdLimit::serverRidesOutDescriptorExhaustion()
{
    DialogScript script;
    script.type(QStringLiteral("0"));
    const std::unique_ptr<FormTCPServerMain> window(new FormTCPServerMain);
    window->show();
    auto *server = window->findChild<CWS_TCP_S *>(QStringLiteral("CWS_TCP_S"));
    QVERIFY(server && server->Port() > 0);
    LogPane *log = logOf(window.get());
    const quint16 port = quint16(server->Port());
    QStringList socketErrors;
    connect(server, &CWS_TCP_S::SocketError, this,
            [&](const QString &description) { socketErrors.append(description); });

    const QByteArray line1 = "1@good      |before\r\n";
    const QByteArray line2 = "1@good      |while the table is full\r\n";
    const QByteArray line3 = "2@late      |after\r\n";
    StreamPeer good(port);
    QVERIFY(good.waitConnected(kTimeout));
    good.expect(line1 + line2 + line3);
    good.send(line1);
    WAIT_UNTIL_MS(log->length() == line1.size(), kTimeout);
    const int descriptorsBefore = openDescriptors();
    MemoryWatch watch;

    // Connect until the system refuses our own next socket: by then the table is full and the
    // server's accept has been refused too.
    std::vector<int> peers;
    int refusal = 0;
    for (int i = 0; i < int(kLimit) * 2 && refusal == 0; ++i) {
        const int fd = rawConnectStart(port);
        if (fd < 0)
            refusal = errno;
        else
            peers.push_back(fd);
        if (i % 8 == 0)
            pump(2);
    }
    QCOMPARE(refusal, EMFILE);
    WAIT_UNTIL_MS(!socketErrors.isEmpty(), kTimeout);
    QVERIFY(socketErrors.first().contains(QStringLiteral("accept")));

    // Starved, the server waits: no busy loop. A second of idle event loop costs a few
    // milliseconds of CPU; spinning would cost the whole second.
    const qint64 cpuBefore = cpuMicroseconds();
    QEventLoop idle;
    QTimer::singleShot(1000, &idle, &QEventLoop::quit);
    idle.exec();
    const qint64 cpuSpent = cpuMicroseconds() - cpuBefore;
    QVERIFY2(cpuSpent < 400000, qPrintable(QString::number(cpuSpent) + " us of CPU"));

    // The connections it holds keep being served meanwhile.
    good.send(line2);
    WAIT_UNTIL_MS(log->length() == line1.size() + line2.size(), kTimeout);

    for (int fd : peers)
        ::close(fd);
    // The peers that waited in the backlog are taken once descriptors free up, and end.
    WAIT_UNTIL_MS(server->ConnectCount() == 1, 30000);
    WAIT_UNTIL_MS(openDescriptors() <= descriptorsBefore, kTimeout);

    StreamPeer late(port);
    QVERIFY(late.waitConnected(kTimeout));
    WAIT_UNTIL_MS(server->ConnectCount() == 2, kTimeout);
    late.expect(line3);
    late.send(line3);
    WAIT_UNTIL_MS(late.receivedCount() == line3.size(), kTimeout);
    WAIT_UNTIL_MS(good.receivedCount() == line1.size() + line2.size() + line3.size(), kTimeout);
    QCOMPARE(late.mismatchAt(), -1);
    QCOMPARE(good.mismatchAt(), -1);
    QCOMPARE(log->text(), QString::fromLatin1(line1 + line2 + line3));
    VERIFY_GROWTH(watch, 16 * MiB);
    QVERIFY(script.unexpected().isEmpty());
}

QTEST_MAIN(TstHostileFdLimit)
#include "tst_hostile_fdlimit.moc"
