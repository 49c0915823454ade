// The receiver's download engine. One download is active at a time: the smallest queued file, chosen again after
// every packet whenever the queue may have changed. The active download runs as a session (downloadsession.h)
// that keeps a window of requests in flight and appends their answers strictly in order, so the file on disk is
// the whole progress record: restarts, lost packets and duplicate answers need no other bookkeeping. A session
// reads its row once, keeps its file open and touches the database about once a second; everything else that a
// packet causes happens in memory.
#include "transfer/downloadengine.h"

#include "common/bufferpool.h"
#include "common/clock.h"
#include "common/htmltext.h"
#include "common/shell.h"
#include "net/messagedispatcher.h"
#include "peers/peersend.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/downloadrow.h"
#include "transfer/diskproblems.h"
#include "transfer/downloadsession.h"
#include "transfer/fileappender.h"
#include "transfer/packetserver.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transferorigin.h"
#include "transfer/transfersql.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSqlDatabase>

#include <cerrno>

namespace Vesk {

namespace Msg = TransferMessages;
using namespace DownloadRow;

// An owner of this program keeps all that one receiver has asked for while its stream is full.
static_assert(PacketServer::kMaxWaitingRequests >= DownloadSession::kMaxWindow + DownloadEngine::kFolderAheadFiles);

DownloadEngine::DownloadEngine(Store& store, MessageSink& sink, BufferPool& frames, const Clock& clock, Shell& shell,
                               const PeerCapabilities& capabilities, const QString& downloadsFolder, QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_frames(frames), m_clock(clock), m_shell(shell),
      m_files(store, clock, downloadsFolder), m_capabilities(capabilities)
{
    connect(this, &DownloadEngine::readyToDownloadNextFile, this, &DownloadEngine::downloadNextFile,
            Qt::QueuedConnection);
    m_progressTimer.setInterval(kProgressTickMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &DownloadEngine::progressTick);
    m_estimateTimer.setInterval(kEstimateTickMs);
    connect(&m_estimateTimer, &QTimer::timeout, this, &DownloadEngine::estimateTick);
    m_folderListsTimer.setSingleShot(true);
    m_folderListsTimer.setInterval(kFolderListsMs);
    connect(&m_folderListsTimer, &QTimer::timeout, this, &DownloadEngine::refreshFolderLists);
    m_diskRecheck.setInterval(kDiskRecheckMs);
    connect(&m_diskRecheck, &QTimer::timeout, this, &DownloadEngine::recheckDisk);
    m_releaseFrames.setSingleShot(true);
    m_releaseFrames.setInterval(kReleaseFramesMs);
    connect(&m_releaseFrames, &QTimer::timeout, this, [this] {
        if (!m_session && m_ahead.empty() && !m_frames.release())
            m_releaseFrames.start(); // still sending packets: asked again later
    });
}

static_assert(DownloadEngine::kReleaseFramesMs > BufferPool::kIdleMs, "the release would always find the pool in use");

DownloadEngine::~DownloadEngine() = default;

void DownloadEngine::start()
{
    resetProgressTick();
    m_progressTimer.start();
    m_estimateTimer.start();
}

void DownloadEngine::stop()
{
    m_progressTimer.stop();
    m_estimateTimer.stop();
}

void DownloadEngine::setCurrentDownloadingFileId(const QString& id)
{
    if (m_session && m_session->id() != id)
        endSession();
    m_currentDownloadingFileId = id;
    m_currentFolderId = id.isEmpty()     ? QString()
                        : sessionFor(id) ? m_sessionFolder
                                         : m_store.field(kDownloadsTable, id, kFolderId);
    Q_EMIT currentDownloadingFileIdChanged();
}

QString DownloadEngine::nextQueuedDownloadId() const
{
    return chooseNextDownload();
}

void DownloadEngine::downloadNextFile()
{
    m_writtenTurnAsked = false; // what is written from now on asks for another turn
    // The queue only changes through this engine or a withdrawal, which both say so; a look now and then
    // catches what changed elsewhere.
    const qint64 now = m_clock.nowMs();
    if (m_session && !m_rechoose && qAbs(now - m_chosenMs) < kRechooseMs) {
        continueSession();
        return;
    }
    // The next file of a folder was asked for ahead of it: it is next unless the queue changed.
    if (!m_session && !m_ahead.empty() && !m_rechoose && qAbs(now - m_chosenMs) < kRechooseMs) {
        downloadFile(m_ahead.front()->id());
        return;
    }
    m_rechoose = false;
    m_chosenMs = now;
    const QString id = nextQueuedDownloadId();
    if (id.isEmpty()) {
        endSession();
        return;
    }
    downloadFile(id);
}

void DownloadEngine::finishDownload(const QString& id, const TableRecord& given, const QString& local, qint64 wanted)
{
    if (finishFolderFile(id, given, local))
        return;
    const QString path = m_files.giveFinalName(id, given, local);
    const TableRecord download = m_store.downloadRecord(id);
    const QString nodeFrom = download.value(kNodeFrom);
    m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("downloaded"));
    m_store.queuedDownloads->refresh();
    m_store.completedDownloads->refresh();
    m_store.pausedDownloads->refresh();
    setCurrentDownloadingFileId(QString());
    hideProgress();
    Q_EMIT pendingCountChanged();
    sendToNode(m_sink, m_store, nodeFrom, Msg::aboutFile(Msg::kFileTransferComplete, id));
    Q_EMIT readyToDownloadNextFile();
    const QString name = download.value(kFileName);
    QString told = tr("File Downloaded : <br> <b>%1</b><br>").arg(plainTextToHtml(name));
    if (const QString keptAs = m_keptAside.value(id); !keptAs.isEmpty())
        told += tr("The older file of that name was kept as <b>%1</b>").arg(plainTextToHtml(keptAs));
    m_shell.showChatNotification(nodeFrom, told);
    // An empty file is never written to disk, so there is nothing to open (and a file of that name in the
    // folder would be someone else's).
    if (wanted > 0 && m_shell.opensDownloadsAutomatically() && TransferNames::mayOpenAutomatically(name, path))
        m_shell.openFile(path);
}

void DownloadEngine::downloadFile(const QString& id)
{
    if (m_withdrawn.contains(id)) { // queued with all the others: its owner has nothing to send
        m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("unknown"));
        m_store.queuedDownloads->refresh();
        m_store.pausedDownloads->refresh();
        m_rechoose = true;
        Q_EMIT readyToDownloadNextFile();
        return;
    }
    takeAhead(id);
    if (m_session && m_session->id() == id && !m_recheckRow) {
        continueSession();
        return;
    }
    m_recheckRow = false;
    TableRecord download = m_store.downloadRecord(id);
    if (m_session && m_session->id() == id) {
        if (sessionMatches(download)) {
            continueSession();
            return;
        }
        endSession();
    }
    if (download.isEmpty()) {
        qCritical() << id << "not found for download";
        return;
    }
    if (download.value(kDownloadSize) != download.value(kFileSize)) {
        if (const QString keptAs = m_files.start(id, download); !keptAs.isEmpty())
            m_keptAside.insert(id, keptAs);
        download = m_store.downloadRecord(id);
    }

    setCurrentDownloadingFileId(id);

    QString path = m_files.localFile(download);
    if (path.isEmpty()) {
        qCritical() << id << "has no usable local file name:" << download.value(kFileName);
        m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("unknown"));
        m_store.queuedDownloads->refresh();
        m_store.pausedDownloads->refresh();
        setCurrentDownloadingFileId(QString());
        Q_EMIT readyToDownloadNextFile();
        return;
    }
    const qint64 have = localSize(path);
    const qint64 wanted = download.value(kFileSize).toLongLong();
    m_store.touchTimestamp(kDownloadsTable, id);

    if (have >= wanted) {
        finishDownload(id, download, path, wanted);
        return;
    }
    // The rest of the file must fit, and the folder take it, before a byte is asked for.
    QDir().mkpath(m_files.folder());
    if (const QString problem = DiskProblems::checkFolder(m_files.folder(), have, wanted); !problem.isEmpty()) {
        pauseForDisk(id, problem);
        return;
    }
    // The bytes of an older version's partial file go on under the partial name.
    const QString part = TransferNames::partName(m_files.finalPath(download));
    if (path != part) {
        if (QFile::rename(path, part))
            path = part;
        else
            qCWarning(lcTransfer) << "could not rename" << path << "to its partial name; it goes on under its own";
    }

    startSession(id, download, path, have, wanted);
}

void DownloadEngine::startSession(const QString& id, const TableRecord& download, const QString& path, qint64 have,
                                  qint64 wanted)
{
    endSession();
    m_sessionNode = download.value(kNodeFrom);
    m_sessionAddress = m_store.nodeAddress(m_sessionNode);
    m_sessionFolder = download.value(kFolderId);
    m_aheadAfter = download.value(kPath);
    m_aheadEnded = false;
    m_addressMs = m_touchedMs = m_clock.nowMs();
    m_session = makeSession(id, path, have, wanted);
    showSessionProgress();
    m_session->fill();
    requestAhead();
}

std::unique_ptr<DownloadSession> DownloadEngine::makeSession(const QString& id, const QString& path, qint64 have,
                                                             qint64 wanted)
{
    return std::make_unique<DownloadSession>(
        id, path, have, wanted, m_frames, m_clock,
        [this, id](qint64 at, qint64 size) {
            qCDebug(lcTransfer) << "requesting" << id << "at" << at << "for" << size;
            m_sink.sendTo(m_sessionNode, m_sessionAddress, Msg::packetRequest(id, at, size, m_clock.nowMs()));
        },
        [this] {
            // On the appender's thread: a slot of the window is free again, the engine goes on in its own thread.
            if (!m_writtenTurnAsked.exchange(true))
                QMetaObject::invokeMethod(this, &DownloadEngine::downloadNextFile, Qt::QueuedConnection);
        });
}

bool DownloadEngine::sessionMatches(const TableRecord& download) const
{
    return !download.isEmpty() && download.value(kStatus) == QLatin1String("queued") &&
           download.value(kDownloadSize) == download.value(kFileSize) &&
           download.value(kFileSize).toLongLong() == m_session->wanted() &&
           m_files.localFile(download) == m_session->path() && download.value(kNodeFrom) == m_sessionNode;
}

void DownloadEngine::continueSession()
{
    if (!m_session)
        return;
    const QString id = m_session->id();
    if (id != m_currentDownloadingFileId)
        setCurrentDownloadingFileId(id);
    const qint64 now = m_clock.nowMs();
    // The last bytes must be in the file before the download counts as complete (and may be opened). Until
    // they are, the appender's word that a block is written brings us back here.
    if (m_session->complete()) {
        if (m_session->pendingWrites() > 0)
            return;
        m_session->flush(); // a failed write shows here, and the session is no longer complete
    }
    if (m_session->writeFailed()) {
        pauseForDisk(id, DiskProblems::afterFailure(m_files.folder(), m_session->written(), m_session->wanted(),
                                                    m_session->writeError(), m_session->writeErrorString()));
        return;
    }
    if (m_session->complete()) {
        finishCompleted();
        return;
    }
    if (qAbs(now - m_touchedMs) >= kTouchMs) {
        m_store.touchTimestamp(kDownloadsTable, id);
        m_touchedMs = now;
    }
    if (qAbs(now - m_addressMs) >= kAddressMs) {
        m_sessionAddress = m_store.nodeAddress(m_sessionNode);
        m_addressMs = now;
    }
    showSessionProgress();
    m_session->fill();
    requestAhead();
}

void DownloadEngine::finishCompleted()
{
    // A folder's files asked for ahead are usually whole on disk by the time the one before them is: they end in
    // the same go, in listing order, their rows written in one transaction instead of a few commits each.
    const bool folder = !m_sessionFolder.isEmpty();
    QSqlDatabase db = m_store.database();
    const bool batch = folder && db.transaction();
    const auto commit = qScopeGuard([&db, batch] {
        if (batch)
            db.commit();
    });
    const DownloadFiles::Batch names(m_files);
    const qint64 until = m_clock.nowMs() + kFinishBatchMs;
    for (int finished = 1;; ++finished) {
        // The owner answers the next files while these are finished: asking only once all that arrived was done
        // left it idle for the whole batch, and then this side idle until its answers came.
        requestAhead();
        const QString id = m_session->id();
        const QString path = m_session->path();
        const qint64 wanted = m_session->wanted();
        m_session.reset(); // the files asked for ahead go on
        if (m_ahead.empty())
            m_releaseFrames.start();
        // A file asked for ahead has its row from then; the statement that marks it done also checks it is still
        // there and queued. Anything else reads its row again.
        if (const TableRecord asked = m_aheadRows.take(id); !asked.isEmpty() && markFolderFileDone(id)) {
            finishFolderFile(id, asked, path, true);
        } else {
            const TableRecord download = m_store.downloadRecord(id);
            m_store.touchTimestamp(kDownloadsTable, id);
            if (download.isEmpty())
                return;
            finishDownload(id, download, path, wanted);
        }
        // The next one goes the usual way when the queue may have changed, or when this go took long enough.
        const qint64 now = m_clock.nowMs();
        if (!folder || m_session || m_ahead.empty() || m_rechoose || m_recheckRow || finished >= kFolderAheadFiles ||
            now >= until || qAbs(now - m_chosenMs) >= kRechooseMs)
            return;
        DownloadSession& next = *m_ahead.front();
        if (!next.complete() || next.pendingWrites() > 0)
            return;
        next.flush();
        if (next.writeFailed() || !next.complete())
            return;
        takeAhead(next.id());
    }
}

void DownloadEngine::endSession()
{
    if (!m_session && m_ahead.empty())
        return;
    m_session.reset(); // writes what is still queued, giving its buffers back
    m_ahead.clear();
    m_aheadRows.clear();
    m_releaseFrames.start();
}

void DownloadEngine::flushWrites()
{
    if (m_session)
        m_session->flush();
    for (const auto& ahead : m_ahead)
        ahead->flush();
}

void DownloadEngine::registerHandlers(MessageDispatcher& dispatcher)
{
    dispatcher.registerHandler(Msg::kReceiveDataPacket, this, &DownloadEngine::handleReceiveDataPacket);
}

void DownloadEngine::handleReceiveDataPacket(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    DownloadSession* const session = sessionFor(id);
    if (!session) {
        receiveOutsideSession(id, message);
        return;
    }
    // The bytes of a file come from the peer that offered it, and from no one else who learnt its id.
    if (!fromTransferPeer(message, m_sessionNode, m_store, m_sessionAddress))
        return;
    bool seekValid = false;
    const qint64 fileSeek = message.value(Msg::kFileSeek).toLongLong(&seekValid);
    if (!seekValid)
        return;
    // Decoded straight from the frame: the bytes are shared, not copied, on their way to the file.
    const QByteArray bytes = message.value(Msg::kBinaryData).toByteArray();
    switch (session->receive(fileSeek, bytes)) {
    case DownloadSession::Answer::Appended:
        if (session == m_session.get())
            Q_EMIT readyToDownloadNextFile();
        break;
    case DownloadSession::Answer::Unexpected:
        if (session == m_session.get() && session->writeFailed())
            Q_EMIT readyToDownloadNextFile(); // paused there, with the reason
        break;
    case DownloadSession::Answer::Buffered:
    case DownloadSession::Answer::Duplicate:
    case DownloadSession::Answer::Invalid:
        break;
    }
}

// An answer for a download that is not running (paused, overtaken, given up): appended when it continues the
// file exactly, as a single request's answer always was.
void DownloadEngine::receiveOutsideSession(const QString& id, const Parameters& message)
{
    const TableRecord download = m_store.downloadRecord(id);
    if (download.isEmpty())
        return;
    if (!fromTransferPeer(message, download.value(kNodeFrom), m_store))
        return;
    // Paused for its disk, a download (and its folder's other files, asked for ahead) takes nothing more until the
    // disk takes its rest: the answers still on their way would only meet the same disk.
    if (waitsForDisk(resumeIdOf(id, download))) {
        qCDebug(lcTransfer) << "dropped a packet for" << id << "which waits for its disk";
        return;
    }
    // Bytes are only ever written into the file a started download owns.
    if (download.value(kDownloadSize) != download.value(kFileSize)) {
        qCWarning(lcTransfer) << "dropped a packet for" << id << "which has not been started";
        return;
    }
    const QString path = m_files.localFile(download);
    if (path.isEmpty())
        return;

    const qint64 have = localSize(path);
    bool seekValid = false;
    const qint64 fileSeek = message.value(Msg::kFileSeek).toLongLong(&seekValid);
    if (!seekValid || fileSeek != have)
        return; // a duplicate, or an answer to an earlier request

    const QByteArray bytes = message.value(Msg::kBinaryData).toByteArray();
    const qint64 wanted = download.value(kFileSize).toLongLong();
    if (bytes.isEmpty() || bytes.size() > Msg::kPacketSize || have + bytes.size() > wanted) {
        qCWarning(lcTransfer) << "dropped a packet of" << bytes.size() << "bytes at" << fileSeek << "for" << id << "of"
                              << wanted << "bytes";
        return;
    }

    if (have == 0)
        QDir().mkpath(m_files.folder());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        qCritical() << "There was an error opening " << path << " in debug mode";
        return;
    }
    errno = 0;
    const qint64 written = file.write(bytes);
    const int error = errno;
    file.close();
    if (written != bytes.size())
        qCritical() << "There was an error writing " << path << ":"
                    << FileAppender::shortWriteWords(error, written, bytes.size());
    Q_EMIT readyToDownloadNextFile();
}

} // namespace Vesk
