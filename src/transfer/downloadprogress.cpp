// The download engine's account of progress: the taskbar's progress and the speed and time left of the running
// download (a folder's as a whole), the size on disk the interface shows, and the tick that notices a download
// that stopped growing, asks again for what may have been lost and, after long enough, gives the download up.
#include "transfer/downloadengine.h"

#include "common/clock.h"
#include "common/shell.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/downloadrow.h"
#include "transfer/downloadsession.h"

#include <QSqlQuery>

namespace Vesk {

using namespace DownloadRow;

void DownloadEngine::showProgress(qint64 have, qint64 wanted)
{
    const qint64 now = m_clock.nowMs();
    if (m_progressShown && qAbs(now - m_progressShownMs) < kProgressUpdateMs)
        return;
    m_shell.showProgress(have, wanted);
    m_progressShown = true;
    m_progressShownMs = now;
}

void DownloadEngine::showSessionProgress()
{
    if (m_sessionFolder.isEmpty()) {
        showProgress(m_session->written(), m_session->wanted());
        return;
    }
    if (m_progressFolder != m_sessionFolder) {
        m_progressFolder = m_sessionFolder;
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select coalesce(sum(cast(filesize as integer)), 0), (select filesize from "
                                 "vesk_folders where id = ?) from vesk_downloads where folderId = ? and status = "
                                 "'downloaded'"));
        q.bindValue(0, m_sessionFolder);
        q.bindValue(1, m_sessionFolder);
        const bool read = q.exec() && q.next();
        m_progressFolderDone = read ? q.value(0).toLongLong() : 0;
        m_progressFolderSize = read ? q.value(1).toLongLong() : 0;
    }
    const qint64 have = m_progressFolderDone + m_session->written();
    showProgress(qMin(have, m_progressFolderSize), m_progressFolderSize);
}

void DownloadEngine::hideProgress()
{
    m_shell.hideProgress();
    m_progressShown = false;
    m_progressFolder.clear();
}

qint64 DownloadEngine::currentDownloadFileSize() const
{
    if (m_session && m_session->id() == m_currentDownloadingFileId)
        return m_session->written();
    const TableRecord download = m_store.downloadRecord(m_currentDownloadingFileId);
    if (download.isEmpty())
        return 0;
    const QString path = m_files.localFile(download);
    return path.isEmpty() ? 0 : localSize(path);
}

void DownloadEngine::estimateTick()
{
    const qint64 now = m_clock.nowMs();
    if (!m_session) {
        // Between two files of a folder the folder goes on; with nothing left to fetch, nothing is measured.
        const bool between = !m_currentDownloadingFileId.isEmpty() || !m_ahead.empty();
        if (between ? m_estimate.read(m_estimate.doneBytes(), now) : !m_estimate.subject().isEmpty()) {
            if (!between)
                m_estimate.restart(QString(), 0, 0, now);
            Q_EMIT estimateChanged();
        }
        return;
    }
    // A folder goes as a whole: the bytes of its files already down and those of the running one.
    const bool folder = !m_sessionFolder.isEmpty() && m_progressFolder == m_sessionFolder;
    const QString subject = folder ? m_sessionFolder : m_session->id();
    const qint64 total = folder ? m_progressFolderSize : m_session->wanted();
    const qint64 done = qMin(total, (folder ? m_progressFolderDone : 0) + m_session->written());
    if (subject != m_estimate.subject()) {
        m_estimate.restart(subject, done, total, now);
        Q_EMIT estimateChanged();
    } else if (m_estimate.read(done, now)) {
        Q_EMIT estimateChanged();
    }
}

void DownloadEngine::ownerStreamEnded(const QString& nodeId)
{
    if (nodeId == m_sessionNode)
        askAgain(false);
}

void DownloadEngine::askAgain(bool onlyOverdue)
{
    const qint64 now = m_clock.nowMs();
    if (m_session && !m_session->complete() && (!onlyOverdue || m_session->overdue(now)))
        m_session->askAgain();
    for (const auto& ahead : m_ahead) {
        if (!ahead->complete() && (!onlyOverdue || ahead->overdue(now)))
            ahead->askAgain();
    }
}

void DownloadEngine::resetProgressTick()
{
    downloadStallCount = 0;
    lastDownloadingFileId.clear();
}

void DownloadEngine::progressTick()
{
    if (m_currentDownloadingFileId.isEmpty()) {
        lastDownloadFileSize = 0;
        // Paused, given up or withdrawn: nothing is downloading, so the taskbar shows no progress.
        if (m_progressShown)
            hideProgress();
        return;
    }
    if (m_currentDownloadingFileId != lastDownloadingFileId) {
        downloadStallCount = 0;
        lastDownloadFileSize = 0;
    }
    lastDownloadingFileId = m_currentDownloadingFileId;

    const qint64 size = currentDownloadFileSize();
    if (size != lastDownloadFileSize) {
        downloadStallCount = 0;
        Q_EMIT currentDownloadFileSizeChanged();
    } else {
        ++downloadStallCount;
        // The requests or their answers may have been lost: ask again, for the files asked for ahead too (those
        // asked for before the owner's stream was up, after a restart, went nowhere; one a tick took minutes).
        // On the owner's stream only what is overdue: a slow link's answer is on its way.
        askAgain(m_capabilities.capabilitiesOf(m_sessionNode) != 0);
        Q_EMIT readyToDownloadNextFile();
    }
    // Rows can change outside this engine (a new offer of the same file, a withdrawal of all): look again.
    m_rechoose = true;
    m_recheckRow = true;
    lastDownloadFileSize = size;

    if (downloadStallCount > kMaxStallTicks) {
        downloadStallCount = 0;
        m_waitingForOwner.insert(m_currentDownloadingFileId);
        m_store.setField(kDownloadsTable, m_currentDownloadingFileId, kStatus, QStringLiteral("unknown"));
        m_store.pausedDownloads->refresh();
        folderOwnerStalled(m_currentDownloadingFileId);
        setCurrentDownloadingFileId(QString());
        Q_EMIT readyToDownloadNextFile();
    }
    m_store.queuedDownloads->refresh();
    m_store.pausedDownloads->refresh();
}

qint64 DownloadEngine::bytesOnDisk(const QString& id) const
{
    return bytesOnDisk(id, m_store.downloadRecord(id));
}

qint64 DownloadEngine::bytesOnDisk(const QString& id, const TableRecord& download) const
{
    // Until its first start a download owns no file: one of that name in the folder is someone else's.
    if (download.value(kDownloadSize).toLongLong() == 0)
        return 0;
    // The running downloads' bytes still on their way to the file count too.
    if (const DownloadSession* session = sessionFor(id))
        return qMax(session->written(), localSize(session->path()));
    const QString path = m_files.localFile(download);
    return path.isEmpty() ? 0 : localSize(path);
}

} // namespace Vesk
