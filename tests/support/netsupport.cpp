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
#include <sys/socket.h>
#include <unistd.h>

extern Q_CORE_EXPORT quintptr qtHookData[];

namespace {

bool writeFile(const char *path, const char *text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, text, std::strlen(text)) == ssize_t(std::strlen(text));
    if (fd >= 0)
        ::close(fd);
    return ok;
}

QStringList traceLines;
QtMessageHandler previousHandler = nullptr;

std::mutex objectsMutex;
std::set<QObject *> objects;
// Hook slots of qtHookData, as debugging tools use them.
constexpr int AddQObjectHook = 3;
constexpr int RemoveQObjectHook = 4;

} // namespace

bool PrivateNetwork::enter()
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWUSER | CLONE_NEWNET)");
        return false;
    }
    char map[64];
    std::snprintf(map, sizeof map, "0 %u 1", unsigned(uid));
    bool ok = writeFile("/proc/self/setgroups", "deny") && writeFile("/proc/self/uid_map", map);
    std::snprintf(map, sizeof map, "0 %u 1", unsigned(gid));
    ok = ok && writeFile("/proc/self/gid_map", map);
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    ok = ok && s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    if (s >= 0)
        ::close(s);
    if (!ok)
        std::perror("private network: cannot map the user or bring lo up");
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
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

qsizetype rawRead(int fd, QByteArray &into)
{
    qsizetype total = 0;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        into.append(buffer, n);
        total += n;
    }
    return total;
}

qsizetype rawPending(int fd)
{
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
    return n > 0 ? n : 0;
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
    int n = 0;
    for (QObject *o : objects)
        n += std::strcmp(o->metaObject()->className(), className) == 0;
    return n;
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
            if (mode == Mode::HangUp && seen.contains("|logout - "))
                socket->disconnectFromHost();
            else if (mode == Mode::Relay)
                for (QTcpSocket *each : std::as_const(sockets))
                    each->write(bytes);
        });
    });
}
