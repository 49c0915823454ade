// The receiver's side of a folder offered as one: each part of its listing checked, stored with the folder row in
// one transaction and confirmed; the folder's tree made under the downloads folder under a name nobody else has;
// withdrawing a folder as a whole from either side.
#include "transfer/incomingoffers.h"

#include "common/clock.h"
#include "common/htmltext.h"
#include "common/shell.h"
#include "peers/peersend.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/downloadengine.h"
#include "transfer/folderlisting.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transferorigin.h"
#include "transfer/transfersql.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;
namespace FolderMsg = FolderMessages;

const QString kFoldersTable = QStringLiteral("vesk_folders");
// Refused listings are logged at most once in this long, with the number left unlogged.
constexpr qint64 kRefusalLogMs = 10000;

// Removes the folders under root (and root) that hold nothing, deepest first; never a file, never a link's target.
void removeEmptyFolders(const QString& root)
{
    QStringList folders{root};
    QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        folders.append(it.next());
    std::sort(folders.begin(), folders.end(), [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& folder : std::as_const(folders))
        QDir().rmdir(folder);
}

void refreshDownloadLists(Store& store)
{
    store.pausedDownloads->refresh();
    store.queuedDownloads->refresh();
    store.completedDownloads->refresh();
}

} // namespace

void IncomingOffers::refuse(const QString& what, const QString& nodeFrom, const QString& why)
{
    const qint64 now = m_clock.nowMs();
    if (m_refusalLoggedMs != 0 && qAbs(now - m_refusalLoggedMs) < kRefusalLogMs) {
        ++m_refusalsUnlogged;
        return;
    }
    qCritical().noquote() << QStringLiteral("Refused %1 from %2: %3%4")
                                 .arg(what, nodeFrom.left(kMaxFileIdLength), why.left(200),
                                      m_refusalsUnlogged > 0
                                          ? QStringLiteral(" (and %1 more refused)").arg(m_refusalsUnlogged)
                                          : QString());
    m_refusalLoggedMs = now;
    m_refusalsUnlogged = 0;
}

void IncomingOffers::handleNewFolderToDownload(const Parameters& message)
{
    const QString nodeFrom = message.value(Msg::kNodeFrom).toString();
    if (m_store.isBlocked(nodeFrom) || !fromTransferPeer(message, nodeFrom, m_store))
        return;
    FolderListing::Part part;
    QString why;
    if (!FolderListing::read(message.value(FolderMsg::kFolderListing).toByteArray(), &part, &why))
        return refuseFolder(nodeFrom, why);
    if (part.folderId != message.value(Msg::kFileId).toString())
        return refuseFolder(nodeFrom, QStringLiteral("a listing of another folder than the one offered"));

    QSqlDatabase db = m_store.database();
    TableRecord stored = m_store.record(kFoldersTable, part.folderId);
    QSqlQuery q(db);
    if (!stored.isEmpty() && (stored.value(QStringLiteral("direction")) != QLatin1String("down") ||
                              stored.value(QStringLiteral("nodeid")) != nodeFrom))
        return refuseFolder(nodeFrom, QStringLiteral("a folder id already in use"));
    if (!stored.isEmpty() && stored.value(QStringLiteral("status")) == QLatin1String("downloaded")) {
        // Offered again after it arrived: a new copy, beside the one received (which stays the user's).
        // At once: the new listing's rows come under the same folder id.
        execBound(q, QStringLiteral("delete from vesk_downloads where folderId = ?"), {part.folderId});
        execBound(q, QStringLiteral("delete from vesk_folders where id = ?"), {part.folderId});
        stored = TableRecord(kFoldersTable);
    }
    if (stored.isEmpty()) {
        const QString tooMany =
            tooManyWaiting(QStringLiteral("select count(*), total(nodeid = ?) from vesk_folders "
                                          "where direction = 'down' and status = 'unknown'"),
                           nodeFrom, kMaxWaitingFolders, kMaxWaitingFoldersAll, QStringLiteral("folders"));
        if (!tooMany.isEmpty())
            return refuseFolder(nodeFrom, tooMany);
    }

    const bool fresh = stored.isEmpty();
    QString localName = fresh ? QString() : stored.value(QStringLiteral("localname"));
    if (fresh) {
        localName = m_engine.files().takeFolderName(part.name);
        if (localName.isEmpty())
            return refuseFolder(nodeFrom, QStringLiteral("no free name for %1").arg(part.name.left(80)));
    }
    const QString root = m_engine.downloadsFolder() + localName + QLatin1Char('/');
    if (!TransferNames::staysInFolder(m_engine.downloadsFolder(), localName))
        return refuseFolder(nodeFrom, QStringLiteral("a folder that would leave the downloads folder"));

    const qint64 now = m_clock.nowMs();
    const QString status = !fresh && stored.value(QStringLiteral("status")) == QLatin1String("queued")
                               ? QStringLiteral("queued")
                               : QStringLiteral("unknown");
    db.transaction();
    // Whether every row went in: a part that cannot be stored (a full disk) is refused unconfirmed, so that its
    // owner offers it again, rather than confirmed and lost.
    bool written = true;
    QString failure;
    const auto wrote = [&written, &failure, &q](bool ok) {
        if (!ok && written)
            failure = q.lastError().text();
        written = written && ok;
        return ok;
    };
    if (fresh) {
        wrote(execBound(q,
                        QStringLiteral("insert into vesk_folders (id, nodeid, direction, name, localname, files, "
                                       "filesize, status, timestamp) values (?, ?, 'down', ?, ?, ?, ?, 'unknown', ?)"),
                        {part.folderId, nodeFrom, part.name, localName, part.files, part.totalSize, now}));
    }
    bool resized = false;
    QSqlQuery taken(db);
    taken.prepare(QStringLiteral("select count(*) from vesk_downloads where folderId = ? and path = ? and id <> ?"));
    q.prepare(QStringLiteral("insert or ignore into vesk_downloads (id, filename, filesize, nodefrom, status, "
                             "timestamp, downloadsize, folderId, path) values (?, ?, ?, ?, ?, ?, '0', ?, ?)"));
    const auto isTaken = [&taken, &part](const QString& path, const QString& id) {
        taken.bindValue(0, part.folderId);
        taken.bindValue(1, path);
        taken.bindValue(2, id);
        return taken.exec() && taken.next() && taken.value(0).toInt() > 0;
    };
    for (const FolderListing::File& file : std::as_const(part.entries)) {
        // Two paths may clean to the same one ("a:b" and "ab"): the later one takes a numbered name.
        QString path = file.path;
        for (int n = 2; isTaken(path, file.id); ++n) {
            if (n > kMaxSamePath) {
                db.rollback();
                return refuseFolder(
                    nodeFrom, QStringLiteral("more than %1 files at %2").arg(kMaxSamePath).arg(file.path.left(80)));
            }
            const QString name = file.path.section(QLatin1Char('/'), -1);
            path = file.path.left(file.path.size() - name.size()) + TransferNames::numberedName(name, n);
        }
        if (wrote(execBound(q, {file.id, path.section(QLatin1Char('/'), -1), QString::number(file.size), nodeFrom,
                                status, now, part.folderId, path})) &&
            !fresh && q.numRowsAffected() > 0)
            resized = true;
    }
    if (resized) // a file the owner changed and withdrew comes again, perhaps with another size
        execBound(q,
                  QStringLiteral("update vesk_folders set filesize = (select sum(cast(filesize as integer)) from "
                                 "vesk_downloads where folderId = ?) where id = ?"),
                  {part.folderId, part.folderId});
    // Parts may come again (a confirmation lost); only files beyond what the folder was offered with are too many.
    q.prepare(QStringLiteral("select count(*) from vesk_downloads where folderId = ?"));
    q.bindValue(0, part.folderId);
    const int declared = fresh ? part.files : stored.value(QStringLiteral("files")).toInt();
    if (!q.exec() || !q.next() || q.value(0).toInt() > declared) {
        db.rollback();
        return refuseFolder(nodeFrom, QStringLiteral("more files than the folder was offered with"));
    }
    // A fresh folder has no row to ask (asking an empty record logs).
    const QStringList made =
        fresh ? QStringList() : FolderListing::pathsStored(stored.value(QStringLiteral("emptyFolders")));
    QSet<QString> seen(made.cbegin(), made.cend());
    QStringList newEmpty;
    for (const QString& empty : std::as_const(part.emptyFolders))
        if (!seen.contains(empty)) {
            seen.insert(empty);
            newEmpty.append(empty);
        }
    if (made.size() + newEmpty.size() > kMaxEmptyFolders) {
        refuseFolder(nodeFrom, QStringLiteral("more than %1 empty folders in %2; the rest are not made")
                                   .arg(kMaxEmptyFolders)
                                   .arg(part.name.left(80)));
        newEmpty.resize(qMax(0, kMaxEmptyFolders - int(made.size())));
    }
    if (!newEmpty.isEmpty())
        wrote(execBound(q, QStringLiteral("update vesk_folders set emptyFolders = ? where id = ?"),
                        {FolderListing::storedPaths(made + newEmpty), part.folderId}));
    if (!written || !db.commit()) {
        const QString why = written ? db.lastError().text() : failure;
        db.rollback();
        return refuseFolder(nodeFrom, QStringLiteral("it could not be stored: %1").arg(why));
    }

    // Nothing is made in the downloads folder before the user accepts the folder (makeFolderTree then makes its
    // empty folders); parts that come after that make theirs now. Every path is cleaned, so nothing is made outside
    // the tree.
    if (status == QLatin1String("queued"))
        for (const QString& empty : std::as_const(newEmpty))
            QDir().mkpath(root + empty);

    if (fresh) {
        QString alias = m_store.peerField(nodeFrom, QStringLiteral("alias"));
        if (alias.trimmed().isEmpty())
            alias = tr("Your peer");
        const QLocale locale;
        // Told like offered files, so a folder offered with files makes one notice.
        m_shell.showOfferNotification(nodeFrom, {part.name, part.totalSize, part.files},
                                      tr("%1 offers the folder <b>%2</b> (%n files, %3)", nullptr, part.files)
                                          .arg(plainTextToHtml(alias), plainTextToHtml(part.name),
                                               locale.formattedDataSize(part.totalSize, 1, QLocale::DataSizeSIFormat)));
    }
    refreshDownloadLists(m_store);
    Q_EMIT pendingCountChanged();
    if (status == QLatin1String("queued"))
        Q_EMIT m_engine.readyToDownloadNextFile();
    sendToNode(m_sink, m_store, nodeFrom,
               {{Msg::kAction, FolderMsg::kConfirmFolderToSend},
                {Msg::kFileId, part.folderId},
                {FolderMsg::kPart, QString::number(part.part)}});
}

bool IncomingOffers::deleteFolderToDownload(const QString& id, bool byOwner)
{
    const TableRecord folder = m_store.record(kFoldersTable, id);
    if (folder.isEmpty() || folder.value(QStringLiteral("direction")) != QLatin1String("down"))
        return false;
    const QString nodeFrom = folder.value(QStringLiteral("nodeid"));
    const QString status = folder.value(QStringLiteral("status"));
    QStringList files, partial;
    {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select id, status <> 'downloaded' and downloadsize = filesize from vesk_downloads "
                                 "where folderId = ?"));
        q.bindValue(0, id);
        if (q.exec())
            while (q.next()) {
                files.append(q.value(0).toString());
                if (q.value(1).toBool())
                    partial.append(files.last());
            }
    }
    m_engine.downloadRemoved(id);
    for (const QString& file : std::as_const(files))
        m_engine.downloadRemoved(file);
    // A withdrawn folder can never be completed, whoever withdrew it: its partial files go.
    for (const QString& file : std::as_const(partial))
        m_engine.files().removePartialFile(m_store.downloadRecord(file));
    m_engine.dropFolderRows(id);
    // Folders the offer made and nothing filled are taken away again; whatever holds a file stays.
    const QString localName = folder.value(QStringLiteral("localname"));
    if (TransferNames::staysInFolder(m_engine.downloadsFolder(), localName))
        removeEmptyFolders(m_engine.downloadsFolder() + localName);
    refreshDownloadLists(m_store);
    Q_EMIT pendingCountChanged();
    Q_EMIT m_engine.readyToDownloadNextFile();
    if (!byOwner) {
        sendToNode(m_sink, m_store, nodeFrom, Msg::aboutFile(Msg::kRemoveFileToSend, id));
        return true;
    }
    Q_EMIT selectedFilesCountChanged();
    if (status == QLatin1String("unknown") || status == QLatin1String("queued"))
        m_shell.showChatNotification(nodeFrom,
                                     tr("%1 withdrew the folder %2")
                                         .arg(plainTextToHtml(m_store.peerField(nodeFrom, QStringLiteral("alias"))),
                                              plainTextToHtml(folder.value(QStringLiteral("name")))));
    return true;
}

} // namespace Vesk
