#pragma once

#include "net/messagesink.h"
#include "transfer/chunkcache.h"

#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QSqlQuery>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

namespace Vesk {

class BufferPool;
class Clock;
class MessageDispatcher;
class Store;

// The owner's side of a download: answering each packet request from a chunk of the file held in memory.
class PacketServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PacketServer)

public:
    // Idle chunks are looked at this long after a chunk was read.
    static constexpr int kFreeChunksDelayMs = 1000;
    // The uploads list shows how far each receiver got. Its row is written for every packet, but re-running the
    // list's query as often (hundreds of times a second) would make the interface rebuild the list as often: the
    // list follows at most this often instead.
    static constexpr int kUploadsRefreshMs = 500;
    // How far each receiver got is written to its upload row at most this often while packets go out (a write per
    // packet is some fifteen system calls), and this long after the last packet at the latest. The row
    // is never ahead of what was served: a program killed in between shows a little less.
    static constexpr int kBytesSentWriteMs = 250;
    // A receiver asks for many packets a second: the upload row and the receiver's address are read again at
    // most this often, and a file being served stays open (at most kMaxOpenFiles of them, each closed after
    // ChunkCache::kIdleMs without a request).
    static constexpr qint64 kRecheckMs = 1000;
    static constexpr int kMaxOpenFiles = 8;
    // Chunks the kernel is asked to read ahead of the one just read, so the disk works while packets travel.
    static constexpr qint64 kReadAheadChunks = 4;
    // Requests kept per receiver while its connection has no room for more packets. A receiver keeps a window of
    // 16 in flight and, in a folder, up to 128 small files asked for ahead: all of those are kept, so a full
    // stream never drops the running file's own requests (on a stream they are asked for again only once overdue).
    // Beyond, the oldest go.
    static constexpr int kMaxWaitingRequests = 256;

    // Chunks are read into buffers of `buffers` (the pool the frames are built in), and go back there once served.
    PacketServer(Store& store, MessageSink& sink, BufferPool& buffers, const Clock& clock, QObject* parent = nullptr);
    ~PacketServer() override;

    void handleSendDataPacket(const Parameters& message);
    // Whether a packet for the node would go out now rather than wait in memory for room on its connection (the
    // program asks its stream). While false, requests wait here, unread, until serveWaiting(nodeId): a packet
    // read only when it can leave keeps the owner from holding a receiver's whole window of packets at once.
    using Room = std::function<bool(const QString& nodeId)>;
    void setRoom(Room room) { m_room = std::move(room); }
    // Serves the node's waiting requests, in the order they came, while there is room.
    void serveWaiting(const QString& nodeId);
    // The node's connection ended: its waiting requests go (the receiver asks again).
    void dropWaiting(const QString& nodeId) { m_waiting.remove(nodeId); }
    int waitingRequests(const QString& nodeId) const
    {
        const auto waiting = m_waiting.constFind(nodeId);
        return waiting == m_waiting.cend() ? 0 : int(waiting->size());
    }
    // Serves "sendDataPacket".
    void registerHandlers(MessageDispatcher& dispatcher);
    // Frees the chunks that have not been used for a while.
    void freeBufferFilesToSend();
    // The upload is gone: its chunks are no longer needed.
    void dropFile(const QString& fileId);
    // Forgets the files of a folder no longer offered that are being served (its files are then refused, as they
    // have no folder row).
    void dropFolder(const QString& folderId);
    // The file is offered anew (it changed): nothing of it is served until the receiver has confirmed the new
    // offer, so a download of the earlier version can never be continued with bytes of this one.
    void holdUntilConfirmed(const QString& fileId);
    void confirmed(const QString& fileId);
    bool isHeld(const QString& fileId) const { return m_held.contains(fileId); }

    const ChunkCache& chunks() const { return bufferFilesToSend; }

    int openFiles() const { return int(m_serving.size()); }

Q_SIGNALS:
    // The file's size or modification time is no longer what was offered: it is not served any more (and held,
    // see holdUntilConfirmed) until the offer is made again.
    void fileChanged(const QString& fileId);

private:
    // What serving one upload needs, read from its row now and then instead of for every packet.
    struct Serving
    {
        QString path;
        QString nodeTo;
        QString folderId; // empty for a separate file
        QHostAddress address;
        qint64 offeredSize = 0;
        qint64 offeredModified = -1; // ms since the epoch; -1 for a row that did not record it
        qint64 checkedMs = 0;
        qint64 lastUseMs = 0;
        qint64 readAheadTo = 0;      // the kernel was asked to read the file up to here
        std::shared_ptr<QFile> file; // shared only so the entry can live in a QHash
    };

    void serve(const Parameters& message, bool mayWait);
    Serving* serving(const QString& fileId);
    QByteArray readChunk(Serving& upload, qint64 chunkStart);
    void noteBytesSent(const QString& fileId, const QString& folderId, qint64 fileSeek);
    // Writes what was served since the last write; an upload whose row is gone is not served any more.
    void writeBytesSent();
    void forgetBytesSent(const QString& fileId);
    QByteArray readPacket(const QString& fileId, qint64 fileSeek, qint64 size, bool* changed = nullptr);
    static bool changedSinceOffered(const Serving& upload);

    Store& m_store;
    MessageSink& m_sink;
    BufferPool& m_buffers;
    const Clock& m_clock;
    // The owner's chunks of the files it serves, and the timer that frees the idle ones.
    ChunkCache bufferFilesToSend;
    QTimer m_freeBufferFilesTimer;
    QTimer m_uploadsRefresh;
    QHash<QString, Serving> m_serving;
    Room m_room;
    QHash<QString, std::deque<Parameters>> m_waiting; // node -> requests waiting for room
    QSet<QString> m_held;
    // Served but not written yet: the highest offset of each upload, and the folder it belongs to.
    struct SentMark
    {
        qint64 fileSeek = 0;
        QString folderId;
    };
    QHash<QString, SentMark> m_sentPending;
    qint64 m_sentWrittenMs = 0;
    QTimer m_sentWrite;
    std::unique_ptr<QSqlQuery> m_bytesSent; // prepared once
    std::unique_ptr<QSqlQuery> m_uploadRow; // prepared once: a folder of small files looks up a row per file
};

} // namespace Vesk
