#include "transfer/chunkcache.h"

#include "common/bufferpool.h"

#include <QtGlobal>

namespace Vesk {

ChunkCache::ChunkCache(int capacity, BufferPool* buffers) : m_capacity(qMax(1, capacity)), m_buffers(buffers) {}

QHash<ChunkCache::Key, ChunkCache::Chunk>::iterator ChunkCache::drop(QHash<Key, Chunk>::iterator chunk)
{
    // The packets cut from it may still be on their way (waiting to be framed or sealed): the pool lends the
    // buffer again only once they have let it go.
    if (m_buffers)
        m_buffers->giveBack(std::move(chunk->bytes));
    return m_chunks.erase(chunk);
}

QByteArray ChunkCache::read(const QString& fileId, qint64 offset, qint64 size, qint64 nowMs, const Loader& load,
                            bool* loaded)
{
    if (loaded)
        *loaded = false;
    if (offset < 0 || size <= 0)
        return QByteArray();

    const Key key{fileId, offset / kChunkSize};
    auto found = m_chunks.find(key);
    if (found == m_chunks.end()) {
        QByteArray bytes = load ? load(key.index * kChunkSize) : QByteArray();
        if (loaded)
            *loaded = true;
        if (bytes.isEmpty())
            return QByteArray();
        if (bytes.size() > kChunkSize)
            bytes.truncate(kChunkSize);
        if (m_chunks.size() >= m_capacity)
            evictLeastRecentlyUsed();
        found = m_chunks.insert(key, Chunk{bytes, 0, 0});
        m_peakBytes = qMax(m_peakBytes, bytesHeld());
    }

    Chunk& chunk = found.value();
    chunk.lastUseMs = nowMs;
    chunk.lastUseOrder = ++m_useCounter;

    const qint64 from = offset - key.index * kChunkSize;
    const qint64 available = chunk.bytes.size() - from;
    if (available <= 0)
        return QByteArray();
    const qint64 length = qMin(size, available);
    // A packet that covers the whole chunk shares its buffer instead of copying it.
    QByteArray packet = (from == 0 && length == chunk.bytes.size()) ? chunk.bytes : chunk.bytes.mid(from, length);
    // The chunk's last byte is out: a receiver reading in order needs it no more. A repeated request for it (an
    // answer lost on the way) simply reads it again.
    if (from + length >= chunk.bytes.size())
        drop(found);
    return packet;
}

bool ChunkCache::freeIdle(qint64 nowMs)
{
    for (auto it = m_chunks.begin(); it != m_chunks.end();) {
        if (qAbs(nowMs - it->lastUseMs) > kIdleMs)
            it = drop(it);
        else
            ++it;
    }
    return !m_chunks.isEmpty();
}

void ChunkCache::dropFile(const QString& fileId)
{
    for (auto it = m_chunks.begin(); it != m_chunks.end();) {
        if (it.key().fileId == fileId)
            it = drop(it);
        else
            ++it;
    }
}

void ChunkCache::clear()
{
    for (auto it = m_chunks.begin(); it != m_chunks.end();)
        it = drop(it);
}

qint64 ChunkCache::bytesHeld() const
{
    qint64 total = 0;
    for (const Chunk& chunk : m_chunks)
        total += chunk.bytes.size();
    return total;
}

void ChunkCache::evictLeastRecentlyUsed()
{
    auto oldest = m_chunks.end();
    for (auto it = m_chunks.begin(); it != m_chunks.end(); ++it) {
        if (oldest == m_chunks.end() || it->lastUseOrder < oldest->lastUseOrder)
            oldest = it;
    }
    if (oldest != m_chunks.end())
        drop(oldest);
}

} // namespace Vesk
