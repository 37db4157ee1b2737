#include "lineconnection.h"

#include "directsend.h"
#include "hostaddresses.h"
#include "lineserver_p.h"
#include "sockettrace.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QTimerEvent>

namespace {
// Bytes held by the socket between reads; together with LineReader::MaxPiece this bounds
// what one connection can make us buffer, also while its reading is paused.
constexpr qint64 ReadBufferSize = 256 * 1024;
// A graceful close waits this long for the queued output to go out.
constexpr int LingerMs = 5000;

qint64 monotonicMSecs()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}
} // namespace

LineConnection::LineConnection(QTcpSocket *socket, const SocketTrace *socketTrace, QObject *parent)
    : QObject(parent), m_socket(socket), m_trace(socketTrace), m_peerAddress(socket->peerAddress()),
      m_lastRead(monotonicMSecs()), m_peerPort(socket->peerPort()),
      // A subclass (QSslSocket) transforms what it is given; only plain TCP may skip it.
      m_direct(socket->metaObject() == &QTcpSocket::staticMetaObject)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(ReadBufferSize);
    // Without this a relay's answers wait for the peer's delayed ACKs (tens of milliseconds).
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    connect(m_socket, &QTcpSocket::readyRead, this, &LineConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &LineConnection::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &LineConnection::onError);

    // Bytes may have arrived before the connection object existed.
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &LineConnection::onReadyRead);
}

LineConnection::~LineConnection()
{
    // The socket's own destructor aborts and signals; nobody is to hear that here.
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    if (m_server)
        m_server->d->connectionGone(this);
}

QString LineConnection::label() const
{
    return m_id > 0 ? u'#' + QString::number(m_id)
                    : HostAddresses::endpointText(m_peerAddress, m_peerPort);
}

bool LineConnection::send(const QByteArray &bytes)
{
    if (m_server)
        m_server->d->flushBroadcast();
    return write(bytes);
}

bool LineConnection::write(const QByteArray &bytes)
{
    if (m_closing || m_peerGone || bytes.isEmpty())
        return false;
    const qint64 unsent = bytesToWrite();
    if (m_capHit) {
        if (unsent > m_outputCap / 2)
            return false;
        m_capHit = false;
    }
    if (unsent + bytes.size() > m_outputCap) {
        m_capHit = true;
        trace(QStringLiteral("output cap hit: %1 bytes unsent").arg(unsent));
        reportCapHit();
        return false;
    }
    // With nothing waiting in the socket's buffer the bytes go straight to the system, in one
    // call. Handing them to QTcpSocket instead costs a copy, a write notifier switched on and
    // off again, and a pass of the event loop before they leave. The socket takes over only
    // what the system would not take now.
    if (m_direct && unsent == 0 && m_socket->state() == QAbstractSocket::ConnectedState) {
        const qint64 sent = DirectSend::sendNow(m_socket, bytes);
        if (sent > 0 && tracing())
            trace(QStringLiteral("out %1 bytes").arg(sent));
        if (sent == bytes.size())
            return true;
        if (sent > 0) {
            writeToSocket(bytes.constData() + sent, bytes.size() - sent);
            return true;
        }
    }
    writeToSocket(bytes.constData(), bytes.size());
    // A QSslSocket would encrypt only on a later pass of the event loop, and its plain socket
    // send on the pass after that; both now, while the bytes are at hand.
    if (!m_direct)
        m_socket->flush();
    return true;
}

// What the system does not take at once waits in the socket's buffer. Only then does the
// connection listen for the socket's progress: an idle connection keeps no such link.
void LineConnection::writeToSocket(const char *data, qint64 size)
{
    if (!m_socketBuffered) {
        m_socketBuffered = true;
        connect(m_socket, &QTcpSocket::bytesWritten, this, &LineConnection::onBytesWritten);
    }
    m_socket->write(data, size);
}

void LineConnection::onBytesWritten(qint64 count)
{
    // The socket writes one block of its buffer per write notification; the rest waits for the
    // next pass of the event loop. A busy relay queues faster than that, and a peer reading at
    // full speed would pile up output until the cap cuts it off. Hand the kernel all it takes
    // now. The socket tells nothing of what it writes while this handler runs: count it here.
    const qint64 waiting = m_socket->bytesToWrite();
    if (waiting > 0)
        m_socket->flush();
    if (tracing())
        trace(QStringLiteral("out %1 bytes").arg(count + waiting - m_socket->bytesToWrite()));
    if (m_socket->bytesToWrite() == 0) {
        m_socketBuffered = false;
        disconnect(m_socket, &QTcpSocket::bytesWritten, this, &LineConnection::onBytesWritten);
    }
}

qint64 LineConnection::bytesToWrite() const
{
    // Asking the socket costs more than the rest of a send straight to the system.
    if (m_direct)
        return m_socketBuffered ? m_socket->bytesToWrite() : 0;
    // A QSslSocket counts only what it has yet to encrypt; what is encrypted and unsent is
    // just as much ours to hold.
    const auto *secure = qobject_cast<const QSslSocket *>(m_socket);
    return m_socket->bytesToWrite() + (secure ? secure->encryptedBytesToWrite() : 0);
}

// Said at once on standard error; raised from the event loop, never from inside send(), so
// that a broadcast loop never sees the set of connections change under it.
void LineConnection::reportCapHit()
{
    const QString description = QStringLiteral("unsent output passed %1 bytes").arg(m_outputCap);
    if (m_trace)
        m_trace->failure(QStringLiteral("connection %1: %2").arg(label(), description));
    QTimer::singleShot(0, this, [this, description] {
        if (m_closing)
            return;
        if (m_server && !m_server->d->connectionError(this, description))
            return;
        emit errorOccurred(description);
    });
}

void LineConnection::pauseReading()
{
    if (m_paused)
        return;
    m_paused = true;
    m_quiet.stop();
    trace(QStringLiteral("reading paused"));
}

void LineConnection::resumeReading()
{
    if (!m_paused)
        return;
    m_paused = false;
    trace(QStringLiteral("reading resumed"));
    // From the event loop: the caller may be inside one of our own signals.
    QTimer::singleShot(0, this, [this] {
        if (m_paused || m_closing || m_finished)
            return;
        if (m_peerGone)
            finish();
        else
            pump();
    });
}

qint64 LineConnection::msecsSinceLastRead() const
{
    return monotonicMSecs() - m_lastRead;
}

void LineConnection::close()
{
    if (m_closing)
        return;
    // Whatever was broadcast before still goes to it.
    if (m_server && m_inSet)
        m_server->d->flushBroadcast();
    m_closing = true;
    m_quiet.stop();
    trace(QStringLiteral("close"));
    if (m_server && m_inSet)
        m_server->d->connectionClosing(this);

    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        release();
        return;
    }
    if (m_capHit) {
        // Its queue is full because it stopped reading; no point waiting for it.
        m_socket->abort();
        release();
        return;
    }
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        release();
        return;
    }
    m_linger.start(LingerMs, this);
}

// Done with the socket: the object goes once its server has announced the close.
void LineConnection::release()
{
    m_linger.stop();
    m_released = true;
    if (!m_announcing)
        deleteLater();
}

void LineConnection::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_linger.timerId()) {
        m_socket->abort();
        release();
        return;
    }
    if (event->timerId() != m_quiet.timerId())
        return QObject::timerEvent(event);
    m_quiet.stop();
    if (m_closing || m_paused)
        return;
    LineReader::Piece piece;
    if (m_reader.takeRest(piece))
        raise(piece);
}

void LineConnection::onReadyRead()
{
    if (m_closing) {
        m_socket->readAll();
        return;
    }
    m_lastRead = monotonicMSecs();
    if (!m_paused)
        pump();
}

void LineConnection::pump()
{
    QPointer<LineConnection> self(this);
    for (;;) {
        if (m_reader.buffered() <= LineReader::MaxPiece && m_socket->bytesAvailable() > 0) {
            const QByteArray bytes = m_socket->readAll();
            if (tracing())
                trace(QStringLiteral("in %1 bytes").arg(bytes.size()));
            m_reader.append(bytes);
        }
        LineReader::Piece piece;
        if (!m_reader.takeLine(piece)) {
            if (m_reader.buffered() <= LineReader::MaxPiece && m_socket->bytesAvailable() > 0)
                continue;
            break;
        }
        raise(piece);
        if (!self || m_closing || m_paused)
            return;
    }

    if (m_reader.buffered() > 0)
        m_quiet.start(QuietIntervalMs, this);
    else
        m_quiet.stop();
}

void LineConnection::raise(const LineReader::Piece &piece)
{
    if (m_server) {
        const QPointer<LineConnection> self(this);
        m_server->d->lineReceived(this, piece);
        if (!self || m_closing)
            return;
    }
    emit lineReceived(piece.text, piece.bytes);
}

void LineConnection::onDisconnected()
{
    if (m_closing) {
        release();
        return;
    }
    if (m_peerGone)
        return;
    m_peerGone = true;
    trace(m_orderly ? QStringLiteral("closed by peer") : QStringLiteral("connection lost"));
    if (!m_paused)
        finish();
}

void LineConnection::onError()
{
    const QAbstractSocket::SocketError error = m_socket->error();
    if (m_closing || m_finished || error == QAbstractSocket::RemoteHostClosedError)
        return; // an orderly end; disconnected() follows
    m_orderly = false;
    const QString description = m_socket->errorString();
    if (m_trace)
        m_trace->failure(QStringLiteral("connection %1: %2").arg(label(), description));
    QPointer<LineConnection> self(this);
    if (m_server && !m_server->d->connectionError(this, description))
        return;
    emit errorOccurred(description);
    if (!self || m_closing)
        return;
    // Should the socket die without saying disconnected(), end the connection all the same.
    QTimer::singleShot(0, this, [this] {
        if (!m_closing && !m_finished && m_socket->state() == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
}

void LineConnection::finish()
{
    if (m_finished)
        return;
    m_quiet.stop();

    QPointer<LineConnection> self(this);
    for (;;) {
        // A paused reader keeps its pace after the peer has gone: the rest is raised when
        // reading resumes.
        if (m_paused)
            return;
        if (m_socket->bytesAvailable() > 0)
            m_reader.append(m_socket->readAll());
        LineReader::Piece piece;
        if (!m_reader.takeLine(piece) && !m_reader.takeFinal(piece))
            break;
        raise(piece);
        if (!self || m_closing)
            return;
    }
    m_finished = true;
    if (m_server && m_inSet && !m_server->d->connectionEnded(this))
        return;
    if (self)
        emit disconnected();
}

void LineConnection::trace(const QString &text) const
{
    if (tracing())
        m_trace->line(label() + u' ' + text);
}
