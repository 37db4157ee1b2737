#include "socketactivation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int FirstDescriptor = 3;
}

namespace SocketActivation {

Result takeListeningSocket()
{
    Result result;
    const QByteArray pid = qgetenv("LISTEN_PID");
    const QByteArray fds = qgetenv("LISTEN_FDS");
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
    int listening = 0;
    socklen_t size = sizeof listening;
    int type = 0;
    socklen_t typeSize = sizeof type;
    if (getsockopt(FirstDescriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
        getsockopt(FirstDescriptor, SOL_SOCKET, SO_TYPE, &type, &typeSize) != 0) {
        result.error = QStringLiteral("descriptor 3 handed over is no socket: %1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    if (!listening || type != SOCK_STREAM) {
        result.error = QStringLiteral("descriptor 3 handed over is no listening stream socket");
        return result;
    }
    fcntl(FirstDescriptor, F_SETFD, FD_CLOEXEC);
    fcntl(FirstDescriptor, F_SETFL, fcntl(FirstDescriptor, F_GETFL) | O_NONBLOCK);
    result.descriptor = FirstDescriptor;
    result.ignored = count - 1;
    return result;
}

} // namespace SocketActivation
