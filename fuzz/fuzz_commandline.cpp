// Any argument text splits, in bounded time, into tokens made of its own characters; and a
// token list without double quotes survives joining and splitting again.
#include "commandline.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QStringList tokens;
    const qint32 n = CommandLine::SplitCommandLine(tokens, text);
    if (n != tokens.size() || n > text.size())
        std::abort();
    qsizetype total = 0;
    for (const QString &token : tokens)
        total += token.size();
    if (total > text.size())
        std::abort();

    if (!text.contains(u'"')) {
        QStringList again;
        CommandLine::SplitCommandLine(again, CommandLine::argumentText(tokens));
        if (again != tokens)
            std::abort();
    }
    return 0;
}
