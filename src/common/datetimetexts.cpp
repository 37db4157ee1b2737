#include "datetimetexts.h"

namespace {

std::function<QDateTime()> &testClock()
{
    static std::function<QDateTime()> clock;
    return clock;
}

QLocale &testLocale()
{
    static QLocale locale = QLocale::system();
    return locale;
}

// The locale's short time format with seconds added after the minutes, with the separator
// that stands between its hours and minutes: "h:mm AP" becomes "h:mm:ss AP", "H.mm" becomes
// "H.mm.ss". Quoted literal text in the format is skipped.
QString shortTimeFormatWithSeconds(const QLocale &locale)
{
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    qsizetype hourEnd = -1;
    qsizetype minuteStart = -1;
    qsizetype minuteEnd = -1;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == u'\'')
            quoted = !quoted;
        if (quoted)
            continue;
        if (c == u's')
            return format;
        if ((c == u'h' || c == u'H') && minuteStart < 0)
            hourEnd = i + 1;
        if (c == u'm' && minuteEnd < 0) {
            minuteStart = i;
            while (i + 1 < format.size() && format.at(i + 1) == u'm')
                ++i;
            minuteEnd = i + 1;
        }
    }
    if (hourEnd < 0 || minuteStart < hourEnd)
        return QString();
    const QString separator = format.mid(hourEnd, minuteStart - hourEnd);
    return format.left(minuteEnd) + separator + QStringLiteral("ss") + format.mid(minuteEnd);
}

// The locale's long time format carries the time zone ("t"); the texts have none.
QString timeFormatWithoutZone(const QLocale &locale)
{
    const QString withSeconds = shortTimeFormatWithSeconds(locale);
    if (!withSeconds.isEmpty())
        return withSeconds;
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        out.append(c);
    }
    return out.trimmed();
}

} // namespace

namespace DateTimeTexts {

QString dateText(const QDate &date, const QLocale &locale)
{
    return locale.toString(date, QLocale::ShortFormat);
}

QString timeText(const QTime &time, const QLocale &locale)
{
    return locale.toString(time, timeFormatWithoutZone(locale));
}

Stamp now()
{
    const bool fixed = static_cast<bool>(testClock());
    const QDateTime moment = fixed ? testClock()() : QDateTime::currentDateTime();
    const QLocale locale = fixed ? testLocale() : QLocale::system();
    return {dateText(moment.date(), locale), timeText(moment.time(), locale)};
}

QString dateSlashTime()
{
    return now().dateSlashTime();
}

void setClockForTesting(std::function<QDateTime()> clock, const QLocale &locale)
{
    testClock() = std::move(clock);
    testLocale() = locale;
}

} // namespace DateTimeTexts
