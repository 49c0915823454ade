// The download engine's side of received folders: a folder's files go one after the other in listing order into
// the folder's tree (DownloadFiles), each without a popup of its own; the folder row follows
// them, and the folder is told about once, when its last file is complete. Small files of the folder are asked for
// ahead of their turn, several at once, so the owner's round trips overlap.
#include "transfer/downloadengine.h"

#include "common/clock.h"
#include "common/htmltext.h"
#include "common/shell.h"
#include "peers/peersend.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/downloadrow.h"
#include "transfer/downloadsession.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transfersql.h"

#include <QScopeGuard>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>

namespace Vesk {

using namespace DownloadRow;

namespace {

namespace Msg = TransferMessages;

const QString kFoldersTable = QStringLiteral("vesk_folders");

QString receivedFolderOf(const QSqlDatabase& db, const QString& id)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("select id from vesk_folders where id = ? and direction = 'down'"));
    q.bindValue(0, id);
    return q.exec() && q.next() ? q.value(0).toString() : QString();
}

} // namespace

void DownloadEngine::refreshFolderLists()
{
    for (VeskSqlQueryModel* list : {m_store.queuedDownloads, m_store.completedDownloads, m_store.pausedDownloads})
        list->refresh();
}

bool DownloadEngine::setFolderQueued(const QString& id, bool queued)
{
    const QSqlDatabase db = m_store.database();
    const QString from = queued ? QStringLiteral("unknown") : QStringLiteral("queued");
    const QString to = queued ? QStringLiteral("queued") : QStringLiteral("unknown");
    QSqlQuery q(db);
    if (receivedFolderOf(db, id).isEmpty()) {
        // One file of a folder: the folder row follows it.
        const QString folderId = m_store.field(kDownloadsTable, id, kFolderId);
        if (folderId.isEmpty())
            return false;
        m_store.setField(kDownloadsTable, id, kStatus, to);
        updateFolderStatus(folderId);
        return false;
    }
    if (!queued) {
        // Paused in one go: files left queued by a slice still to come would be fetched.
        m_slices.cancel(id);
        execBound(q, QStringLiteral("update vesk_downloads set status = ? where folderId = ? and status = ?"),
                  {to, id, from});
        updateFolderStatus(id);
        return true;
    }
    m_files.makeFolderTree(id);
    // Queued a slice at a time, in listing order: the first files go at once, and the folder shows as queued.
    execBound(q,
              QStringLiteral("update vesk_folders set status = 'queued' where id = ? and direction = 'down' and "
                             "status = 'unknown'"),
              {id});
    m_slices.start(
        id,
        [this, id] {
            QSqlQuery slice(m_store.database());
            return execSlice(slice,
                             QStringLiteral("update vesk_downloads set status = 'queued' where rowid in (select rowid "
                                            "from vesk_downloads where folderId = ? and status = 'unknown' limit ?)"),
                             {id});
        },
        [this, id] {
            updateFolderStatus(id);
            queuedMore();
        });
    return true;
}

void DownloadEngine::dropFolderRows(const QString& folderId)
{
    QSqlQuery q(m_store.database());
    execBound(q, QStringLiteral("delete from vesk_folders where id = ?"), {folderId});
    // Only the rows there now: the owner may offer the folder again under the same id while these go.
    const qint64 last =
        q.exec(QStringLiteral("select max(rowid) from vesk_downloads")) && q.next() ? q.value(0).toLongLong() : 0;
    // Under the folder's key: what was left of its queueing ends here.
    m_slices.start(folderId, [this, folderId, last] {
        QSqlQuery slice(m_store.database());
        return execSlice(slice,
                         QStringLiteral("delete from vesk_downloads where rowid in (select rowid from vesk_downloads "
                                        "where folderId = ? and rowid <= ? limit ?)"),
                         {folderId, last});
    });
}

QString DownloadEngine::updateFolderStatus(const QString& folderId)
{
    QSqlQuery q(m_store.database());
    // Each an index seek: this runs after every file of a folder that may hold thousands.
    q.prepare(QStringLiteral("select exists (select 1 from vesk_downloads where folderId = ? and status = 'queued'), "
                             "exists (select 1 from vesk_downloads where folderId = ? and status in ('unknown', "
                             "'queued', 'tobedeleted')), exists (select 1 from vesk_downloads where folderId = ?)"));
    for (int i = 0; i < 3; ++i)
        q.bindValue(i, folderId);
    if (!q.exec() || !q.next())
        return QString();
    const int queued = q.value(0).toInt(), unfinished = q.value(1).toInt(), files = q.value(2).toInt();
    const QString status = queued > 0                     ? QStringLiteral("queued")
                           : files > 0 && unfinished == 0 ? QStringLiteral("downloaded")
                                                          : QStringLiteral("unknown");
    q.prepare(QStringLiteral("update vesk_folders set status = ? where id = ? and direction = 'down' and status in "
                             "('unknown', 'queued', 'downloaded')"));
    q.bindValue(0, status);
    q.bindValue(1, folderId);
    q.exec();
    return status;
}

QString DownloadEngine::chooseNextDownload() const
{
    QSqlQuery q(m_store.database());
    QString file;
    qint64 fileSize = 0;
    if (q.exec(QStringLiteral("select id, cast(filesize as INTEGER) from vesk_downloads where status = 'queued' and "
                              "folderId is null order by cast(filesize as INTEGER) asc limit 1")) &&
        q.next()) {
        file = q.value(0).toString();
        fileSize = q.value(1).toLongLong();
    }
    // A folder counts by its total size among the separate files; inside it, its files go in listing order.
    if (!q.exec(QStringLiteral("select f.id, cast(f.filesize as INTEGER) from vesk_folders f where f.direction = "
                               "'down' and exists (select 1 from vesk_downloads d where d.folderId = f.id and "
                               "d.status = 'queued') order by cast(f.filesize as INTEGER) asc limit 1")) ||
        !q.next() || (!file.isEmpty() && fileSize <= q.value(1).toLongLong()))
        return file;
    const QString folderId = q.value(0).toString();
    q.prepare(QStringLiteral("select id from vesk_downloads where folderId = ? and status = 'queued' order by path "
                             "limit 1"));
    q.bindValue(0, folderId);
    return q.exec() && q.next() ? q.value(0).toString() : file;
}

bool DownloadEngine::markFolderFileDone(const QString& id)
{
    if (!m_markDone) {
        m_markDone = std::make_unique<QSqlQuery>(m_store.database());
        m_markDone->prepare(QStringLiteral("update vesk_downloads set status = 'downloaded', timestamp = ? where id = "
                                           "? and status = 'queued'"));
    }
    m_markDone->bindValue(0, m_clock.nowMs());
    m_markDone->bindValue(1, id);
    const bool marked = m_markDone->exec() && m_markDone->numRowsAffected() > 0;
    m_markDone->finish();
    return marked;
}

bool DownloadEngine::finishFolderFile(const QString& id, const TableRecord& download, const QString& local, bool marked)
{
    const QString folderId = download.value(kFolderId);
    if (folderId.isEmpty())
        return false;
    m_files.giveFinalName(id, download, local);
    const QString nodeFrom = download.value(kNodeFrom);
    // Thousands of files may end within seconds: the lists are brought up to date now and then, not for each.
    if (!marked)
        m_store.setField(kDownloadsTable, id, kStatus, QStringLiteral("downloaded"));
    if (folderId == m_progressFolder)
        m_progressFolderDone += download.value(kFileSize).toLongLong();
    if (!m_folderListsTimer.isActive())
        m_folderListsTimer.start();
    setCurrentDownloadingFileId(QString());
    Q_EMIT readyToDownloadNextFile();
    // Files of this folder asked for ahead are still queued, so the folder stays "queued" as it is.
    if (folderId == m_sessionFolder && !m_ahead.empty())
        return true;
    if (updateFolderStatus(folderId) != QLatin1String("downloaded"))
        return true;
    const TableRecord folder = m_store.record(kFoldersTable, folderId);
    if (folder.isEmpty() || folder.value(kStatus) != QLatin1String("downloaded"))
        return true;
    // Its empty folders too, also when it was accepted with all the others and no file of it needed a byte.
    m_files.makeFolderTree(folderId);
    // The owner hears once, for the whole folder: every message is a connection of its own, and one per file
    // would be a third of all a folder of small files costs.
    sendToNode(m_sink, m_store, nodeFrom, Msg::aboutFile(Msg::kFileTransferComplete, folderId));
    hideProgress();
    m_folderListsTimer.stop();
    refreshFolderLists();
    Q_EMIT pendingCountChanged();
    m_shell.showChatNotification(
        nodeFrom,
        tr("Folder Downloaded : <br> <b>%1</b><br>").arg(plainTextToHtml(folder.value(QStringLiteral("localname")))));
    return true;
}

void DownloadEngine::folderOwnerStalled(const QString& fileId)
{
    const QString folderId = m_store.field(kDownloadsTable, fileId, kFolderId);
    if (folderId.isEmpty())
        return;
    m_waitingForOwner.remove(fileId);
    m_waitingForOwner.insert(folderId);
    setFolderQueued(folderId, false);
}

void DownloadEngine::resumeWaitingFolders(const QString& nodeId)
{
    const QSet<QString> waiting = m_waitingForOwner;
    for (const QString& id : waiting) {
        const TableRecord folder = m_store.record(kFoldersTable, id);
        if (folder.isEmpty())
            continue;
        if (folder.value(kStatus) != QLatin1String("unknown"))
            m_waitingForOwner.remove(id);
        else if (folder.value(QStringLiteral("nodeid")) == nodeId)
            queueFileToDownload(id);
    }
}

DownloadSession* DownloadEngine::sessionFor(const QString& id) const
{
    if (m_session && m_session->id() == id)
        return m_session.get();
    for (const auto& ahead : m_ahead) {
        if (ahead->id() == id)
            return ahead.get();
    }
    return nullptr;
}

bool DownloadEngine::takeAhead(const QString& id)
{
    if (m_session && m_session->id() == id)
        return false;
    const auto found = std::find_if(m_ahead.begin(), m_ahead.end(), [&id](const auto& s) { return s->id() == id; });
    if (found == m_ahead.end())
        return false;
    // Files asked for before it are not next any more (paused or gone meanwhile); their bytes stay in their files.
    std::unique_ptr<DownloadSession> taken = std::move(*found);
    for (auto skipped = m_ahead.begin(); skipped != found; ++skipped)
        m_aheadRows.remove((*skipped)->id());
    m_ahead.erase(m_ahead.begin(), found + 1);
    m_session = std::move(taken);
    return true;
}

void DownloadEngine::requestAhead()
{
    // Refilled in batches: each look costs a query, and the pipe stays full enough with half of it in flight.
    if (!m_session || m_sessionFolder.isEmpty() || m_aheadEnded || !m_session->allRequested() ||
        int(m_ahead.size()) > kFolderAheadFiles / 2)
        return;
    qint64 bytes = 0;
    for (const auto& ahead : m_ahead)
        bytes += ahead->wanted() - ahead->written();
    QList<TableRecord> next;
    QSqlDatabase db = m_store.database();
    {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("select * from vesk_downloads where folderId = ? and status = 'queued' and path > ? "
                                 "order by path limit ?"));
        q.bindValue(0, m_sessionFolder);
        q.bindValue(1, m_aheadAfter);
        q.bindValue(2, kFolderAheadFiles - int(m_ahead.size()));
        if (q.exec()) {
            while (q.next())
                next.append(TableRecord(kDownloadsTable, q.record()));
        }
    }
    if (next.isEmpty())
        m_aheadEnded = true;
    // The files' first starts are written together.
    const DownloadFiles::Batch names(m_files);
    const bool batch = db.transaction();
    const auto commit = qScopeGuard([&db, batch] {
        if (batch)
            db.commit();
    });
    for (TableRecord& download : next) {
        const QString id = download.value(QStringLiteral("id"));
        const qint64 wanted = download.value(kFileSize).toLongLong();
        // Only files of one packet from the same owner: a larger one gets the whole window when its turn comes, and
        // anything out of the ordinary (empty, renamed, complete) is left to that turn too.
        if (download.value(kNodeFrom) != m_sessionNode || wanted <= 0 || wanted > Msg::kPacketSize ||
            bytes + wanted > kFolderAheadBytes) {
            m_aheadEnded = bytes + wanted <= kFolderAheadBytes;
            return;
        }
        // A first start that found both names free needs no look for what its partial file holds: nothing.
        bool clear = false;
        if (download.value(kDownloadSize) != download.value(kFileSize)) {
            m_files.start(id, download, &clear);
            download.insert(kDownloadSize, download.value(kFileSize));
        }
        const QString part = TransferNames::partName(m_files.finalPath(download));
        const QString path = clear ? part : m_files.localFile(download);
        const qint64 have = clear || path.isEmpty() ? 0 : localSize(path);
        if (path.isEmpty() || path != part || have >= wanted) {
            m_aheadEnded = true;
            return;
        }
        m_ahead.push_back(makeSession(id, path, have, wanted));
        m_aheadRows.insert(id, download);
        m_ahead.back()->fill();
        bytes += wanted - have;
        m_aheadAfter = download.value(kPath);
    }
}

} // namespace Vesk
