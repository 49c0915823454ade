#include "peers/waitingmessages.h"

namespace Vesk {

bool WaitingMessages::hold(const QString& nodeId, const QString& address, const Parameters& parameters)
{
    auto held = m_held.find(nodeId);
    if (held == m_held.end()) {
        if (m_held.size() >= kMaxHeldNodes)
            return false;
        held = m_held.insert(nodeId, Held{address, {}});
    }
    held->address = address;
    if (held->messages.size() >= std::size_t(kMaxHeldPerNode))
        held->messages.pop_front();
    held->messages.push_back(parameters);
    return true;
}

WaitingMessages::Held WaitingMessages::takeHeld(const QString& nodeId)
{
    return m_held.take(nodeId);
}

bool WaitingMessages::sendOrQueue(const QString& nodeId, FramePayload payload, const Send& send)
{
    Queue& queue = m_queued[nodeId];
    if (queue.frames.empty() && send(payload))
        return true;
    if (queue.bytes + payload.size() > kMaxQueuedBytes)
        return false;
    queue.bytes += payload.size();
    queue.frames.push_back(std::move(payload));
    return true;
}

void WaitingMessages::flush(const QString& nodeId, const Send& send)
{
    const auto found = m_queued.find(nodeId);
    if (found == m_queued.end())
        return;
    Queue& queue = found.value();
    while (!queue.frames.empty() && send(queue.frames.front())) {
        queue.bytes -= queue.frames.front().size();
        queue.frames.pop_front();
    }
    if (queue.frames.empty())
        m_queued.erase(found);
}

qint64 WaitingMessages::queuedBytes(const QString& nodeId) const
{
    const auto queue = m_queued.constFind(nodeId);
    return queue == m_queued.cend() ? 0 : queue->bytes;
}

} // namespace Vesk
