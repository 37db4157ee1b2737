#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QTcpServer;
class QTcpSocket;

// Takes the connections waiting on a listening QTcpServer and hands them over one at a time.
// One implementation per platform, picked by the build: acceptor_linux.cpp accepts by itself
// with accept4(), acceptor_qt.cpp leaves it to QTcpServer.
class Acceptor final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Acceptor)

public:
    // server must be listening, and stays the owner's: the acceptor neither closes nor
    // deletes it.
    Acceptor(QTcpServer *server, QObject *parent);
    ~Acceptor() override;

    // After failed(): accepting starts again, and the connections that waited are taken at
    // once.
    void resume();
    // Accepts nothing more, at once, and deletes itself later (it may be inside its own
    // signal).
    void stop();

signals:
    // A connected socket without parent; the receiver takes it over. Handlers may stop the
    // acceptor, close the server or delete the owner.
    void accepted(QTcpSocket *socket);
    // Accepting has paused; the refused peer waits in the backlog until resume().
    // outOfDescriptors when the system refused for want of descriptors.
    void failed(const QString &description, bool outOfDescriptors);

private:
    class Private;
    std::unique_ptr<Private> d;
};
