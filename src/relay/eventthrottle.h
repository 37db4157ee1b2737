#pragma once

#include <QDeadlineTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>

// Keeps a flood of like events (peers refused, handshakes failed) from flooding the log: per
// peer address the first event is written at once, the ones that follow within the period
// are only counted, and the count comes out in one line when the period is over. An address
// that keeps at it so gets one line per period. An IPv4 address and its IPv6-mapped form are
// the same address here.
class EventThrottle final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventThrottle)

public:
    // Addresses followed at one time. Beyond it (a scan from many addresses) events of new
    // addresses are counted together, so the table cannot grow without bound.
    static constexpr qsizetype MaxAddresses = 4096;

    explicit EventThrottle(std::chrono::milliseconds period = std::chrono::minutes(1),
                           QObject *parent = nullptr);
    ~EventThrottle() override;

    // True: write the event line for address now. False: it has been counted instead, and
    // suppressed() will say how many there were.
    bool admit(const QHostAddress &address);
    // Raises suppressed() for every count still pending (before the program stops, say).
    void flush();

signals:
    // count events of address were not written during the period just over. A null address
    // stands for all the addresses beyond MaxAddresses.
    void suppressed(const QHostAddress &address, qint64 count);

private:
    void expire();
    void rearm();

    struct Slot
    {
        QHostAddress address;
        QDeadlineTimer end;
    };
    std::chrono::milliseconds m_period;
    std::deque<Slot> m_order;           // in order of their periods' end
    QHash<QHostAddress, qint64> m_held; // events not written in each address's current period
    qint64 m_overflow = 0;              // events of addresses that found the table full
    QTimer m_timer;
};
