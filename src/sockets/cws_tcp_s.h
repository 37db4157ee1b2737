#pragma once

#include <QObject>
#include <QString>

#include <memory>

class LineServer;

// The chat server's component object under its given names, on LineServer: it listens on every
// interface (IPv4 and IPv6), and connection indexes are the server's connection ids (from 1,
// never reused within the object's life); index 0 means every open connection for SendData
// and Disconnect. Events are raised on the GUI thread, one at a time; handlers may call any
// member, Disconnect and Close included. A GetData handler must not run the event loop itself
// (no modal box).
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

    // Index 0 queues the text to every open connection.
    void SendData(const QString &text, qint32 index);
    // Stops any old listener first. Port 0 lets the system choose. Returns false when the
    // port is outside 0..65535 or cannot be bound (SocketError says why); the object is then
    // not listening.
    bool Listen(qint32 port);
    // Index 0 closes every open connection; an index naming no open connection does nothing.
    void Disconnect(qint32 index);
    // Stops listening and closes every connection. May be called any number of times.
    void Close();

    // The server underneath, for what the given names do not cover.
    LineServer *server() const;

signals:
    void ServiceError(qint32 &Index);
    void GetData(qint32 &Index, QString &rstrData);
    // True after connection Index was accepted, false after it ended (count already updated).
    void ServiceComplete(bool vblnFlag, qint32 &Index);
    void SocketError(const QString &strDescription);

private:
    class Private;
    std::unique_ptr<Private> d;
};
