#include "sockettrace.h"

#include "hostaddresses.h"

#include <QDateTime>
#include <QHostAddress>
#include <QtDebug>

namespace SocketTrace {

void line(const char *owner, const QString &text)
{
    const QString stamp = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    qInfo().noquote().nospace() << stamp << ' ' << owner << ' ' << text;
}

void warn(const char *owner, const QString &text)
{
    qWarning().noquote().nospace() << owner << ": " << text;
}

QString endpointText(const QHostAddress &address, quint16 port)
{
    const QString host = HostAddresses::text(address);
    if (host.contains(u':'))
        return QStringLiteral("[%1]:%2").arg(host).arg(port);
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

} // namespace SocketTrace
