// The download engine's names and files: which file of the downloads folder a download writes into, its partial
// name while it arrives, its final name once complete, and removing what a withdrawn offer left behind.
#include "transfer/downloadengine.h"

#include "common/clock.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/downloadrow.h"
#include "transfer/transferlogging.h"
#include "transfer/transfernames.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

namespace Vesk {

using namespace DownloadRow;

namespace {

// Whether another download has already started into the file of that name (its downloadsize is set), so that the
// name belongs to that download.
bool nameTakenByOtherDownload(const QSqlDatabase& db, const QString& name, const QString& id)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("select count(*) from vesk_downloads where filename = ? and id <> ? and "
                             "cast(coalesce(downloadsize, 0) as integer) <> 0"));
    q.bindValue(0, name);
    q.bindValue(1, id);
    return q.exec() && q.next() && q.value(0).toInt() > 0;
}

// Whether the name is in use in the folder, complete or still arriving.
bool nameInFolder(const QString& folder, const QString& name)
{
    return QFileInfo::exists(folder + name) || QFileInfo::exists(folder + TransferNames::partName(name));
}

// The first free numbered variant of a name: no file of that name (nor its partial file) and no download that
// owns it.
QString freeNumberedName(const QSqlDatabase& db, const QString& folder, const QString& name, const QString& id)
{
    for (int n = 2;; ++n) {
        const QString candidate = TransferNames::numberedName(name, n);
        if (!nameInFolder(folder, candidate) && !nameTakenByOtherDownload(db, candidate, id))
            return candidate;
    }
}

} // namespace

QString DownloadEngine::downloadPathFor(const TableRecord& download) const
{
    if (!download.value(QStringLiteral("folderId")).isEmpty())
        return folderFilePath(download);
    const QString name = download.value(kFileName);
    return TransferNames::staysInFolder(m_downloadsFolder, name) ? m_downloadsFolder + name : QString();
}

QString DownloadEngine::localFileFor(const TableRecord& download) const
{
    const QString path = downloadPathFor(download);
    if (path.isEmpty())
        return path;
    const QString part = TransferNames::partName(path);
    // Versions before the partial name wrote into the final name from the start: such a file, of a started
    // download, holds its bytes (or all of them, for a file offered again after it arrived).
    const bool started = download.value(kDownloadSize) == download.value(kFileSize);
    if (started && !QFileInfo::exists(part) && QFileInfo::exists(path))
        return path;
    return part;
}

void DownloadEngine::startDownloadFile(const QString& id, const TableRecord& download)
{
    if (startFolderFile(id, download))
        return;
    // The first start decides which file of the downloads folder this download writes into. A file of that name
    // owned by another download is never touched: this one gets a numbered name ("name (2).ext") of its own. An
    // unrelated file of that name is moved aside to a backup name first.
    const QString& folder = m_downloadsFolder;
    QDir().mkpath(folder);
    const QSqlDatabase db = m_store.database();
    const QString offeredName = download.value(kFileName);
    QString name = TransferNames::safeLocalName(offeredName);
    if (nameTakenByOtherDownload(db, name, id)) {
        name = freeNumberedName(db, folder, name, id);
    } else {
        // Both the name and its partial name must be free of files nobody owns.
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(m_clock.nowMs());
        for (const QString& taken : {name, TransferNames::partName(name)}) {
            if (!QFileInfo::exists(folder + taken))
                continue;
            const QString backup = TransferNames::backupName(taken, now);
            if (!QFile::rename(folder + taken, folder + backup)) {
                qCWarning(lcTransfer) << "could not move" << taken << "aside to" << backup
                                      << "- downloading to a new name";
                name = freeNumberedName(db, folder, name, id);
                break;
            }
        }
    }
    if (name != offeredName)
        m_store.setField(kDownloadsTable, id, kFileName, name);
    m_store.setField(kDownloadsTable, id, kDownloadSize, download.value(kFileSize));
}

QString DownloadEngine::giveFinalName(const QString& id, const TableRecord& download, const QString& local)
{
    if (!download.value(QStringLiteral("folderId")).isEmpty())
        return giveFolderFileFinalName(id, download, local);
    const QString path = downloadPathFor(download);
    if (local == path || !QFileInfo::exists(local))
        return path;
    // A file of the final name that appeared while this one arrived is not ours: the download takes the next
    // numbered name rather than replace it.
    QString name = download.value(kFileName);
    if (QFileInfo::exists(path))
        name = freeNumberedName(m_store.database(), m_downloadsFolder, name, id);
    if (!QFile::rename(local, m_downloadsFolder + name)) {
        qCritical() << "There was an error renaming " << local << " to " << name;
        return local;
    }
    if (name != download.value(kFileName))
        m_store.setField(kDownloadsTable, id, kFileName, name);
    return m_downloadsFolder + name;
}

void DownloadEngine::setDownloadsFolder(const QString& folder)
{
    if (folder == m_downloadsFolder)
        return;
    // The running download's received bytes must all be in its file before the file moves.
    endSession();
    QStringList ids;
    {
        QSqlQuery q(m_store.database());
        if (q.exec(QStringLiteral("select id from vesk_downloads where status in ('unknown', 'queued')")))
            while (q.next())
                ids.append(q.value(0).toString());
    }
    for (const QString& id : ids) {
        const TableRecord download = m_store.downloadRecord(id);
        if (download.value(kDownloadSize) != download.value(kFileSize))
            continue; // not started: it owns no file yet
        if (!download.value(QStringLiteral("folderId")).isEmpty())
            continue; // a folder's file stays in its folder's tree, which does not move
        const QString from = localFileFor(download);
        const QString name = download.value(kFileName);
        if (from.isEmpty() || !QFileInfo::exists(from) || !TransferNames::staysInFolder(folder, name))
            continue;
        const QString to = folder + TransferNames::partName(name);
        QDir().mkpath(folder);
        // A file of that name in the new folder is not ours to append to. Such a download, or one whose file
        // cannot move, starts over there and chooses its name afresh; its bytes so far stay in the old folder.
        if (QFileInfo::exists(to) || !QFile::rename(from, to)) {
            qCWarning(lcTransfer) << "could not move" << from << "to" << to << "- the download starts over";
            m_store.setField(kDownloadsTable, id, kDownloadSize, QStringLiteral("0"));
        }
    }
    moveFolderTrees(folder);
    m_downloadsFolder = folder;
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    m_rechoose = true;
    m_recheckRow = true;
    Q_EMIT readyToDownloadNextFile();
}

void DownloadEngine::removePartialFile(const TableRecord& download)
{
    // Only a started download owns a file, and only an incomplete one is removed: a complete file is the user's.
    if (download.isEmpty() || download.value(kDownloadSize) != download.value(kFileSize))
        return;
    const QString path = localFileFor(download);
    if (path.isEmpty() || !QFileInfo::exists(path) || localSize(path) >= download.value(kFileSize).toLongLong())
        return;
    if (!QFile::remove(path))
        qCWarning(lcTransfer) << "could not remove the partial file" << path;
}

} // namespace Vesk
