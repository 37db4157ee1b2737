#include "eventthrottle.h"

#include <utility>

namespace {
QHostAddress plain(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}
} // namespace

EventThrottle::EventThrottle(std::chrono::milliseconds period, QObject *parent)
    : QObject(parent), m_period(period)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &EventThrottle::expire);
}

EventThrottle::~EventThrottle() = default;

bool EventThrottle::admit(const QHostAddress &address)
{
    const QHostAddress key = plain(address);
    const auto it = m_held.find(key);
    if (it != m_held.end()) {
        ++*it;
        return false;
    }
    if (m_held.size() >= MaxAddresses) {
        if (m_overflow++ == 0)
            m_order.push_back({QHostAddress(), QDeadlineTimer(m_period)});
        rearm();
        return false;
    }
    m_held.insert(key, 0);
    m_order.push_back({key, QDeadlineTimer(m_period)});
    rearm();
    return true;
}

void EventThrottle::flush()
{
    m_order.clear();
    m_timer.stop();
    const QHash<QHostAddress, qint64> held = std::exchange(m_held, {});
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        if (it.value() > 0)
            emit suppressed(it.key(), it.value());
    }
    if (m_overflow > 0)
        emit suppressed(QHostAddress(), std::exchange(m_overflow, 0));
}

void EventThrottle::expire()
{
    while (!m_order.empty() && m_order.front().end.hasExpired()) {
        const QHostAddress address = m_order.front().address;
        m_order.pop_front();
        qint64 count = 0;
        if (address.isNull()) {
            count = std::exchange(m_overflow, 0);
        } else {
            const auto it = m_held.find(address);
            if (it == m_held.end())
                continue;
            count = std::exchange(*it, 0);
            // One that kept at it stays followed for another period, so that it gets one line
            // a period however long it goes on; a quiet one is forgotten.
            if (count > 0)
                m_order.push_back({address, QDeadlineTimer(m_period)});
            else
                m_held.erase(it);
        }
        if (count > 0)
            emit suppressed(address, count);
    }
    rearm();
}

void EventThrottle::rearm()
{
    if (m_order.empty()) {
        m_timer.stop();
        return;
    }
    if (m_timer.isActive())
        return;
    m_timer.start(std::chrono::duration_cast<std::chrono::milliseconds>(
                      m_order.front().end.remainingTimeAsDuration()) +
                  std::chrono::milliseconds(1));
}
