// The owner's side of an offer: picking files, one upload row per file and peer, the offer loop that repeats each
// offer until the peer confirms it, and withdrawing uploads.
#include "transfer/outgoingoffers.h"

#include "common/clock.h"
#include "common/htmltext.h"
#include "common/shell.h"
#include "net/messagedispatcher.h"
#include "peers/localprofile.h"
#include "peers/peersend.h"
#include "net/peercapabilities.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/fileicons.h"
#include "transfer/packetserver.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transferorigin.h"
#include "transfer/transfersql.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSqlQuery>
#include <QSqlRecord>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;

// Why a file cannot be offered, or a null string when it can.
QString whyNotSendable(const QFileInfo& file)
{
    QFile probe(file.absoluteFilePath());
    if (!file.exists() || !file.isFile() || !probe.open(QIODevice::ReadOnly))
        return OutgoingOffers::tr("it does not exist or cannot be read");
    return QString();
}

qint64 modifiedMs(const QFileInfo& file)
{
    return file.lastModified().toMSecsSinceEpoch();
}

struct UploadRow
{
    QString id, nodeTo, fileName;
    qint64 fileSize = 0;
};

// Rows of a select on vesk_uploads, in the statement's order.
QList<UploadRow> uploadRows(QSqlQuery& q)
{
    QList<UploadRow> rows;
    while (q.next()) {
        const QSqlRecord r = q.record();
        rows.append({r.value(QStringLiteral("id")).toString(), r.value(QStringLiteral("nodeto")).toString(),
                     r.value(QStringLiteral("filename")).toString(), r.value(QStringLiteral("filesize")).toLongLong()});
    }
    return rows;
}

} // namespace

OutgoingOffers::OutgoingOffers(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile,
                               Shell& shell, const PeerCapabilities& capabilities, PacketServer& packets,
                               QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_clock(clock), m_profile(profile), m_shell(shell),
      m_capabilities(capabilities), m_packets(packets)
{
    filesProxyData.setSourceModel(&filesData);
    connect(&filesData, &FileStandardItemModel::selectedCountChanged, this, &OutgoingOffers::selectedFilesCountChanged);
    m_resendTimer.setInterval(kResendIntervalMs);
    connect(&m_resendTimer, &QTimer::timeout, this, &OutgoingOffers::resendOffers);
    m_withdrawTimer.setInterval(kWithdrawIntervalMs);
    connect(&m_withdrawTimer, &QTimer::timeout, this, &OutgoingOffers::deleteWithdrawnUploads);
    connect(&m_packets, &PacketServer::fileChanged, this, &OutgoingOffers::offerChangedFile);
}

void OutgoingOffers::start()
{
    m_resendTimer.start();
    m_withdrawTimer.start();
}

void OutgoingOffers::stop()
{
    m_resendTimer.stop();
    m_withdrawTimer.stop();
}

void OutgoingOffers::togglePeerSelection(const QString& peerId)
{
    if (!selectedPeers.remove(peerId))
        selectedPeers.insert(peerId);
    Q_EMIT selectedPeersCountChanged();
}

void OutgoingOffers::processNewFileToSend(const QUrl& localFile)
{
    m_shell.showTab(kFilesTabIndex);

    const QFileInfo file(localFile.toLocalFile());
    if (localFile.isLocalFile() && file.isDir()) {
        addFolder(localFile);
        Q_EMIT selectedFilesCountChanged();
        return;
    }
    const QString urlText = localFile.toString();
    if (filesData.itemForFileURL(urlText))
        return;

    const QString displayName = localFile.isLocalFile() ? file.fileName() : urlText;
    const QString problem = localFile.isLocalFile() ? whyNotSendable(file) : tr("it is not a local file");
    if (!problem.isNull()) {
        m_shell.showNotice(tr("File not added"), tr("%1 was not added: %2.").arg(displayName, problem));
        return;
    }

    filesData.appendRow(new FileStandardItem(urlText, file.fileName(), file.size(), FileIcons::placeholderUrl(), true));
    setThumbnailForFile(file.absoluteFilePath());
    Q_EMIT filesData.selectedCountChanged();
    Q_EMIT selectedFilesCountChanged();
}

void OutgoingOffers::setThumbnailForFile(const QString& absoluteFilePath)
{
    const QString suffix = QFileInfo(absoluteFilePath).suffix().toLower();
    if (FileStandardItem* entry = filesData.itemForFileURL(QUrl::fromLocalFile(absoluteFilePath).toString()))
        entry->setData(FileIcons::urlForSuffix(suffix), FileStandardItemModel::ThumbnailRole);
}

void OutgoingOffers::sendHighlightedFiles()
{
    m_shell.showTab(kUploadsTabIndex);

    // Files that vanished or became unreadable since they were picked are left out, and so is each pair of a file
    // of 4 GiB or more and a peer whose program cannot take it; the user hears which, and why.
    QList<QFileInfo> files;
    QList<FolderListing::Folder> folders;
    QStringList refused;
    for (int row = 0; row < filesData.rowCount(); ++row) {
        const QVariant selected = filesData.index(row, 0).data(FileStandardItemModel::SelectedRole);
        if (selected.typeId() != QMetaType::Bool || !selected.toBool())
            continue;
        const QString urlText = filesData.index(row, 0).data(FileStandardItemModel::FileURLRole).toString();
        if (m_folders.contains(urlText)) {
            folders.append(m_folders.value(urlText));
            continue;
        }
        const QFileInfo file(QUrl(urlText).toLocalFile());
        const QString problem = whyNotSendable(file);
        if (problem.isNull())
            files.append(file);
        else
            refused.append(tr("%1: %2").arg(file.fileName().isEmpty() ? urlText : file.fileName(), problem));
    }

    recordOffers(files, selectedPeers, refused);
    refused += recordFolderOffers(folders, selectedPeers);
    m_folders.clear();

    filesData.removeRows(0, filesData.rowCount());
    filesData.clearSelected();
    selectedPeers.clear();
    m_store.nodesProxyData->refresh();
    Q_EMIT selectedPeersCountChanged();

    if (!refused.isEmpty()) {
        m_shell.showNotice(tr("Files not sent"),
                           tr("These files were not offered:\n%1").arg(refused.join(QLatin1Char('\n'))));
    }
    resendOffers();
}

QString OutgoingOffers::whyPeerCannotTake(const QString& nodeId, const QFileInfo& file) const
{
    if (file.size() < TransferNames::kPlainSizeLimit ||
        (m_capabilities.capabilitiesOf(nodeId) & CapabilityLargeFiles) != 0)
        return QString();
    return tr("%1's program cannot receive files of 4 GiB or more").arg(peerName(nodeId));
}

QString OutgoingOffers::peerName(const QString& nodeId) const
{
    const QString alias = m_store.peerField(nodeId, QStringLiteral("alias"));
    return alias.trimmed().isEmpty() ? tr("Your peer") : alias;
}

void OutgoingOffers::tellDelivered(const QString& nodeTo, const QString& name, bool folder)
{
    const QString who = plainTextToHtml(peerName(nodeTo));
    const QString what = plainTextToHtml(name);
    m_shell.showChatNotification(nodeTo, folder ? tr("%1 received the folder <b>%2</b>").arg(who, what)
                                                : tr("%1 received <b>%2</b>").arg(who, what));
    Q_EMIT delivered(nodeTo, name);
}

void OutgoingOffers::recordOffers(const QList<QFileInfo>& files, const QSet<QString>& peers, QStringList& refused)
{
    const qint64 now = m_clock.nowMs();
    for (const QString& nodeId : peers) {
        for (const QFileInfo& file : std::as_const(files)) {
            const QString problem = whyPeerCannotTake(nodeId, file);
            if (problem.isNull())
                recordOffer(nodeId, file, now);
            else
                refused.append(tr("%1: %2").arg(file.fileName(), problem));
        }
    }
}

void OutgoingOffers::recordOffer(const QString& nodeId, const QFileInfo& file, qint64 now)
{
    const QString path = file.absoluteFilePath();
    const QString id = TransferNames::uploadId(nodeId, path);
    const qint64 size = file.size();
    const qint64 modified = modifiedMs(file);
    // An offer still open for another version of the file (it changed since): the receiver drops what it has
    // of that version, and nothing is served until it has confirmed this one, so the two never mix.
    const TableRecord earlier = m_store.uploadRecord(id);
    if (!earlier.isEmpty() && (earlier.value(QStringLiteral("filesize")).toLongLong() != size ||
                               earlier.value(QStringLiteral("modified")) != QString::number(modified))) {
        m_packets.holdUntilConfirmed(id);
        sendToNode(m_sink, m_store, nodeId, Msg::aboutFile(Msg::kRemoveFileToGet, id));
    }
    QSqlQuery q(m_store.database());
    if (!writeUploadRow(q, id, path, nodeId, size, modified, now))
        qCDebug(lcOffers) << "recording the upload of" << path << "failed";
    m_store.uploadsData->refresh();
}

bool OutgoingOffers::writeUploadRow(QSqlQuery& q, const QString& id, const QString& url, const QString& nodeId,
                                    qint64 size, qint64 modifiedMs, qint64 now, const QString& folderId,
                                    const QString& path)
{
    const QString statement =
        QStringLiteral("replace into vesk_uploads(id, url, nodeTo, filesize, filename, bytesSent, status, timesent, "
                       "folderId, path, modified) values (?, ?, ?, ?, ?, 0, 'unknown', ?, ?, ?, ?)");
    if (q.lastQuery() != statement && !q.prepare(statement))
        return false;
    return execBound(q, {id, url, nodeId, size, QFileInfo(url).fileName(), now, nullIfEmpty(folderId),
                         nullIfEmpty(path), modifiedMs});
}

void OutgoingOffers::offerChangedFile(const QString& fileId)
{
    const TableRecord upload = m_store.uploadRecord(fileId);
    if (upload.isEmpty())
        return;
    const QString nodeTo = upload.value(QStringLiteral("nodeto"));
    const QFileInfo file(upload.value(QStringLiteral("url")));
    const QString problem = whyPeerCannotTake(nodeTo, file);
    if (!problem.isNull()) {
        // It grew past what that peer can take: the offer ends, and the user hears why.
        deleteFileToSend(fileId);
        m_shell.showNotice(tr("Files not sent"),
                           tr("These files were not offered:\n%1").arg(tr("%1: %2").arg(file.fileName(), problem)));
        return;
    }
    if (!upload.value(QStringLiteral("folderId")).isEmpty()) {
        offerChangedFolderFile(upload, file);
        return;
    }
    // Offered again as the new version; the offer loop sends it on its next round, after the withdrawal of the
    // old one that recordOffer sends now.
    recordOffer(nodeTo, file, m_clock.nowMs());
}

QStringList OutgoingOffers::offerFilesToPeer(const QList<QUrl>& localFiles, const QString& peerId)
{
    // Straight from a conversation: nothing goes through the picked files or the chosen people of the send tab,
    // which the user may be filling at the same time.
    if (m_store.isBlocked(peerId)) {
        m_shell.showNotice(tr("Files not sent"), tr("You blocked this person. Unblock them to send them files."));
        return {};
    }
    QList<QFileInfo> files;
    QStringList offered;
    QStringList refused;
    for (const QUrl& url : localFiles) {
        const QFileInfo file(url.toLocalFile());
        QString problem = !url.isLocalFile() ? tr("it is not a local file")
                          : file.isDir()     ? tr("it is a folder")
                                             : whyNotSendable(file);
        if (problem.isNull() && !peerId.isEmpty())
            problem = whyPeerCannotTake(peerId, file);
        const QString name = url.isLocalFile() && !file.fileName().isEmpty() ? file.fileName() : url.toString();
        if (!problem.isNull()) {
            refused.append(tr("%1: %2").arg(name, problem));
        } else if (!offered.contains(file.absoluteFilePath())) {
            files.append(file);
            offered.append(file.absoluteFilePath());
        }
    }
    if (!peerId.isEmpty())
        recordOffers(files, {peerId}, refused);
    else
        files.clear();
    if (!refused.isEmpty()) {
        m_shell.showNotice(tr("Files not sent"),
                           tr("These files were not offered:\n%1").arg(refused.join(QLatin1Char('\n'))));
    }
    QStringList names;
    for (const QFileInfo& file : std::as_const(files))
        names.append(file.fileName());
    if (!files.isEmpty())
        resendOffers();
    return names;
}

void OutgoingOffers::resendOffers()
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral(
        "select * from vesk_uploads t1 where status = 'unknown' and timesent > ? and  "
        "coalesce((select status from vesk_peers where  id = t1.nodeto  ), 'off') = 'on' and folderId is "
        "null order by timesent asc limit ?"));
    q.bindValue(0, m_clock.nowMs() - kOfferWindowMs);
    q.bindValue(1, kBatch);
    if (!q.exec())
        return;
    const QList<UploadRow> rows = uploadRows(q);
    q.finish();
    for (const UploadRow& row : rows) {
        sendToNode(m_sink, m_store, row.nodeTo, Msg::offer(row.id, row.fileName, row.fileSize, m_profile.hostId()));
    }
    resendFolderOffers();
}

void OutgoingOffers::registerHandlers(MessageDispatcher& dispatcher)
{
    dispatcher.registerHandler(Msg::kConfirmFileToSend, this, &OutgoingOffers::handleConfirmFileToSend);
    dispatcher.registerHandler(Msg::kFileTransferComplete, this, &OutgoingOffers::handleRemoveFileToSend);
    dispatcher.registerHandler(Msg::kRemoveFileToSend, this, &OutgoingOffers::handleRemoveFileToSend);
    dispatcher.registerHandler(FolderMessages::kConfirmFolderToSend, this, &OutgoingOffers::handleConfirmFolderToSend);
}

void OutgoingOffers::handleConfirmFileToSend(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    if (!fromTransferPeer(message, m_store.field(kUploadsTable, id, QStringLiteral("nodeto")), m_store))
        return;
    m_store.setField(kUploadsTable, id, QStringLiteral("status"), QStringLiteral("sent"));
    m_store.uploadsData->refresh();
    m_packets.confirmed(id);
}

void OutgoingOffers::deleteFileToSend(const QString& id)
{
    if (withdrawFolderUpload(id))
        return;
    const QString nodeTo = m_store.field(kUploadsTable, id, QStringLiteral("nodeto"));
    m_store.deleteRow(kUploadsTable, id);
    m_store.uploadsData->refresh();
    m_packets.dropFile(id);
    Q_EMIT pendingCountChanged();
    sendToNode(m_sink, m_store, nodeTo, Msg::aboutFile(Msg::kRemoveFileToGet, id));
}

void OutgoingOffers::handleRemoveFileToSend(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    const TableRecord upload = m_store.uploadRecord(id);
    if (folderFileRemoved(message, upload))
        return;
    // Only the receiver ends its own transfer: a word from anyone else would take the file off the list as delivered.
    if (!upload.isEmpty() && !fromTransferPeer(message, upload.value(QStringLiteral("nodeto")), m_store))
        return;
    if (message.value(Msg::kAction).toString() == Msg::kFileTransferComplete && !upload.isEmpty())
        tellDelivered(upload.value(QStringLiteral("nodeto")), upload.value(QStringLiteral("filename")), false);
    m_store.deleteRow(kUploadsTable, id);
    m_store.uploadsData->refresh();
    m_packets.dropFile(id);
    Q_EMIT selectedFilesCountChanged();
    Q_EMIT pendingCountChanged();
}

void OutgoingOffers::deleteWithdrawnUploads()
{
    // Folders each as a whole, whatever their number of files.
    for (const QString& id : m_store.folderIds(QStringLiteral("up"), QStringLiteral("tobedeleted")))
        withdrawFolderUpload(id);
    for (const QString& id : m_store.withdrawnFileIds(kUploadsTable, QStringLiteral("timesent"), kBatch))
        deleteFileToSend(id);
}

void OutgoingOffers::clearAllPendingUploads()
{
    {
        QSqlQuery q(m_store.database());
        q.exec(QStringLiteral("update vesk_uploads set status = 'tobedeleted' "));
        q.exec(QStringLiteral("update vesk_folders set status = 'tobedeleted' where direction = 'up'"));
    }
    m_store.uploadsData->refresh();
}

} // namespace Vesk
