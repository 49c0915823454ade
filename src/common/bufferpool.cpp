#include "common/bufferpool.h"

namespace Vesk {

namespace {

// What a buffer can hold from where its data now begins (bytes dropped from its front are not given back).
qsizetype roomOf(QByteArray& bytes)
{
    return bytes.capacity() - bytes.data_ptr().freeSpaceAtBegin();
}

} // namespace

BufferPool::BufferPool(int kept, qsizetype pooledFrom, qsizetype pooledUpTo)
    : m_maxKept(kept), m_pooledFrom(pooledFrom), m_pooledUpTo(pooledUpTo)
{
    m_buffers.reserve(size_t(kept));
}

QByteArray BufferPool::take(qsizetype size)
{
    const bool pooled = size >= m_pooledFrom && size <= m_pooledUpTo;
    if (pooled) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lastUse = std::chrono::steady_clock::now();
        for (auto it = m_buffers.begin(); it != m_buffers.end(); ++it) {
            // A buffer still held elsewhere would be copied on the first write into it: it waits here until its
            // other holders have let it go.
            if (!it->isDetached() || roomOf(*it) < size)
                continue;
            QByteArray bytes = std::move(*it);
            m_buffers.erase(it);
            bytes.resize(size); // within its room and not shared: neither memory nor a copy
            return bytes;
        }
    }
    QByteArray bytes;
    if (pooled)
        bytes.reserve(size + kSlack);
    bytes.resize(size);
    return bytes;
}

void BufferPool::giveBack(QByteArray bytes)
{
    QByteArray buffer = std::move(bytes);
    if (buffer.capacity() < m_pooledFrom || buffer.capacity() > m_pooledUpTo + 2 * kSlack)
        return;
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_lastUse = std::chrono::steady_clock::now();
    // The same memory comes back from each of its holders: a received frame from the stream that read it and, as the
    // packet inside it, from the file writer. Kept twice, each entry would keep the other from ever being alone with
    // it, and neither would serve again.
    for (QByteArray& kept : m_buffers) {
        if (kept.data_ptr().d_ptr() == buffer.data_ptr().d_ptr()) {
            if (roomOf(buffer) > roomOf(kept))
                kept = std::move(buffer);
            return;
        }
    }
    if (int(m_buffers.size()) < m_maxKept) {
        m_buffers.push_back(std::move(buffer));
        return;
    }
    // Full: a buffer with more room takes the place of the one with the least (the short last packet of a file
    // must not keep a place that whole packets could use).
    auto smallest = m_buffers.begin();
    for (auto it = m_buffers.begin(); it != m_buffers.end(); ++it) {
        if (roomOf(*it) < roomOf(*smallest))
            smallest = it;
    }
    if (m_maxKept > 0 && roomOf(*smallest) < roomOf(buffer))
        *smallest = std::move(buffer);
}

bool BufferPool::release(qint64 unusedForMs)
{
    std::vector<QByteArray> released; // freed after the lock
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (std::chrono::steady_clock::now() - m_lastUse < std::chrono::milliseconds(unusedForMs))
            return false;
        released.swap(m_buffers);
        m_buffers.reserve(size_t(m_maxKept));
    }
    return true;
}

int BufferPool::keptBuffers() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_buffers.size());
}

} // namespace Vesk
