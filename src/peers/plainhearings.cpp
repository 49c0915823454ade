#include "peers/plainhearings.h"

#include "common/clock.h"

namespace Vesk {

void PlainHearings::heard(const QString& nodeId, const QString& address)
{
    if (m_heard.size() >= m_maxNodes && !m_heard.contains(nodeId)) {
        const qint64 since = m_clock.nowMs() - m_answersMs;
        m_heard.removeIf([since](const auto& entry) { return entry.value().atMs <= since; });
        if (m_heard.size() >= m_maxNodes)
            return;
    }
    Heard& heard = m_heard[nodeId];
    if (heard.address != address) {
        heard.before = heard.address;
        heard.beforeAtMs = heard.atMs;
    }
    heard.address = address;
    heard.atMs = m_clock.nowMs();
}

QString PlainHearings::elsewhere(const QString& nodeId, const QString& address) const
{
    const auto heard = m_heard.constFind(nodeId);
    if (heard == m_heard.cend())
        return {};
    const qint64 since = m_clock.nowMs() - m_answersMs;
    if (heard->address != address && heard->atMs > since)
        return heard->address;
    if (!heard->before.isEmpty() && heard->before != address && heard->beforeAtMs > since)
        return heard->before;
    return {};
}

} // namespace Vesk
