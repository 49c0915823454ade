#include "peers/peerrefresh.h"

#include "common/clock.h"
#include "common/random.h"

namespace Vesk {

PeerRefresh::PeerRefresh(const Clock& clock, Random& random, QObject* parent)
    : QObject(parent), m_clock(clock), m_random(random)
{
    m_refreshTimer.setInterval(kFirstRefreshMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &PeerRefresh::refreshTimeout);
    m_wakeTimer.setInterval(kWakeCheckMs);
    connect(&m_wakeTimer, &QTimer::timeout, this, &PeerRefresh::wakeCheck);
    connect(&m_links, &LinkWatcher::linkChanged, this, [this] {
        if (m_wakeTimer.isActive()) // between start() and stop() only, like the timers
            Q_EMIT refreshDue();
    });
}

void PeerRefresh::start()
{
    m_refreshTimer.start();
    m_wakeTimer.start();
}

void PeerRefresh::stop()
{
    m_refreshTimer.stop();
    m_wakeTimer.stop();
}

void PeerRefresh::refreshTimeout()
{
    m_refreshTimer.setInterval(int((m_random.next() % kRefreshSpreadS + kRefreshBaseS) * 1000));
    Q_EMIT refreshDue();
}

void PeerRefresh::wakeCheck()
{
    const qint64 now = m_clock.nowMs();
    if (m_lastWakeCheck == 0)
        m_lastWakeCheck = now;
    const qint64 gap = now - m_lastWakeCheck;
    m_lastWakeCheck = now;
    if (gap > kSleepGapMs)
        Q_EMIT refreshDue();
}

} // namespace Vesk
