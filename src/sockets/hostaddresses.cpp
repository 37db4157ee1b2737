#include "hostaddresses.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkInterface>

namespace {
// Captions are rebuilt after every accept and end; asking the system for its interfaces each
// time would cost more than the caption is worth, and addresses rarely change within a second.
constexpr qint64 LocalAddressCacheMs = 1000;
} // namespace

namespace HostAddresses {

QString text(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    return address.toString();
}

QString endpointText(const QHostAddress &address, quint16 port)
{
    const QString host = text(address);
    if (host.contains(u':'))
        return QStringLiteral("[%1]:%2").arg(host).arg(port);
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

QString firstLocalIPv4()
{
    static QString cached;
    static QElapsedTimer age;
    if (age.isValid() && age.elapsed() < LocalAddressCacheMs)
        return cached;

    cached = QStringLiteral("127.0.0.1");
    const auto interfaces = QNetworkInterface::allInterfaces();
    bool found = false;
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        if (flags.testFlag(QNetworkInterface::IsLoopBack) ||
            !flags.testFlag(QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback()) {
                cached = ip.toString();
                found = true;
                break;
            }
        }
        if (found)
            break;
    }
    age.start();
    return cached;
}

} // namespace HostAddresses
