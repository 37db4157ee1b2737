#pragma once

#include <QString>

class QHostAddress;

// Diagnostics of the socket classes. Nothing here ever reaches a window.
namespace SocketTrace {
// One line "<time> <owner> <text>" on standard error; used while InfoWSock is on.
void line(const char *owner, const QString &text);
// One line on standard error (qWarning) for a failure, whatever InfoWSock says.
void warn(const char *owner, const QString &text);
// "address:port" for trace lines, with IPv6 addresses in brackets.
QString endpointText(const QHostAddress &address, quint16 port);
} // namespace SocketTrace
