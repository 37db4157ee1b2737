#include "netsupport.h"

#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <set>
#include <sys/ioctl.h>
#include <unistd.h>

extern Q_CORE_EXPORT quintptr qtHookData[];

namespace {
QStringList traceLines;
QtMessageHandler previousHandler = nullptr;
std::mutex objectsMutex;
std::set<QObject *> objects;
constexpr int AddQObjectHook = 3; // slots of qtHookData, as debugging tools use them
constexpr int RemoveQObjectHook = 4;

bool writeFile(const char *path, const QByteArray &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, text.constData(), text.size()) == text.size();
    ::close(fd);
    return ok;
}
} // namespace

bool enterPrivateNetwork()
{
    const QByteArray uid = QByteArray::number(::getuid()), gid = QByteArray::number(::getgid());
    bool ok = ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 &&
              writeFile("/proc/self/setgroups", "deny") &&
              writeFile("/proc/self/uid_map", "0 " + uid + " 1") &&
              writeFile("/proc/self/gid_map", "0 " + gid + " 1");
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    ok = ok && ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    if (!ok)
        std::perror("cannot enter a network namespace of our own");
    return ok;
}

Peer::Peer(quint16 port)
{
    connect(this, &QTcpSocket::readyRead, this, [this] { received += readAll(); });
    connectToHost(QHostAddress::LocalHost, port);
}

int rawConnect(quint16 port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

qsizetype rawRead(int fd, QByteArray &into)
{
    qsizetype total = 0;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0; total += n)
        into.append(buffer, n);
    return total;
}

TraceCapture::TraceCapture()
{
    traceLines.clear();
    previousHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (type == QtInfoMsg)
                traceLines.append(text);
            else
                previousHandler(type, context, text);
        });
}

TraceCapture::~TraceCapture()
{
    qInstallMessageHandler(previousHandler);
}

int TraceCapture::count(const QString &pattern) const
{
    return int(traceLines.filter(QRegularExpression(pattern)).size());
}

qint64 TraceCapture::sum(const QString &pattern) const
{
    const QRegularExpression re(pattern);
    qint64 total = 0;
    for (const QString &line : std::as_const(traceLines))
        total += re.match(line).captured(1).toLongLong();
    return total;
}

void watchObjects()
{
    qtHookData[AddQObjectHook] = reinterpret_cast<quintptr>(+[](QObject *o) {
        std::lock_guard lock(objectsMutex);
        objects.insert(o);
    });
    qtHookData[RemoveQObjectHook] = reinterpret_cast<quintptr>(+[](QObject *o) {
        std::lock_guard lock(objectsMutex);
        objects.erase(o);
    });
}

int liveObjects(const char *className)
{
    std::lock_guard lock(objectsMutex);
    return int(std::count_if(objects.begin(), objects.end(), [className](QObject *o) {
        return std::strcmp(o->metaObject()->className(), className) == 0;
    }));
}

ToyServer::ToyServer(Mode mode)
{
    listen(QHostAddress::LocalHost);
    connect(this, &QTcpServer::newConnection, this, [this, mode] {
        QTcpSocket *socket = nextPendingConnection();
        sockets.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, mode] {
            const QByteArray bytes = socket->readAll();
            seen += bytes;
            for (QTcpSocket *each : std::as_const(sockets))
                if (mode == Mode::Relay)
                    each->write(bytes);
            if (mode == Mode::HangUp && seen.contains("|logout - "))
                socket->disconnectFromHost();
        });
    });
}
