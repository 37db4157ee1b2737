#include "eventlog.h"

#include <QDateTime>

#include <cstdio>

namespace {
bool withTimestamps = false;

void handleMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    EventLog::write(message);
}
} // namespace

namespace EventLog {

void install(bool timestamps)
{
    withTimestamps = timestamps;
    qInstallMessageHandler(handleMessage);
}

void write(const QString &text)
{
    const QString line = withTimestamps ? timestamp() + u' ' + text : text;
    // One call per line, so that lines from a crowded moment never interleave.
    std::fputs(qPrintable(line + u'\n'), stderr);
}

QString timestamp()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace EventLog
