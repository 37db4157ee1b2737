// Appending to the log pane must cost the same whether the log is empty or holds a million
// chat lines. This appends 10,000 lines as a server window does (append, caret to the end,
// the event loop running between bursts) at both sizes and prints the per-append cost and the
// memory the million lines take.
#include "logpane.h"
#include "processmemory.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

constexpr int kMeasuredLines = 10000;
constexpr int kFillLines = 1000000;
constexpr int kLinesPerPass = 50;

QString chatLine(int i)
{
    // 64 characters, as a typical chat line.
    return QStringLiteral("%1@Default   |line %2 of the benchmark, padded to size....\r\n")
        .arg(40000 + i % 20000, 5)
        .arg(i, 7);
}

double appendNanosPerLine(LogPane &pane, int first)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kMeasuredLines; ++i) {
        pane.appendText(chatLine(first + i));
        pane.setCaretPosition(pane.length());
        if (i % kLinesPerPass == kLinesPerPass - 1)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return double(timer.nsecsElapsed()) / kMeasuredLines;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    LogPane pane;
    pane.resize(400, 300);
    pane.show();
    QCoreApplication::processEvents();

    const double empty = appendNanosPerLine(pane, 0);
    pane.clear();
    QCoreApplication::processEvents();

    const long before = residentKiB();
    qsizetype textChars = 0;
    for (int i = 0; i < kFillLines; ++i) {
        const QString line = chatLine(i);
        textChars += line.size();
        pane.appendText(line);
        if (i % 10000 == 0) {
            pane.setCaretPosition(pane.length());
            QCoreApplication::processEvents();
        }
    }
    QCoreApplication::processEvents();
    const long after = residentKiB();

    const double full = appendNanosPerLine(pane, kFillLines);
    const double textMiB = textChars / 1048576.0; // one byte per character on the wire
    const double usedMiB = (after - before) / 1024.0;
    std::printf("{\"append_ns_empty\": %.0f, \"append_ns_at_1M_lines\": %.0f, \"ratio\": %.2f, "
                "\"text_MiB\": %.1f, \"memory_MiB\": %.1f, \"memory_per_text\": %.2f}\n",
                empty, full, full / empty, textMiB, usedMiB, usedMiB / textMiB);
    return 0;
}
