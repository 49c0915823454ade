#pragma once

#include <QString>
#include <QtGlobal>

namespace Vesk {

// The speed and the time left of the download in progress (a folder counts as one), from readings of the bytes it
// has, taken about once a second. The speed is a running average that gives a reading the weight kSmoothing for
// every kSmoothingMs it covers, so that one slow or fast packet does not make it jump; the time left follows the
// speed but moves only by kSecondsHysteresis or more, so that it does not flicker. Both are unknown (kUnknown) until
// the bytes have grown, and again once the download stalled, when a figure from before would only mislead: no byte
// came for kStallMs, or, on a link so slow that whole packets come seconds apart, for kStallSteps times as long as
// the last bytes took at the speed measured.
class DownloadEstimate
{
public:
    static constexpr qint64 kUnknown = -1;
    static constexpr double kSmoothing = 0.3;
    static constexpr qint64 kSmoothingMs = 2000;
    static constexpr qint64 kStallMs = 3000;
    static constexpr int kStallSteps = 2;
    static constexpr qint64 kSecondsHysteresis = 5;

    // Another download (or folder), `subject`, of totalBytes, doneBytes of them there already; nothing is known of
    // its speed yet. An empty subject: nothing downloads.
    void restart(const QString& subject, qint64 doneBytes, qint64 totalBytes, qint64 nowMs);
    // The bytes done at nowMs. True when what is shown changed.
    bool read(qint64 doneBytes, qint64 nowMs);

    QString subject() const { return m_subject; }
    qint64 doneBytes() const { return m_done; }
    qint64 bytesPerSecond() const { return m_shownSpeed; }
    qint64 secondsLeft() const { return m_shownSeconds; }
    // No byte came for a while (from the start, or since the last).
    bool stalled() const { return m_stalled; }

private:
    QString m_subject;
    qint64 m_done = 0;
    qint64 m_total = 0;
    qint64 m_grownMs = 0; // when the bytes last grew, or the download started
    qint64 m_step = 0;    // by how much they grew then
    double m_speed = 0;   // bytes per second; 0 until measured
    qint64 m_shownSpeed = kUnknown;
    qint64 m_shownSeconds = kUnknown;
    bool m_stalled = false;
};

} // namespace Vesk
