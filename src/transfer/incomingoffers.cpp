// The receiver's side of an offer: storing it as a pending download, confirming it, and withdrawing downloads.
#include "transfer/incomingoffers.h"

#include "common/clock.h"
#include "common/htmltext.h"
#include "common/shell.h"
#include "net/messagedispatcher.h"
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

#include <QSqlError>
#include <QSqlQuery>

namespace Vesk {

namespace {
namespace Msg = TransferMessages;
} // namespace

IncomingOffers::IncomingOffers(Store& store, MessageSink& sink, const Clock& clock, Shell& shell,
                               DownloadEngine& engine, QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_clock(clock), m_shell(shell), m_engine(engine)
{
    m_withdrawTimer.setInterval(kWithdrawIntervalMs);
    connect(&m_withdrawTimer, &QTimer::timeout, this, &IncomingOffers::deleteWithdrawnDownloads);
}

void IncomingOffers::start()
{
    m_withdrawTimer.start();
}

void IncomingOffers::stop()
{
    m_withdrawTimer.stop();
}

void IncomingOffers::registerHandlers(MessageDispatcher& dispatcher)
{
    dispatcher.registerHandler(Msg::kNewFileToDownload, this, &IncomingOffers::handleNewFileToDownload);
    dispatcher.registerHandler(Msg::kRemoveFileToGet, this, &IncomingOffers::handleRemoveFileToGet);
    dispatcher.registerHandler(FolderMessages::kNewFolderToDownload, this, &IncomingOffers::handleNewFolderToDownload);
}

void IncomingOffers::handleNewFileToDownload(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    const QString nodeFrom = message.value(Msg::kNodeFrom).toString();
    if (!fromTransferPeer(message, nodeFrom, m_store))
        return;
    // An id is no secret (it is made of names): a download under way belongs to the peer that offered it, and an
    // offer of another node under the same id must not take it over, its size nor where its bytes come from.
    const TableRecord stored = m_store.downloadRecord(id);
    const QString owner = stored.value(QStringLiteral("nodefrom"));
    if (!owner.isEmpty() && owner != nodeFrom &&
        stored.value(QStringLiteral("status")) != QLatin1String("downloaded")) {
        qCWarning(lcOffers) << "refused an offer of" << id.left(kMaxFileIdLength) << "from"
                            << nodeFrom.left(kMaxFileIdLength) << "while it is downloaded from another node";
        return;
    }
    processNewFileToBeReceived(id, message.value(Msg::kFileName).toString(), nodeFrom,
                               message.value(Msg::kFileSize).toLongLong());
}

void IncomingOffers::processNewFileToBeReceived(const QString& fileId, const QString& fileName, const QString& nodeFrom,
                                                qint64 fileSize)
{
    if (m_store.isBlocked(nodeFrom))
        return;
    if (fileId.isEmpty() || fileId.size() > kMaxFileIdLength || fileSize < 0 ||
        fileSize > TransferNames::kLargestFileSize) {
        qCWarning(lcOffers) << "refused an offer from" << nodeFrom.left(kMaxFileIdLength) << "with id"
                            << fileId.left(kMaxFileIdLength) << "and size" << fileSize;
        return;
    }

    // Offered again after the owner withdrew it: it can be fetched again.
    m_engine.offeredAgain(fileId);
    const QString cleanedName = TransferNames::cleanOfferedName(fileName);
    const QString storedId = m_store.field(kDownloadsTable, fileId, QStringLiteral("id"));
    const bool reOffered = storedId == fileId;
    if (!reOffered || m_store.field(kDownloadsTable, fileId, QStringLiteral("status")) == QLatin1String("downloaded")) {
        // A file received before keeps the local name it was given then: that name may have been numbered to keep
        // it apart from another download's file, and the same id always names the same file of the same peer.
        QString localName = TransferNames::safeLocalName(cleanedName);
        if (reOffered) {
            const QString earlierName = m_store.field(kDownloadsTable, fileId, QStringLiteral("filename"));
            if (TransferNames::staysInFolder(m_engine.downloadsFolder(), earlierName))
                localName = earlierName;
        }
        // Neither refusal is confirmed: the owner offers the file again, and it is taken once there is room.
        if (const QString tooMany =
                tooManyWaiting(QStringLiteral("select count(*), total(nodefrom = ?) from "
                                              "vesk_downloads where status = 'unknown' and "
                                              "(folderId is null or folderId = '')"),
                               nodeFrom, kMaxWaitingFiles, kMaxWaitingFilesAll, QStringLiteral("files"));
            !tooMany.isEmpty())
            return refuse(QStringLiteral("a file"), nodeFrom, tooMany);
        {
            QSqlQuery q(m_store.database());
            q.prepare(QStringLiteral(
                "replace into vesk_downloads(id, filename, filesize, nodefrom, status, timestamp, downloadsize ) "
                "values (?, ?, ?, ?, coalesce((select status from vesk_downloads where id = ? and not(status = "
                "'downloaded')),'unknown'), ? , coalesce((select downloadsize from vesk_downloads where id = "
                "?),'0'))"));
            if (!execBound(q,
                           {fileId, localName, QString::number(fileSize), nodeFrom, fileId, m_clock.nowMs(), fileId}))
                return refuse(QStringLiteral("a file"), nodeFrom,
                              QStringLiteral("it could not be stored: %1").arg(q.lastError().text()));
        }
        // The popup names the file as it will be stored (the offered name can be any length).
        m_shell.showOfferNotification(
            nodeFrom, {localName, fileSize},
            tr("I have sent you a file called : <br> <b>%1</b><br>Please download it using Vesk.")
                .arg(plainTextToHtml(localName)));
        m_store.pausedDownloads->refresh();
        m_store.queuedDownloads->refresh();
        m_store.completedDownloads->refresh();
        Q_EMIT pendingCountChanged();
    } else if (const QString status = m_store.field(kDownloadsTable, fileId, QStringLiteral("status"));
               (status == QLatin1String("unknown") || status == QLatin1String("queued")) &&
               m_store.field(kDownloadsTable, fileId, QStringLiteral("filesize")) != QString::number(fileSize)) {
        // The owner's file changed size while we wait for it or fetch it: what is on disk belongs to the other
        // version. The new size makes the next start put that partial file aside and begin again from 0.
        qCInfo(lcOffers) << fileId << "is offered again with another size:" << fileSize;
        m_store.setField(kDownloadsTable, fileId, QStringLiteral("filesize"), QString::number(fileSize));
        m_store.queuedDownloads->refresh();
        m_store.pausedDownloads->refresh();
        if (fileId == m_engine.currentDownloadingFileId())
            m_engine.downloadRemoved(fileId); // ends the running session: the next start reads the new size
    }
    // Every copy of an offer is confirmed, so an owner whose confirmation was lost stops repeating it.
    sendToNode(m_sink, m_store, nodeFrom, Msg::aboutFile(Msg::kConfirmFileToSend, fileId));
}

QString IncomingOffers::tooManyWaiting(const QString& counting, const QString& nodeFrom, int perPeer, int all,
                                       const QString& what) const
{
    // Over the waiting ones alone, which the bounds keep few.
    QSqlQuery q(m_store.database());
    q.prepare(counting);
    q.bindValue(0, nodeFrom);
    if (!q.exec() || !q.next())
        return QStringLiteral("the %1 waiting could not be counted").arg(what);
    if (q.value(1).toInt() >= perPeer)
        return QStringLiteral("more than %1 %2 waiting").arg(perPeer).arg(what);
    if (q.value(0).toInt() >= all)
        return QStringLiteral("more than %1 %2 of all peers waiting").arg(all).arg(what);
    return QString();
}

void IncomingOffers::deleteFileToDownload(const QString& id)
{
    if (deleteFolderToDownload(id, false))
        return;
    const TableRecord download = m_store.downloadRecord(id);
    const QString nodeFrom = download.value(QStringLiteral("nodefrom"));
    m_store.deleteRow(kDownloadsTable, id);
    m_store.pausedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    m_store.completedDownloads->refresh();
    // Its transfer ends first, so every byte received is in the file; a file that can never be completed then goes
    // rather than fill the disk (a complete one is the user's and stays).
    m_engine.downloadRemoved(id);
    m_engine.files().removePartialFile(download);
    Q_EMIT pendingCountChanged();
    Q_EMIT m_engine.readyToDownloadNextFile();
    sendToNode(m_sink, m_store, nodeFrom, Msg::aboutFile(Msg::kRemoveFileToSend, id));
}

void IncomingOffers::handleRemoveFileToGet(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    // Only the owner withdraws its offer.
    const TableRecord folder = m_store.record(QStringLiteral("vesk_folders"), id);
    const TableRecord download = m_store.downloadRecord(id);
    const QString owner = folder.value(QStringLiteral("direction")) == QLatin1String("down")
                              ? folder.value(QStringLiteral("nodeid"))
                              : download.value(QStringLiteral("nodefrom"));
    if (!owner.isEmpty() && !fromTransferPeer(message, owner, m_store))
        return;
    if (deleteFolderToDownload(id, true))
        return;
    const QString status = download.value(QStringLiteral("status"));
    // The transfer of that file ends here; the queue goes on with the next one instead of waiting for the stall.
    m_engine.downloadRemoved(id);
    const bool waiting = status == QLatin1String("unknown") || status == QLatin1String("queued");
    // A separate file the user had begun to fetch stays listed, saying who withdrew it, until the user removes it
    // (or the owner offers it again); an offer never begun goes, and so does a folder's file, which its folder's
    // listing brings again when it is offered again.
    const bool begun = status == QLatin1String("queued") ||
                       download.value(QStringLiteral("downloadsize")) == download.value(QStringLiteral("filesize"));
    const bool stays = waiting && begun && download.value(QStringLiteral("folderId")).isEmpty();
    if (!stays)
        m_store.deleteRow(kDownloadsTable, id);
    if (waiting) {
        // An offer that vanishes without a word looks like a fault, and its partial file like a complete one: the
        // user is told, and the bytes that can never be completed go.
        m_engine.files().removePartialFile(download);
        const QString nodeFrom = download.value(QStringLiteral("nodefrom"));
        const QString alias = m_store.peerField(nodeFrom, QStringLiteral("alias"));
        const QString name = download.value(QStringLiteral("filename"));
        if (stays)
            m_engine.ownerWithdrew(id, tr("%1 withdrew %2").arg(alias, name));
        m_shell.showChatNotification(nodeFrom, tr("%1 withdrew %2").arg(plainTextToHtml(alias), plainTextToHtml(name)));
    }
    m_store.pausedDownloads->refresh();
    m_store.completedDownloads->refresh();
    m_store.queuedDownloads->refresh();
    Q_EMIT selectedFilesCountChanged();
    Q_EMIT pendingCountChanged();
}

void IncomingOffers::deleteWithdrawnDownloads()
{
    // Folders each as a whole, whatever their number of files.
    for (const QString& id : m_store.folderIds(QStringLiteral("down"), QStringLiteral("tobedeleted")))
        deleteFolderToDownload(id, false);
    for (const QString& id : m_store.withdrawnFileIds(kDownloadsTable, QStringLiteral("timestamp"), kBatch))
        deleteFileToDownload(id);
}

void IncomingOffers::clearAllPendingDownloads()
{
    {
        QSqlQuery q(m_store.database());
        q.exec(QStringLiteral("delete from vesk_downloads where status = 'downloaded'"));
        q.exec(QStringLiteral("update vesk_downloads set status = 'tobedeleted' "));
        q.exec(QStringLiteral("delete from vesk_folders where direction = 'down' and status = 'downloaded'"));
        q.exec(QStringLiteral("update vesk_folders set status = 'tobedeleted' where direction = 'down'"));
    }
    m_store.queuedDownloads->refresh();
    m_store.pausedDownloads->refresh();
    m_store.completedDownloads->refresh();
}

} // namespace Vesk
