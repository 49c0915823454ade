#pragma once

#include "net/messagesink.h"
#include "transfer/chunkcache.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace Vesk {

class Clock;
class Store;

// The owner's side of a download: answering each packet request from a chunk of the file held in memory.
class PacketServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PacketServer)

public:
    using Parameters = MessageSink::Parameters;

    // Idle chunks are looked at this long after a chunk was read.
    static constexpr int kFreeChunksDelayMs = 1000;
    // The uploads list shows how far each receiver got. Its row is written for every packet, but re-running the
    // list's query as often (hundreds of times a second) would make the interface rebuild the list as often: the
    // list follows at most this often instead.
    static constexpr int kUploadsRefreshMs = 500;

    PacketServer(Store& store, MessageSink& sink, const Clock& clock, QObject* parent = nullptr);

    void handleSendDataPacket(const Parameters& message);
    // A packet of an offered file, from memory or disk; empty when it cannot be read.
    QByteArray readFilePacket(const QString& fileId, qint64 fileSeek, qint64 size);
    // Frees the chunks that have not been used for a while.
    void freeBufferFilesToSend();
    // The upload is gone: its chunks are no longer needed.
    void dropFile(const QString& fileId);

    const ChunkCache& chunks() const { return bufferFilesToSend; }

private:
    QByteArray readPacket(const QString& fileId, qint64 fileSeek, qint64 size,
                          const std::function<QString()>& localPath);

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    // The owner's chunks of the files it serves, and the timer that frees the idle ones.
    ChunkCache bufferFilesToSend;
    QTimer freeBufferFilesTimer;
    QTimer m_uploadsRefresh;
};

} // namespace Vesk
