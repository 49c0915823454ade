#pragma once

#include <QByteArray>

#include <chrono>
#include <mutex>
#include <vector>

namespace Vesk {

// Large byte buffers used again once their bytes are spent, instead of freed and allocated anew. A download reads
// a megabyte from the network hundreds of times a second, and an owner serving one reads a megabyte of the file and
// builds a megabyte frame as often; memory fresh from the system costs a page fault per page on first touch, which
// on a virtual machine costs more than copying the megabyte. A buffer is taken on one thread (the network's) and
// may be given back on another (the file writer's), so the pool locks.
//
// One rule decides when a buffer serves again: it has been given back, and nobody else holds it any more. Whoever
// is done with its bytes gives it back, even while others still share it (the frame a connection is still
// writing, the message a packet was read for that the dispatcher has not dropped yet); the pool lends it out again
// only once those have let it go, so bytes still in use are never written over.
class BufferPool
{
    Q_DISABLE_COPY(BufferPool)

public:
    // Sized for message frames: file packets (1,000,000 bytes in a frame) in both directions, up to a receiver's
    // window of 16 in flight on the sending side and the few read but not yet written on the receiving side. The
    // owner's file chunks come from here too, each back as soon as its packet is framed or sealed.
    // Smaller frames are not worth keeping, nor larger ones (a peer may send up to 16 MB).
    static constexpr int kKeptFrames = 24;
    static constexpr qsizetype kFramesFrom = 64 * 1024;
    static constexpr qsizetype kFramesUpTo = 1024 * 1024;

    // Keeps at most `kept` buffers of `pooledFrom` to `pooledUpTo` bytes; other sizes are plain allocations.
    explicit BufferPool(int kept = kKeptFrames, qsizetype pooledFrom = kFramesFrom, qsizetype pooledUpTo = kFramesUpTo);

    // A buffer of `size` bytes, uninitialised and not shared.
    QByteArray take(qsizetype size);
    // Hands a buffer back; it serves again once nobody else holds it. Kept while the pool has room.
    void giveBack(QByteArray bytes);
    // Lets every kept buffer go once none was taken or given back for `unusedForMs` (no packet has come or gone for
    // a while); false when the pool is still in use, as when this computer sends while it stopped receiving: the
    // caller asks again later. The pool is shared by both directions, so neither may go by its own traffic alone.
    bool release(qint64 unusedForMs = kIdleMs);
    // Buffers kept for use again.
    int keptBuffers() const;

    // The callers' release timers run at least this long after their own last packet.
    static constexpr qint64 kIdleMs = 4000;

private:
    // Room beyond the size asked for. A reader drops a few dozen bytes of header from the front of the buffer
    // each time; the slack lets a buffer serve hundreds of times before it no longer fits.
    static constexpr qsizetype kSlack = 64 * 1024;

    const int m_maxKept;
    const qsizetype m_pooledFrom;
    const qsizetype m_pooledUpTo;
    mutable std::mutex m_mutex;
    std::vector<QByteArray> m_buffers;
    std::chrono::steady_clock::time_point m_lastUse; // of a buffer of the pooled sizes, taken or given back
};

} // namespace Vesk
