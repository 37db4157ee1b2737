#include "numberreading.h"

#include <QLocale>

#include <cfenv>
#include <cmath>
#include <limits>

namespace {

bool isIgnored(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

NumberReading::Result fromDouble(double value)
{
    if (!std::isfinite(value))
        return {0, false};
    const double rounded = NumberReading::roundHalfEven(value);
    if (rounded < std::numeric_limits<qint32>::min() ||
        rounded > std::numeric_limits<qint32>::max())
        return {0, false};
    return {static_cast<qint32>(rounded), true};
}

// Hexadecimal and octal numbers are 32-bit patterns: "&HFFFFFFFF" is -1, as the literal
// would be in the language such port texts come from. More than 32 bits are out of range.
NumberReading::Result readRadix(const QString &digits, int radix)
{
    quint64 value = 0;
    bool any = false;
    for (QChar c : digits) {
        const int digit = c.isDigit() && c.unicode() < 128 ? c.unicode() - u'0'
                          : (radix == 16 && c.toLower() >= u'a' && c.toLower() <= u'f')
                              ? c.toLower().unicode() - u'a' + 10
                              : -1;
        if (digit < 0 || digit >= radix)
            break;
        any = true;
        value = value * radix + digit;
        if (value > 0xFFFFFFFFull)
            return {0, false};
    }
    if (!any)
        return {};
    return {static_cast<qint32>(static_cast<quint32>(value)), true};
}

} // namespace

namespace NumberReading {

Result readNumber(const QString &text)
{
    QString s;
    s.reserve(text.size());
    for (QChar c : text) {
        if (!isIgnored(c))
            s.append(c);
    }

    if (s.size() >= 2 && s.at(0) == u'&') {
        const QChar kind = s.at(1).toUpper();
        if (kind == u'H')
            return readRadix(s.mid(2), 16);
        if (kind == u'O')
            return readRadix(s.mid(2), 8);
        return {};
    }

    qsizetype i = 0;
    if (i < s.size() && (s.at(i) == u'+' || s.at(i) == u'-'))
        ++i;
    const qsizetype mantissaStart = i;
    while (i < s.size() && isDigit(s.at(i)))
        ++i;
    qsizetype mantissaDigits = i - mantissaStart;
    if (i < s.size() && s.at(i) == u'.') {
        qsizetype j = i + 1;
        while (j < s.size() && isDigit(s.at(j)))
            ++j;
        mantissaDigits += j - i - 1;
        i = j;
    }
    if (mantissaDigits == 0)
        return {};
    qsizetype end = i;
    if (i < s.size() && (s.at(i) == u'e' || s.at(i) == u'E')) {
        qsizetype j = i + 1;
        if (j < s.size() && (s.at(j) == u'+' || s.at(j) == u'-'))
            ++j;
        const qsizetype expStart = j;
        while (j < s.size() && isDigit(s.at(j)))
            ++j;
        if (j > expStart)
            end = j;
    }

    // The C locale reads any length of digits correctly rounded, gives inf past the double
    // range and keeps "." the decimal point whatever the user's regional settings say.
    return fromDouble(QLocale::c().toDouble(QStringView(s).left(end)));
}

double roundHalfEven(double value)
{
    // nearbyint rounds in the current mode, which is to-nearest-even unless someone changed it.
    const int oldMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(oldMode);
    return rounded;
}

} // namespace NumberReading
