// Load generator for a line relay (the chat server window, or the reference relay).
//
// relay mode: N clients connect (all of them before anything is sent), the server is probed
// until it relays to every one of them, then each client sends M lines, either as fast as a
// window of unanswered lines allows or at a fixed total rate. Every client reads everything and
// checks, per sender, that each line arrived whole, once and in order. One JSON line reports
// deliveries/s, latency percentiles and the lost/corrupted/reordered counts.
//
// idle mode: K connections are opened and held; with --rss-pid the server's resident memory
// per connection is measured once the server has accepted them all, and a probe line checks
// that every connection is still served at the start and at the end of the hold.
//
// flood mode: one client sends lines as fast as the server takes them, for --hold seconds,
// and reads (and drops) everything relayed to it, so that no output cap cuts it; one JSON line
// reports how many lines it got rid of. Run beside a relay run, it is the client that floods.
//
// With --tls every client speaks TLS (any certificate accepted: the relay's costs are measured,
// not its identity), through OpenSSL straight on the same non-blocking sockets.
//
// Only loopback addresses are accepted, every phase has a time limit, and the program ends by
// itself.

#include "benchline.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using benchline::nowNs;

struct Options
{
    std::string mode = "relay";
    std::string host = "127.0.0.1";
    int port = 0;
    std::uint32_t clients = 100;
    std::uint32_t lines = 1000;
    double rate = 0;          // lines/s over all clients; 0 = as fast as the window allows
    std::uint32_t window = 8; // unanswered lines per sender in the as-fast-as-possible run
    double timeout = 120;     // whole run
    double stall = 10;        // no progress for this long ends the run
    double hold = 5;          // idle mode
    int rssPid = 0;
    std::uint32_t connectBatch = 256;
    bool allowForeign = false;
    bool tls = false;
    bool noEcho = false; // the server sends no line back to its sender (ncat --broker)
    std::string label;
};

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "loadgen: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: loadgen --port P [--host 127.0.0.1|::1] [--mode relay|idle|flood]\n"
                 "  relay: [--clients N] [--lines M] [--rate LINES_PER_S] [--window W]\n"
                 "  idle:  [--clients K] [--hold SECONDS] [--rss-pid PID]\n"
                 "  flood: [--hold SECONDS]\n"
                 "  [--timeout SECONDS] [--stall SECONDS] [--allow-foreign] [--tls] [--no-echo]\n"
                 "  [--label TEXT]\n");
    std::exit(2);
}

Options parseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--mode")
            o.mode = value();
        else if (a == "--host")
            o.host = value();
        else if (a == "--port")
            o.port = std::atoi(value().c_str());
        else if (a == "--clients")
            o.clients = std::uint32_t(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--lines")
            o.lines = std::uint32_t(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--rate")
            o.rate = std::atof(value().c_str());
        else if (a == "--window")
            o.window = std::uint32_t(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--timeout")
            o.timeout = std::atof(value().c_str());
        else if (a == "--stall")
            o.stall = std::atof(value().c_str());
        else if (a == "--hold")
            o.hold = std::atof(value().c_str());
        else if (a == "--rss-pid")
            o.rssPid = std::atoi(value().c_str());
        else if (a == "--connect-batch")
            o.connectBatch = std::uint32_t(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--tls")
            o.tls = true;
        else if (a == "--no-echo")
            o.noEcho = true;
        else if (a == "--allow-foreign")
            o.allowForeign = true;
        else if (a == "--label")
            o.label = value();
        else
            usage();
    }
    if (o.port <= 0 || o.port > 65535 || o.clients == 0 || o.clients > 99999 || o.window == 0 ||
        (o.mode != "relay" && o.mode != "idle" && o.mode != "flood") || o.timeout <= 0 ||
        o.timeout > 3600 || o.hold < 0 || o.hold > 3600 || o.connectBatch == 0)
        usage();
    // Loopback only: this program floods whatever it is pointed at.
    if (o.host != "127.0.0.1" && o.host != "::1" && o.host != "localhost")
        usage();
    if (o.host == "localhost")
        o.host = "127.0.0.1";
    return o;
}

void raiseFileLimit(std::uint64_t needed)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        die("getrlimit");
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    if (lim.rlim_cur < needed) {
        std::fprintf(stderr, "loadgen: open-file limit %llu is below the %llu needed\n",
                     (unsigned long long)lim.rlim_cur, (unsigned long long)needed);
        std::exit(2);
    }
}

long residentKiB(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Connections to the port that the kernel has set up but the server has not accepted yet:
// the listener's accept queue plus half-open handshakes. Zero means the server took them all.
long unacceptedConnections(int port)
{
    long total = 0;
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(path);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            const auto colon = local.rfind(':');
            if (colon == std::string::npos)
                continue;
            if (std::strtol(local.c_str() + colon + 1, nullptr, 16) != port)
                continue;
            if (state == "0A") { // listening: rx_queue is the accept queue's length
                const auto q = queues.find(':');
                total += std::strtol(queues.c_str() + q + 1, nullptr, 16);
            } else if (state == "03") { // SYN_RECV
                ++total;
            }
        }
    }
    return total;
}

struct Client
{
    int fd = -1;
    SSL *ssl = nullptr;
    bool connected = false; // TCP connected
    bool ready = false;     // and the TLS handshake done, with --tls
    bool alive = true;
    std::uint32_t sent = 0;      // data lines sent
    std::uint32_t ownEchoes = 0; // own data lines received back
    std::uint64_t probesSeen = 0;
    std::uint32_t lastProbe = 0;
    std::vector<char> in; // unparsed tail
    std::size_t inLen = 0;
    std::string out; // bytes the socket did not take yet
    bool wantsSend = false;
};

class LoadGen
{
public:
    explicit LoadGen(const Options &o) : opt(o)
    {
        deadlineNs = nowNs() + std::uint64_t(opt.timeout * 1e9);
        ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0)
            die("epoll_create1");
        clients.resize(opt.clients);
        // Idle connections receive only probe lines; thousands of them need little buffer.
        const std::size_t inSize = opt.mode == "idle" ? 4096 : 64 * 1024;
        for (auto &c : clients)
            c.in.resize(inSize);
        if (opt.mode == "relay") {
            expected.assign(std::size_t(opt.clients) * opt.clients, 0);
            counts.assign(std::size_t(opt.clients) * opt.clients, 0);
        }
        histogram.assign(kHistBuckets, 0);
        if (opt.tls) {
            tlsContext = SSL_CTX_new(TLS_client_method());
            if (!tlsContext)
                die("SSL_CTX_new");
            SSL_CTX_set_min_proto_version(tlsContext, TLS1_2_VERSION);
            SSL_CTX_set_verify(tlsContext, SSL_VERIFY_NONE, nullptr);
            // Whole socket buffers per read, not a header and then a record (two calls each).
            SSL_CTX_set_read_ahead(tlsContext, 1);
            // The unsent tail lives in Client::out, which grows and moves between retries.
            SSL_CTX_set_mode(tlsContext,
                             SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        }
    }

    int run()
    {
        const std::uint64_t start = nowNs();
        if (opt.mode == "idle")
            return runIdle(start);
        if (opt.mode == "flood")
            return runFlood();
        return runRelay(start);
    }

private:
    static constexpr std::size_t kHistBuckets = 1000001; // 1 us each, the last one is ">= 1 s"

    bool pastDeadline() const { return nowNs() >= deadlineNs; }

    // send() and recv() through TLS when on: EAGAIN while TLS waits for the socket either way.
    ssize_t sendSome(Client &c, const char *data, std::size_t len)
    {
        if (!c.ssl)
            return send(c.fd, data, len, MSG_NOSIGNAL);
        const int w = SSL_write(c.ssl, data, int(len));
        return w > 0 ? w : tlsFailure(c, w);
    }
    ssize_t receiveSome(Client &c, char *data, std::size_t len)
    {
        if (!c.ssl)
            return recv(c.fd, data, len, 0);
        const int r = SSL_read(c.ssl, data, int(len));
        if (r <= 0 && SSL_get_error(c.ssl, r) == SSL_ERROR_ZERO_RETURN)
            return 0;
        return r > 0 ? r : tlsFailure(c, r);
    }
    static ssize_t tlsFailure(Client &c, int result)
    {
        const int error = SSL_get_error(c.ssl, result);
        ERR_clear_error();
        errno = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
        return -1;
    }
    // Carries the handshake on; true once it is done. Dies when it fails.
    bool handshake(Client &c, std::uint32_t index)
    {
        if (!c.ssl) {
            c.ssl = SSL_new(tlsContext);
            if (!c.ssl || SSL_set_fd(c.ssl, c.fd) != 1)
                die("SSL_new");
            SSL_set_connect_state(c.ssl);
        }
        const int r = SSL_do_handshake(c.ssl);
        if (r == 1)
            return true;
        const int error = SSL_get_error(c.ssl, r);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            ERR_print_errors_fp(stderr);
            errno = EPROTO;
            die("TLS handshake");
        }
        epoll_event ev{};
        ev.events = error == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
        ev.data.u32 = index;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        return false;
    }

    // Connects every client, at most connectBatch handshakes in flight at once.
    bool connectAll()
    {
        sockaddr_storage addr{};
        socklen_t addrLen;
        int family;
        if (opt.host == "::1") {
            auto *a6 = reinterpret_cast<sockaddr_in6 *>(&addr);
            a6->sin6_family = AF_INET6;
            a6->sin6_port = htons(std::uint16_t(opt.port));
            inet_pton(AF_INET6, "::1", &a6->sin6_addr);
            addrLen = sizeof(sockaddr_in6);
            family = AF_INET6;
        } else {
            auto *a4 = reinterpret_cast<sockaddr_in *>(&addr);
            a4->sin_family = AF_INET;
            a4->sin_port = htons(std::uint16_t(opt.port));
            inet_pton(AF_INET, "127.0.0.1", &a4->sin_addr);
            addrLen = sizeof(sockaddr_in);
            family = AF_INET;
        }

        std::uint32_t next = 0, pending = 0, done = 0;
        std::vector<epoll_event> events(1024);
        while (done < clients.size()) {
            while (next < clients.size() && pending < opt.connectBatch) {
                Client &c = clients[next];
                c.fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (c.fd < 0)
                    die("socket");
                const int one = 1;
                setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                const int r = connect(c.fd, reinterpret_cast<sockaddr *>(&addr), addrLen);
                if (r != 0 && errno != EINPROGRESS)
                    die("connect");
                epoll_event ev{};
                ev.events = EPOLLOUT;
                ev.data.u32 = next;
                if (epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev) != 0)
                    die("epoll_ctl");
                ++next;
                ++pending;
            }
            if (pastDeadline()) {
                std::fprintf(stderr, "loadgen: timed out connecting (%u of %zu)\n", done,
                             clients.size());
                return false;
            }
            const int n = epoll_wait(ep, events.data(), int(events.size()), 100);
            for (int i = 0; i < n; ++i) {
                Client &c = clients[events[i].data.u32];
                if (c.ready)
                    continue;
                if (!c.connected) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    if (err != 0) {
                        errno = err;
                        die("connect");
                    }
                    c.connected = true;
                }
                if (opt.tls && !handshake(c, events[i].data.u32))
                    continue;
                c.ready = true;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u32 = events[i].data.u32;
                epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
                --pending;
                ++done;
            }
        }
        return true;
    }

    void sendBytes(std::uint32_t index, const char *data, std::size_t len)
    {
        Client &c = clients[index];
        if (!c.alive)
            return;
        if (c.out.empty()) {
            const ssize_t w = sendSome(c, data, len);
            if (w == ssize_t(len))
                return;
            if (w < 0 && errno != EAGAIN) {
                markDead(index);
                return;
            }
            const std::size_t taken = w > 0 ? std::size_t(w) : 0;
            c.out.assign(data + taken, len - taken);
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLOUT;
            ev.data.u32 = index;
            epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        } else {
            c.out.append(data, len);
        }
    }

    void flushOut(std::uint32_t index)
    {
        Client &c = clients[index];
        if (c.out.empty() || !c.alive)
            return;
        const ssize_t w = sendSome(c, c.out.data(), c.out.size());
        if (w < 0) {
            if (errno != EAGAIN)
                markDead(index);
            return;
        }
        c.out.erase(0, std::size_t(w));
        if (c.out.empty()) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = index;
            epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        }
    }

    void markDead(std::uint32_t index)
    {
        Client &c = clients[index];
        if (!c.alive)
            return;
        c.alive = false;
        ++disconnected;
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
    }

    void sendProbe(std::uint32_t from, std::uint32_t number)
    {
        char line[benchline::kSize];
        benchline::format(line, true, from, number, nowNs());
        sendBytes(from, line, sizeof line);
        if (opt.noEcho) // it will not come back: the sender has it
            clients[from].lastProbe = std::max(clients[from].lastProbe, number);
    }

    void sendData(std::uint32_t index, std::uint32_t count)
    {
        char buf[benchline::kSize * 64];
        Client &c = clients[index];
        while (count > 0) {
            const std::uint32_t n = std::min<std::uint32_t>(count, 64);
            const std::uint64_t t = nowNs();
            for (std::uint32_t i = 0; i < n; ++i)
                benchline::format(buf + i * benchline::kSize, false, index, c.sent + i, t);
            sendBytes(index, buf, n * benchline::kSize);
            c.sent += n;
            count -= n;
        }
    }

    void onLine(std::uint32_t receiver, const char *line, std::size_t len, std::uint64_t now)
    {
        const benchline::Parsed p = benchline::parse(line, len);
        Client &c = clients[receiver];
        switch (p.kind) {
        case benchline::Kind::Foreign:
            ++foreign;
            return;
        case benchline::Kind::Corrupted:
            ++corrupted;
            return;
        case benchline::Kind::Probe:
            ++c.probesSeen;
            c.lastProbe = std::max(c.lastProbe, p.seq);
            return;
        case benchline::Kind::Data:
            break;
        }
        if (p.sender >= clients.size()) {
            ++corrupted;
            return;
        }
        const std::size_t slot = std::size_t(receiver) * clients.size() + p.sender;
        if (p.seq != expected[slot])
            ++reordered;
        expected[slot] = p.seq + 1;
        ++counts[slot];
        ++delivered;
        lastDeliveryNs = now;
        const std::uint64_t us = now > p.sentNs ? (now - p.sentNs) / 1000 : 0;
        ++histogram[std::min<std::uint64_t>(us, kHistBuckets - 1)];
        maxLatencyUs = std::max(maxLatencyUs, us);
        // Without echo, the next client's copy stands for the sender's own.
        const std::uint32_t n = std::uint32_t(clients.size());
        if (p.sender == (opt.noEcho ? (receiver + n - 1) % n : receiver)) {
            Client &s = clients[p.sender];
            ++s.ownEchoes;
            if (!s.wantsSend) {
                s.wantsSend = true;
                wantSend.push_back(p.sender);
            }
        }
    }

    void readFrom(std::uint32_t index)
    {
        Client &c = clients[index];
        for (;;) {
            if (c.inLen == c.in.size()) {
                // A "line" longer than the buffer is no line of ours: count it and move on.
                ++corrupted;
                c.inLen = 0;
            }
            const ssize_t r = receiveSome(c, c.in.data() + c.inLen, c.in.size() - c.inLen);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                markDead(index);
                return;
            }
            if (r < 0)
                return;
            const std::uint64_t now = nowNs();
            bytesIn += std::uint64_t(r);
            c.inLen += std::size_t(r);
            const char *begin = c.in.data();
            const char *end = begin + c.inLen;
            const char *p = begin;
            for (;;) {
                const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
                if (!lf)
                    break;
                onLine(index, p, std::size_t(lf + 1 - p), now);
                p = lf + 1;
            }
            c.inLen = std::size_t(end - p);
            if (c.inLen > 0 && p != begin)
                std::memmove(c.in.data(), p, c.inLen);
            // TLS hands out one record at a time; what it holds already no poll will announce.
            if (std::size_t(r) < c.in.size() / 2 && !(c.ssl && SSL_has_pending(c.ssl)))
                return; // drained
        }
    }

    // One pass of the event loop: waits at most timeoutMs.
    void poll(int timeoutMs)
    {
        static std::vector<epoll_event> events(4096);
        const int n = epoll_wait(ep, events.data(), int(events.size()), timeoutMs);
        if (n < 0 && errno != EINTR)
            die("epoll_wait");
        for (int i = 0; i < n; ++i) {
            const std::uint32_t index = events[i].data.u32;
            if (events[i].events & EPOLLOUT)
                flushOut(index);
            if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                readFrom(index);
        }
    }

    std::uint32_t aliveCount() const
    {
        std::uint32_t n = 0;
        for (const auto &c : clients)
            n += c.alive ? 1 : 0;
        return n;
    }

    // Sends probe lines from client `from` until every live client has received one sent after
    // `since`; returns how many clients got it.
    std::uint32_t probeAll(std::uint32_t from, double limitSeconds)
    {
        const std::uint64_t limit = nowNs() + std::uint64_t(limitSeconds * 1e9);
        const std::uint32_t first = ++probeNumber;
        std::uint64_t nextProbe = 0;
        for (;;) {
            std::uint32_t reached = 0;
            for (const auto &c : clients)
                reached += (c.alive && c.lastProbe >= first) ? 1 : 0;
            if (reached == aliveCount() || nowNs() >= limit || pastDeadline())
                return reached;
            if (nowNs() >= nextProbe) {
                sendProbe(from, probeNumber);
                nextProbe = nowNs() + 200000000; // every 200 ms until all have it
                ++probeNumber;
            }
            poll(10);
        }
    }

    // Waits until the last probe sent has reached everyone, so no probe is in flight.
    void drainProbes(double limitSeconds)
    {
        const std::uint64_t limit = nowNs() + std::uint64_t(limitSeconds * 1e9);
        const std::uint32_t last = probeNumber - 1;
        while (nowNs() < limit) {
            bool all = true;
            for (const auto &c : clients)
                all = all && (!c.alive || c.lastProbe >= last);
            if (all)
                return;
            poll(10);
        }
    }

    std::uint64_t percentileUs(double q, std::uint64_t total) const
    {
        if (total == 0)
            return 0;
        const std::uint64_t rank = std::uint64_t(q * double(total - 1)) + 1;
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < histogram.size(); ++i) {
            seen += histogram[i];
            if (seen >= rank)
                return i;
        }
        return histogram.size() - 1;
    }

    int runRelay(std::uint64_t start)
    {
        raiseFileLimit(clients.size() + 64);
        if (!connectAll())
            return report(start, 0, false, "connect timeout");
        const std::uint64_t connected = nowNs();
        const std::uint32_t reached = probeAll(0, std::min(opt.timeout, 60.0));
        if (reached != clients.size())
            return report(start, 0, false, "server did not relay to every connection");
        drainProbes(10);
        const double setupS = double(nowNs() - connected) / 1e9;
        foreign = 0; // the server may greet; only what comes during the run counts

        const std::uint64_t total = std::uint64_t(clients.size()) * opt.lines;
        const std::uint64_t expectedDeliveries = total * (clients.size() - (opt.noEcho ? 1 : 0));
        const std::uint64_t runStart = nowNs();
        lastDeliveryNs = runStart;
        std::uint64_t lastProgress = runStart, lastDelivered = 0;
        std::uint64_t scheduled = 0; // rate mode: lines sent so far over all clients

        if (opt.rate <= 0) {
            for (std::uint32_t i = 0; i < clients.size(); ++i)
                sendData(i, std::min(opt.window, opt.lines));
        }
        while (delivered < expectedDeliveries) {
            const std::uint64_t now = nowNs();
            if (now >= deadlineNs || double(now - lastProgress) / 1e9 > opt.stall)
                break;
            int waitMs = 100;
            if (opt.rate > 0 && scheduled < total) {
                const double elapsed = double(now - runStart) / 1e9;
                const std::uint64_t due =
                    std::min<std::uint64_t>(total, std::uint64_t(elapsed * opt.rate) + 1);
                while (scheduled < due) {
                    const std::uint32_t sender = std::uint32_t(scheduled % clients.size());
                    sendData(sender, 1);
                    ++scheduled;
                }
                const double nextAt = double(scheduled) / opt.rate;
                // At least a millisecond: at high rates lines go out in small bursts rather
                // than the generator spinning on a core the server needs.
                waitMs = std::max(1, int((nextAt - elapsed) * 1000.0));
            }
            poll(waitMs);
            if (opt.rate > 0) {
                for (std::uint32_t index : wantSend)
                    clients[index].wantsSend = false;
            } else {
                for (std::uint32_t index : wantSend) {
                    Client &c = clients[index];
                    c.wantsSend = false;
                    const std::uint32_t inFlight = c.sent - c.ownEchoes;
                    if (c.alive && c.sent < opt.lines && inFlight < opt.window)
                        sendData(index, std::min(opt.window - inFlight, opt.lines - c.sent));
                }
            }
            wantSend.clear();
            if (delivered != lastDelivered) {
                lastDelivered = delivered;
                lastProgress = nowNs();
            }
        }

        lost = 0;
        std::uint64_t duplicated = 0;
        for (std::uint32_t r = 0; r < clients.size(); ++r) {
            for (std::uint32_t s = 0; s < clients.size(); ++s) {
                if (opt.noEcho && r == s)
                    continue;
                const std::uint32_t n = counts[std::size_t(r) * clients.size() + s];
                const std::uint32_t want = clients[s].sent;
                if (n < want)
                    lost += want - n;
                else
                    duplicated += n - want;
                lost += opt.lines - want; // lines never sent, because the run stopped early
            }
        }
        dupes = duplicated;
        const bool complete = delivered == expectedDeliveries;
        return report(runStart, setupS, complete, complete ? "" : "run ended before all arrived");
    }

    int runIdle(std::uint64_t start)
    {
        raiseFileLimit(clients.size() + 64);
        const long baseKiB = opt.rssPid > 0 ? residentKiB(opt.rssPid) : -1;
        if (!connectAll())
            return report(start, 0, false, "connect timeout");
        // The server has taken them all once nothing waits in its accept queue for a while.
        int quietChecks = 0;
        while (quietChecks < 5 && !pastDeadline()) {
            poll(100);
            quietChecks = unacceptedConnections(opt.port) == 0 ? quietChecks + 1 : 0;
        }
        poll(500);
        const long heldKiB = opt.rssPid > 0 ? residentKiB(opt.rssPid) : -1;
        const double setupS = double(nowNs() - start) / 1e9;

        const std::uint32_t reachedStart = probeAll(0, 30);
        const std::uint64_t holdEnd = nowNs() + std::uint64_t(opt.hold * 1e9);
        while (nowNs() < holdEnd && !pastDeadline())
            poll(100);
        const std::uint32_t reachedEnd = probeAll(0, 30);
        const long afterKiB = opt.rssPid > 0 ? residentKiB(opt.rssPid) : -1;

        const double perConnKiB =
            baseKiB >= 0 ? double(heldKiB - baseKiB) / double(clients.size()) : -1;
        const double perConnAfterKiB =
            baseKiB >= 0 ? double(afterKiB - baseKiB) / double(clients.size()) : -1;
        const bool ok =
            reachedStart == clients.size() && reachedEnd == clients.size() && disconnected == 0;
        std::printf("{\"mode\":\"idle\",\"label\":\"%s\",\"connections\":%zu,"
                    "\"held_at_start\":%u,\"held_at_end\":%u,\"disconnected\":%" PRIu64 ","
                    "\"hold_s\":%.1f,\"setup_s\":%.2f,\"server_rss_base_kib\":%ld,"
                    "\"server_rss_held_kib\":%ld,\"server_rss_after_probe_kib\":%ld,"
                    "\"rss_per_conn_kib\":%.2f,\"rss_per_conn_after_probe_kib\":%.2f,"
                    "\"ok\":%s}\n",
                    opt.label.c_str(), clients.size(), reachedStart, reachedEnd, disconnected,
                    opt.hold, setupS, baseKiB, heldKiB, afterKiB, perConnKiB, perConnAfterKiB,
                    ok ? "true" : "false");
        std::fflush(stdout);
        return ok ? 0 : 1;
    }

    int runFlood()
    {
        clients.resize(1);
        if (!connectAll())
            return 1;
        Client &c = clients[0];
        // Lines no relay run takes for its own (foreign), shaped like the others.
        std::string block;
        while (block.size() + benchline::kSize <= 64 * 1024)
            block +=
                std::string("flood@flooder |") + std::string(benchline::kSize - 17, 'f') + "\r\n";
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = 0;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        std::uint64_t sentBytes = 0, readBytes = 0;
        std::size_t offset = 0; // into block, of the next byte to send
        static char sink[256 * 1024];
        const std::uint64_t start = nowNs();
        const std::uint64_t end = start + std::uint64_t(opt.hold * 1e9);
        std::vector<epoll_event> events(4);
        bool alive = true;
        while (alive && nowNs() < end && !pastDeadline()) {
            const int n = epoll_wait(ep, events.data(), int(events.size()), 100);
            for (int i = 0; i < n; ++i) {
                if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                    // TLS may hold decrypted bytes that no poll will announce.
                    ssize_t r = 0;
                    do {
                        r = receiveSome(c, sink, sizeof sink);
                        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
                            alive = false;
                        readBytes += r > 0 ? std::uint64_t(r) : 0;
                    } while (alive && r > 0 && c.ssl && SSL_has_pending(c.ssl));
                }
                if (alive && (events[i].events & EPOLLOUT)) {
                    const ssize_t w = sendSome(c, block.data() + offset, block.size() - offset);
                    if (w < 0 && errno != EAGAIN && errno != EINTR)
                        alive = false;
                    if (w > 0) {
                        sentBytes += std::uint64_t(w);
                        offset = (offset + std::size_t(w)) % block.size();
                    }
                }
            }
        }
        const double seconds = double(nowNs() - start) / 1e9;
        std::printf("{\"mode\":\"flood\",\"label\":\"%s\",\"lines_sent\":%" PRIu64
                    ",\"lines_per_s\":%.0f,\"bytes_read\":%" PRIu64 ",\"seconds\":%.2f,"
                    "\"cut\":%s}\n",
                    opt.label.c_str(), sentBytes / benchline::kSize,
                    double(sentBytes / benchline::kSize) / seconds, readBytes, seconds,
                    alive ? "false" : "true");
        std::fflush(stdout);
        return alive ? 0 : 1;
    }

    int report(std::uint64_t runStart, double setupS, bool complete, const char *note)
    {
        const double seconds =
            lastDeliveryNs > runStart ? double(lastDeliveryNs - runStart) / 1e9 : 0;
        std::uint64_t samples = 0;
        for (auto n : histogram)
            samples += n;
        const std::uint64_t badForeign = opt.allowForeign ? 0 : foreign;
        const bool ok = complete && lost == 0 && corrupted + badForeign == 0 && reordered == 0 &&
                        dupes == 0 && disconnected == 0;
        std::printf("{\"mode\":\"relay\",\"label\":\"%s\",\"clients\":%zu,"
                    "\"lines_per_client\":%u,\"rate\":%.0f,\"window\":%u,"
                    "\"deliveries\":%" PRIu64 ",\"seconds\":%.3f,\"deliveries_per_s\":%.0f,"
                    "\"lat_p50_us\":%" PRIu64 ",\"lat_p99_us\":%" PRIu64 ",\"lat_max_us\":%" PRIu64
                    ",\"lost\":%" PRIu64 ",\"corrupted\":%" PRIu64 ",\"reordered\":%" PRIu64
                    ",\"duplicated\":%" PRIu64 ",\"foreign\":%" PRIu64 ",\"disconnected\":%" PRIu64
                    ",\"setup_s\":%.2f,\"ok\":%s,\"note\":\"%s\"}\n",
                    opt.label.c_str(), clients.size(), opt.lines, opt.rate, opt.window, delivered,
                    seconds, seconds > 0 ? double(delivered) / seconds : 0.0,
                    percentileUs(0.50, samples), percentileUs(0.99, samples), maxLatencyUs, lost,
                    corrupted + badForeign, reordered, dupes, foreign, disconnected, setupS,
                    ok ? "true" : "false", note);
        std::fflush(stdout);
        return ok ? 0 : 1;
    }

    Options opt;
    int ep = -1;
    SSL_CTX *tlsContext = nullptr; // with --tls
    std::uint64_t deadlineNs = 0;
    std::vector<Client> clients;
    std::vector<std::uint32_t> expected; // [receiver][sender] next sequence number
    std::vector<std::uint32_t> counts;   // [receiver][sender] lines received
    std::vector<std::uint32_t> wantSend;
    std::vector<std::uint64_t> histogram;
    std::uint32_t probeNumber = 0;
    std::uint64_t delivered = 0, corrupted = 0, reordered = 0, foreign = 0, lost = 0, dupes = 0;
    std::uint64_t disconnected = 0, bytesIn = 0, maxLatencyUs = 0, lastDeliveryNs = 0;
};

} // namespace

int main(int argc, char **argv)
{
    const Options opt = parseOptions(argc, argv);
    LoadGen gen(opt);
    return gen.run();
}
