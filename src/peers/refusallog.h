#pragma once

#include <QHash>
#include <QString>

namespace Vesk {

class Clock;

// A log of refusals by kind: one critical line per kind and window at most, the next one telling how many more
// like it were refused meanwhile. Whatever the network sends, the log does not grow faster than that.
class RefusalLog
{
public:
    RefusalLog(const Clock& clock, qint64 windowMs) : m_clock(clock), m_windowMs(windowMs) {}
    void log(const QString& kind, const QString& line);
    // Logs "Refused <kind>: <detail>" as log() does, and returns false, for callers that refuse with it.
    bool refuse(const QString& kind, const QString& detail);

private:
    struct Kind
    {
        qint64 loggedAt = 0;
        int unlogged = 0;
    };
    const Clock& m_clock;
    const qint64 m_windowMs;
    QHash<QString, Kind> m_kinds;
};

} // namespace Vesk
