// The owner's side of a download: answering each packet request from a chunk of the file held in memory.
#include "app/globals.h"

#include "common/clock.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/packetmemory.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transferoutbox.h"

#include <QFile>
#include <QTimer>

#include <functional>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;

const QString kUploads = QStringLiteral("vesk_uploads");
constexpr int kFreeChunksDelayMs = 1000;
// The uploads list shows how far each receiver got. Its row is written for every packet, but re-running the list's
// query as often (hundreds of times a second) would make the interface rebuild the list as often: the list follows
// at most this often instead.
constexpr int kUploadsRefreshMs = 500;
bool g_uploadsRefreshPending = false;

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

// A packet from the chunk cache, reading the chunk from disk (the path comes from localPath) when it is not held.
QByteArray readPacket(Globals& globals, const QString& fileId, qint64 fileSeek, qint64 size,
                      const std::function<QString()>& localPath)
{
    const auto load = [&localPath](qint64 chunkStart) {
        const QString path = localPath();
        return path.isEmpty() ? QByteArray() : readChunk(path, chunkStart);
    };
    bool loaded = false;
    const QByteArray bytes = globals.bufferFilesToSend.read(fileId, fileSeek, size, nowMs(), load, &loaded);
    if (loaded && globals.bufferFilesToSend.chunkCount() > 0 && !globals.freeBufferFilesTimer.isActive())
        globals.freeBufferFilesTimer.start(kFreeChunksDelayMs);
    return bytes;
}

} // namespace

void Globals::handleSendDataPacket(const Parameters& message)
{
    keepPacketBuffersMapped();
    const QString fileId = message.value(Msg::kFileId).toString();
    bool seekValid = false;
    bool sizeValid = false;
    const qint64 fileSeek = message.value(Msg::kFileSeek).toLongLong(&seekValid);
    const qint64 bufferSize = message.value(Msg::kBufferSize).toLongLong(&sizeValid);

    const TableRecord upload = getUploadRecord(fileId);
    if (upload.isEmpty()) {
        qCritical() << "The local file for " << loggedId(fileId) << " was not found";
        return;
    }
    // Requests come from the network: only offsets inside the offered file and packet sizes the receiver may
    // ask for are served.
    const qint64 offeredSize = upload.value(QStringLiteral("filesize")).toLongLong();
    if (!seekValid || !sizeValid || fileSeek < 0 || fileSeek >= offeredSize || bufferSize <= 0 ||
        bufferSize > bufferFileSize) {
        qCWarning(lcTransfer) << "refused a request for" << bufferSize << "bytes at" << fileSeek << "of"
                              << loggedId(fileId) << "which is" << offeredSize << "bytes";
        return;
    }

    qCDebug(lcTransfer) << "serving" << fileId << "at" << fileSeek << "for" << bufferSize;
    // The row is at hand: a chunk read from disk needs no second look-up.
    const QString path = upload.value(QStringLiteral("url"));
    const QByteArray bytes = readPacket(*this, fileId, fileSeek, bufferSize, [&path] { return path; });
    if (bytes.isEmpty())
        return;
    TransferOutbox::sendToNode(*this, upload.value(QStringLiteral("nodeto")),
                               Msg::packet(fileId, fileSeek, bytes, message.value(Msg::kTimeSent)));
    uploadsData->setField(kUploads, fileId, QStringLiteral("bytesSent"), QString::number(fileSeek));
    if (!g_uploadsRefreshPending) {
        g_uploadsRefreshPending = true;
        QTimer::singleShot(kUploadsRefreshMs, this, [this] {
            g_uploadsRefreshPending = false;
            uploadsData->refresh();
        });
    }
}

QByteArray Globals::readFilePacket(const QString& fileId, qint64 fileSeek, qint64 size)
{
    return readPacket(*this, fileId, fileSeek, size, [this, &fileId] {
        const TableRecord upload = getUploadRecord(fileId);
        if (upload.isEmpty()) {
            qCritical() << "The local file for " << loggedId(fileId) << " was not found";
            return QString();
        }
        return upload.value(QStringLiteral("url"));
    });
}

void Globals::freeBufferFilesToSend()
{
    if (bufferFilesToSend.freeIdle(nowMs()))
        freeBufferFilesTimer.start(kFreeChunksDelayMs);
}

} // namespace Vesk
