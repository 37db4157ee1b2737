#pragma once

#include <QString>

// The chat line is everything the client sends:
//
//     <ID>@<handle field>|<text>CR LF
//
// ID is the connection's number in decimal, the handle field is the handle name left-aligned
// in exactly ten UTF-16 code units, and the text goes out as typed. Nothing is escaped: people
// read these lines, no program parses them.
namespace ChatLine {

constexpr qsizetype HandleWidth = 10;

// The handle padded with blanks to ten code units. A longer handle (only ever stored while
// the connect dialogue is refusing it) is cut to ten, never inside a surrogate pair: a pair
// that would be split is replaced by a blank, so the field still has ten code units.
QString handleField(const QString &handle);

QString build(qint32 id, const QString &handle, const QString &text);

// "login - " / "logout - " followed by the date, "/" and the time of now.
QString loginText();
QString logoutText();

// Only the very same text, CR LF included and letter case exact, is the echo of a line.
bool isEcho(const QString &received, const QString &lastLine);

} // namespace ChatLine
