// Runs the real chat server window, offscreen, for the load generator to measure: the window
// asks its port question as usual and gets the answer from here. Once it listens this prints
// "port N"; then it answers one-word commands on standard input:
//
//   rss    -> "rss KIB"            resident memory
//   log    -> "log CHARS"          length of the window's log pane
//   count  -> "count N"            the connection count in the window's caption
//   quit   -> ends the program
//
// It also ends by itself after --max-seconds (default 900).
//
//   serverhost [--port P] [--max-seconds S]

#include "application.h"
#include "dialogs.h"
#include "fdlimit.h"
#include "formtcpservermain.h"
#include "logpane.h"
#include "processmemory.h"

#include <QApplication>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// "[count]-[IP:Port] - wisp server"
QRegularExpressionMatch readCaption(const QString &title)
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\[(-?\d+)\]-\[(.*):(-?\d+)\] - wisp server$)"));
    return pattern.match(title);
}

} // namespace

int main(int argc, char *argv[])
{
    QString port = QStringLiteral("0");
    int maxSeconds = 900;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port = QString::fromLocal8Bit(argv[++i]);
        else if (std::strcmp(argv[i], "--max-seconds") == 0 && i + 1 < argc)
            maxSeconds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: serverhost [--port P] [--max-seconds S]\n");
            return 2;
        }
    }
    // As the program itself does at start-up.
    FdLimit::raiseOpenFileLimit();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Application::setUp(app);

    Dialogs::setResponderForTesting([port](const Dialogs::Request &request) {
        Dialogs::Answer answer;
        if (request.kind == Dialogs::Request::Kind::Input)
            answer.text = port;
        return answer;
    });

    auto *window = new FormTCPServerMain;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();

    const QRegularExpressionMatch caption = readCaption(window->windowTitle());
    if (!caption.hasMatch() || caption.captured(3).toInt() <= 0) {
        std::fprintf(stderr, "serverhost: the window is not listening (caption \"%s\")\n",
                     qPrintable(window->windowTitle()));
        return 1;
    }
    std::printf("port %d\n", caption.captured(3).toInt());
    std::fflush(stdout);

    auto *log = window->findChild<LogPane *>(QStringLiteral("TextLog"));
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            QCoreApplication::exit(0);
            return;
        }
        pending.append(buf, n);
        qsizetype lf;
        while ((lf = pending.indexOf('\n')) >= 0) {
            const QByteArray command = pending.left(lf).trimmed();
            pending.remove(0, lf + 1);
            if (command == "rss") {
                std::printf("rss %ld\n", residentKiB());
            } else if (command == "log") {
                std::printf("log %lld\n", log ? (long long)log->length() : -1LL);
            } else if (command == "count") {
                const auto m = readCaption(window->windowTitle());
                std::printf("count %d\n", m.hasMatch() ? m.captured(1).toInt() : -1);
            } else if (command == "quit") {
                QCoreApplication::exit(0);
                return;
            } else {
                std::printf("unknown %s\n", command.constData());
            }
            std::fflush(stdout);
        }
    });
    QTimer::singleShot(maxSeconds * 1000, &app, [] { QCoreApplication::exit(0); });
    const int rc = QApplication::exec();
    // Leave without the close question: the window goes with the process.
    std::fflush(stdout);
    _exit(rc);
}
