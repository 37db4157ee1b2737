#include "linereader.h"

namespace {
// Consumed bytes at the front of the buffer are dropped once they are this many and more than
// half of it, so that dribbled input costs O(n) in total.
constexpr qsizetype CompactThreshold = 64 * 1024;
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
    if (lf >= 0) {
        piece = cut(lf + 1 - m_start);
        return true;
    }
    m_scanned = m_data.size();
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
    if (buffered() > 0)
        piece = cut(buffered());
    else
        piece = Piece();
    if (m_decoder.midCharacter()) {
        piece.text.append(QChar::ReplacementCharacter);
        piece.bytes.clear();
        m_decoder.resetState();
    }
    return !piece.text.isEmpty();
}

LineReader::Piece LineReader::cut(qsizetype length)
{
    const bool cleanStart = !m_decoder.midCharacter();
    const qsizetype invalidBefore = m_decoder.invalidCount();

    Piece piece;
    const QByteArrayView view = QByteArrayView(m_data).sliced(m_start, length);
    piece.text = m_decoder.decode(view);
    if (cleanStart && !m_decoder.midCharacter() && m_decoder.invalidCount() == invalidBefore) {
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
