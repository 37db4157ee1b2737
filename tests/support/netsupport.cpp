#include "netsupport.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

bool bringLoopbackUp()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    return ok;
}

// errno of binding the port on every interface, 0 when it could be bound: EACCES where ports
// below 1024 are not ours, EADDRINUSE where another program holds it.
int bindError(quint16 port, int type)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0), on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on); // TCP: past connections' wait
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_ANY)}, {}};
    const int error =
        ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) ? errno : 0;
    ::close(fd);
    return error;
}

bool portsToBeHad = false;

// The test command counts the skipped cases, and shows their cause, from the file it names.
void noteSkip(const QByteArray &line)
{
    QFile log(qEnvironmentVariable("KESTREL_TEST_SKIP_LOG"));
    if (!log.fileName().isEmpty() && log.open(QIODevice::Append))
        log.write(line + '\n');
}
} // namespace

void chooseFixedPortIsolation()
{
    const QByteArray uid = QByteArray::number(::getuid()), gid = QByteArray::number(::getgid());
    const bool refused = qEnvironmentVariableIntValue("KESTREL_TEST_NO_NAMESPACES") != 0;
    const QByteArray why =
        refused ? "namespaces refused by KESTREL_TEST_NO_NAMESPACES" : "no namespace allowed here";
    QByteArray line = "fixed ports 555, 777, 778: ";
    if (!refused && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 &&
        writeFile("/proc/self/setgroups", "deny") &&
        writeFile("/proc/self/uid_map", "0 " + uid + " 1") &&
        writeFile("/proc/self/gid_map", "0 " + gid + " 1") && bringLoopbackUp())
        line += "in a user and network namespace of their own";
    else if (!refused && ::unshare(CLONE_NEWNET) == 0 && bringLoopbackUp())
        line += "in a network namespace of their own (no user namespace here)";
    else if (bindError(555, SOCK_DGRAM) != EACCES)
        line += "on this machine's own loopback (" + why + "); they must be free";
    else
        noteSkip("cause: " + (line += why + ", no right to bind ports below 1024: the cases that "
                                            "need them are skipped; run the tests as root or allow "
                                            "unprivileged user namespaces"));
    portsToBeHad = !line.contains("skipped");
    std::fprintf(stderr, "%s\n", line.constData());
    if (refused && !portsToBeHad) // nothing for the loopback pass to try: the program is skipped
        std::exit(77);            // SKIP_RETURN_CODE
}

bool fixedPortsReady(std::initializer_list<quint16> ports, const char *file, int line)
{
    if (!portsToBeHad) {
        noteSkip("skipped: " + QByteArray(QTest::currentTestFunction()) + '(' +
                 QTest::currentDataTag() + ')');
        QTest::qSkip("needs the fixed ports (see the line \"fixed ports\" above)", file, line);
        return false;
    }
    for (const quint16 port : ports) {
        for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
            if (const int error = bindError(port, type)) {
                QTest::qFail("port " + QByteArray::number(port) +
                                 (type == SOCK_STREAM ? " (TCP): " : " (UDP): ") +
                                 std::strerror(error) +
                                 (error == EADDRINUSE ? ", held by another program here" : ""),
                             file, line);
                return false;
            }
        }
    }
    return true;
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
