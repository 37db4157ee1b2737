// Cost of relaying one line to 100 connections through CWS_TCP_S, as the server window does it
// (GetData hands the very string back to SendData with index 0). The server runs on this
// thread's event loop; 100 loopback clients live on a second thread, one of them also sending.
//
//   bench_relaycost [connections] [lines]
//
// Prints, for one line at a time and for a stream of lines, the wall time and the server
// thread's CPU time per relayed line.

#include "cws_tcp_s.h"
#include "fdlimit.h"

#include <QCoreApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
constexpr int TimeLimitSeconds = 120;

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double wallSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Result
{
    double wallUs = 0;
    double serverCpuUs = 0;
};

class Clients
{
public:
    Clients(quint16 port, int count, clockid_t serverClock)
        : m_serverClock(serverClock), m_received(count, 0)
    {
        m_epoll = epoll_create1(0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0 ||
                connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                std::perror("bench_relaycost: connect");
                std::exit(1);
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fcntl(fd, F_SETFL, O_NONBLOCK);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = quint32(i);
            epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
            m_fds.push_back(fd);
        }
    }

    // Sends lines from the first client with at most window lines not yet received by all.
    Result run(const QByteArray &line, int lines, int window)
    {
        const qint64 start = m_target;
        const double wall0 = wallSeconds();
        const double cpu0 = cpuSeconds(m_serverClock);
        int sent = 0;
        const qint64 size = line.size();
        while (minimum() < start + qint64(lines) * size) {
            while (sent < lines && (minimum() - start) / size + window > sent) {
                if (send(m_fds[0], line.constData(), size_t(size), 0) != size) {
                    std::perror("bench_relaycost: send");
                    std::exit(1);
                }
                ++sent;
            }
            drain();
            if (wallSeconds() - wall0 > TimeLimitSeconds) {
                std::fprintf(stderr, "bench_relaycost: time limit reached\n");
                std::exit(1);
            }
        }
        m_target = start + qint64(lines) * size;
        Result result;
        result.wallUs = (wallSeconds() - wall0) * 1e6 / lines;
        result.serverCpuUs = (cpuSeconds(m_serverClock) - cpu0) * 1e6 / lines;
        return result;
    }

    ~Clients()
    {
        for (int fd : m_fds)
            close(fd);
        close(m_epoll);
    }

private:
    qint64 minimum() const
    {
        qint64 least = m_received[0];
        for (qint64 r : m_received)
            least = std::min(least, r);
        return least;
    }

    void drain()
    {
        epoll_event events[128];
        const int ready = epoll_wait(m_epoll, events, 128, 100);
        static char buffer[1 << 16];
        for (int i = 0; i < ready; ++i) {
            const quint32 index = events[i].data.u32;
            for (;;) {
                const ssize_t n = recv(m_fds[index], buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                m_received[index] += n;
            }
        }
    }

    clockid_t m_serverClock;
    std::vector<int> m_fds;
    std::vector<qint64> m_received;
    qint64 m_target = 0;
    int m_epoll = -1;
};
} // namespace

int main(int argc, char *argv[])
{
    FdLimit::raiseOpenFileLimit();
    QCoreApplication app(argc, argv);
    const int connections = argc > 1 ? std::max(1, atoi(argv[1])) : 100;
    const int lines = argc > 2 ? std::max(100, atoi(argv[2])) : 20000;

    CWS_TCP_S server;
    QObject::connect(&server, &CWS_TCP_S::GetData, &server, [&](qint32 &, QString &rstrData) {
        qint32 all = 0;
        server.SendData(rstrData, all);
    });
    if (!server.Listen(0))
        return 1;

    clockid_t serverClock{};
    pthread_getcpuclockid(pthread_self(), &serverClock);
    const QByteArray line = "7@Default   |relay benchmark line, about sixty-four bytes\r\n";

    std::thread driver([&] {
        Clients clients(server.Port(), connections, serverClock);
        clients.run(line, 1000, 64); // warm-up
        const Result single = clients.run(line, std::max(100, lines / 10), 1);
        const Result stream = clients.run(line, lines, 256);
        std::printf("relay of one %lld-byte line to %d connections through CWS_TCP_S\n",
                    qint64(line.size()), connections);
        std::printf("  one line at a time : %8.1f us wall, %8.1f us server CPU per line\n",
                    single.wallUs, single.serverCpuUs);
        std::printf("  stream (256 ahead) : %8.1f us wall, %8.1f us server CPU per line"
                    " (%.0f deliveries/s)\n",
                    stream.wallUs, stream.serverCpuUs, connections * 1e6 / stream.wallUs);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    const int rc = app.exec();
    driver.join();
    return rc;
}
