#pragma once

#include <QByteArray>
#include <QString>

/*
 * Receive framing of every TCP connection. The byte stream is UTF-8 and is cut into lines,
 * each ending at a line feed (a CR before it stays in the line). A piece without line end is
 * handed out on request (after a quiet interval) or as soon as it grows past MaxPiece bytes,
 * in pieces of at most MaxPiece, so the buffer never holds much more than that. A character
 * whose bytes are not all there yet stays in the buffer for the next piece, so it arrives
 * whole; invalid bytes become U+FFFD. The text raised is the same however the stream was cut
 * into reads.
 */
class LineReader
{
public:
    static constexpr qsizetype MaxPiece = 1024 * 1024;

    struct Piece
    {
        QString text;
        // The received bytes of the piece when they are exactly the UTF-8 form of text (so a
        // relay can send them on without encoding again); empty otherwise.
        QByteArray bytes;
    };

    void append(const QByteArray &bytes);
    qsizetype buffered() const { return m_data.size() - m_start; }

    // Next complete line, or the first MaxPiece bytes once the buffer has grown past that.
    bool takeLine(Piece &piece);
    // Everything buffered; an incomplete character at its end waits for its remaining bytes.
    // False when that leaves no text.
    bool takeRest(Piece &piece);
    // As takeRest, at the end of the stream: an incomplete character becomes U+FFFD.
    bool takeFinal(Piece &piece);

private:
    // Takes length bytes, less the start of a character cut off at their end unless final.
    Piece cut(qsizetype length, bool final = false);

    QByteArray m_data;
    qsizetype m_start = 0;
    qsizetype m_scanned = 0; // no line feed in [m_start, m_scanned)
};
