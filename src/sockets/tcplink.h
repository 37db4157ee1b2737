#pragma once

#include "linereader.h"

#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

/*
 * One established TCP connection of CWS_TCP_S or CWS_TCP_C: owns the socket, cuts what
 * arrives into lines (LineReader) and raises them one at a time, and queues what is sent with
 * a cap on the unsent output. Handlers of its signals may close it from inside them; it then
 * raises nothing more and deletes itself once the socket has finished. Its signals are raised
 * from the event loop, one at a time; a handler of textReceived must not run the event loop
 * itself (no modal box), or the next text could be raised inside it.
 */
class TcpLink final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TcpLink)

public:
    // A client that stops reading must not grow our memory without bound.
    static constexpr qint64 OutputCap = 4 * 1024 * 1024;
    // A trailing piece without line end is raised after this much silence.
    static constexpr int QuietIntervalMs = 40;

    // Takes over socket, which must be connected. owner and label name the connection in trace
    // lines, written while tracing is on (the owner's InfoWSock).
    TcpLink(QTcpSocket *socket, const char *owner, const QString &label, bool tracing,
            QObject *parent);
    ~TcpLink() override;

    QTcpSocket *socket() const { return m_socket; }
    bool isClosing() const { return m_closing; }
    void setTracing(bool on) { m_tracing = on; }

    enum class SendResult { Queued, Dropped, CapHit };
    // Queues bytes. When the unsent output would pass OutputCap they are dropped: CapHit the
    // first time, Dropped after that until the output has drained to half the cap.
    SendResult send(const QByteArray &bytes);

    // Raises nothing more; what is queued still goes out (unless the cap was hit), then the
    // connection closes and the link deletes itself.
    void close();

signals:
    void textReceived(QString &text, const QByteArray &bytes);
    // A socket error other than an orderly close by the peer.
    void failed(const QString &description);
    // The connection has ended; remaining text has been raised before.
    void finished(bool orderly);

private:
    void onReadyRead();
    void onQuiet();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void pump();
    void finish();
    void trace(const QString &text) const;

    QTcpSocket *m_socket;
    const char *m_owner;
    QString m_label;
    bool m_tracing;
    LineReader m_reader;
    QTimer m_quiet;
    bool m_finished = false;
    bool m_closing = false;
    bool m_capHit = false;
    bool m_orderly = true;
};
