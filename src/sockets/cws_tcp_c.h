#pragma once

#include <QObject>
#include <QString>

class LineClient;

// The chat client's component object under its given names, on LineClient: one TCP
// connection. Every event is raised on the GUI thread, one at a time, and a handler
// may call any member of this object from inside it; a GetData handler must not run the event
// loop itself (no modal box). Every member returns normally
// whatever the state: without a connection SendData sends nothing, Close does nothing.
class CWS_TCP_C final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CWS_TCP_C)

public:
    explicit CWS_TCP_C(QObject *parent = nullptr);
    ~CWS_TCP_C() override;

    // While on, one line per socket event goes to standard error.
    bool InfoWSock() const;
    void setInfoWSock(bool vblnOn);

    // Local port of the connection, 0 when not connected.
    qint32 ID() const;
    // Peer address as text (dotted form for IPv4) and peer port; empty and 0 when not connected.
    QString IP() const;
    qint32 Port() const;

    // Queues the text, UTF-8 encoded, on the connection.
    void SendData(const QString &text);
    // Starts connecting and returns at once; the outcome comes as Connect() or ConnectError().
    // Drops any current connection or attempt first. Returns false only for a port outside
    // 1..65535 (ConnectError() is then still raised, later).
    bool Connect(const QString &host, qint32 port);
    void Close();

signals:
    void Connect();
    void ConnectClose();
    void ConnectError();
    // One complete line (line feed included), or a trailing piece after a quiet interval.
    void GetData(QString &rstrData);
    // A failure described in words, raised in addition to the events above.
    void SocketError(const QString &strDescription);

private:
    LineClient *client;
};
