#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT (stop) and SIGHUP (reload) into Qt signals raised from the event
// loop, where the relay may do anything it likes; SIGPIPE is ignored, so a reader of standard
// output that goes away shows as a failed write. The signals are blocked in every thread and read
// from a descriptor instead: call holdStopSignals() first thing in main(), before any thread
// exists, and create the watcher once the application object exists.
class SignalWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalWatcher)

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    static void holdStopSignals();

signals:
    void stopRequested(const QString &signalName);
    // SIGHUP: read the configuration files again.
    void reloadRequested();

private:
    void onReadable();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
