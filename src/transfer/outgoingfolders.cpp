// The owner's side of a folder: walking it off the GUI thread into one entry of the files to send, recording it
// for each chosen peer (one offer listing its files for a program that takes folders, its files as separate
// offers for any other), the folder offer loop with its confirmed parts, and withdrawing a folder as a whole.
#include "transfer/outgoingoffers.h"

#include "common/clock.h"
#include "common/shell.h"
#include "peers/localprofile.h"
#include "peers/peersend.h"
#include "net/peercapabilities.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/fileicons.h"
#include "transfer/packetserver.h"
#include "transfer/slicedwork.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transferorigin.h"
#include "transfer/transfersql.h"

#include <QSqlQuery>
#include <QThread>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;
namespace FolderMsg = FolderMessages;

// Parts of one folder in flight at a time: a confirmation lets the next one go, so a folder of many parts is
// listed at the pace the receiver stores it, without flooding it every round. Two: the receiver handles the parts
// that have arrived in one go, so more in flight would add up to one long pause of its window.
constexpr int kPartsInFlight = 2;
// The names of links left out, as the notice lists them.
constexpr int kSkippedNamed = 5;

} // namespace

OutgoingOffers::~OutgoingOffers()
{
    for (const Walk& walk : std::as_const(m_walks)) {
        walk.cancel->store(true);
        if (walk.thread)
            walk.thread->wait();
    }
}

void OutgoingOffers::addFolder(const QUrl& localFolder)
{
    const QString urlText = localFolder.toString();
    if (filesData.itemForFileURL(urlText) || m_walks.contains(urlText))
        return;
    const auto cancel = std::make_shared<std::atomic_bool>(false);
    const QString root = localFolder.toLocalFile();
    QThread* thread = QThread::create([this, root, urlText, cancel] {
        FolderListing::Folder folder = FolderListing::walk(root, cancel.get());
        if (cancel->load())
            return; // the owner is going away and waits for this thread: nothing may reach it any more
        QMetaObject::invokeMethod(
            this, [this, urlText, folder = std::move(folder)] { folderWalked(urlText, folder); }, Qt::QueuedConnection);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_walks.insert(urlText, Walk{cancel, thread});
    thread->start(QThread::LowPriority);
}

void OutgoingOffers::folderWalked(const QString& urlText, const FolderListing::Folder& folder)
{
    if (!m_walks.remove(urlText) || filesData.itemForFileURL(urlText))
        return;
    qCInfo(lcTransfer) << "walked the folder" << folder.root << ":" << folder.files.size() << "files,"
                       << folder.emptyFolders.size() << "empty folders," << folder.skipped.size() << "links left out";
    QString problem = folder.problem;
    if (problem.isNull() && folder.files.isEmpty())
        problem = tr("it holds no files");
    if (!problem.isNull()) {
        m_shell.showNotice(tr("Folder not added"), tr("%1 was not added: %2.").arg(folder.name, problem));
        Q_EMIT folderAdded(urlText);
        return;
    }
    if (!folder.skipped.isEmpty()) {
        QStringList named = folder.skipped.mid(0, kSkippedNamed);
        if (folder.skipped.size() > kSkippedNamed)
            named.append(tr("and %n more", nullptr, int(folder.skipped.size() - kSkippedNamed)));
        m_shell.showNotice(tr("Links left out"), tr("Links in %1 are not sent, nor what they lead to: %2")
                                                     .arg(folder.name, named.join(QLatin1String(", "))));
    }
    m_folders.insert(urlText, folder);
    filesData.appendRow(new FileStandardItem(urlText, folder.name, folder.totalSize, FileIcons::placeholderUrl(), true,
                                             true, int(folder.files.size())));
    Q_EMIT filesData.selectedCountChanged();
    Q_EMIT selectedFilesCountChanged();
    Q_EMIT folderAdded(urlText);
}

QStringList OutgoingOffers::recordFolderOffers(const QList<FolderListing::Folder>& folders, const QSet<QString>& peers)
{
    QStringList refused;
    if (folders.isEmpty())
        return refused;
    const qint64 now = m_clock.nowMs();
    m_recordingFolders = true;
    for (const QString& nodeId : peers) {
        const quint32 capabilities = m_capabilities.capabilitiesOf(nodeId);
        const bool asFolder = capabilities & CapabilityFolders;
        const bool large = capabilities & CapabilityLargeFiles;
        for (const FolderListing::Folder& folder : folders) {
            auto offered = std::make_shared<FolderListing::Folder>(folder);
            offered->files.clear();
            offered->totalSize = 0;
            for (const FolderListing::File& file : folder.files) {
                if (file.size >= TransferNames::kPlainSizeLimit && !large) {
                    refused.append(tr("%1: %2's program cannot receive files of 4 GiB or more")
                                       .arg(file.path, m_store.peerField(nodeId, QStringLiteral("alias"))));
                    continue;
                }
                offered->files.append(file);
                offered->files.last().id = TransferNames::uploadId(nodeId, file.absolutePath);
                offered->totalSize += file.size;
            }
            recordFolderRows(TransferNames::uploadId(nodeId, folder.root), nodeId, asFolder, offered, now);
        }
    }
    m_recordingFolders = false;
    m_store.uploadsData->refresh();
    return refused;
}

// The rows go in slices. A folder offered as one gets its folder row last: until then its file rows are neither
// listed nor served, and a program stopped half way drops them when it starts again. A folder offered before has
// its row dropped first, so that its old file rows are neither served nor listed while they go.
void OutgoingOffers::recordFolderRows(const QString& key, const QString& nodeId, bool asFolder,
                                      const std::shared_ptr<FolderListing::Folder>& offered, qint64 now)
{
    const QString folderId = asFolder ? key : QString();
    if (asFolder) {
        QSqlQuery q(m_store.database());
        execBound(q, QStringLiteral("delete from vesk_folders where id = ?"), {folderId});
        forgetParts(folderId);
        m_heldFiles.remove(folderId);
        m_packets.dropFolder(folderId);
    }
    auto oldRowsLeft = std::make_shared<bool>(asFolder);
    auto next = std::make_shared<qsizetype>(0);
    const auto step = [this, folderId, nodeId, offered, now, oldRowsLeft, next] {
        QSqlDatabase db = m_store.database();
        QSqlQuery q(db);
        if (*oldRowsLeft) {
            *oldRowsLeft = execSlice(q,
                                     QStringLiteral("delete from vesk_uploads where rowid in (select rowid from "
                                                    "vesk_uploads where folderId = ? limit ?)"),
                                     {folderId});
            if (*oldRowsLeft)
                return true;
        }
        const qsizetype end = qMin(*next + SlicedWork::kRowsPerSlice, offered->files.size());
        db.transaction();
        for (; *next < end; ++*next) {
            const FolderListing::File& file = offered->files.at(*next);
            if (!writeUploadRow(q, file.id, file.absolutePath, nodeId, file.size, file.modifiedMs, now, folderId,
                                folderId.isEmpty() ? QString() : file.path))
                qCDebug(lcOffers) << "recording the upload of" << file.absolutePath << "failed";
        }
        db.commit();
        return *next < offered->files.size();
    };
    const auto done = [this, folderId, nodeId, offered, now] {
        if (folderId.isEmpty())
            return; // a plain peer's separate offers: the offer loop takes them up
        QSqlQuery q(m_store.database());
        execBound(
            q,
            QStringLiteral("replace into vesk_folders (id, nodeid, direction, name, localname, files, "
                           "filesize, status, timestamp, emptyFolders) values (?, ?, 'up', ?, ?, ?, ?, 'unknown', ?, "
                           "?)"),
            {folderId, nodeId, offered->name, offered->root, int(offered->files.size()), offered->totalSize, now,
             FolderListing::storedPaths(offered->emptyFolders)});
        forgetParts(folderId);
        m_parts.insert(folderId, FolderListing::parts(folderId, *offered));
        // Recorded in one go, the folder goes out with the round of offers that ends the sending; in slices, now.
        if (!m_recordingFolders) {
            if (m_store.peerField(nodeId, QStringLiteral("status")) == QLatin1String("on"))
                sendFolderParts(folderId, nodeId);
            m_store.uploadsData->refresh();
        }
    };
    m_slices.start(key, step, done);
}

QList<QByteArray> OutgoingOffers::folderParts(const QString& folderId)
{
    const auto cached = m_parts.constFind(folderId);
    if (cached != m_parts.cend())
        return cached.value();
    // Offered before this run: the listing is made again from the folder's rows.
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("select name, emptyFolders from vesk_folders where id = ? and direction = 'up'"));
    q.bindValue(0, folderId);
    if (!q.exec() || !q.next())
        return {};
    FolderListing::Folder folder;
    folder.name = q.value(0).toString();
    folder.emptyFolders = FolderListing::pathsStored(q.value(1).toString());
    q.prepare(QStringLiteral("select id, path, filesize from vesk_uploads where folderId = ? order by path"));
    q.bindValue(0, folderId);
    if (q.exec()) {
        while (q.next()) {
            folder.files.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong(), 0, QString()});
            folder.totalSize += folder.files.last().size;
        }
    }
    const QList<QByteArray> parts = FolderListing::parts(folderId, folder);
    m_parts.insert(folderId, parts);
    return parts;
}

void OutgoingOffers::resendFolderOffers()
{
    QList<std::pair<QString, QString>> folders; // id, receiver
    {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select id, nodeid from vesk_folders t1 where direction = 'up' and status = 'unknown' "
                                 "and timestamp > ? and coalesce((select status from vesk_peers where id = "
                                 "t1.nodeid), 'off') = 'on' order by timestamp asc"));
        q.bindValue(0, m_clock.nowMs() - kOfferWindowMs);
        if (!q.exec())
            return;
        while (q.next())
            folders.append({q.value(0).toString(), q.value(1).toString()});
    }
    for (const auto& [folderId, nodeTo] : std::as_const(folders)) {
        m_partsInFlight.remove(folderId);
        sendFolderParts(folderId, nodeTo);
    }
}

void OutgoingOffers::sendFolderParts(const QString& folderId, const QString& nodeTo)
{
    const QList<QByteArray> parts = folderParts(folderId);
    const QSet<int> confirmed = m_confirmedParts.value(folderId);
    QSet<int>& inFlight = m_partsInFlight[folderId];
    for (int part = 0; part < parts.size() && inFlight.size() < kPartsInFlight; ++part) {
        if (confirmed.contains(part) || inFlight.contains(part))
            continue;
        inFlight.insert(part);
        sendToNode(m_sink, m_store, nodeTo,
                   {{Msg::kAction, FolderMsg::kNewFolderToDownload},
                    {Msg::kFileId, folderId},
                    {Msg::kNodeFrom, m_profile.hostId()},
                    {FolderMsg::kFolderListing, parts.at(part)}});
    }
}

void OutgoingOffers::handleConfirmFolderToSend(const Parameters& message)
{
    const QString folderId = message.value(Msg::kFileId).toString();
    bool valid = false;
    const int part = message.value(FolderMsg::kPart).toString().toInt(&valid);
    const QString nodeTo = m_store.field(QStringLiteral("vesk_folders"), folderId, QStringLiteral("nodeid"));
    if (nodeTo.isEmpty() || !valid || !fromTransferPeer(message, nodeTo, m_store))
        return;
    const QList<QByteArray> parts = folderParts(folderId);
    if (part < 0 || part >= parts.size())
        return;
    QSet<int>& confirmed = m_confirmedParts[folderId];
    confirmed.insert(part);
    m_partsInFlight[folderId].remove(part);
    if (confirmed.size() < parts.size()) {
        sendFolderParts(folderId, nodeTo);
        return;
    }
    // The file rows are marked first and the folder's row last: a program stopped half way sends the listing
    // again, and marks what was left when the receiver confirms it.
    const auto step = [this, folderId] {
        QSqlQuery q(m_store.database());
        return execSlice(q,
                         QStringLiteral("update vesk_uploads set status = 'sent' where rowid in (select rowid from "
                                        "vesk_uploads where folderId = ? and status = 'unknown' limit ?)"),
                         {folderId});
    };
    const auto done = [this, folderId] {
        QSqlQuery q(m_store.database());
        execBound(q, QStringLiteral("update vesk_folders set status = 'sent' where id = ? and status = 'unknown'"),
                  {folderId});
        for (const QString& id : m_heldFiles.take(folderId))
            m_packets.confirmed(id);
        forgetParts(folderId);
        m_store.uploadsData->refresh();
    };
    m_slices.start(folderId, step, done);
}

bool OutgoingOffers::withdrawFolderUpload(const QString& id)
{
    const QString nodeTo = m_store.field(QStringLiteral("vesk_folders"), id, QStringLiteral("nodeid"));
    if (nodeTo.isEmpty())
        return false;
    forgetFolderUpload(id);
    Q_EMIT pendingCountChanged();
    sendToNode(m_sink, m_store, nodeTo, Msg::aboutFile(Msg::kRemoveFileToGet, id));
    return true;
}

// The folder's row goes first, which ends the serving of its files and takes it off the lists; its file rows
// follow in slices (a program stopped half way drops those left when it starts again).
void OutgoingOffers::forgetFolderUpload(const QString& folderId)
{
    {
        QSqlQuery q(m_store.database());
        execBound(q, QStringLiteral("delete from vesk_folders where id = ?"), {folderId});
    }
    forgetParts(folderId);
    for (const QString& id : m_heldFiles.take(folderId))
        m_packets.dropFile(id);
    m_store.uploadsData->refresh();
    m_packets.dropFolder(folderId);
    m_slices.start(folderId, [this, folderId] {
        QSqlQuery q(m_store.database());
        return execSlice(q,
                         QStringLiteral("delete from vesk_uploads where rowid in (select rowid from vesk_uploads "
                                        "where folderId = ? limit ?)"),
                         {folderId});
    });
}

// A file of a folder offered as one changed after it was offered: the receiver drops what it has of it, and the
// listing goes again on the next round with the file as it is now, which the receiver stores at the same place in
// the folder's tree and fetches from the start. The file is served again once that listing is confirmed.
void OutgoingOffers::offerChangedFolderFile(const TableRecord& upload, const QFileInfo& file)
{
    const QString id = upload.value(QStringLiteral("id"));
    const QString folderId = upload.value(QStringLiteral("folderId"));
    m_packets.holdUntilConfirmed(id);
    m_heldFiles[folderId].insert(id);
    sendToNode(m_sink, m_store, upload.value(QStringLiteral("nodeto")), Msg::aboutFile(Msg::kRemoveFileToGet, id));
    const qint64 now = m_clock.nowMs();
    const qint64 grown = file.size() - upload.value(QStringLiteral("filesize")).toLongLong();
    QSqlQuery q(m_store.database());
    execBound(q,
              QStringLiteral("update vesk_uploads set filesize = ?, modified = ?, bytesSent = 0, status = 'unknown', "
                             "timesent = ? where id = ?"),
              {file.size(), file.lastModified().toMSecsSinceEpoch(), now, id});
    execBound(q,
              QStringLiteral("update vesk_folders set status = 'unknown', timestamp = ?, filesize = filesize + ? "
                             "where id = ? and direction = 'up'"),
              {now, grown, folderId});
    forgetParts(folderId);
    m_store.uploadsData->refresh();
}

void OutgoingOffers::forgetParts(const QString& folderId)
{
    m_parts.remove(folderId);
    m_confirmedParts.remove(folderId);
    m_partsInFlight.remove(folderId);
}

bool OutgoingOffers::folderFileRemoved(const Parameters& message, const TableRecord& upload)
{
    const QString id = message.value(Msg::kFileId).toString();
    const TableRecord folder = m_store.record(QStringLiteral("vesk_folders"), id);
    if (!folder.isEmpty() && folder.value(QStringLiteral("direction")) == QLatin1String("up")) {
        if (!fromTransferPeer(message, folder.value(QStringLiteral("nodeid")), m_store))
            return true;
        // The receiver has the whole folder, or withdrew it.
        if (message.value(Msg::kAction).toString() == Msg::kFileTransferComplete)
            tellDelivered(folder.value(QStringLiteral("nodeid")), folder.value(QStringLiteral("name")), true);
        forgetFolderUpload(id);
        Q_EMIT selectedFilesCountChanged();
        Q_EMIT pendingCountChanged();
        return true;
    }
    const QString folderId = upload.isEmpty() ? QString() : upload.value(QStringLiteral("folderId"));
    if (folderId.isEmpty())
        return false;
    if (!fromTransferPeer(message, upload.value(QStringLiteral("nodeto")), m_store))
        return true;
    // A folder's file: its row goes without a word (and without refreshing a list of thousands each time); the
    // folder is told about once, when its last file arrived.
    {
        QSqlQuery q(m_store.database());
        execBound(q, QStringLiteral("delete from vesk_uploads where id = ?"), {id});
    }
    m_packets.dropFile(id);
    QSqlQuery left(m_store.database());
    left.prepare(QStringLiteral("select exists (select 1 from vesk_uploads where folderId = ?)"));
    left.bindValue(0, folderId);
    if (left.exec() && left.next() && !left.value(0).toBool()) {
        const TableRecord whole = m_store.record(QStringLiteral("vesk_folders"), folderId);
        if (!whole.isEmpty() && message.value(Msg::kAction).toString() == Msg::kFileTransferComplete)
            tellDelivered(whole.value(QStringLiteral("nodeid")), whole.value(QStringLiteral("name")), true);
        forgetFolderUpload(folderId);
    } else if (!m_folderUploadsRefresh.isActive()) {
        if (m_folderUploadsRefresh.interval() != kFolderUploadsRefreshMs) {
            m_folderUploadsRefresh.setSingleShot(true);
            m_folderUploadsRefresh.setInterval(kFolderUploadsRefreshMs);
            connect(&m_folderUploadsRefresh, &QTimer::timeout, m_store.uploadsData, &VeskSqlQueryModel::refresh);
        }
        m_folderUploadsRefresh.start();
    }
    Q_EMIT selectedFilesCountChanged();
    Q_EMIT pendingCountChanged();
    return true;
}

} // namespace Vesk
