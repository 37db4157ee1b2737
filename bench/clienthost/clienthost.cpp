// Runs the real chat client window, offscreen, connected through its own connect dialogue
// (answered from here) to a relay that the load generator feeds. It watches the window's
// socket events after the window has handled them, and a 10 ms timer, and prints one JSON
// line: lines received, how far behind their send time they were shown (per second, so a
// growing backlog shows), and how late the timer fired at worst.
//
//   clienthost --port P --lines N [--timeout S]

#include "application.h"
#include "benchline.h"
#include "cws_tcp_c.h"
#include "dialogs.h"
#include "formtcpclientmain.h"
#include "logpane.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kTickMs = 10;

struct Second
{
    std::uint64_t lines = 0;
    std::uint64_t maxLagUs = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    int port = 0;
    std::uint64_t expected = 0;
    int timeoutS = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--lines") == 0 && i + 1 < argc)
            expected = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeoutS = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: clienthost --port P --lines N [--timeout S]\n");
            return 2;
        }
    }
    if (port <= 0 || expected == 0) {
        std::fprintf(stderr, "usage: clienthost --port P --lines N [--timeout S]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Application::setUp(app);

    Dialogs::setResponderForTesting([port](const Dialogs::Request &request) {
        Dialogs::Answer answer;
        if (request.kind != Dialogs::Request::Kind::Input)
            return answer;
        if (request.text.startsWith(QLatin1String("Host IP")))
            answer.text = QStringLiteral("127.0.0.1");
        else if (request.text.startsWith(QLatin1String("Host Port")))
            answer.text = QString::number(port);
        else
            answer.text = QStringLiteral("watcher");
        return answer;
    });

    auto *window = new FormTCPClientMain;
    window->show();
    auto *client = window->findChild<CWS_TCP_C *>();
    auto *connectAction = window->findChild<QAction *>(QStringLiteral("mnuConnect"));
    auto *log = window->findChild<LogPane *>(QStringLiteral("TextLog"));
    if (!client || !connectAction || !log) {
        std::fprintf(stderr, "clienthost: the window lacks its socket, Connect or log pane\n");
        return 1;
    }

    std::uint64_t received = 0, foreign = 0, corrupted = 0, maxTickLateUs = 0;
    std::uint64_t firstNs = 0, lastNs = 0;
    std::vector<Second> seconds;
    std::vector<std::uint32_t> lagsUs;
    lagsUs.reserve(expected);
    bool finished = false;

    auto finish = [&](const char *note) {
        if (finished)
            return;
        finished = true;
        std::sort(lagsUs.begin(), lagsUs.end());
        auto pct = [&](double q) -> std::uint64_t {
            return lagsUs.empty() ? 0 : lagsUs[std::size_t(q * double(lagsUs.size() - 1))];
        };
        std::uint64_t lastSecondLag = seconds.empty() ? 0 : seconds.back().maxLagUs;
        std::uint64_t firstSecondLag = seconds.empty() ? 0 : seconds.front().maxLagUs;
        std::printf("{\"mode\":\"client\",\"lines\":%" PRIu64 ",\"received\":%" PRIu64
                    ",\"corrupted\":%" PRIu64 ",\"foreign\":%" PRIu64
                    ",\"seconds\":%.2f,\"lines_per_s\":%.0f,\"lag_p50_us\":%" PRIu64
                    ",\"lag_p99_us\":%" PRIu64 ",\"lag_max_us\":%" PRIu64
                    ",\"lag_first_second_max_us\":%" PRIu64 ",\"lag_last_second_max_us\":%" PRIu64
                    ",\"timer_late_max_us\":%" PRIu64
                    ",\"log_chars\":%lld,\"note\":\"%s\",\"per_second_max_lag_us\":[",
                    expected, received, corrupted, foreign,
                    lastNs > firstNs ? double(lastNs - firstNs) / 1e9 : 0.0,
                    lastNs > firstNs ? double(received) / (double(lastNs - firstNs) / 1e9) : 0.0,
                    pct(0.5), pct(0.99), lagsUs.empty() ? 0 : std::uint64_t(lagsUs.back()),
                    firstSecondLag, lastSecondLag, maxTickLateUs, (long long)log->length(), note);
        for (std::size_t i = 0; i < seconds.size(); ++i)
            std::printf("%s%" PRIu64, i ? "," : "", seconds[i].maxLagUs);
        std::printf("]}\n");
        std::fflush(stdout);
        QCoreApplication::exit(received == expected ? 0 : 1);
    };

    // Connected after the window's own handler, so a line counts once the window has shown it.
    QObject::connect(client, &CWS_TCP_C::GetData, [&](QString &text) {
        const QByteArray bytes = text.toLatin1();
        const benchline::Parsed p = benchline::parse(bytes.constData(), std::size_t(bytes.size()));
        if (p.kind == benchline::Kind::Foreign || p.kind == benchline::Kind::Probe) {
            ++foreign;
            return;
        }
        if (p.kind == benchline::Kind::Corrupted) {
            ++corrupted;
            return;
        }
        const std::uint64_t now = benchline::nowNs();
        if (firstNs == 0)
            firstNs = now;
        lastNs = now;
        const std::uint64_t lag = now > p.sentNs ? (now - p.sentNs) / 1000 : 0;
        lagsUs.push_back(std::uint32_t(std::min<std::uint64_t>(lag, UINT32_MAX)));
        const std::size_t second = std::size_t((now - firstNs) / 1000000000u);
        if (seconds.size() <= second)
            seconds.resize(second + 1);
        ++seconds[second].lines;
        seconds[second].maxLagUs = std::max(seconds[second].maxLagUs, lag);
        if (++received == expected)
            finish("");
    });
    QObject::connect(client, qOverload<>(&CWS_TCP_C::Connect), [] {
        std::printf("connected\n");
        std::fflush(stdout);
    });
    QObject::connect(client, &CWS_TCP_C::ConnectError, [&] { finish("connect failed"); });
    QObject::connect(client, &CWS_TCP_C::ConnectClose, [&] { finish("connection closed"); });

    // The responsiveness probe: how much later than due does a 10 ms timer fire?
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer sinceTick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const std::uint64_t elapsedUs = std::uint64_t(sinceTick.nsecsElapsed() / 1000);
        sinceTick.restart();
        if (firstNs != 0 && elapsedUs > kTickMs * 1000u)
            maxTickLateUs = std::max<std::uint64_t>(maxTickLateUs, elapsedUs - kTickMs * 1000u);
    });
    sinceTick.start();
    tick.start(kTickMs);

    QTimer::singleShot(timeoutS * 1000, &app, [&] { finish("timed out"); });
    connectAction->trigger();
    const int rc = QApplication::exec();
    std::fflush(stdout);
    // Leave without the close sequence: there is nobody to echo a logout line.
    _exit(rc);
}
