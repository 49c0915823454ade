// The owner's side of a download: answering each packet request from a chunk of the file held in memory.
#include "transfer/packetserver.h"

#include "common/clock.h"
#include "peers/peersend.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"

#include <QFile>

#include <functional>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;

// Ids in requests come from the network and may be as long as a message: the log gets their start only.
QString loggedId(const QString& fileId)
{
    constexpr qsizetype kLoggedIdLength = 64;
    return fileId.size() > kLoggedIdLength ? fileId.left(kLoggedIdLength) + QStringLiteral("...") : fileId;
}

// Up to one chunk of the file from chunkStart; empty when it cannot be read.
QByteArray readChunk(const QString& path, qint64 chunkStart)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !file.seek(chunkStart)) {
        qCDebug(lcTransfer) << "cannot read" << path << file.errorString();
        return QByteArray();
    }
    QByteArray chunk(ChunkCache::kChunkSize, Qt::Uninitialized);
    const qint64 got = file.read(chunk.data(), chunk.size());
    if (got <= 0)
        return QByteArray();
    chunk.truncate(got);
    return chunk;
}

} // namespace

PacketServer::PacketServer(Store& store, MessageSink& sink, const Clock& clock, QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_clock(clock)
{
    freeBufferFilesTimer.setSingleShot(true);
    connect(&freeBufferFilesTimer, &QTimer::timeout, this, &PacketServer::freeBufferFilesToSend);
    m_uploadsRefresh.setSingleShot(true);
    m_uploadsRefresh.setInterval(kUploadsRefreshMs);
    connect(&m_uploadsRefresh, &QTimer::timeout, this, [this] { m_store.uploadsData->refresh(); });
}

QByteArray PacketServer::readPacket(const QString& fileId, qint64 fileSeek, qint64 size,
                                    const std::function<QString()>& localPath)
{
    const auto load = [&localPath](qint64 chunkStart) {
        const QString path = localPath();
        return path.isEmpty() ? QByteArray() : readChunk(path, chunkStart);
    };
    bool loaded = false;
    const QByteArray bytes = bufferFilesToSend.read(fileId, fileSeek, size, m_clock.nowMs(), load, &loaded);
    if (loaded && bufferFilesToSend.chunkCount() > 0 && !freeBufferFilesTimer.isActive())
        freeBufferFilesTimer.start(kFreeChunksDelayMs);
    return bytes;
}

void PacketServer::handleSendDataPacket(const Parameters& message)
{
    const QString fileId = message.value(Msg::kFileId).toString();
    bool seekValid = false;
    bool sizeValid = false;
    const qint64 fileSeek = message.value(Msg::kFileSeek).toLongLong(&seekValid);
    const qint64 bufferSize = message.value(Msg::kBufferSize).toLongLong(&sizeValid);

    const TableRecord upload = m_store.uploadRecord(fileId);
    if (upload.isEmpty()) {
        qCritical() << "The local file for " << loggedId(fileId) << " was not found";
        return;
    }
    // Requests come from the network: only offsets inside the offered file and packet sizes the receiver may
    // ask for are served.
    const qint64 offeredSize = upload.value(QStringLiteral("filesize")).toLongLong();
    if (!seekValid || !sizeValid || fileSeek < 0 || fileSeek >= offeredSize || bufferSize <= 0 ||
        bufferSize > Msg::kPacketSize) {
        qCWarning(lcTransfer) << "refused a request for" << bufferSize << "bytes at" << fileSeek << "of"
                              << loggedId(fileId) << "which is" << offeredSize << "bytes";
        return;
    }

    qCDebug(lcTransfer) << "serving" << fileId << "at" << fileSeek << "for" << bufferSize;
    // The row is at hand: a chunk read from disk needs no second look-up.
    const QString path = upload.value(QStringLiteral("url"));
    const QByteArray bytes = readPacket(fileId, fileSeek, bufferSize, [&path] { return path; });
    if (bytes.isEmpty())
        return;
    sendToNode(m_sink, m_store, upload.value(QStringLiteral("nodeto")),
               Msg::packet(fileId, fileSeek, bytes, message.value(Msg::kTimeSent)));
    m_store.uploadsData->setField(kUploadsTable, fileId, QStringLiteral("bytesSent"), QString::number(fileSeek));
    if (!m_uploadsRefresh.isActive())
        m_uploadsRefresh.start();
}

QByteArray PacketServer::readFilePacket(const QString& fileId, qint64 fileSeek, qint64 size)
{
    // The row is only looked up when the chunk has to come from disk.
    return readPacket(fileId, fileSeek, size, [this, &fileId] {
        const TableRecord upload = m_store.uploadRecord(fileId);
        if (upload.isEmpty()) {
            qCritical() << "The local file for " << loggedId(fileId) << " was not found";
            return QString();
        }
        return upload.value(QStringLiteral("url"));
    });
}

void PacketServer::freeBufferFilesToSend()
{
    if (bufferFilesToSend.freeIdle(m_clock.nowMs()))
        freeBufferFilesTimer.start(kFreeChunksDelayMs);
}

void PacketServer::dropFile(const QString& fileId)
{
    bufferFilesToSend.dropFile(fileId);
}

} // namespace Vesk
