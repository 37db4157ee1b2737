#pragma once

// The 64-byte chat line the load generator sends and checks, shaped like a real chat line
// ("sender@handle     |text" + CR LF) so that the relay under test treats it as one:
//
//   0000002a@bench     |000004d2 00000a1b2c3d4e5f 9f3a01c2........\r\n
//   sender   handle     sequence send time (ns)   checksum padding
//
// Numbers are hexadecimal, eight digits at a time, so that the generator can check tens of
// millions of lines per second. The checksum covers everything before it, so a line that was
// cut, merged with another or had bytes of another sender's line spliced in is caught as
// corrupted, not miscounted.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace benchline {

constexpr std::size_t kSize = 64;
constexpr std::size_t kSenderAt = 0;
constexpr std::size_t kAtSign = 8;
constexpr std::size_t kHandleAt = 9, kHandleLen = 10;
constexpr std::size_t kBar = 19;
constexpr std::size_t kSeqAt = 20;
constexpr std::size_t kTimeAt = 29; // 16 digits
constexpr std::size_t kSumAt = 46;
constexpr std::size_t kPadAt = 54, kPadLen = 8;

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

inline void putHex(char *p, std::size_t width, std::uint64_t v)
{
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = width; i-- > 0;) {
        p[i] = digits[v & 15];
        v >>= 4;
    }
}

// Eight lower-case hex digits to their value, all at once. The digits are not checked one by
// one: a line whose checksum matches holds them as they were written.
[[gnu::always_inline]] inline std::uint32_t getHex8(const char *p)
{
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    // '0'-'9' are 0x30-0x39, 'a'-'f' 0x61-0x66: the low nibble, plus 9 for letters.
    std::uint64_t v = (w & 0x0f0f0f0f0f0f0f0fu) + 9 * ((w >> 6) & 0x0101010101010101u);
    // The first digit sits in the lowest byte (little-endian): fold pairs, then quads.
    v = ((v & 0x000f000f000f000fu) << 4) | ((v & 0x0f000f000f000f00u) >> 8);
    v = ((v & 0x000000ff000000ffu) << 8) | ((v & 0x00ff000000ff0000u) >> 16);
    v = ((v & 0x000000000000ffffu) << 16) | ((v & 0x0000ffff00000000u) >> 32);
    return std::uint32_t(v);
}

// Writes one line of kSize bytes at out.
inline void format(char *out, bool probe, std::uint32_t sender, std::uint32_t seq,
                   std::uint64_t sentNs)
{
    putHex(out + kSenderAt, 8, sender);
    out[kAtSign] = '@';
    std::memcpy(out + kHandleAt, probe ? kProbeHandle : kDataHandle, kHandleLen);
    out[kBar] = '|';
    putHex(out + kSeqAt, 8, seq);
    out[28] = ' ';
    putHex(out + kTimeAt, 16, sentNs);
    out[45] = ' ';
    putHex(out + kSumAt, 8, checksum(out, kSumAt));
    std::memset(out + kPadAt, '.', kPadLen);
    out[kSize - 2] = '\r';
    out[kSize - 1] = '\n';
}

// line points at a line of len bytes that ends with its line feed.
inline Parsed parse(const char *line, std::size_t len)
{
    Parsed r;
    const bool looksOurs = len >= kBar + 1 && line[kAtSign] == '@' && line[kBar] == '|' &&
                           (std::memcmp(line + kHandleAt, kDataHandle, kHandleLen) == 0 ||
                            std::memcmp(line + kHandleAt, kProbeHandle, kHandleLen) == 0);
    if (!looksOurs) {
        r.kind = Kind::Foreign;
        return r;
    }
    r.kind = Kind::Corrupted;
    if (len != kSize || line[kSize - 2] != '\r' || line[28] != ' ' || line[45] != ' ' ||
        std::memcmp(line + kPadAt, "........", kPadLen) != 0)
        return r;
    // Compared as text, so that no other spelling of the same value passes.
    char sum[8];
    putHex(sum, 8, checksum(line, kSumAt));
    if (std::memcmp(sum, line + kSumAt, 8) != 0)
        return r;
    r.kind = line[kHandleAt] == 'p' ? Kind::Probe : Kind::Data;
    r.sender = getHex8(line + kSenderAt);
    r.seq = getHex8(line + kSeqAt);
    r.sentNs = (std::uint64_t(getHex8(line + kTimeAt)) << 32) | getHex8(line + kTimeAt + 8);
    return r;
}

} // namespace benchline
