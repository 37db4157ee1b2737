#include "commandline.h"

namespace {

constexpr QChar Blank = u' ';
constexpr QChar Quote = u'"';

// 1-based position of c in text at or after 1-based position from, 0 if none.
qint32 find(const QString &text, QChar c, qint32 from)
{
    const qsizetype index = text.indexOf(c, from - 1);
    return index < 0 ? 0 : qint32(index + 1);
}

} // namespace

namespace CommandLine {

void SplitAt(QString &remaining, QString &head, qint32 p)
{
    if (p >= 0 && p < remaining.size()) {
        head = remaining.left(p);
        remaining = remaining.mid(p);
    } else {
        head = remaining;
        remaining.clear();
    }
}

qint32 SplitCommandLine(QStringList &tokens, const QString &text)
{
    tokens.clear();
    QString remaining = text;
    qint32 n = 0;
    while (!remaining.isEmpty()) {
        ++n;
        qint32 b = 0;
        // A quote that opens the token hides the blanks up to its partner. Without a partner
        // it hides nothing, and the token ends at the first blank like any other.
        const qint32 q = remaining.startsWith(Quote) && remaining.contains(Blank)
                             ? find(remaining, Quote, 2)
                             : 0;
        b = find(remaining, Blank, q > 0 ? q : 1);

        QString token;
        if (b != 0) {
            SplitAt(remaining, token, b);
            token.chop(1);
        } else {
            token = remaining;
            remaining.clear();
        }
        // The last character is taken to be the closing quote, whatever it is; a lone quote
        // gives the empty token.
        if (token.startsWith(Quote))
            token = token.size() >= 2 ? token.mid(1, token.size() - 2) : QString();
        tokens.append(token);
        if (b == 0)
            break;
    }
    return n;
}

QString argumentText(const QStringList &arguments)
{
    QStringList parts;
    for (const QString &argument : arguments) {
        // Empty arguments, and those holding a blank or opening with a quote, are wrapped in
        // quotes, which the splitter removes again. (An argument holding a quote and, after
        // it, a blank cannot come back whole; only the first token is ever looked at.)
        const bool wrap =
            argument.isEmpty() || argument.contains(Blank) || argument.startsWith(Quote);
        parts.append(wrap ? Quote + argument + Quote : argument);
    }
    return parts.join(Blank);
}

} // namespace CommandLine
