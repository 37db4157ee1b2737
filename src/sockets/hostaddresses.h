#pragma once

#include <QString>

class QHostAddress;

// Addresses as texts: for the IP properties, captions, block headers, trace and event lines.
namespace HostAddresses {
// Address as text; an IPv4 address in its dotted form, also when it comes IPv4-mapped.
QString text(const QHostAddress &address);
// "address:port", with an IPv6 address in brackets.
QString endpointText(const QHostAddress &address, quint16 port);
// This host's first non-loopback IPv4 address, or "127.0.0.1" when it has none.
QString firstLocalIPv4();
} // namespace HostAddresses
