#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <functional>

// The date and time texts of login and logout lines and of UDP blocks: the date in the system's
// short date format, the time of day with hours, minutes and seconds and no time zone.
namespace DateTimeTexts {

struct Stamp
{
    QString date;
    QString time;

    // Date, "/", time: the form every status text and block header uses.
    QString dateSlashTime() const { return date + u'/' + time; }
};

// Reads the clock once (so date and time always belong together, also at midnight).
Stamp now();
// now().dateSlashTime().
QString dateSlashTime();

QString dateText(const QDate &date, const QLocale &locale);
QString timeText(const QTime &time, const QLocale &locale);

// Test seam: a fixed clock and locale; pass an empty function to restore the system's.
void setClockForTesting(std::function<QDateTime()> clock,
                        const QLocale &locale = QLocale::system());

} // namespace DateTimeTexts
