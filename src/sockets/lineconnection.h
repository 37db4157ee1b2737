#pragma once

#include "linereader.h"
#include "sockettrace.h"

#include <QBasicTimer>
#include <QHostAddress>
#include <QObject>

class LineServer;
class QTcpSocket;

/*
 * One established TCP connection carrying lines of UTF-8 text: owns the socket, cuts what
 * arrives into lines (LineReader) and raises them one at a time, and queues what is sent with
 * a cap on the unsent output. The socket may be a QSslSocket whose handshake is done; only a
 * plain QTcpSocket is written to directly through its descriptor.
 *
 * Handlers of its signals may close it from inside them; it then raises nothing more and
 * deletes itself once its output has gone. A handler of lineReceived must not run the event
 * loop itself (no modal box), or the next line could be raised inside it. A connection of a
 * LineServer raises its events through the server as well.
 */
class LineConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LineConnection)

public:
    // A peer that stops reading must not grow our memory without bound.
    static constexpr qint64 DefaultOutputCap = 4 * 1024 * 1024;
    // A trailing piece without line end is raised after this much silence.
    static constexpr int QuietIntervalMs = 40;

    // Takes over socket, which must be connected (and, for TLS, encrypted). trace, when given,
    // must outlive the connection.
    explicit LineConnection(QTcpSocket *socket, const SocketTrace *trace = nullptr,
                            QObject *parent = nullptr);
    ~LineConnection() override;

    // The server's number for it, from 1, never reused by that server; 0 outside a server.
    qint32 id() const { return m_id; }
    // The server's listener it came in on, in the order they were opened; -1 outside a server.
    int listener() const { return m_listener; }
    QTcpSocket *socket() const { return m_socket; }
    // The other end, kept from when the connection was made.
    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }
    // "#id", or "address:port" outside a server: how trace and error lines name it.
    QString label() const;

    // Sends bytes, or drops them when the unsent output would pass outputCap(): the first time
    // that raises errorOccurred (from the event loop), and output is dropped until it has
    // drained to half the cap. False when dropped (closing, closed, or over the cap). A
    // connection of a server first hands out what the server broadcast before.
    bool send(const QByteArray &bytes);
    qint64 bytesToWrite() const;
    void setOutputCap(qint64 bytes) { m_outputCap = bytes; }
    qint64 outputCap() const { return m_outputCap; }

    // Stops taking lines: what the socket holds stays there, up to its read buffer, and then
    // the system's buffers fill and the peer has to wait. Nothing received is lost.
    void pauseReading();
    void resumeReading();
    bool isReadingPaused() const { return m_paused; }
    // Milliseconds since bytes last arrived (or since the connection was made).
    qint64 msecsSinceLastRead() const;

    // Raises nothing more; what is queued still goes out (unless the cap was hit), then the
    // connection closes and the object deletes itself. A server's connection leaves the
    // server's set at once and is announced closed from the event loop.
    void close();
    bool isClosing() const { return m_closing; }

signals:
    // One complete line (line feed included), a piece of at most LineReader::MaxPiece bytes, or
    // a trailing piece after the quiet interval. bytes are the received bytes of text when they
    // are exactly its UTF-8 form, empty otherwise.
    void lineReceived(const QString &text, const QByteArray &bytes);
    // A socket error other than an orderly close by the peer, or the output cap hit.
    void errorOccurred(const QString &description);
    // The connection has ended from the other side; every text has been raised before.
    void disconnected();

private:
    friend class LineServer;

    void timerEvent(QTimerEvent *event) override;
    void onReadyRead();
    void onDisconnected();
    void onError();
    void pump();
    void raise(const LineReader::Piece &piece);
    void finish();
    bool write(const QByteArray &bytes);
    void writeToSocket(const char *data, qint64 size);
    void onBytesWritten(qint64 count);
    void reportCapHit();
    void release();
    bool tracing() const { return m_trace && m_trace->isOn(); }
    void trace(const QString &text) const;

    QTcpSocket *m_socket;
    const SocketTrace *m_trace;
    LineServer *m_server = nullptr;
    QHostAddress m_peerAddress;
    qint64 m_outputCap = DefaultOutputCap;
    qint64 m_lastRead;
    LineReader m_reader;
    QBasicTimer m_quiet;
    QBasicTimer m_linger;
    qint32 m_id = 0;
    int m_listener = -1;
    quint16 m_peerPort;
    bool m_direct;                 // plain TCP: bytes may go straight to the descriptor
    bool m_socketBuffered = false; // bytes wait in the socket's buffer; we hear of their going
    bool m_paused = false;
    bool m_finished = false; // the peer has gone and every text has been raised
    bool m_closing = false;  // close() was called
    bool m_capHit = false;
    bool m_orderly = true;     // no socket error before the end
    bool m_peerGone = false;   // the peer has ended; texts may still wait for a paused reader
    bool m_inSet = false;      // one of its server's open connections
    bool m_announcing = false; // the server has yet to announce the close
    bool m_released = false;   // gone as far as the socket goes; deleted once announced
};
