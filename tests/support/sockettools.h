#pragma once

// Tools for the socket and hostile-peer tests: bounded waits, memory readings, raw POSIX
// sockets that misbehave in ways Qt's sockets will not, Qt peers that keep or stream what goes
// by, and a capture of the InfoWSock trace. Everything stays on loopback.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

// ---- Waiting ---------------------------------------------------------------------------------

// Runs the event loop until pred holds; false after timeoutMs. Wakes every few milliseconds,
// so that steps timed in tens of milliseconds are not slowed down.
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);

// Runs the event loop for ms milliseconds.
void pump(int ms);

// ---- Memory ----------------------------------------------------------------------------------

// Resident set size of this process, in bytes (VmRSS).
qint64 residentBytes();

// True when built with AddressSanitizer: its shadow memory and its quarantine of freed blocks
// (256 MiB by default) then count against every bound.
bool underSanitizers();

// The bound a test states for plain builds, widened under the sanitizers by their own needs.
qint64 allowedGrowth(qint64 plainBound);

// Watches the peak resident size from its creation on. The kernel's peak mark is reset at the
// start; where it cannot be, the current size at the time of asking is used instead.
class MemoryWatch
{
public:
    MemoryWatch();
    // Peak resident size since the start, less the resident size at the start.
    qint64 growth() const;
    QString describe(qint64 bound) const;

private:
    qint64 m_start = 0;
    bool m_peakReset = false;
};

#define VERIFY_GROWTH(watch, plainBound)                                                           \
    do {                                                                                           \
        const qint64 kAllowed_ = allowedGrowth(plainBound);                                        \
        QVERIFY2((watch).growth() <= kAllowed_, qPrintable((watch).describe(kAllowed_)));          \
        qInfo("%s", qPrintable((watch).describe(kAllowed_)));                                      \
    } while (false)

// Descriptors this process has open.
int openDescriptors();

// ---- Text ------------------------------------------------------------------------------------

// The whole byte stream decoded at once as the program decodes what arrives: UTF-8, invalid
// bytes as U+FFFD, a byte order mark kept as text.
QString decoded(const QByteArray &bytes);

// ---- Raw POSIX sockets -----------------------------------------------------------------------

// A TCP connection to 127.0.0.1:port, non-blocking; waits up to timeoutMs for it to be made.
// receiveBuffer > 0 shrinks the socket's receive buffer first (a peer that does not read then
// stops the sender soon). Returns the descriptor, or -1 with errno set.
int rawConnect(quint16 port, int timeoutMs, int receiveBuffer = 0);

// Starts a connection and returns at once (the handshake may still be under way). -1 with
// errno set when no socket could be made.
int rawConnectStart(quint16 port);

// Closes with SO_LINGER 0, so that the peer gets a reset instead of an orderly end.
void resetAndClose(int fd);

// Writes everything, waiting up to timeoutMs in all for room; false when it could not.
bool rawWriteAll(int fd, const QByteArray &bytes, int timeoutMs);

// ---- A streaming peer ------------------------------------------------------------------------

// A peer on loopback that sends a payload as fast as the connection takes it (or in timed
// writes), never queueing more than a few hundred KiB of it, and checks what comes back
// against an expected stream as it arrives, keeping only its tail.
class StreamPeer final : public QObject
{
    Q_OBJECT

public:
    // Connects to 127.0.0.1:port.
    explicit StreamPeer(quint16 port, QObject *parent = nullptr);
    // Takes over a socket a test server accepted.
    explicit StreamPeer(QTcpSocket *accepted, QObject *parent = nullptr);

    bool waitConnected(int timeoutMs);

    // Sends the bytes; with writeSize > 0, in writes of that size with pauseMs between them.
    void send(const QByteArray &bytes, qsizetype writeSize = 0, int pauseMs = 0);
    bool sendingDone() const;

    // Sends back everything it receives from now on, as a relay would.
    void setEcho(bool on) { m_echo = on; }

    // What the peer should receive from now on; every byte is compared as it arrives.
    void expect(const QByteArray &stream);
    bool receivedAsExpected() const { return m_mismatchAt < 0; }
    qint64 mismatchAt() const { return m_mismatchAt; }
    qint64 receivedCount() const { return m_receivedCount; }
    // The last bytes received (up to 64 KiB).
    QByteArray tail() const { return m_tail; }

    QTcpSocket &socket() { return *m_socket; }

private:
    void setUp();
    void pushMore();
    void onReadyRead();

    QTcpSocket *m_socket;
    QByteArray m_payload;
    qsizetype m_sent = 0;
    qsizetype m_writeSize = 0;
    int m_pauseMs = 0;
    QTimer m_pace;

    QByteArray m_expected;
    qint64 m_receivedCount = 0;
    qint64 m_expectedFrom = 0; // received count when expect() was called
    qint64 m_mismatchAt = -1;
    QByteArray m_tail;
    bool m_echo = false;
};

// A Qt client on loopback (or the given host) that keeps everything it receives.
class RawPeer : public QTcpSocket
{
public:
    explicit RawPeer(quint16 port, const QHostAddress &host = QHostAddress::LocalHost);
    QByteArray received;
};

// Ports free at the time of asking, on every interface.
quint16 freeUdpPort();
quint16 freeTcpPort();

// Collects qInfo lines (the InfoWSock trace) while it lives; other messages pass on.
class TraceCapture
{
    Q_DISABLE_COPY_MOVE(TraceCapture)

public:
    TraceCapture();
    ~TraceCapture();
    // Lines that match the regular expression.
    int count(const QString &pattern) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);
    QStringList m_lines;
    QtMessageHandler m_previous;
};

#define WAIT_UNTIL(cond) QVERIFY2(waitUntil([&] { return bool(cond); }), "timed out: " #cond)
#define WAIT_UNTIL_MS(cond, ms)                                                                    \
    QVERIFY2(waitUntil([&] { return bool(cond); }, ms), "timed out: " #cond)
