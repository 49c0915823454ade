// The download engine's queue as the user and the owners change it: queueing and pausing downloads (a folder's as
// one), queueing everything waiting or going on after a restart, a download removed or withdrawn, and a download
// paused because its file cannot be written. Each change refreshes the lists it touches and makes the engine choose
// its next download again; running the chosen download is downloadengine.cpp's part.
#include "transfer/downloadengine.h"

#include "common/shell.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/diskproblems.h"
#include "transfer/downloadrow.h"
#include "transfer/transferlogging.h"
#include "transfer/transfersql.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>
#include <limits>

namespace Vesk {

using namespace DownloadRow;

namespace {
// The key of the notice of a download paused for its disk: one at a time, the last one paused.
const QString kDiskNotice = QStringLiteral("download paused for its disk");
} // namespace

void DownloadEngine::forgetProblem(const QString& id)
{
    if (m_problems.remove(id))
        m_problems.remove(m_store.field(kDownloadsTable, id, kFolderId));
    closeStaleDiskNotice();
}

void DownloadEngine::closeStaleDiskNotice()
{
    if (m_diskNoticeFor.isEmpty())
        return;
    // Still paused for the disk, and not withdrawn meanwhile.
    if (waitsForDisk(m_diskNoticeFor) && !m_withdrawn.contains(m_diskNoticeFor))
        return;
    m_shell.closeNotice(kDiskNotice);
    m_diskNoticeFor.clear();
}

void DownloadEngine::pauseForDisk(const QString& id, const QString& fileReason)
{
    const TableRecord download = m_store.downloadRecord(id);
    const QString folderId = download.value(kFolderId);
    const QString resumeId = resumeIdOf(id, download);
    m_waitingForOwner.remove(id);
    endSession(); // what was received is in the file now, which tells how much is still to come
    // A folder waits as one: the space it lacks is that of all its files still to come. The file that met the full
    // disk alone would understate it, and freeing only that much would stop the folder again at its next file.
    const QString folderReason =
        folderId.isEmpty() ? QString() : DiskProblems::checkFolder(m_files.folder(), 0, folderRest(folderId));
    const QString& reason = folderReason.isEmpty() ? fileReason : folderReason;
    qCritical().noquote() << "Download paused:" << reason << "-" << id;
    m_problems.insert(id, reason);
    if (!folderId.isEmpty())
        m_problems.insert(folderId, reason);
    const qint64 rest = download.value(kFileSize).toLongLong() - bytesOnDisk(id, download);
    m_waitingForDisk.insert(id, {resumeId, qMax<qint64>(0, rest)});
    if (!m_diskRecheck.isActive())
        m_diskRecheck.start();
    // A folder's files wait together: the next one would meet the same disk.
    if (folderId.isEmpty() || !setFolderQueued(folderId, false))
        m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("unknown"));
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    setCurrentDownloadingFileId(QString());
    hideProgress();
    Q_EMIT pendingCountChanged();
    const QString name = folderId.isEmpty()
                             ? download.value(kFileName)
                             : m_store.field(QStringLiteral("vesk_folders"), folderId, QStringLiteral("localname"));
    m_diskNoticeFor = resumeId;
    m_shell.showNotice(kDiskNotice, tr("Download paused"),
                       tr("%1 is paused. %2. It goes on by itself once it can be written.").arg(name, reason));
    m_rechoose = true;
    Q_EMIT readyToDownloadNextFile();
}

qint64 DownloadEngine::folderRest(const QString& folderId) const
{
    // Once per pause, over rows the folder index finds; only the files begun (the one running, those asked for
    // ahead) hold bytes already.
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("select id, filesize, downloadsize from vesk_downloads where folderId = ? and status in "
                             "('unknown', 'queued')"));
    q.bindValue(0, folderId);
    qint64 rest = 0;
    if (!q.exec())
        return rest;
    constexpr qint64 kMost = std::numeric_limits<qint64>::max();
    while (q.next()) {
        const qint64 size = qMax<qint64>(0, q.value(1).toLongLong());
        const qint64 have = q.value(2).toLongLong() > 0 ? bytesOnDisk(q.value(0).toString()) : 0;
        // An owner's listing may hold the most files of the largest size each: more than a qint64 holds.
        const qint64 left = qMax<qint64>(0, size - have);
        rest = left > kMost - rest ? kMost : rest + left;
    }
    return rest;
}

QString DownloadEngine::resumeIdOf(const QString& id, const TableRecord& download)
{
    const QString folderId = download.value(kFolderId);
    return folderId.isEmpty() ? id : folderId;
}

bool DownloadEngine::waitsForDisk(const QString& resumeId) const
{
    // Its reason stands until the user or the owner takes it up again, and the recheck has not let it go.
    return m_problems.contains(resumeId) &&
           std::any_of(m_waitingForDisk.cbegin(), m_waitingForDisk.cend(),
                       [&resumeId](const DiskWait& waiting) { return waiting.resumeId == resumeId; });
}

void DownloadEngine::recheckDisk()
{
    // No record is read here: a "Download all" on a full disk may have paused thousands of files. While not even
    // the smallest rest fits, one look at the folder says so for all of them.
    qint64 smallest = -1;
    for (const DiskWait& waiting : std::as_const(m_waitingForDisk))
        smallest = smallest < 0 ? waiting.rest : qMin(smallest, waiting.rest);
    const bool anyFits = smallest >= 0 && DiskProblems::checkFolder(m_files.folder(), 0, smallest).isEmpty();
    QStringList resume;
    for (auto it = m_waitingForDisk.begin(); it != m_waitingForDisk.end();) {
        // Its reason is forgotten once the user or the owner took it up again: queued, removed, withdrawn.
        if (!m_problems.contains(it->resumeId) || m_withdrawn.contains(it.key())) {
            it = m_waitingForDisk.erase(it);
        } else if (anyFits && DiskProblems::checkFolder(m_files.folder(), 0, it->rest).isEmpty()) {
            qInfo().noquote() << "Download goes on: its disk takes the rest now -" << it.key();
            if (!resume.contains(it->resumeId))
                resume.append(it->resumeId);
            it = m_waitingForDisk.erase(it);
        } else {
            ++it;
        }
    }
    if (m_waitingForDisk.isEmpty())
        m_diskRecheck.stop();
    for (const QString& id : std::as_const(resume))
        queueFileToDownload(id);
    closeStaleDiskNotice();
}

void DownloadEngine::ownerWithdrew(const QString& id, const QString& note)
{
    m_waitingForOwner.remove(id);
    m_withdrawn.insert(id);
    m_problems.insert(id, note);
    m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("unknown"));
    m_store.setField(kDownloadsTable, id, kDownloadSize, QStringLiteral("0")); // it owns no file any more
}

void DownloadEngine::offeredAgain(const QString& id)
{
    if (m_withdrawn.remove(id))
        m_problems.remove(id);
}

void DownloadEngine::queueFileToDownload(const QString& id)
{
    if (m_withdrawn.contains(id))
        return; // its owner has nothing to send
    m_waitingForOwner.remove(id);
    forgetProblem(id);
    if (setFolderQueued(id, true)) {
        queuedMore();
        return;
    }
    m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("queued"));
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    Q_EMIT pendingCountChanged();
    m_rechoose = true;
    Q_EMIT readyToDownloadNextFile();
}

void DownloadEngine::pauseFileToDownload(const QString& id)
{
    m_waitingForOwner.remove(id);
    forgetProblem(id); // paused by the user now: it waits for the user, not for its disk
    if (!setFolderQueued(id, false))
        m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("unknown"));
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    Q_EMIT pendingCountChanged();
    endSession(); // also the files of a folder asked for ahead, which may be the ones paused
    m_rechoose = true;
    setCurrentDownloadingFileId(QString());
    Q_EMIT readyToDownloadNextFile();
}

void DownloadEngine::downloadAllPending(const QString& nodeFrom)
{
    // The folders first, so that they show as queued at once; their files and the separate ones then go a slice
    // at a time, smallest first. A folder paused meanwhile keeps its files waiting.
    // Each is checked again as it starts; what their owners withdrew stays said.
    for (auto it = m_problems.begin(); it != m_problems.end();)
        it = m_withdrawn.contains(it.key()) ? std::next(it) : m_problems.erase(it);
    const QString fromPeer = nodeFrom.isEmpty() ? QString() : QStringLiteral(" and nodeid = ?");
    QSqlQuery q(m_store.database());
    execBound(q,
              QStringLiteral("update vesk_folders set status = 'queued' where status = 'unknown' and direction = "
                             "'down'") +
                  fromPeer,
              nodeFrom.isEmpty() ? QVariantList{} : QVariantList{nodeFrom});
    const QString slice =
        QStringLiteral("update vesk_downloads set status = 'queued' where rowid in (select rowid from vesk_downloads "
                       "where status = 'unknown' and (folderId is null or folderId in (select id from vesk_folders "
                       "where status = 'queued'))%1 limit ?)")
            .arg(nodeFrom.isEmpty() ? QString() : QStringLiteral(" and nodefrom = ?"));
    m_slices.start(
        QStringLiteral("all ") + nodeFrom,
        [this, slice, nodeFrom] {
            QSqlQuery q(m_store.database());
            return execSlice(q, slice, nodeFrom.isEmpty() ? QVariantList{} : QVariantList{nodeFrom});
        },
        [this] { queuedMore(); });
    queuedMore();
}

void DownloadEngine::queuedMore()
{
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    Q_EMIT pendingCountChanged();
    m_rechoose = true;
    Q_EMIT readyToDownloadNextFile();
}

void DownloadEngine::pauseAllPendingDownloads()
{
    m_slices.cancelAll();
    m_waitingForDisk.clear(); // the user wants nothing fetched now
    {
        QSqlQuery q(m_store.database());
        q.exec(QStringLiteral("update vesk_downloads set status = 'unknown' where status='queued'"));
        q.exec(QStringLiteral("update vesk_folders set status = 'unknown' where status = 'queued'"));
    }
    endSession();
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    setCurrentDownloadingFileId(QString());
    Q_EMIT pendingCountChanged();
}

void DownloadEngine::resumeInterrupted(const QStringList& ids)
{
    if (ids.isEmpty())
        return;
    {
        // One transaction: a folder of ten thousand files took over a second at start as ten thousand commits.
        QSqlDatabase db = m_store.database();
        db.transaction();
        QSqlQuery q(db);
        q.prepare(QStringLiteral("update vesk_downloads set status = 'queued' where id = ? and status = 'unknown'"));
        for (const QString& id : ids) {
            q.bindValue(0, id);
            q.exec();
        }
        // A folder whose files go on shows as downloading, not as waiting for the user.
        q.exec(QStringLiteral("update vesk_folders set status = 'queued' where direction = 'down' and status = "
                              "'unknown' and exists (select 1 from vesk_downloads where folderId = vesk_folders.id "
                              "and status = 'queued')"));
        db.commit();
    }
    queuedMore();
}

void DownloadEngine::downloadRemoved(const QString& id)
{
    m_waitingForOwner.remove(id);
    m_problems.remove(id);
    m_withdrawn.remove(id);
    m_keptAside.remove(id);
    if (sessionFor(id))
        endSession();
    if (id != m_currentDownloadingFileId)
        return;
    setCurrentDownloadingFileId(QString());
    Q_EMIT readyToDownloadNextFile();
}

void DownloadEngine::setDownloadsFolder(const QString& folder)
{
    if (folder == m_files.folder())
        return;
    // The running download's received bytes must all be in its file before the file moves.
    endSession();
    m_files.moveTo(folder);
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    m_rechoose = true;
    m_recheckRow = true;
    Q_EMIT readyToDownloadNextFile();
}
void DownloadEngine::ownerCameOnline(const QString& nodeId)
{
    resumeWaitingFolders(nodeId);
    QStringList resume, stale;
    for (const QString& id : std::as_const(m_waitingForOwner)) {
        const TableRecord download = m_store.downloadRecord(id);
        // Still offered and not touched by the user since it was given up.
        if (download.value(kStatus) != QLatin1String("unknown"))
            stale.append(id);
        else if (download.value(kNodeFrom) == nodeId)
            resume.append(id);
    }
    for (const QString& id : std::as_const(stale))
        m_waitingForOwner.remove(id);
    for (const QString& id : std::as_const(resume)) {
        qCDebug(lcTransfer) << "owner of" << id << "is back: queued again";
        queueFileToDownload(id);
    }
}

} // namespace Vesk
