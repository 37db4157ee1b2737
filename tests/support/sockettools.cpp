#include "sockettools.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTcpServer>
#include <QUdpSocket>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef __has_feature
#define __has_feature(x) 0
#endif

namespace {

constexpr qsizetype kChunk = 256 * 1024;
constexpr qsizetype kTailKept = 64 * 1024;

qint64 statusBytes(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix)) {
            // "VmRSS:	  123456 kB"
            const QByteArray number = line.mid(prefix.size()).trimmed().split(' ').value(0);
            return number.toLongLong() * 1024;
        }
    }
    return -1;
}

} // namespace

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTimer tick;
    tick.start(2);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void pump(int ms)
{
    const QDeadlineTimer deadline(ms);
    QTimer tick;
    tick.start(2);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

qint64 residentBytes()
{
    return statusBytes("VmRSS");
}

bool underSanitizers()
{
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
}

qint64 allowedGrowth(qint64 plainBound)
{
    if (!underSanitizers())
        return plainBound;
    // Shadow memory (an eighth), red zones around every block, and up to 256 MiB of freed
    // blocks held back to catch use after free.
    return plainBound * 3 / 2 + 320LL * 1024 * 1024;
}

MemoryWatch::MemoryWatch()
{
    // Memory freed by earlier cases goes back to the system first, so that growth shows
    // instead of being hidden in the allocator's free lists.
    malloc_trim(0);
    // "5" resets the peak resident size (VmHWM) to the current one.
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    m_peakReset = refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
    refs.close();
    m_start = residentBytes();
}

qint64 MemoryWatch::growth() const
{
    const qint64 now = m_peakReset ? statusBytes("VmHWM") : residentBytes();
    return now - m_start;
}

QString MemoryWatch::describe(qint64 bound) const
{
    return QStringLiteral("memory: %1 MiB resident at the start, %2 %3 MiB more; bound %4 MiB")
        .arg(double(m_start) / (1 << 20), 0, 'f', 1)
        .arg(m_peakReset ? QStringLiteral("peak") : QStringLiteral("now"))
        .arg(double(growth()) / (1 << 20), 0, 'f', 1)
        .arg(double(bound) / (1 << 20), 0, 'f', 1);
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs)
                   .size());
}

QString decoded(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

int rawConnectStart(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int rawConnect(quint16 port, int timeoutMs, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            error = errno;
        } else {
            pollfd waiting{fd, POLLOUT, 0};
            if (::poll(&waiting, 1, timeoutMs) != 1) {
                error = ETIMEDOUT;
            } else {
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            }
        }
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void resetAndClose(int fd)
{
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
}

bool rawWriteAll(int fd, const QByteArray &bytes, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        pollfd waiting{fd, POLLOUT, 0};
        ::poll(&waiting, 1, int(std::min<qint64>(left, 100)));
    }
    return true;
}

StreamPeer::StreamPeer(quint16 port, QObject *parent)
    : QObject(parent), m_socket(new QTcpSocket(this))
{
    setUp();
    m_socket->connectToHost(QHostAddress::LocalHost, port);
}

StreamPeer::StreamPeer(QTcpSocket *accepted, QObject *parent) : QObject(parent), m_socket(accepted)
{
    m_socket->setParent(this);
    setUp();
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &StreamPeer::onReadyRead);
}

void StreamPeer::setUp()
{
    m_pace.setSingleShot(true);
    connect(&m_pace, &QTimer::timeout, this, &StreamPeer::pushMore);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_writeSize == 0)
            pushMore();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &StreamPeer::onReadyRead);
    connect(m_socket, &QTcpSocket::connected, this, &StreamPeer::pushMore);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

bool StreamPeer::waitConnected(int timeoutMs)
{
    return waitUntil([this] { return m_socket->state() == QAbstractSocket::ConnectedState; },
                     timeoutMs);
}

void StreamPeer::send(const QByteArray &bytes, qsizetype writeSize, int pauseMs)
{
    m_payload = bytes;
    m_sent = 0;
    m_writeSize = writeSize;
    m_pauseMs = pauseMs;
    pushMore();
}

bool StreamPeer::sendingDone() const
{
    return m_sent == m_payload.size() && m_socket->bytesToWrite() == 0;
}

void StreamPeer::pushMore()
{
    if (m_sent >= m_payload.size() || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_writeSize > 0) {
        const qsizetype n = std::min(m_writeSize, m_payload.size() - m_sent);
        m_socket->write(m_payload.constData() + m_sent, n);
        m_socket->flush();
        m_sent += n;
        if (m_sent < m_payload.size())
            m_pace.start(m_pauseMs);
        return;
    }
    // Keep one chunk queued beyond what the socket is writing: fast, yet bounded.
    while (m_sent < m_payload.size() && m_socket->bytesToWrite() < kChunk) {
        const qsizetype n = std::min(kChunk, m_payload.size() - m_sent);
        m_socket->write(m_payload.constData() + m_sent, n);
        m_sent += n;
    }
}

void StreamPeer::expect(const QByteArray &stream)
{
    m_expected = stream;
    m_expectedFrom = m_receivedCount;
    m_mismatchAt = -1;
}

void StreamPeer::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (m_mismatchAt < 0 && !m_expected.isNull()) {
        const qint64 offset = m_receivedCount - m_expectedFrom;
        const QByteArrayView want =
            QByteArrayView(m_expected)
                .sliced(std::min<qint64>(offset, m_expected.size()),
                        std::min<qint64>(bytes.size(),
                                         std::max<qint64>(0, m_expected.size() - offset)));
        if (want.size() != bytes.size() || want != QByteArrayView(bytes)) {
            qint64 at = 0;
            while (at < want.size() && want[at] == bytes[at])
                ++at;
            m_mismatchAt = offset + at;
        }
    }
    m_receivedCount += bytes.size();
    if (m_echo)
        m_socket->write(bytes);
    m_tail += bytes;
    if (m_tail.size() > kTailKept)
        m_tail = m_tail.right(kTailKept);
}

RawPeer::RawPeer(quint16 port, const QHostAddress &host)
{
    connect(this, &QTcpSocket::readyRead, this, [this] { received += readAll(); });
    setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connectToHost(host, port);
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

namespace {
QStringList *g_traceLines = nullptr;
QtMessageHandler g_tracePrevious = nullptr;
} // namespace

TraceCapture::TraceCapture() : m_previous(qInstallMessageHandler(&TraceCapture::handler))
{
    g_traceLines = &m_lines;
    g_tracePrevious = m_previous;
}

TraceCapture::~TraceCapture()
{
    qInstallMessageHandler(m_previous);
    g_traceLines = nullptr;
}

int TraceCapture::count(const QString &pattern) const
{
    const QRegularExpression re(pattern);
    return int(std::count_if(m_lines.cbegin(), m_lines.cend(),
                             [&](const QString &line) { return re.match(line).hasMatch(); }));
}

void TraceCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtInfoMsg && g_traceLines)
        g_traceLines->append(text);
    else if (g_tracePrevious)
        g_tracePrevious(type, context, text);
}
