#pragma once

#include <QByteArray>

class QTcpSocket;

namespace DirectSend {
// Hands the bytes to the system in one call that does not block, bypassing the socket's own
// buffer, and returns how many the system took (0 when it took none or failed; the socket then
// sends them, or reports the error, in its own way). Only for a connected socket with nothing
// left in its buffer. Where the platform has no such call, takes none.
qint64 sendNow(QTcpSocket *socket, const QByteArray &bytes);
} // namespace DirectSend
