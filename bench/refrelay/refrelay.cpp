// The yardstick: a minimal line relay on epoll. Every complete line (ending in LF) that any
// connection sends goes to every connection, the sender included, in one order for all.
// Output is batched: the lines of one epoll pass are gathered first, then each connection's
// share is appended to its output buffer once and flushed with one send per connection per
// pass. TCP_NODELAY on every connection, a listen backlog of SOMAXCONN, a cap on unsent output
// per connection, and a run-time limit after which it ends by itself.
//
//   refrelay [--port P] [--max-seconds S]     prints "port N" once listening

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kOutputCap = 4u << 20;      // a client that stops reading is dropped
constexpr std::size_t kMaxPiece = 1u << 20;       // a "line" without LF is forwarded at this size
constexpr std::size_t kReadChunk = 64u * 1024;    // bytes per recv
constexpr std::size_t kReadPerPass = 256u * 1024; // per connection and pass, for fairness

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int)
{
    stopRequested = 1;
}

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "refrelay: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

struct Conn
{
    int fd = -1;
    bool dead = false;
    bool wantWrite = false; // EPOLLOUT registered
    std::string in;         // incomplete line
    std::string out;        // unsent output
    std::size_t outOff = 0;
};

class Relay
{
public:
    Relay(int port, double maxSeconds)
        : deadline(std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(long(maxSeconds * 1000)))
    {
        rlimit lim{};
        if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
            lim.rlim_cur = lim.rlim_max;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        listener = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listener < 0)
            die("socket");
        const int one = 1, zero = 0;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(std::uint16_t(port));
        addr.sin6_addr = in6addr_any;
        if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            die("bind");
        if (listen(listener, SOMAXCONN) != 0)
            die("listen");
        socklen_t len = sizeof addr;
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0)
            die("epoll_create1");
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kListenerKey;
        epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
        std::printf("port %d\n", ntohs(addr.sin6_port));
        std::fflush(stdout);
    }

    int run()
    {
        std::vector<epoll_event> events(1024);
        while (!stopRequested && std::chrono::steady_clock::now() < deadline) {
            const int n = epoll_wait(ep, events.data(), int(events.size()), 200);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                die("epoll_wait");
            }
            for (int i = 0; i < n; ++i) {
                const std::uint64_t key = events[i].data.u64;
                if (key == kListenerKey) {
                    acceptAll();
                    continue;
                }
                Conn &c = conns[key];
                if (c.dead)
                    continue;
                if (events[i].events & EPOLLOUT)
                    flush(key);
                if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                    readFrom(key);
            }
            endPass();
        }
        return 0;
    }

private:
    static constexpr std::uint64_t kListenerKey = ~std::uint64_t(0);

    void acceptAll()
    {
        for (;;) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE) {
                    // Out of descriptors: stop listening for a moment instead of spinning.
                    epoll_ctl(ep, EPOLL_CTL_DEL, listener, nullptr);
                    listenerPaused = true;
                }
                return;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::size_t slot;
            if (!freeSlots.empty()) {
                slot = freeSlots.back();
                freeSlots.pop_back();
            } else {
                slot = conns.size();
                conns.emplace_back();
            }
            Conn &c = conns[slot];
            c = Conn();
            c.fd = fd;
            live.push_back(slot);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = slot;
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        }
    }

    void readFrom(std::size_t slot)
    {
        char buf[kReadChunk];
        std::size_t taken = 0;
        while (taken < kReadPerPass) {
            const ssize_t r = recv(conns[slot].fd, buf, sizeof buf, 0);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                Conn &c = conns[slot];
                if (!c.in.empty()) { // the last piece, without line end
                    pass.append(c.in);
                    c.in.clear();
                }
                kill(slot);
                return;
            }
            if (r < 0)
                return;
            taken += std::size_t(r);
            split(slot, buf, std::size_t(r));
            if (std::size_t(r) < sizeof buf)
                return;
        }
    }

    // Complete lines go to this pass's batch; the rest waits in the connection.
    void split(std::size_t slot, const char *data, std::size_t len)
    {
        Conn &c = conns[slot];
        const char *end = data + len;
        const char *lastLf = nullptr;
        for (const char *p = end; p > data;) {
            --p;
            if (*p == '\n') {
                lastLf = p;
                break;
            }
        }
        if (!lastLf) {
            c.in.append(data, len);
        } else {
            // A held piece ends at the first LF of the new bytes.
            pass.append(c.in);
            pass.append(data, std::size_t(lastLf + 1 - data));
            c.in.assign(lastLf + 1, std::size_t(end - lastLf - 1));
        }
        while (c.in.size() >= kMaxPiece) {
            pass.append(c.in, 0, kMaxPiece);
            c.in.erase(0, kMaxPiece);
        }
    }

    void endPass()
    {
        if (!pass.empty()) {
            for (std::size_t slot : live) {
                Conn &c = conns[slot];
                if (c.dead)
                    continue;
                if (c.out.size() - c.outOff + pass.size() > kOutputCap) {
                    kill(slot);
                    continue;
                }
                c.out.append(pass);
                flush(slot);
            }
            pass.clear();
        }
        if (!dying.empty()) {
            std::vector<std::size_t> kept;
            kept.reserve(live.size());
            for (std::size_t slot : live) {
                if (!conns[slot].dead)
                    kept.push_back(slot);
            }
            live.swap(kept);
            for (std::size_t slot : dying) {
                close(conns[slot].fd);
                conns[slot] = Conn();
                conns[slot].dead = true;
                freeSlots.push_back(slot);
            }
            dying.clear();
            if (listenerPaused) {
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u64 = kListenerKey;
                epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
                listenerPaused = false;
            }
        }
    }

    void flush(std::size_t slot)
    {
        Conn &c = conns[slot];
        if (c.dead || c.outOff == c.out.size())
            return;
        const ssize_t w =
            send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            kill(slot);
            return;
        }
        if (w > 0)
            c.outOff += std::size_t(w);
        const bool rest = c.outOff < c.out.size();
        if (!rest) {
            c.out.clear();
            c.outOff = 0;
        } else if (c.outOff > (1u << 20)) {
            c.out.erase(0, c.outOff);
            c.outOff = 0;
        }
        if (rest != c.wantWrite) {
            c.wantWrite = rest;
            epoll_event ev{};
            ev.events = EPOLLIN | (rest ? EPOLLOUT : 0u);
            ev.data.u64 = slot;
            epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        }
    }

    void kill(std::size_t slot)
    {
        Conn &c = conns[slot];
        if (c.dead)
            return;
        c.dead = true;
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        dying.push_back(slot);
    }

    std::chrono::steady_clock::time_point deadline;
    int listener = -1;
    int ep = -1;
    bool listenerPaused = false;
    std::vector<Conn> conns;
    std::vector<std::size_t> live, dying, freeSlots;
    std::string pass; // complete lines received in this pass, in order
};

} // namespace

int main(int argc, char **argv)
{
    int port = 0;
    double maxSeconds = 600;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--max-seconds" && i + 1 < argc)
            maxSeconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: refrelay [--port P] [--max-seconds S]\n");
            return 2;
        }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Relay relay(port, maxSeconds);
    return relay.run();
}
