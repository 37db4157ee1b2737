#include "directsend.h"

#include <QTcpSocket>

#include <cerrno>
#include <sys/socket.h>

namespace DirectSend {

qint64 sendNow(QTcpSocket *socket, const QByteArray &bytes)
{
    const int fd = int(socket->socketDescriptor());
    ssize_t sent;
    do {
        sent = ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent > 0 ? qint64(sent) : 0;
}

} // namespace DirectSend
