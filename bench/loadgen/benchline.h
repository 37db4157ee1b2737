#pragma once

// The 64-byte chat line the load generator sends and checks, shaped like a real chat line
// ("sender@handle     |text" + CR LF) so that the relay under test treats it as one:
//
//   00042@bench     |0000001234 00000a1b2c3d4e5f 9f3a01c2.........\r\n
//   sender  handle    sequence   send time (ns)   checksum  padding
//
// The checksum covers everything before it, so a line that was cut, merged with another or
// had bytes of another sender's line spliced in is caught as corrupted, not miscounted.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace benchline {

constexpr std::size_t kSize = 64;
constexpr std::size_t kSenderAt = 0, kSenderLen = 5;
constexpr std::size_t kHandleAt = 6, kHandleLen = 10;
constexpr std::size_t kSeqAt = 17, kSeqLen = 10;
constexpr std::size_t kTimeAt = 28, kTimeLen = 16;
constexpr std::size_t kSumAt = 45, kSumLen = 8;
constexpr std::size_t kPadAt = 53;

constexpr const char *kDataHandle = "bench     ";
// Probe lines only tell the generator that the server has taken every connection.
constexpr const char *kProbeHandle = "probe     ";

enum class Kind { Data, Probe, Foreign, Corrupted };

struct Parsed
{
    Kind kind = Kind::Foreign;
    std::uint32_t sender = 0;
    std::uint32_t seq = 0;
    std::uint64_t sentNs = 0;
};

inline std::uint64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

// Eight bytes per step: the generator checks tens of millions of lines per second.
inline std::uint32_t checksum(const char *p, std::size_t n)
{
    std::uint64_t h = 0x9e3779b97f4a7c15u;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xff51afd7ed558ccdu;
        h ^= h >> 29;
    }
    for (; i < n; ++i)
        h = (h ^ std::uint8_t(p[i])) * 0x100000001b3u;
    h ^= h >> 32;
    return std::uint32_t(h);
}

inline void putDecimal(char *p, std::size_t width, std::uint64_t v)
{
    for (std::size_t i = width; i-- > 0;) {
        p[i] = char('0' + v % 10);
        v /= 10;
    }
}

inline void putHex(char *p, std::size_t width, std::uint64_t v)
{
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = width; i-- > 0;) {
        p[i] = digits[v & 15];
        v >>= 4;
    }
}

inline bool getDecimal(const char *p, std::size_t width, std::uint64_t &v)
{
    v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const unsigned d = unsigned(p[i]) - '0';
        if (d > 9)
            return false;
        v = v * 10 + d;
    }
    return true;
}

inline bool getHex(const char *p, std::size_t width, std::uint64_t &v)
{
    v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = p[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else
            return false;
        v = (v << 4) | d;
    }
    return true;
}

// Writes one line of kSize bytes at out.
inline void format(char *out, bool probe, std::uint32_t sender, std::uint32_t seq,
                   std::uint64_t sentNs)
{
    putDecimal(out + kSenderAt, kSenderLen, sender);
    out[5] = '@';
    std::memcpy(out + kHandleAt, probe ? kProbeHandle : kDataHandle, kHandleLen);
    out[16] = '|';
    putDecimal(out + kSeqAt, kSeqLen, seq);
    out[27] = ' ';
    putHex(out + kTimeAt, kTimeLen, sentNs);
    out[44] = ' ';
    putHex(out + kSumAt, kSumLen, checksum(out, kSumAt));
    std::memset(out + kPadAt, '.', kSize - 2 - kPadAt);
    out[kSize - 2] = '\r';
    out[kSize - 1] = '\n';
}

// line points at a line of len bytes that ends with its line feed.
inline Parsed parse(const char *line, std::size_t len)
{
    Parsed r;
    const bool looksOurs = len >= kHandleAt + kHandleLen + 1 && line[5] == '@' && line[16] == '|' &&
                           (std::memcmp(line + kHandleAt, kDataHandle, kHandleLen) == 0 ||
                            std::memcmp(line + kHandleAt, kProbeHandle, kHandleLen) == 0);
    if (!looksOurs) {
        r.kind = Kind::Foreign;
        return r;
    }
    r.kind = Kind::Corrupted;
    if (len != kSize || line[kSize - 2] != '\r' || line[27] != ' ' || line[44] != ' ')
        return r;
    std::uint64_t sender, seq, sent, sum;
    if (!getDecimal(line + kSenderAt, kSenderLen, sender) ||
        !getDecimal(line + kSeqAt, kSeqLen, seq) || !getHex(line + kTimeAt, kTimeLen, sent) ||
        !getHex(line + kSumAt, kSumLen, sum) || sum != checksum(line, kSumAt))
        return r;
    for (std::size_t i = kPadAt; i < kSize - 2; ++i) {
        if (line[i] != '.')
            return r;
    }
    r.kind = line[kHandleAt] == 'p' ? Kind::Probe : Kind::Data;
    r.sender = std::uint32_t(sender);
    r.seq = std::uint32_t(seq);
    r.sentNs = sent;
    return r;
}

} // namespace benchline
