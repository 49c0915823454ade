#pragma once

#include <QByteArray>

#include <mutex>
#include <vector>

namespace Vesk {

// Large byte buffers used again once their bytes are spent, instead of freed and allocated anew. A download reads
// a megabyte from the network hundreds of times a second; memory fresh from the system costs a page fault per
// page on first touch, which on a virtual machine costs more than copying the megabyte. A buffer is taken on one
// thread (the network's) and given back on another (the file writer's), so the pool locks.
class BufferPool
{
    Q_DISABLE_COPY(BufferPool)

public:
    // Keeps at most `kept` buffers of `pooledFrom` to `pooledUpTo` bytes; other sizes are plain allocations.
    BufferPool(int kept, qsizetype pooledFrom, qsizetype pooledUpTo);

    // A buffer of `size` bytes, uninitialised and not shared.
    QByteArray take(qsizetype size);
    // Hands a buffer back, possibly while others still hold it (the message it was read for may not have been
    // dropped yet): it serves again once they have let it go. Kept while the pool has room.
    void giveBack(QByteArray&& bytes);
    // Lets every kept buffer go (a download has ended: nothing is coming for a while).
    void release();

    // The buffers file packets are read into from the network, and given back after their bytes are written.
    static BufferPool& incomingFrames();

private:
    // Room beyond the size asked for. A reader drops a few dozen bytes of header from the front of the buffer
    // each time; the slack lets a buffer serve hundreds of times before it no longer fits.
    static constexpr qsizetype kSlack = 64 * 1024;

    const int m_maxKept;
    const qsizetype m_pooledFrom;
    const qsizetype m_pooledUpTo;
    mutable std::mutex m_mutex;
    std::vector<QByteArray> m_buffers;
};

} // namespace Vesk
