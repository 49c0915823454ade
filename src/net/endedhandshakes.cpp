#include "net/endedhandshakes.h"

namespace Vesk {

void EndedHandshakes::note(const QByteArray& random, qint64 nowMs)
{
    if (random.isEmpty())
        return;
    for (auto it = m_randoms.begin(); it != m_randoms.end();)
        it = nowMs - it.value() > m_keptMs ? m_randoms.erase(it) : std::next(it);
    if (m_randoms.size() >= kMaxKept) {
        m_randoms.clear();
        m_lostMs = nowMs;
    }
    m_randoms.insert(random, nowMs);
}

bool EndedHandshakes::mayHold(const QByteArray& random, qint64 nowMs) const
{
    // Forgotten too early, by a flood of handshakes: the stream may be ours; not worth taking a new identity for.
    return m_randoms.contains(random) || (m_lostMs >= 0 && nowMs - m_lostMs <= m_keptMs);
}

} // namespace Vesk
