#pragma once

#include <QString>

namespace NumberReading {

struct Result
{
    qint32 value = 0;
    // False when the number read lies outside the signed 32-bit range; value is then 0.
    bool inRange = true;
};

// Reads a port text the way users type it: blanks, tabs and line feeds anywhere are ignored;
// the longest leading decimal number (sign, digits, fraction, exponent) gives the value and the
// rest is ignored; "&H" and "&O" start a hexadecimal or octal number; no number gives 0. The
// value is rounded half to even.
Result readNumber(const QString &text);

// value rounded to the nearest integer, a half going to the even neighbour.
double roundHalfEven(double value);

} // namespace NumberReading
