// Reading never fails on any text; an out-of-range number reads as 0; and blanks, tabs and
// line feeds anywhere change nothing.
#include "numberreading.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const NumberReading::Result result = NumberReading::readNumber(text);
    if (!result.inRange && result.value != 0)
        std::abort();

    QString spaced;
    for (QChar c : text) {
        spaced.append(c);
        spaced.append(u" \t\n"[c.unicode() % 3]);
    }
    const NumberReading::Result again = NumberReading::readNumber(spaced);
    if (again.value != result.value || again.inRange != result.inRange)
        std::abort();
    return 0;
}
