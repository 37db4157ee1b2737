#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

// A TCP server with many connections, listening on every interface (IPv4 and IPv6).
// Connection indexes start at 1 and are never reused within the object's life; index 0 means
// every open connection for SendData and Disconnect. Events are raised on the GUI thread, one
// at a time; handlers may call any member, Disconnect and Close included. A GetData handler
// must not run the event loop itself (no modal box).
class CWS_TCP_S final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CWS_TCP_S)

public:
    explicit CWS_TCP_S(QObject *parent = nullptr);
    ~CWS_TCP_S() override;

    bool InfoWSock() const;
    void setInfoWSock(bool vblnOn);

    // This host's first non-loopback IPv4 address, or "127.0.0.1".
    QString IP() const;
    // The port actually listened on; 0 when not listening.
    qint32 Port() const;
    // Open connections, clamped to 32767.
    qint16 ConnectCount() const;

    // Index 0 queues the text to every open connection (encoded once).
    void SendData(const QString &text, qint32 index);
    // Stops any old listener first. Port 0 lets the system choose. Returns false when the
    // port is outside 0..65535 or cannot be bound; the object is then not listening.
    bool Listen(qint32 port);
    // Index 0 closes every open connection; an index naming no open connection does nothing.
    void Disconnect(qint32 index);
    // Stops listening and closes every connection. May be called any number of times.
    void Close();

    // As Listen, on one address (Any: every interface, IPv4 and IPv6), but quiet: on failure it
    // writes and raises nothing, and errorString() says why.
    bool listen(const QHostAddress &address, quint16 port);
    // Serves on a socket that is already bound and listening, such as one handed over by the
    // service manager; the object owns it from then on. Quiet on failure, as listen().
    bool listenOnDescriptor(qintptr descriptor);
    // Why the last listen() or listenOnDescriptor() failed.
    QString errorString() const;
    // The address listened on; null when not listening.
    QHostAddress listenAddress() const;
    // The other end of connection index; null and 0 when no such connection is open.
    QHostAddress peerAddress(qint32 index) const;
    quint16 peerPort(qint32 index) const;
    // True while connections closed by Disconnect or Close are still sending what was queued
    // to them; outputDrained() follows when the last of them has gone.
    bool hasClosingConnections() const;

signals:
    void ServiceError(qint32 &Index);
    void GetData(qint32 &Index, QString &rstrData);
    // True after connection Index was accepted, false after it ended (count already updated).
    void ServiceComplete(bool vblnFlag, qint32 &Index);
    void SocketError(const QString &strDescription);
    // Every connection closed by Disconnect or Close has sent its queued output (or given up
    // after the linger time) and is gone.
    void outputDrained();

private:
    class Private;
    std::unique_ptr<Private> d;
};
