#pragma once

#include "net/parameters.h"
#include "net/wire.h"

#include <QHash>
#include <QString>

#include <deque>
#include <functional>

namespace Vesk {

// What PeerSecurity keeps for a node until a stream takes it, bounded: the messages held while a dial finds out
// whether the node speaks streams at all (then they go on its stream, or in plain, or nowhere), and the frames
// that wait for room on its busy stream (file packets above all). Beyond a bound a message is dropped as a failed
// send: the features send it again.
class WaitingMessages
{
public:
    // Messages held for a dial's outcome, per node and in all; beyond, the oldest of the node's go.
    static constexpr int kMaxHeldPerNode = 64;
    static constexpr int kMaxHeldNodes = 1024;
    // Frames waiting for room on a stream, per node.
    static constexpr qint64 kMaxQueuedBytes = 64 * 1000 * 1000;

    struct Held
    {
        QString address; // where the node is dialled for these
        std::deque<Parameters> messages;
    };
    // Holds the message for the node, last dialled at the address; false when too many nodes have messages held.
    bool hold(const QString& nodeId, const QString& address, const Parameters& parameters);
    // What is held for the node, taken out; no messages when none.
    Held takeHeld(const QString& nodeId);
    void dropHeld(const QString& nodeId) { m_held.remove(nodeId); }
    int heldNodes() const { return int(m_held.size()); }

    // Puts a frame on the node's stream (`send`, false when its queue is full).
    using Send = std::function<bool(const FramePayload& payload)>;
    // Sends the frame at once when nothing waits before it, else queues it; false when over the bound.
    bool sendOrQueue(const QString& nodeId, FramePayload payload, const Send& send);
    // Sends what waits for the node, in order, while its stream takes it.
    void flush(const QString& nodeId, const Send& send);
    void dropQueued(const QString& nodeId) { m_queued.remove(nodeId); }
    void clearQueued() { m_queued.clear(); }
    qint64 queuedBytes(const QString& nodeId) const;

private:
    struct Queue
    {
        std::deque<FramePayload> frames;
        qint64 bytes = 0;
    };
    QHash<QString, Held> m_held;    // node -> messages waiting for a dial's outcome
    QHash<QString, Queue> m_queued; // node -> frames waiting for room on its stream
};

} // namespace Vesk
