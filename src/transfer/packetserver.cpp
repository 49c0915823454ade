// The owner's side of a download: answering each packet request from a chunk of the file held in memory.
#include "transfer/packetserver.h"

#include "common/bufferpool.h"
#include "common/clock.h"
#include "net/messagedispatcher.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transferorigin.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlDatabase>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

namespace Vesk {

namespace {

namespace Msg = TransferMessages;

// Ids in requests come from the network and may be as long as a message: the log gets their start only.
QString loggedId(const QString& fileId)
{
    constexpr qsizetype kLoggedIdLength = 64;
    return fileId.size() > kLoggedIdLength ? fileId.left(kLoggedIdLength) + QStringLiteral("...") : fileId;
}

} // namespace

static_assert(ChunkCache::kIdleMs > BufferPool::kIdleMs, "the release would always find the pool in use");

PacketServer::~PacketServer()
{
    writeBytesSent();
}

PacketServer::PacketServer(Store& store, MessageSink& sink, BufferPool& buffers, const Clock& clock, QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_buffers(buffers), m_clock(clock),
      bufferFilesToSend(ChunkCache::kDefaultCapacity, &buffers)
{
    m_freeBufferFilesTimer.setSingleShot(true);
    connect(&m_freeBufferFilesTimer, &QTimer::timeout, this, &PacketServer::freeBufferFilesToSend);
    m_uploadsRefresh.setSingleShot(true);
    m_uploadsRefresh.setInterval(kUploadsRefreshMs);
    connect(&m_uploadsRefresh, &QTimer::timeout, this, [this] { m_store.uploadsData->refresh(); });
    m_sentWrite.setSingleShot(true);
    m_sentWrite.setInterval(kBytesSentWriteMs);
    connect(&m_sentWrite, &QTimer::timeout, this, &PacketServer::writeBytesSent);
}

QByteArray PacketServer::readPacket(const QString& fileId, qint64 fileSeek, qint64 size, bool* changed)
{
    // The row is only looked at when the chunk has to come from disk.
    const auto load = [this, &fileId, changed](qint64 chunkStart) {
        Serving* upload = serving(fileId);
        if (!upload) {
            qCritical() << "The local file for " << loggedId(fileId) << " was not found";
            return QByteArray();
        }
        QByteArray chunk = readChunk(*upload, chunkStart);
        // Looked at after the read: a chunk that passes was read while the file was still the offered version
        // (any write since then would show in its modification time), so no byte of another version goes out.
        if (!chunk.isEmpty() && changedSinceOffered(*upload)) {
            if (changed)
                *changed = true;
            m_buffers.giveBack(std::move(chunk));
            return QByteArray();
        }
        return chunk;
    };
    bool loaded = false;
    const QByteArray bytes = bufferFilesToSend.read(fileId, fileSeek, size, m_clock.nowMs(), load, &loaded);
    if (loaded && bufferFilesToSend.chunkCount() > 0 && !m_freeBufferFilesTimer.isActive())
        m_freeBufferFilesTimer.start(kFreeChunksDelayMs);
    return bytes;
}

bool PacketServer::changedSinceOffered(const Serving& upload)
{
    const QFileInfo file(upload.path);
    // A file that vanished is no other version: it simply cannot be served.
    if (!file.exists())
        return false;
    return file.size() != upload.offeredSize ||
           (upload.offeredModified >= 0 && file.lastModified().toMSecsSinceEpoch() != upload.offeredModified);
}

PacketServer::Serving* PacketServer::serving(const QString& fileId)
{
    const qint64 now = m_clock.nowMs();
    auto found = m_serving.find(fileId);
    if (found != m_serving.end() && qAbs(now - found->checkedMs) < kRecheckMs) {
        found->lastUseMs = now;
        return &found.value();
    }
    if (!m_uploadRow) {
        m_uploadRow = std::make_unique<QSqlQuery>(m_store.database());
        m_uploadRow->setForwardOnly(true);
        // A file of a folder no longer offered (its row goes first, its files' rows after it) is not served.
        m_uploadRow->prepare(QStringLiteral(
            "select u.url, u.nodeto, u.filesize, u.modified, u.folderId, p.ipAddress from vesk_uploads u left join "
            "vesk_peers p on p.id = u.nodeto where u.id = ? and (coalesce(u.folderId, '') = '' or exists (select 1 "
            "from vesk_folders f where f.id = u.folderId))"));
    }
    m_uploadRow->bindValue(0, fileId);
    const bool exists = m_uploadRow->exec() && m_uploadRow->next();
    const auto column = [this](int i) {
        return m_uploadRow->value(i).toString();
    };
    const auto finish = qScopeGuard([this] { m_uploadRow->finish(); });
    if (!exists) {
        if (found != m_serving.end())
            m_serving.erase(found);
        return nullptr;
    }
    if (found == m_serving.end()) {
        if (m_serving.size() >= kMaxOpenFiles) {
            auto oldest = m_serving.begin();
            for (auto it = m_serving.begin(); it != m_serving.end(); ++it) {
                if (it->lastUseMs < oldest->lastUseMs)
                    oldest = it;
            }
            m_serving.erase(oldest);
        }
        found = m_serving.insert(fileId, Serving{});
    }
    Serving& entry = found.value();
    const QString path = column(0);
    if (path != entry.path) {
        entry.file.reset();
        entry.readAheadTo = 0;
    }
    entry.path = path;
    entry.nodeTo = column(1);
    entry.folderId = column(4);
    const QString address = column(5);
    entry.address = address.isEmpty() ? QHostAddress() : QHostAddress(address);
    entry.offeredSize = column(2).toLongLong();
    bool modifiedKnown = false;
    entry.offeredModified = column(3).toLongLong(&modifiedKnown);
    if (!modifiedKnown)
        entry.offeredModified = -1;
    entry.checkedMs = entry.lastUseMs = now;
    return &entry;
}

QByteArray PacketServer::readChunk(Serving& upload, qint64 chunkStart)
{
    if (!upload.file) {
        upload.file = std::make_shared<QFile>(upload.path);
        if (!upload.file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            qCDebug(lcTransfer) << "cannot read" << upload.path << upload.file->errorString();
            upload.file.reset();
            return QByteArray();
        }
    }
    QFile& file = *upload.file;
    if (!file.seek(chunkStart))
        return QByteArray();
    // A small file's chunk is its size, not a whole chunk's: a folder of small files reads thousands of them.
    const qint64 room = upload.offeredSize > chunkStart ? upload.offeredSize - chunkStart : ChunkCache::kChunkSize;
    // A whole chunk comes from the pool, where the chunk cache hands it back once it has been served.
    QByteArray chunk = m_buffers.take(qMin(ChunkCache::kChunkSize, room));
    const qint64 got = file.read(chunk.data(), chunk.size());
    if (got <= 0) {
        m_buffers.giveBack(std::move(chunk));
        return QByteArray();
    }
    chunk.truncate(got);
#ifdef Q_OS_UNIX
    // The next chunks are read by the kernel in the background while this one is on its way. Asked again only
    // once half of what was asked for has been served (each request walks every page of its range).
    const qint64 end = chunkStart + got;
    const qint64 ahead = kReadAheadChunks * ChunkCache::kChunkSize;
    if (end < upload.offeredSize && (upload.readAheadTo < end + ahead / 2 || upload.readAheadTo > end + ahead)) {
        const qint64 from = qBound(end, upload.readAheadTo, end + ahead);
        posix_fadvise(file.handle(), from, end + ahead - from, POSIX_FADV_WILLNEED);
        upload.readAheadTo = end + ahead;
    }
#endif
    return chunk;
}

void PacketServer::noteBytesSent(const QString& fileId, const QString& folderId, qint64 fileSeek)
{
    // The highest offset served stays: a receiver's window answers out of order.
    SentMark& mark = m_sentPending[fileId];
    mark.fileSeek = qMax(mark.fileSeek, fileSeek);
    mark.folderId = folderId;
    const qint64 now = m_clock.nowMs();
    if (qAbs(now - m_sentWrittenMs) >= kBytesSentWriteMs)
        writeBytesSent();
    else if (!m_sentWrite.isActive())
        m_sentWrite.start(); // the last packets of a transfer that stops here are written all the same
}

void PacketServer::writeBytesSent()
{
    m_sentWrite.stop();
    m_sentWrittenMs = m_clock.nowMs();
    if (m_sentPending.isEmpty())
        return;
    if (!m_bytesSent) {
        m_bytesSent = std::make_unique<QSqlQuery>(m_store.database());
        m_bytesSent->prepare(QStringLiteral("update vesk_uploads set bytesSent = max(coalesce(cast(bytesSent as "
                                            "integer), 0), ?) where id = ?"));
    }
    const QHash<QString, SentMark> pending = std::exchange(m_sentPending, {});
    // A folder of small files has hundreds of rows to update here: one commit for all of them, not one each.
    QSqlDatabase db = m_store.database();
    const bool batch = pending.size() > 1 && db.transaction();
    const auto commit = qScopeGuard([&db, batch] {
        if (batch)
            db.commit();
    });
    for (auto it = pending.cbegin(); it != pending.cend(); ++it) {
        m_bytesSent->bindValue(0, it->fileSeek);
        m_bytesSent->bindValue(1, it.key());
        const bool found = m_bytesSent->exec() && m_bytesSent->numRowsAffected() > 0;
        m_bytesSent->finish();
        if (!found) { // gone since the row was last read (completed or withdrawn)
            m_serving.remove(it.key());
            bufferFilesToSend.dropFile(it.key());
        }
    }
}

void PacketServer::forgetBytesSent(const QString& fileId)
{
    m_sentPending.remove(fileId);
}

void PacketServer::registerHandlers(MessageDispatcher& dispatcher)
{
    dispatcher.registerHandler(Msg::kSendDataPacket, this, &PacketServer::handleSendDataPacket);
}

void PacketServer::handleSendDataPacket(const Parameters& message)
{
    serve(message, true);
}

void PacketServer::serveWaiting(const QString& nodeId)
{
    // Nothing waits without a room check. A node's entry goes with its last request, so an entry means requests.
    while (m_room && m_waiting.contains(nodeId) && m_room(nodeId)) {
        std::deque<Parameters>& waiting = m_waiting[nodeId];
        const Parameters message = std::move(waiting.front());
        waiting.pop_front();
        if (waiting.empty())
            m_waiting.remove(nodeId);
        serve(message, false);
    }
}

void PacketServer::serve(const Parameters& message, bool mayWait)
{
    const QString fileId = message.value(Msg::kFileId).toString();
    bool seekValid = false;
    bool sizeValid = false;
    const qint64 fileSeek = message.value(Msg::kFileSeek).toLongLong(&seekValid);
    const qint64 bufferSize = message.value(Msg::kBufferSize).toLongLong(&sizeValid);

    if (m_held.contains(fileId)) {
        qCDebug(lcTransfer) << "not serving" << loggedId(fileId) << "until its new offer is confirmed";
        return;
    }
    Serving* upload = serving(fileId);
    if (!upload) {
        qCritical() << "The local file for " << loggedId(fileId) << " was not found";
        return;
    }
    // Served to the peer it was offered to, and asked for by that peer only: anyone else asking would make us read
    // the file and send it there for nothing, and move what the transfer shows as sent.
    if (!fromTransferPeer(message, upload->nodeTo, m_store, upload->address))
        return;
    // Requests come from the network: only offsets inside the offered file and packet sizes the receiver may
    // ask for are served.
    const qint64 offeredSize = upload->offeredSize;
    if (!seekValid || !sizeValid || fileSeek < 0 || fileSeek >= offeredSize || bufferSize <= 0 ||
        bufferSize > Msg::kPacketSize) {
        qCWarning(lcTransfer) << "refused a request for" << bufferSize << "bytes at" << fileSeek << "of"
                              << loggedId(fileId) << "which is" << offeredSize << "bytes";
        return;
    }

    if (mayWait && m_room) {
        const QString nodeTo = upload->nodeTo;
        if (m_waiting.contains(nodeTo)) {
            serveWaiting(nodeTo); // those from before go first, while there is room
            upload = serving(fileId);
            if (!upload)
                return;
        }
        if (m_waiting.contains(nodeTo) || !m_room(nodeTo)) {
            std::deque<Parameters>& waiting = m_waiting[nodeTo];
            if (waiting.size() >= size_t(kMaxWaitingRequests))
                waiting.pop_front();
            waiting.push_back(message);
            return;
        }
    }
    qCDebug(lcTransfer) << "serving" << fileId << "at" << fileSeek << "for" << bufferSize;
    bool changed = false;
    const QByteArray bytes = readPacket(fileId, fileSeek, bufferSize, &changed);
    if (changed) {
        qCWarning(lcTransfer) << loggedId(fileId) << "changed since it was offered: it is not served any more";
        holdUntilConfirmed(fileId);
        Q_EMIT fileChanged(fileId);
        return;
    }
    if (bytes.isEmpty())
        return;
    m_sink.sendTo(upload->nodeTo, upload->address, Msg::packet(fileId, fileSeek, bytes, message.value(Msg::kTimeSent)));
    noteBytesSent(fileId, upload->folderId, fileSeek); // may find the row gone: `upload` is not used after it
    if (!m_uploadsRefresh.isActive())
        m_uploadsRefresh.start();
}

void PacketServer::freeBufferFilesToSend()
{
    const qint64 now = m_clock.nowMs();
    for (auto it = m_serving.begin(); it != m_serving.end();) {
        if (qAbs(now - it->lastUseMs) > ChunkCache::kIdleMs)
            it = m_serving.erase(it);
        else
            ++it;
    }
    // Nothing served for a while: the buffers kept for packets go back to the system, once the pool is idle (the
    // download engine receives into the same one).
    if (bufferFilesToSend.freeIdle(now) || !m_serving.isEmpty() || !m_buffers.release())
        m_freeBufferFilesTimer.start(kFreeChunksDelayMs);
}

void PacketServer::dropFile(const QString& fileId)
{
    forgetBytesSent(fileId);
    bufferFilesToSend.dropFile(fileId);
    m_serving.remove(fileId);
    m_held.remove(fileId);
}

void PacketServer::dropFolder(const QString& folderId)
{
    QStringList ids;
    for (auto it = m_serving.cbegin(); it != m_serving.cend(); ++it) {
        if (it->folderId == folderId)
            ids.append(it.key());
    }
    for (auto it = m_sentPending.cbegin(); it != m_sentPending.cend(); ++it) {
        if (it->folderId == folderId)
            ids.append(it.key());
    }
    for (const QString& id : std::as_const(ids))
        dropFile(id);
}

void PacketServer::holdUntilConfirmed(const QString& fileId)
{
    forgetBytesSent(fileId); // what was served of the earlier version is no progress of the new one
    bufferFilesToSend.dropFile(fileId);
    m_serving.remove(fileId);
    m_held.insert(fileId);
}

void PacketServer::confirmed(const QString& fileId)
{
    m_held.remove(fileId);
}

} // namespace Vesk
