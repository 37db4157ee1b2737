// Appending to the log pane must cost the same whether the log is empty or holds a million
// chat lines. This appends 10,000 lines as a server window does (append, caret to the end,
// the event loop running between bursts) at both sizes and prints the per-append cost and the
// memory the million lines take. At a million lines it also appends with accessibility on, a
// listener hearing every insert and caret move as a screen reader's bridge does, which must
// cost little more than with nobody listening.
#include "logpane.h"
#include "processmemory.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

constexpr int kMeasuredLines = 10000;
constexpr int kFillLines = 1000000;
constexpr int kLinesPerPass = 50;
constexpr int kRounds = 9;

qsizetype g_heard = 0;

// What a bridge reads of each event before it sends it on to the screen reader.
void bridge(QAccessibleEvent *event)
{
    QAccessibleInterface *iface = event->accessibleInterface();
    if (event->type() == QAccessible::TextInserted)
        g_heard += static_cast<QAccessibleTextInsertEvent *>(event)->textInserted().size();
    else if (event->type() == QAccessible::TextCaretMoved && iface && iface->textInterface())
        g_heard += iface->textInterface()->cursorPosition();
}

void setAccessible(bool on)
{
    QAccessible::installUpdateHandler(on ? bridge : nullptr);
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(on);
}

QString chatLine(int i)
{
    // 64 characters, as a typical chat line.
    return QStringLiteral("%1@Default   |line %2 of the benchmark, padded to size....\r\n")
        .arg(40000 + i % 20000, 5)
        .arg(i, 7);
}

qint64 threadCpuNanos()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Wall time, and the time the thread itself ran: on a busy machine only the latter compares
// two short runs fairly.
struct Cost
{
    double wallNs;
    double cpuNs;
};

Cost appendCostPerLine(LogPane &pane, int first)
{
    QElapsedTimer timer;
    timer.start();
    const qint64 cpuStart = threadCpuNanos();
    for (int i = 0; i < kMeasuredLines; ++i) {
        pane.appendText(chatLine(first + i));
        pane.setCaretPosition(pane.length());
        if (i % kLinesPerPass == kLinesPerPass - 1)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return {double(timer.nsecsElapsed()) / kMeasuredLines,
            double(threadCpuNanos() - cpuStart) / kMeasuredLines};
}

double appendNanosPerLine(LogPane &pane, int first)
{
    return appendCostPerLine(pane, first).wallNs;
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
    // Alternating rounds, the best of each, so that neither side gets the warmer machine.
    double plain = 1e18, accessible = 1e18;
    for (int round = 0; round < kRounds; ++round) {
        setAccessible(true);
        accessible = std::min(accessible, appendCostPerLine(pane, kFillLines).cpuNs);
        setAccessible(false);
        plain = std::min(plain, appendCostPerLine(pane, kFillLines).cpuNs);
    }
    if (g_heard == 0)
        std::fprintf(stderr, "bench_logpane: the listener heard nothing\n");
    const double textMiB = textChars / 1048576.0; // one byte per character on the wire
    const double usedMiB = (after - before) / 1024.0;
    std::printf(
        "{\"append_ns_empty\": %.0f, \"append_ns_at_1M_lines\": %.0f, \"ratio\": %.2f, "
        "\"text_MiB\": %.1f, \"memory_MiB\": %.1f, \"memory_per_text\": %.2f, "
        "\"append_cpu_ns_at_1M_lines\": %.0f, \"append_cpu_ns_at_1M_lines_accessible\": %.0f, "
        "\"accessible_ratio\": %.2f}\n",
        empty, full, full / empty, textMiB, usedMiB, usedMiB / textMiB, plain, accessible,
        accessible / plain);
    return 0;
}
