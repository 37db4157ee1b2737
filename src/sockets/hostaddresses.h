#pragma once

#include <QString>

class QHostAddress;

// Addresses as the IP properties report them, for the windows' captions and block headers.
namespace HostAddresses {
// Address as text; an IPv4 address in its dotted form, also when it comes IPv4-mapped.
QString text(const QHostAddress &address);
// This host's first non-loopback IPv4 address, or "127.0.0.1" when it has none.
QString firstLocalIPv4();
} // namespace HostAddresses
