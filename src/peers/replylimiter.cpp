#include "peers/replylimiter.h"

namespace Vesk {

bool ReplyLimiter::allow(const QString& key, qint64 nowMs)
{
    const auto found = m_last.constFind(key);
    if (found != m_last.cend()) {
        const qint64 elapsed = nowMs - found.value();
        // A clock set back must not silence a key for good, hence the lower bound.
        if (elapsed >= 0 && elapsed < m_windowMs)
            return false;
    }
    if (m_last.size() >= kMaxKeys && found == m_last.cend()) {
        for (auto it = m_last.begin(); it != m_last.end();) {
            const qint64 age = nowMs - it.value();
            it = (age < 0 || age >= m_windowMs) ? m_last.erase(it) : std::next(it);
        }
        if (m_last.size() >= kMaxKeys)
            m_last.clear();
    }
    m_last.insert(key, nowMs);
    return true;
}

} // namespace Vesk
