#include "socketactivation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int FirstDescriptor = 3;

// Empty when descriptor is a listening stream socket, else why it is not.
QString checkListening(int descriptor)
{
    int listening = 0;
    socklen_t size = sizeof listening;
    int type = 0;
    socklen_t typeSize = sizeof type;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
        getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &typeSize) != 0) {
        return QStringLiteral("descriptor %1 handed over is no socket: %2")
            .arg(descriptor)
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!listening || type != SOCK_STREAM)
        return QStringLiteral("descriptor %1 handed over is no listening stream socket")
            .arg(descriptor);
    return {};
}
} // namespace

namespace SocketActivation {

Result takeListeningSockets()
{
    Result result;
    const QByteArray pid = qgetenv("LISTEN_PID");
    const QByteArray fds = qgetenv("LISTEN_FDS");
    const QList<QByteArray> names = qgetenv("LISTEN_FDNAMES").split(':');
    qunsetenv("LISTEN_PID");
    qunsetenv("LISTEN_FDS");
    qunsetenv("LISTEN_FDNAMES");
    bool ok = false;
    // Meant for another process (our parent, say) when the pid is not ours.
    if (pid.toLongLong(&ok) != getpid() || !ok)
        return result;
    const int count = fds.toInt(&ok);
    if (!ok || count < 1) {
        result.error = QStringLiteral("LISTEN_FDS is \"%1\": no socket handed over")
                           .arg(QString::fromLocal8Bit(fds));
        return result;
    }
    for (int i = 0; i < count; ++i) {
        const int descriptor = FirstDescriptor + i;
        result.error = checkListening(descriptor);
        if (!result.error.isEmpty()) {
            result.sockets.clear();
            return result;
        }
        fcntl(descriptor, F_SETFD, FD_CLOEXEC);
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        const QByteArray name = names.value(i);
        result.sockets.append(
            {descriptor, name.isEmpty() ? QStringLiteral("unknown") : QString::fromUtf8(name)});
    }
    return result;
}

} // namespace SocketActivation
