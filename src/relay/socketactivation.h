#pragma once

#include <QString>

// Socket activation by the service manager: the listening sockets it opened are handed over
// at descriptor 3 onwards, announced by LISTEN_FDS and LISTEN_PID in the environment.
namespace SocketActivation {
struct Result
{
    int descriptor = -1; // the first socket handed over; -1 when none was
    QString error;       // set when sockets were announced but cannot be used
    int ignored = 0;     // further sockets handed over, which the relay does not serve
};
// Reads and clears the variables (so that nothing started later takes them for its own) and
// checks that descriptor 3 is a listening stream socket.
Result takeListeningSocket();
} // namespace SocketActivation
