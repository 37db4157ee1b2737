#include "cws_tcp_c.h"
#include "cws_tcp_s.h"
#include "cws_udp.h"
#include "sockettools.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

namespace {
constexpr char SceneVariable[] = "KESTREL_TRACE_SCENE";

// Run in a child process: one exchange through each class, with the trace on or off.
int runScene(bool trace)
{
    CWS_TCP_S server;
    CWS_TCP_C client;
    CWS_UDP receiving, sending;
    server.setInfoWSock(trace);
    client.setInfoWSock(trace);
    receiving.setInfoWSock(trace);
    sending.setInfoWSock(trace);

    QObject::connect(&server, &CWS_TCP_S::GetData,
                     [&](qint32 &, QString &rstrData) { server.SendData(rstrData, 0); });
    int lines = 0, blocks = 0;
    QObject::connect(&client, &CWS_TCP_C::GetData, [&](QString &) { ++lines; });
    QObject::connect(&client, qOverload<>(&CWS_TCP_C::Connect),
                     [&] { client.SendData(QStringLiteral("hi\r\n")); });
    QObject::connect(&receiving, &CWS_UDP::GetData, [&](QString &) { ++blocks; });

    if (!server.Listen(0))
        return 2;
    client.Connect(QStringLiteral("127.0.0.1"), server.Port());
    const quint16 p1 = freeUdpPort(), p2 = freeUdpPort();
    receiving.Connect(QStringLiteral("127.0.0.1"), p1, p2);
    sending.Connect(QStringLiteral("127.0.0.1"), p2, p1);
    sending.SendData(QStringLiteral("block"));
    if (!waitUntil([&] { return lines == 1 && blocks == 1; }))
        return 3;
    client.Close();
    if (!waitUntil([&] { return server.ConnectCount() == 0; }))
        return 4;
    server.Close();
    receiving.Close();
    sending.Close();
    return 0;
}
} // namespace

class TstInfoWSock : public QObject
{
    Q_OBJECT

private slots:
    void traceOnlyWhenOn_data();
    void traceOnlyWhenOn();
};

void TstInfoWSock::traceOnlyWhenOn_data()
{
    QTest::addColumn<bool>("on");
    QTest::newRow("off") << false;
    QTest::newRow("on") << true;
}

void TstInfoWSock::traceOnlyWhenOn()
{
    QFETCH(bool, on);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(SceneVariable),
               on ? QStringLiteral("on") : QStringLiteral("off"));
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    child.setProcessEnvironment(env);
    QSignalSpy finished(&child, &QProcess::finished);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(finished.wait(30000));
    QCOMPARE(child.exitCode(), 0);

    QCOMPARE(child.readAllStandardOutput(), QByteArray());
    const QString err = QString::fromUtf8(child.readAllStandardError());
    const QString stamp =
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* ");
    const QStringList expected{
        QStringLiteral("CWS_TCP_S listen on port \\d+$"),
        QStringLiteral("CWS_TCP_S accept #1 from 127\\.0\\.0\\.1:\\d+$"),
        QStringLiteral("CWS_TCP_S #1 in 4 bytes$"),
        QStringLiteral("CWS_TCP_C connect to 127\\.0\\.0\\.1:\\d+$"),
        QStringLiteral("CWS_TCP_C 127\\.0\\.0\\.1:\\d+ in 4 bytes$"),
        QStringLiteral("CWS_UDP out 5 bytes to 127\\.0\\.0\\.1:\\d+$"),
        QStringLiteral("CWS_UDP in 5 bytes from 127\\.0\\.0\\.1:\\d+$"),
    };
    for (const QString &pattern : expected) {
        const QRegularExpression re(stamp + pattern, QRegularExpression::MultilineOption);
        QVERIFY2(re.match(err).hasMatch() == on, qPrintable(pattern + u'\n' + err));
    }
    if (!on)
        QVERIFY2(!err.contains(QStringLiteral("CWS_")), qPrintable(err));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(SceneVariable))
        return runScene(qEnvironmentVariable(SceneVariable) == QLatin1String("on"));
    TstInfoWSock test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_infowsock.moc"
