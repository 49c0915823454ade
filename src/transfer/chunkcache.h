#pragma once

#include "transfer/transfermessages.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

namespace Vesk {

class BufferPool;

// The owner's memory of the file contents it is serving: whole chunks of 1,000,000 bytes, so that a receiver
// pulling a file packet by packet makes one disk read per chunk. Memory is bounded by a fixed number of chunks:
// a chunk is dropped as soon as its last byte has been served, after kIdleMs without use (freeIdle), or, when a
// new chunk is needed and all places are taken, the least recently used one gives way. With a pool, each chunk
// that goes is handed back to it (the loader takes its buffers from there), so a file served at full speed reads
// into the same few buffers over and over instead of a fresh megabyte per chunk.
class ChunkCache
{
    Q_DISABLE_COPY(ChunkCache)

public:
    // One chunk is one packet: a receiver asking packet by packet reads each chunk once.
    static constexpr qint64 kChunkSize = Vesk::TransferMessages::kPacketSize;
    static constexpr int kDefaultCapacity = 8;
    static constexpr qint64 kIdleMs = 10000;

    // Reads the chunk that starts at chunkStart: up to kChunkSize bytes, empty when the file cannot be read.
    using Loader = std::function<QByteArray(qint64 chunkStart)>;

    explicit ChunkCache(int capacity = kDefaultCapacity, BufferPool* buffers = nullptr);

    // At most `size` bytes from `offset`, never past the end of the chunk holding `offset`; empty when the
    // chunk is empty or shorter than the offset. `loaded`, when given, tells whether the disk was read.
    QByteArray read(const QString& fileId, qint64 offset, qint64 size, qint64 nowMs, const Loader& load,
                    bool* loaded = nullptr);

    // Drops the chunks unused for more than kIdleMs (either way round: a clock set back frees them too).
    // Returns whether any chunk is still held.
    bool freeIdle(qint64 nowMs);

    // Forgets every chunk of one file (its upload is gone).
    void dropFile(const QString& fileId);
    void clear();

    int chunkCount() const { return int(m_chunks.size()); }
    qint64 bytesHeld() const;
    int capacity() const { return m_capacity; }
    // Bytes currently held, at its highest since construction or the last resetPeak().
    qint64 peakBytesHeld() const { return m_peakBytes; }
    void resetPeak() { m_peakBytes = bytesHeld(); }

private:
    struct Key
    {
        QString fileId;
        qint64 index = 0;
        bool operator==(const Key& other) const { return index == other.index && fileId == other.fileId; }
    };
    friend size_t qHash(const Key& key, size_t seed) { return qHashMulti(seed, key.fileId, key.index); }

    struct Chunk
    {
        QByteArray bytes;
        qint64 lastUseMs = 0;
        quint64 lastUseOrder = 0; // for least-recently-used eviction; times may tie, this never does
    };

    void evictLeastRecentlyUsed();
    QHash<Key, Chunk>::iterator drop(QHash<Key, Chunk>::iterator chunk);

    QHash<Key, Chunk> m_chunks;
    int m_capacity;
    BufferPool* m_buffers;
    quint64 m_useCounter = 0;
    qint64 m_peakBytes = 0;
};

} // namespace Vesk
