#include "linereader.h"

#include <QStringDecoder>

namespace {
// Each piece is decoded on its own: carrying decoder state from one call to the next loses
// characters that follow an invalid byte at the end of a call. Without state to carry, one
// decoder serves every reader of the thread, and an idle connection holds none.
class Decoder final : public QStringDecoder
{
public:
    Decoder() : QStringDecoder(Utf8, Flag::Stateless | Flag::ConvertInitialBom) {}
    qsizetype invalidCount() const { return state.invalidChars; }
};

Decoder &decoder()
{
    thread_local Decoder shared;
    return shared;
}
// Consumed bytes at the front of the buffer are dropped once they are this many and more than
// half of it, so that dribbled input costs O(n) in total.
constexpr qsizetype CompactThreshold = 64 * 1024;

// How many bytes at the end of bytes begin a character whose remaining bytes have not come
// yet (0 to 3).
qsizetype incompleteTail(QByteArrayView bytes)
{
    for (qsizetype k = 1; k <= 3 && k <= bytes.size(); ++k) {
        const uchar c = uchar(bytes[bytes.size() - k]);
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for the lead
        const qsizetype needed = c >= 0xF8 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return needed > k ? k : 0;
    }
    return 0;
}
} // namespace

void LineReader::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (buffered() == 0) {
        m_data = bytes;
        m_start = m_scanned = 0;
        return;
    }
    if (m_start >= CompactThreshold && m_start * 2 > m_data.size()) {
        m_data.remove(0, m_start);
        m_scanned -= m_start;
        m_start = 0;
    }
    m_data.append(bytes);
}

bool LineReader::takeLine(Piece &piece)
{
    const qsizetype lf = m_data.indexOf('\n', m_scanned);
    if (lf >= 0 && lf + 1 - m_start <= MaxPiece) {
        piece = cut(lf + 1 - m_start);
        return true;
    }
    // A line longer than the cap is handed out in capped pieces like any other long piece.
    m_scanned = lf >= 0 ? lf : m_data.size();
    if (buffered() > MaxPiece) {
        piece = cut(MaxPiece);
        return true;
    }
    return false;
}

bool LineReader::takeRest(Piece &piece)
{
    if (buffered() == 0)
        return false;
    piece = cut(buffered());
    return !piece.text.isEmpty();
}

bool LineReader::takeFinal(Piece &piece)
{
    piece = buffered() > 0 ? cut(buffered(), true) : Piece();
    return !piece.text.isEmpty();
}

LineReader::Piece LineReader::cut(qsizetype length, bool final)
{
    QByteArrayView view = QByteArrayView(m_data).sliced(m_start, length);
    if (!final)
        view.chop(incompleteTail(view));
    length = view.size();
    if (length == 0)
        return Piece();

    Decoder &utf8 = decoder();
    const qsizetype invalidBefore = utf8.invalidCount();
    Piece piece;
    piece.text = utf8.decode(view);
    if (utf8.invalidCount() == invalidBefore) {
        // The usual case, one read holding exactly one line, shares the read's buffer.
        piece.bytes = (m_start == 0 && length == m_data.size()) ? m_data : view.toByteArray();
    }

    m_start += length;
    if (m_scanned < m_start)
        m_scanned = m_start;
    if (m_start == m_data.size()) {
        m_data = QByteArray();
        m_start = m_scanned = 0;
    }
    return piece;
}
