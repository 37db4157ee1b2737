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

// The locale's long time format carries the time zone ("t"); the texts have none. Quoted
// literal text in the format is left alone.
QString timeFormatWithoutZone(const QLocale &locale)
{
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
    const Stamp stamp = now();
    return stamp.date + u'/' + stamp.time;
}

void setClockForTesting(std::function<QDateTime()> clock, const QLocale &locale)
{
    testClock() = std::move(clock);
    testLocale() = locale;
}

} // namespace DateTimeTexts
