#include "chatline.h"

#include "datetimetexts.h"

namespace ChatLine {

QString handleField(const QString &handle)
{
    QString field = handle.left(HandleWidth);
    if (handle.size() > HandleWidth && field.back().isHighSurrogate())
        field.chop(1);
    return field.leftJustified(HandleWidth, u' ');
}

QString build(qint32 id, const QString &handle, const QString &text)
{
    return QString::number(id) + u'@' + handleField(handle) + u'|' + text + QStringLiteral("\r\n");
}

QString loginText()
{
    return QStringLiteral("login - ") + DateTimeTexts::dateSlashTime();
}

QString logoutText()
{
    return QStringLiteral("logout - ") + DateTimeTexts::dateSlashTime();
}

bool isEcho(const QString &received, const QString &lastLine)
{
    return received == lastLine;
}

} // namespace ChatLine
