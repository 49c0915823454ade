#pragma once

#include "net/linkwatcher.h"

#include <QObject>
#include <QTimer>

namespace Vesk {

class Clock;
class Random;

// When this node asks who is there and announces itself again: about hourly, at a moment each instance picks for
// itself, at once after the computer slept (the check runs every few seconds and notices a gap), and as soon as a
// link or address of this computer changed (a cable plugged back in, a new address).
class PeerRefresh : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerRefresh)

public:
    static constexpr int kFirstRefreshMs = 3600000;
    // Later refreshes come a whole number of seconds from kRefreshBaseS to kRefreshBaseS + kRefreshSpreadS - 1
    // apart, so many instances started together drift apart instead of refreshing all at once.
    static constexpr int kRefreshBaseS = 3600;
    static constexpr int kRefreshSpreadS = 100;
    static constexpr int kWakeCheckMs = 10000;
    // A gap longer than this between two wake checks means the computer slept.
    static constexpr qint64 kSleepGapMs = 30 * 60 * 1000;

    PeerRefresh(const Clock& clock, Random& random, QObject* parent = nullptr);

    // The hourly refresh came: picks the next one and asks for a refresh.
    void refreshTimeout();
    // One wake check: asks for a refresh when the last check lies more than kSleepGapMs back.
    void wakeCheck();

    int refreshInterval() const { return m_refreshTimer.interval(); }

    void start();
    void stop();

Q_SIGNALS:
    void refreshDue();

private:
    const Clock& m_clock;
    Random& m_random;
    QTimer m_refreshTimer;
    QTimer m_wakeTimer;
    qint64 m_lastWakeCheck = 0;
    LinkWatcher m_links;
};

} // namespace Vesk
