#include "udpblock.h"

namespace {

const QString kCrLf = QStringLiteral("\r\n");
const QString kSendIP = QStringLiteral("send IP - ");
const QString kSendDate = QStringLiteral("send date - ");
const QString kStartMarker = QStringLiteral("--- [SOF] ---");
const QString kEndMarker = QStringLiteral("--- [EOF] ---");
const QString kGotDate = QStringLiteral("got date - ");

} // namespace

namespace UdpBlock {

QString build(const QString &strIP, const DateTimeTexts::Stamp &stamp, const QString &strText)
{
    QString block;
    block += kSendIP;
    block += strIP;
    block += kCrLf;
    block += kSendDate;
    block += stamp.dateSlashTime();
    block += kCrLf;
    block += kCrLf;
    block += kStartMarker;
    block += kCrLf;
    block += strText;
    block += kCrLf;
    block += kEndMarker;
    return block;
}

QString receivedDisplay(const DateTimeTexts::Stamp &stamp, const QString &rstrData)
{
    QString display;
    display += kGotDate;
    display += stamp.dateSlashTime();
    display += kCrLf;
    display += kCrLf;
    display += rstrData;
    return display;
}

QString entryText(const QString &rawBoxText)
{
    QString text;
    text.reserve(rawBoxText.size());
    for (const QChar c : rawBoxText) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator)
            text += kCrLf;
        else
            text += c;
    }
    return text;
}

} // namespace UdpBlock
