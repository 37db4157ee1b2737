// The receive framing of a TCP connection against any byte stream, cut into reads of any size,
// with the quiet interval falling anywhere: the pieces raised, put together, are the stream
// decoded at once; no piece takes more than LineReader::MaxPiece bytes of the stream; every
// piece but a capped or a flushed one ends at its line feed; and a piece's bytes, when given,
// are exactly what it took from the stream and the UTF-8 form of its text.
//
// The input is a little program: each step is one byte saying what happens next.
//   xxxxxx00, xxxxxx01  a read of the next 1 + (step >> 2) input bytes (up to 64)
//   xxxLPP10            a run of 2^(a % 23) + b bytes, a and b the next two bytes, filled
//                       with the next PP + 1 bytes over and over, arriving in reads of 256 KiB
//                       as a socket hands them over (3 MiB in all at most); its line feeds
//                       are kept only when L is set, and the run is then 256 KiB at most,
//                       since a run of tiny lines teaches nothing a short one does not
//   xxxxxx11            the quiet interval passes: whatever is buffered is raised
// At the end of the input the stream ends.
#include "linereader.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qsizetype MaxStream = 3 * 1024 * 1024;
constexpr qsizetype SocketRead = 256 * 1024;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_linereader: %s\n", what);
    std::abort();
}

class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_at >= m_size; }
    uint8_t byte() { return empty() ? 0 : m_data[m_at++]; }
    QByteArray bytes(size_t count)
    {
        count = std::min(count, m_size - m_at);
        const QByteArray out(reinterpret_cast<const char *>(m_data + m_at), qsizetype(count));
        m_at += count;
        return out;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_at = 0;
};

class Harness
{
public:
    enum class Kind { Line, Rest, Final };

    void feed(const QByteArray &bytes)
    {
        m_reader.append(bytes);
        m_stream += bytes;
        drainLines();
    }

    void drainLines()
    {
        for (;;) {
            const qsizetype before = m_reader.buffered();
            LineReader::Piece piece;
            if (!m_reader.takeLine(piece))
                return;
            check(piece, before, Kind::Line);
        }
    }

    void quiet()
    {
        const qsizetype before = m_reader.buffered();
        LineReader::Piece piece;
        if (m_reader.takeRest(piece))
            check(piece, before, Kind::Rest);
        else
            m_taken += before - m_reader.buffered();
    }

    void end()
    {
        drainLines();
        const qsizetype before = m_reader.buffered();
        LineReader::Piece piece;
        if (m_reader.takeFinal(piece))
            check(piece, before, Kind::Final);
        else
            m_taken += before - m_reader.buffered();
        if (m_reader.buffered() != 0)
            fail("bytes left over at the end of the stream");
        LineReader::Piece after;
        if (m_reader.takeLine(after) || m_reader.takeRest(after) || m_reader.takeFinal(after))
            fail("a piece after the end of the stream");

        if (m_taken != m_stream.size())
            fail("the pieces did not take the whole stream");
        // A byte order mark is text like any other: a relay passes it on.
        QStringDecoder whole(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                       QStringDecoder::Flag::ConvertInitialBom);
        if (m_joined != QString(whole.decode(m_stream)))
            fail("the pieces put together differ from the stream decoded at once");
    }

private:
    void check(const LineReader::Piece &piece, qsizetype bufferedBefore, Kind kind)
    {
        const qsizetype consumed = bufferedBefore - m_reader.buffered();
        if (consumed < 0)
            fail("taking a piece grew the buffer");
        if (consumed > LineReader::MaxPiece)
            fail("a piece took more than the cap");
        const QByteArrayView taken = QByteArrayView(m_stream).sliced(m_taken, consumed);
        m_taken += consumed;

        // A capped piece leaves the start of a character cut off at the cap (up to 3 bytes)
        // for the next one.
        if (kind == Kind::Line && consumed < LineReader::MaxPiece - 3 &&
            (taken.isEmpty() || taken.back() != '\n'))
            fail("a line neither ends at its line feed nor fills the cap");
        if (kind == Kind::Line && taken.sliced(0, consumed - 1).contains('\n'))
            fail("a line holds a line feed before its end");
        if (piece.text.isEmpty())
            fail("an empty piece was raised");
        // No byte of UTF-8 makes more than one UTF-16 unit.
        if (piece.text.size() > consumed)
            fail("a piece's text is longer than its bytes allow");
        if (!piece.bytes.isEmpty()) {
            if (piece.bytes != taken)
                fail("a piece's bytes are not what it took from the stream");
            if (piece.bytes != piece.text.toUtf8())
                fail("a piece's bytes are not the UTF-8 form of its text");
        }
        m_joined += piece.text;
    }

    LineReader m_reader;
    QByteArray m_stream;
    QString m_joined;
    qsizetype m_taken = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    Harness harness;
    qsizetype streamed = 0;
    while (!in.empty()) {
        const uint8_t step = in.byte();
        switch (step & 3) {
        case 0:
        case 1: {
            const QByteArray read = in.bytes(1 + (step >> 2));
            streamed += read.size();
            harness.feed(read);
            break;
        }
        case 2: {
            // Sizes spread evenly over the powers of two, so that both short runs and runs
            // past the cap come up often.
            const int shift = in.byte() % 23;
            const qsizetype wanted = (qsizetype(1) << shift) + in.byte();
            QByteArray pattern = in.bytes(((step >> 2) & 3) + 1);
            if (pattern.isEmpty())
                break;
            const bool lines = step & 0x10;
            if (!lines)
                pattern.replace('\n', ' ');
            qsizetype length =
                std::min({wanted, MaxStream - streamed, lines ? SocketRead : MaxStream});
            streamed += length;
            while (length > 0) {
                const qsizetype read = std::min(length, SocketRead);
                harness.feed(pattern.repeated(read / pattern.size() + 1).first(read));
                length -= read;
            }
            break;
        }
        case 3:
            harness.quiet();
            break;
        }
    }
    harness.end();
    return 0;
}
