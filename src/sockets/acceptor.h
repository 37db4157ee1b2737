#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

// One listening socket: takes the connections waiting on it and hands each over as a bare
// descriptor, nothing read from it yet. One implementation per platform, picked by the build:
// acceptor_linux.cpp accepts by itself with accept4(), acceptor_qt.cpp leaves it to QTcpServer.
class Acceptor final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Acceptor)

public:
    // Connections the system may complete before we accept them. Qt's default of 50 overflows
    // when many clients connect at once, and a handshake dropped then costs the client a
    // retransmission (a second or more) or, with SYN cookies, a connection we never see. The
    // system clamps this to its own maximum.
    static constexpr int ListenBacklog = 4096;

    // Closes a descriptor handed over by accepted() that is not taken after all.
    static void discard(qintptr descriptor);

    explicit Acceptor(QObject *parent = nullptr);
    ~Acceptor() override;

    // False with errorString() set when the address cannot be bound.
    bool listen(const QHostAddress &address, quint16 port);
    // Serves on a socket that is already bound and listening; owns it from then on.
    bool listenOnDescriptor(qintptr descriptor);
    QString errorString() const;
    QHostAddress serverAddress() const;
    quint16 serverPort() const;

    // After failed(): accepting starts again, and the connections that waited are taken at
    // once.
    void resume();
    // Accepts nothing more and closes the listening socket, at once; deletes itself later (it
    // may be inside its own signal).
    void stop();

signals:
    // A connected descriptor, non-blocking and close-on-exec; the receiver takes it over.
    // Handlers may stop the acceptor.
    void accepted(qintptr descriptor);
    // Accepting has paused; the refused peer waits in the backlog until resume().
    // outOfDescriptors when the system refused for want of descriptors.
    void failed(const QString &description, bool outOfDescriptors);

private:
    class Private;
    std::unique_ptr<Private> d;
};
