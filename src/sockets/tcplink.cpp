#include "tcplink.h"

#include "directsend.h"
#include "sockettrace.h"

namespace {
// Bytes held by the socket between reads; together with LineReader::MaxPiece this bounds
// what one connection can make us buffer.
constexpr qint64 ReadBufferSize = 256 * 1024;
// A graceful close waits this long for the queued output to go out.
constexpr int LingerMs = 5000;
} // namespace

TcpLink::TcpLink(QTcpSocket *socket, const char *owner, const QString &label, bool tracing,
                 QObject *parent)
    : QObject(parent), m_socket(socket), m_owner(owner), m_label(label), m_tracing(tracing)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(ReadBufferSize);
    // Without this a relay's answers wait for the peer's delayed ACKs (tens of milliseconds).
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    m_quiet.setSingleShot(true);
    m_quiet.setInterval(QuietIntervalMs);
    connect(&m_quiet, &QTimer::timeout, this, &TcpLink::onQuiet);

    connect(m_socket, &QTcpSocket::readyRead, this, &TcpLink::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &TcpLink::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &TcpLink::onError);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this](qint64 count) {
        if (m_tracing)
            trace(QStringLiteral("out %1 bytes").arg(count));
        // The socket writes one block of its buffer per write notification; the rest waits
        // for the next pass of the event loop. A busy relay queues faster than that, and a
        // client reading at full speed would pile up output until the cap cuts it off. Hand
        // the kernel all it takes now.
        if (m_socket->bytesToWrite() > 0)
            m_socket->flush();
    });

    // Bytes may have arrived before the link existed.
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &TcpLink::onReadyRead);
}

TcpLink::~TcpLink()
{
    // The socket's own destructor aborts and signals; nobody is to hear that here.
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
}

TcpLink::SendResult TcpLink::send(const QByteArray &bytes)
{
    if (m_closing || m_finished || bytes.isEmpty())
        return SendResult::Dropped;
    const qint64 unsent = m_socket->bytesToWrite();
    if (m_capHit) {
        if (unsent > OutputCap / 2)
            return SendResult::Dropped;
        m_capHit = false;
    }
    if (unsent + bytes.size() > OutputCap) {
        m_capHit = true;
        if (m_tracing)
            trace(QStringLiteral("output cap hit: %1 bytes unsent").arg(unsent));
        return SendResult::CapHit;
    }
    // With nothing waiting in the socket's buffer the bytes go straight to the system, in one
    // call. Handing them to QTcpSocket instead costs a copy, a write notifier switched on and
    // off again, and a pass of the event loop before they leave. The socket takes over only
    // what the system would not take now.
    if (unsent == 0 && m_socket->state() == QAbstractSocket::ConnectedState) {
        const qint64 sent = DirectSend::sendNow(m_socket, bytes);
        if (sent > 0 && m_tracing)
            trace(QStringLiteral("out %1 bytes").arg(sent));
        if (sent == bytes.size())
            return SendResult::Queued;
        if (sent > 0) {
            m_socket->write(bytes.constData() + sent, bytes.size() - sent);
            return SendResult::Queued;
        }
    }
    m_socket->write(bytes);
    return SendResult::Queued;
}

void TcpLink::close()
{
    if (m_closing)
        return;
    m_closing = true;
    m_quiet.stop();
    if (m_tracing)
        trace(QStringLiteral("close"));

    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    if (m_capHit) {
        // Its queue is full because it stopped reading; no point waiting for it.
        m_socket->abort();
        deleteLater();
        return;
    }
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    QTimer::singleShot(LingerMs, this, [this] {
        m_socket->abort();
        deleteLater();
    });
}

void TcpLink::onReadyRead()
{
    if (m_closing) {
        m_socket->readAll();
        return;
    }
    pump();
}

void TcpLink::pump()
{
    QPointer<TcpLink> self(this);
    for (;;) {
        if (m_reader.buffered() <= LineReader::MaxPiece && m_socket->bytesAvailable() > 0) {
            const QByteArray bytes = m_socket->readAll();
            if (m_tracing)
                trace(QStringLiteral("in %1 bytes").arg(bytes.size()));
            m_reader.append(bytes);
        }
        LineReader::Piece piece;
        if (!m_reader.takeLine(piece)) {
            if (m_reader.buffered() <= LineReader::MaxPiece && m_socket->bytesAvailable() > 0)
                continue;
            break;
        }
        emit textReceived(piece.text, piece.bytes);
        if (!self || m_closing)
            return;
    }

    if (m_reader.buffered() > 0)
        m_quiet.start();
    else
        m_quiet.stop();
}

void TcpLink::onQuiet()
{
    if (m_closing)
        return;
    LineReader::Piece piece;
    if (m_reader.takeRest(piece))
        emit textReceived(piece.text, piece.bytes);
}

void TcpLink::onDisconnected()
{
    if (m_closing) {
        deleteLater();
        return;
    }
    finish();
}

void TcpLink::onError(QAbstractSocket::SocketError error)
{
    if (m_closing || m_finished)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError)
        return; // an orderly end; disconnected() follows
    m_orderly = false;
    const QString description = m_socket->errorString();
    if (m_tracing)
        trace(QStringLiteral("error: ") + description);
    QPointer<TcpLink> self(this);
    emit failed(description);
    if (!self || m_closing)
        return;
    // Should the socket die without saying disconnected(), end the link all the same.
    QTimer::singleShot(0, this, [this] {
        if (!m_closing && !m_finished && m_socket->state() == QAbstractSocket::UnconnectedState)
            finish();
    });
}

void TcpLink::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_quiet.stop();
    if (m_tracing)
        trace(m_orderly ? QStringLiteral("closed by peer") : QStringLiteral("connection lost"));

    QPointer<TcpLink> self(this);
    for (;;) {
        if (m_socket->bytesAvailable() > 0)
            m_reader.append(m_socket->readAll());
        LineReader::Piece piece;
        if (!m_reader.takeLine(piece) && !m_reader.takeFinal(piece))
            break;
        emit textReceived(piece.text, piece.bytes);
        if (!self || m_closing)
            return;
    }
    emit finished(m_orderly);
}

void TcpLink::trace(const QString &text) const
{
    SocketTrace::line(m_owner, m_label + u' ' + text);
}
