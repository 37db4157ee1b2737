#include "sockettrace.h"

#include <QDateTime>
#include <QtDebug>

void SocketTrace::failure(const QString &text) const
{
    qWarning().noquote().nospace() << m_owner << ": " << text;
    line(QStringLiteral("error: ") + text);
}

void SocketTrace::write(const QString &text) const
{
    const QString stamp = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    qInfo().noquote().nospace() << stamp << ' ' << m_owner << ' ' << text;
}
