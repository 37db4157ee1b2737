#pragma once

#include <QList>
#include <QString>

// Socket activation by the service manager: the listening sockets it opened are handed over
// at descriptor 3 onwards, announced by LISTEN_FDS and LISTEN_PID in the environment, and
// named in LISTEN_FDNAMES (FileDescriptorName= in the socket unit; "tls" marks a TLS port).
namespace SocketActivation {
struct Socket
{
    int descriptor = -1;
    QString name; // "unknown" when the service manager gave none
};
struct Result
{
    QList<Socket> sockets; // empty when none was handed over
    QString error;         // set when sockets were announced but cannot be used
};
// Reads and clears the variables (so that nothing started later takes them for its own) and
// checks that each descriptor handed over is a listening stream socket.
Result takeListeningSockets();
} // namespace SocketActivation
