#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// The relayed chat on a descriptor (standard output) that must never hold up the relay: it is
// written in non-blocking mode, what it does not take at once waits in a bounded
// buffer, and lines that find the buffer full are dropped and counted. Lines written during one
// pass of the event loop leave together at its end.
class ChatOutput final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChatOutput)

public:
    static constexpr qsizetype BufferCap = 1024 * 1024;

    explicit ChatOutput(int descriptor, QObject *parent = nullptr);
    ~ChatOutput() override;

    // Queues the line whole, or drops it whole when the buffer cannot take it.
    void write(const QByteArray &line);
    bool isDrained() const { return m_buffer.isEmpty() && !m_flushQueued; }

signals:
    // Output has caught up after lines were dropped; count is how many.
    void linesDropped(qint64 count);
    // Writing failed for good (the reader went away, say); nothing more is written.
    void failed(const QString &description);
    // Everything queued has been written.
    void drained();

private:
    void flush();

    int m_ownFd;    // our own opening of the descriptor's terminal or pipe, or -1
    int m_fd;       // where we write
    int m_oldFlags; // the shared mode to give back, or -1
    QByteArray m_buffer;
    qint64 m_dropped = 0;
    bool m_flushQueued = false;
    bool m_broken = false;
    QSocketNotifier *m_notifier;
};
