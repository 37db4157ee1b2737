#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

// Runs the event loop until pred holds; false after timeoutMs. Polls every few milliseconds,
// so that timing-sensitive steps (the quiet interval is tens of milliseconds) are not slowed.
template <typename Pred> bool waitUntil(Pred pred, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer tick;
    tick.start(2);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

#define WAIT_UNTIL(cond) QVERIFY2(waitUntil([&] { return bool(cond); }), "timed out: " #cond)
#define WAIT_UNTIL_MS(cond, ms)                                                                    \
    QVERIFY2(waitUntil([&] { return bool(cond); }, ms), "timed out: " #cond)

// Collects qInfo lines (the InfoWSock trace) while it lives; other messages pass on.
class TraceCapture
{
public:
    TraceCapture() : m_previous(qInstallMessageHandler(&TraceCapture::handler))
    {
        s_lines = &m_lines;
        s_previous = m_previous;
    }
    ~TraceCapture()
    {
        qInstallMessageHandler(m_previous);
        s_lines = nullptr;
    }
    int count(const QString &pattern) const
    {
        const QRegularExpression re(pattern);
        int n = 0;
        for (const QString &line : m_lines)
            n += re.match(line).hasMatch() ? 1 : 0;
        return n;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtInfoMsg && s_lines)
            s_lines->append(text);
        else if (s_previous)
            s_previous(type, context, text);
    }
    inline static QStringList *s_lines = nullptr;
    inline static QtMessageHandler s_previous = nullptr;
    QStringList m_lines;
    QtMessageHandler m_previous;
};

inline quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

// A raw peer that keeps everything it receives.
class RawPeer : public QTcpSocket
{
public:
    explicit RawPeer(quint16 port, const QHostAddress &host = QHostAddress::LocalHost)
    {
        connect(this, &QTcpSocket::readyRead, this, [this] { received += readAll(); });
        setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connectToHost(host, port);
    }
    QByteArray received;
};
