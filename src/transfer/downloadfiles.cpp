#include "transfer/downloadfiles.h"

#include "common/clock.h"
#include "store/store.h"
#include "transfer/downloadrow.h"
#include "transfer/folderlisting.h"
#include "transfer/transferlogging.h"
#include "transfer/transfernames.h"
#include "transfer/transfersql.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#endif

namespace Vesk {

using namespace DownloadRow;

namespace {
// Moves `from` to `to` unless something is at `to` already, in one call where the system has one (Linux): a folder's
// files each end with a rename, and looking first cost four more calls per file. Anything but Placed or Taken (no
// such call, a file system without it, a source gone) leaves the caller to look and rename as elsewhere.
enum class Renamed { Placed, Taken, Unsure };
Renamed renameNoReplace([[maybe_unused]] const QString& from, [[maybe_unused]] const QString& to)
{
#ifdef Q_OS_LINUX
    if (::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD, QFile::encodeName(to).constData(),
                    RENAME_NOREPLACE) == 0)
        return Renamed::Placed;
    if (errno == EEXIST)
        return Renamed::Taken;
#endif
    return Renamed::Unsure;
}

const QString kFoldersTable = QStringLiteral("vesk_folders");

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

DownloadFiles::DownloadFiles(Store& store, const Clock& clock, const QString& folder)
    : m_store(store), m_clock(clock), m_folder(folder)
{
}

DownloadFiles::~DownloadFiles() = default;

QString DownloadFiles::finalPath(const TableRecord& download) const
{
    if (!download.value(kFolderId).isEmpty())
        return folderFilePath(download);
    const QString name = download.value(kFileName);
    return TransferNames::staysInFolder(m_folder, name) ? m_folder + name : QString();
}

QString DownloadFiles::localFile(const TableRecord& download) const
{
    const QString path = finalPath(download);
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

QString DownloadFiles::start(const QString& id, const TableRecord& download, bool* clear)
{
    if (clear)
        *clear = false;
    if (!download.value(kFolderId).isEmpty())
        return startFolderFile(id, download, clear);
    QString keptAs;
    // The first start decides which file of the downloads folder this download writes into. A file of that name
    // owned by another download is never touched: this one gets a numbered name ("name (2).ext") of its own. An
    // unrelated file of that name is moved aside to a backup name first.
    QDir().mkpath(m_folder);
    const QSqlDatabase db = m_store.database();
    const QString offeredName = download.value(kFileName);
    QString name = TransferNames::safeLocalName(offeredName);
    if (nameTakenByOtherDownload(db, name, id)) {
        name = freeNumberedName(db, m_folder, name, id);
    } else {
        // Both the name and its partial name must be free of files nobody owns.
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(m_clock.nowMs());
        for (const QString& taken : {name, TransferNames::partName(name)}) {
            if (!QFileInfo::exists(m_folder + taken))
                continue;
            const QString backup = TransferNames::backupName(taken, now);
            if (!QFile::rename(m_folder + taken, m_folder + backup)) {
                qCWarning(lcTransfer) << "could not move" << taken << "aside to" << backup
                                      << "- downloading to a new name";
                name = freeNumberedName(db, m_folder, name, id);
                break;
            }
            if (keptAs.isEmpty())
                keptAs = backup;
        }
    }
    if (name != offeredName)
        m_store.setField(kDownloadsTable, id, kFileName, name);
    m_store.setField(kDownloadsTable, id, kDownloadSize, download.value(kFileSize));
    return keptAs;
}

QString DownloadFiles::giveFinalName(const QString& id, const TableRecord& download, const QString& local)
{
    if (!download.value(kFolderId).isEmpty())
        return giveFolderFileFinalName(id, download, local);
    const QString path = finalPath(download);
    if (local == path || !QFileInfo::exists(local))
        return path;
    // A file of the final name that appeared while this one arrived is not ours: the download takes the next
    // numbered name rather than replace it.
    QString name = download.value(kFileName);
    if (QFileInfo::exists(path))
        name = freeNumberedName(m_store.database(), m_folder, name, id);
    if (!QFile::rename(local, m_folder + name)) {
        qCritical() << "There was an error renaming " << local << " to " << name;
        return local;
    }
    if (name != download.value(kFileName))
        m_store.setField(kDownloadsTable, id, kFileName, name);
    return m_folder + name;
}

void DownloadFiles::removePartialFile(const TableRecord& download)
{
    // Only a started download owns a file, and only an incomplete one is removed: a complete file is the user's.
    if (download.isEmpty() || download.value(kDownloadSize) != download.value(kFileSize))
        return;
    const QString path = localFile(download);
    if (path.isEmpty() || !QFileInfo::exists(path) || localSize(path) >= download.value(kFileSize).toLongLong())
        return;
    if (!QFile::remove(path))
        qCWarning(lcTransfer) << "could not remove the partial file" << path;
}

void DownloadFiles::moveTo(const QString& folder)
{
    if (folder == m_folder)
        return;
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
        if (!download.value(kFolderId).isEmpty())
            continue; // a folder's file moves with its folder's tree
        const QString from = localFile(download);
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
    m_folder = folder;
}

// --- received folders ---------------------------------------------------------------------------------------

QString DownloadFiles::takeFolderName(const QString& name) const
{
    return takeFolderName(m_folder, name, {}, {}, false);
}

void DownloadFiles::makeFolderTree(const QString& folderId)
{
    const TableRecord folder = m_store.record(kFoldersTable, folderId);
    const QString localName = folder.value(QStringLiteral("localname"));
    if (folder.value(QStringLiteral("direction")) != QLatin1String("down") ||
        !TransferNames::staysInFolder(m_folder, localName))
        return;
    QString root = m_folder + localName;
    const auto ours = [&] {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select count(*) from vesk_downloads where folderId = ? and downloadsize = filesize "
                                 "and cast(filesize as integer) > 0"));
        q.bindValue(0, folderId);
        if (q.exec() && q.next() && q.value(0).toInt() > 0)
            return true;
        return !QDirIterator(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories).hasNext();
    };
    QDir().mkpath(m_folder);
    // mkdir fails on a name that exists, so a folder that appears meanwhile is never merged into.
    if (!(QFileInfo(root).isDir() ? ours() : QDir(m_folder).mkdir(localName))) {
        const QString taken = takeFolderName(m_folder, folder.value(QStringLiteral("name")), folderId, {});
        if (taken.isEmpty()) {
            qCWarning(lcTransfer) << "no free name for the folder" << localName << "in" << m_folder;
            return;
        }
        qCInfo(lcTransfer) << "a folder" << localName << "appeared meanwhile: the received one goes to" << taken;
        QSqlQuery q(m_store.database());
        execBound(q, QStringLiteral("update vesk_folders set localname = ? where id = ?"), {taken, folderId});
        m_localNames.remove(folderId);
        m_filePaths.clear();
        root = m_folder + taken;
    }
    for (const QString& empty : FolderListing::pathsStored(folder.value(QStringLiteral("emptyFolders"))))
        if (TransferNames::cleanRelativePath(empty) == empty)
            QDir().mkpath(root + QLatin1Char('/') + empty);
}

QString DownloadFiles::takeFolderName(const QString& folder, const QString& name, const QString& exceptId,
                                      const QString& moveFrom, bool make) const
{
    QSqlQuery taken(m_store.database());
    taken.prepare(QStringLiteral("select count(*) from vesk_folders where direction = 'down' and localname = ? and "
                                 "id <> ?"));
    QDir().mkpath(folder);
    for (int n = 1; n <= FolderListing::kMaxFiles; ++n) {
        const QString candidate = n == 1 ? name : name + QStringLiteral(" (%1)").arg(n);
        taken.bindValue(0, candidate);
        taken.bindValue(1, exceptId);
        if ((taken.exec() && taken.next() && taken.value(0).toInt() > 0) || QFileInfo::exists(folder + candidate))
            continue;
        if (!make)
            return candidate;
        // rename and mkdir both fail on a name that exists, so a folder that appears meanwhile is never merged into.
        if ((!moveFrom.isEmpty() && QDir().rename(moveFrom, folder + candidate)) || QDir(folder).mkdir(candidate))
            return candidate;
    }
    return QString();
}

void DownloadFiles::moveFolderTrees(const QString& folder)
{
    QList<std::pair<QString, QString>> folders; // id, local name
    QSqlQuery q(m_store.database());
    if (q.exec(QStringLiteral("select id, localname from vesk_folders where direction = 'down' and status in "
                              "('unknown', 'queued')")))
        while (q.next())
            folders.append({q.value(0).toString(), q.value(1).toString()});
    for (const auto& [id, localName] : std::as_const(folders)) {
        if (!TransferNames::staysInFolder(m_folder, localName) || !TransferNames::staysInFolder(folder, localName))
            continue;
        // The rest of its files must never go into another folder of that name there, so a tree that cannot move
        // (another disk) still takes a free name there; its files so far then stay where they are.
        // A tree not made yet (the folder not accepted) only takes its name there.
        const bool made = QFileInfo(m_folder + localName).isDir();
        const QString moved = takeFolderName(folder, localName, id, made ? m_folder + localName : QString(), made);
        if (moved.isEmpty()) {
            qCWarning(lcTransfer) << "no free name for the folder" << localName << "in" << folder;
            continue;
        }
        qCInfo(lcTransfer) << "the folder" << localName << "goes on in" << folder + moved;
        execBound(q, QStringLiteral("update vesk_folders set localname = ? where id = ?"), {moved, id});
        m_localNames.remove(id);
        m_filePaths.clear();
    }
}

QString DownloadFiles::folderLocalName(const QString& folderId) const
{
    if (m_batches == 0)
        return m_store.field(kFoldersTable, folderId, QStringLiteral("localname"));
    const auto known = m_localNames.constFind(folderId);
    if (known != m_localNames.cend())
        return *known;
    return *m_localNames.insert(folderId, m_store.field(kFoldersTable, folderId, QStringLiteral("localname")));
}

QString DownloadFiles::folderFilePath(const TableRecord& download) const
{
    const QString folderId = download.value(kFolderId);
    const QString path = download.value(kPath);
    const QString key = m_batches > 0 ? folderId + QLatin1Char('/') + path : QString();
    if (!key.isEmpty()) {
        if (const auto known = m_filePaths.constFind(key); known != m_filePaths.cend())
            return *known;
    }
    const QString localName = folderLocalName(folderId);
    // Both parts were cleaned when the offer was stored; a row that says otherwise is never written from.
    const QString file = !TransferNames::staysInFolder(m_folder, localName) || path.isEmpty() ||
                                 TransferNames::cleanRelativePath(path) != path
                             ? QString()
                             : m_folder + localName + QLatin1Char('/') + path;
    if (!key.isEmpty())
        m_filePaths.insert(key, file);
    return file;
}

QString DownloadFiles::startFolderFile(const QString& id, const TableRecord& download, bool* clear)
{
    // Accepted in an earlier run, or its tree removed since: the tree is made (or taken anew) first.
    const QString tree = m_folder + folderLocalName(download.value(kFolderId));
    if (m_batches == 0 || !m_madeFolders.contains(tree)) {
        if (!QFileInfo(tree).isDir())
            makeFolderTree(download.value(kFolderId));
        if (m_batches > 0)
            m_madeFolders.insert(tree);
    }
    const QString path = folderFilePath(download);
    if (path.isEmpty())
        return QString();
    const QFileInfo target(path);
    if (m_batches == 0 || !m_madeFolders.contains(target.path())) {
        QDir().mkpath(target.path());
        if (m_batches > 0)
            m_madeFolders.insert(target.path());
    }
    // The tree is this folder's own; a file found at the place of one of its files is from an earlier delivery of
    // the same folder, and is kept under its backup name.
    QString keptAs;
    bool nothingThere = true;
    for (const QString& taken : {target.fileName(), TransferNames::partName(target.fileName())}) {
        const QString at = target.path() + QLatin1Char('/') + taken;
        const QFileInfo found(at); // one look answers both questions
        if (!found.exists())
            continue;
        if (!found.isFile()) { // not ours to move
            nothingThere = false;
            continue;
        }
        const QString backup = TransferNames::backupName(taken, QDateTime::fromMSecsSinceEpoch(m_clock.nowMs()));
        if (!QFile::rename(at, target.path() + QLatin1Char('/') + backup)) {
            qCWarning(lcTransfer) << "could not move" << at << "aside";
            nothingThere = false;
            continue;
        }
        if (keptAs.isEmpty())
            keptAs = backup;
    }
    if (clear)
        *clear = nothingThere;
    // Thousands of these in a row: the statement is prepared once.
    if (!m_setStarted) {
        m_setStarted = std::make_unique<QSqlQuery>(m_store.database());
        m_setStarted->prepare(QStringLiteral("update vesk_downloads set downloadsize = ? where id = ?"));
    }
    m_setStarted->bindValue(0, download.value(kFileSize));
    m_setStarted->bindValue(1, id);
    m_setStarted->exec();
    m_setStarted->finish();
    return keptAs;
}

QString DownloadFiles::giveFolderFileFinalName(const QString& id, const TableRecord& download, const QString& local)
{
    const QString path = folderFilePath(download);
    if (path.isEmpty() || local == path)
        return path.isEmpty() ? local : path;
    const Renamed first = renameNoReplace(local, path);
    if (first == Renamed::Placed)
        return path;
    if (!QFileInfo::exists(local))
        return path;
    QString relative = download.value(kPath);
    if (first == Renamed::Taken || QFileInfo::exists(path)) {
        const QString folder =
            relative.contains(QLatin1Char('/')) ? relative.section(QLatin1Char('/'), 0, -2) + '/' : QString();
        const QString name = relative.section(QLatin1Char('/'), -1);
        const QString base = path.left(path.size() - relative.size());
        for (int n = 2;; ++n) {
            const QString candidate = folder + TransferNames::numberedName(name, n);
            if (!QFileInfo::exists(base + candidate)) {
                relative = candidate;
                break;
            }
        }
        m_store.setField(kDownloadsTable, id, kPath, relative);
    }
    const QString final = path.left(path.size() - download.value(kPath).size()) + relative;
    if (!QFile::rename(local, final)) {
        qCritical() << "There was an error renaming " << local << " to " << final;
        return local;
    }
    return final;
}

} // namespace Vesk
