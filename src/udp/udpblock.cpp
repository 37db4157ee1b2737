#include "udpblock.h"

namespace {

const QString CrLf = QStringLiteral("\r\n");
const QString SendIP = QStringLiteral("send IP - ");
const QString SendDate = QStringLiteral("send date - ");
const QString StartMarker = QStringLiteral("--- [SOF] ---");
const QString EndMarker = QStringLiteral("--- [EOF] ---");
const QString GotDate = QStringLiteral("got date - ");

} // namespace

namespace UdpBlock {

QString build(const QString &strIP, const DateTimeTexts::Stamp &stamp, const QString &strText)
{
    QString block;
    block += SendIP;
    block += strIP;
    block += CrLf;
    block += SendDate;
    block += stamp.dateSlashTime();
    block += CrLf;
    block += CrLf;
    block += StartMarker;
    block += CrLf;
    block += strText;
    block += CrLf;
    block += EndMarker;
    return block;
}

QString receivedDisplay(const DateTimeTexts::Stamp &stamp, const QString &rstrData)
{
    QString display;
    display += GotDate;
    display += stamp.dateSlashTime();
    display += CrLf;
    display += CrLf;
    display += rstrData;
    return display;
}

QString entryText(const QString &rawBoxText)
{
    QString text;
    text.reserve(rawBoxText.size());
    for (const QChar c : rawBoxText) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator)
            text += CrLf;
        else
            text += c;
    }
    return text;
}

} // namespace UdpBlock
