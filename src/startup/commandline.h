#pragma once

#include <QString>
#include <QStringList>

// Command-line splitting: blank-separated tokens, positions 1-based, a double quote opening a
// token groups blanks up to its partner.
namespace CommandLine {

// Splits at 1-based position p: if p is less than the remaining text's length, head takes the
// first p characters and the remaining text keeps what follows; otherwise head takes all of it.
void SplitAt(QString &remaining, QString &head, qint32 p);

// Resets the list, fills it from argumentText and returns the count.
qint32 SplitCommandLine(QStringList &tokens, const QString &argumentText);

// The platform hands the arguments already split; this joins them into the one text the
// splitter reads, quoting each argument that would otherwise not come back whole.
QString argumentText(const QStringList &arguments);

} // namespace CommandLine
