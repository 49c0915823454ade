#pragma once

#include <QHash>
#include <QString>

namespace Vesk {

// Lets one event per key through in each window of time. The handshake uses it for the one exchange that has no
// natural end: two nodes that have blocked each other never confirm each other, so each would answer the
// other's "addMeRequest" with a new one for ever.
class ReplyLimiter
{
public:
    // Beyond this many keys the oldest entries are dropped, so a flood of invented node ids cannot grow it.
    static constexpr int kMaxKeys = 4096;

    explicit ReplyLimiter(qint64 windowMs) : m_windowMs(windowMs) {}

    // Whether an event for the key may happen at time nowMs; if so, it is counted.
    bool allow(const QString& key, qint64 nowMs);

    qint64 windowMs() const { return m_windowMs; }
    int trackedKeys() const { return int(m_last.size()); }
    void clear() { m_last.clear(); }
    // The next event for the key is allowed whenever it comes.
    void forget(const QString& key) { m_last.remove(key); }

private:
    qint64 m_windowMs;
    QHash<QString, qint64> m_last;
};

} // namespace Vesk
