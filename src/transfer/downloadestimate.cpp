#include "transfer/downloadestimate.h"

#include <cmath>

namespace Vesk {

void DownloadEstimate::restart(const QString& subject, qint64 doneBytes, qint64 totalBytes, qint64 nowMs)
{
    m_subject = subject;
    m_done = doneBytes;
    m_total = totalBytes;
    m_grownMs = nowMs;
    m_step = 0;
    m_speed = 0;
    m_shownSpeed = m_shownSeconds = kUnknown;
    m_stalled = false;
}

bool DownloadEstimate::read(qint64 doneBytes, qint64 nowMs)
{
    if (m_subject.isEmpty())
        return false;
    const qint64 elapsed = nowMs - m_grownMs;
    if (doneBytes < m_done) {
        // Begun again from fewer bytes (the file was put aside): measured afresh from here.
        restart(m_subject, doneBytes, m_total, nowMs);
    } else if (doneBytes > m_done && elapsed > 0) {
        const double instant = double(doneBytes - m_done) * 1000 / double(elapsed);
        // A reading that covers twice the time weighs as much as two readings would.
        const double weight = 1 - std::pow(1 - kSmoothing, double(elapsed) / kSmoothingMs);
        m_speed = m_speed > 0 ? weight * instant + (1 - weight) * m_speed : instant;
        m_step = doneBytes - m_done;
        m_done = doneBytes;
        m_grownMs = nowMs;
    }
    const double stepMs = m_speed > 0 ? double(m_step) * 1000 / m_speed : 0;
    const bool stalled = double(nowMs - m_grownMs) >= qMax(double(kStallMs), kStallSteps * stepMs);
    const qint64 speed = stalled || m_speed <= 0 ? kUnknown : qint64(std::llround(m_speed));
    qint64 seconds = kUnknown;
    if (m_done >= m_total)
        seconds = 0;
    else if (speed != kUnknown)
        seconds = qint64(std::ceil(double(m_total - m_done) / m_speed));
    // Small changes of a known time left are not shown.
    if (seconds != kUnknown && m_shownSeconds != kUnknown && qAbs(seconds - m_shownSeconds) < kSecondsHysteresis)
        seconds = m_shownSeconds;
    const bool changed = stalled != m_stalled || speed != m_shownSpeed || seconds != m_shownSeconds;
    m_stalled = stalled;
    m_shownSpeed = speed;
    m_shownSeconds = seconds;
    return changed;
}

} // namespace Vesk
