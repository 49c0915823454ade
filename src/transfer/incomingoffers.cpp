// The receiver's side of an offer: storing it as a pending download, confirming it, and withdrawing downloads.
#include "app/globals.h"

#include "app/platform.h"
#include "common/clock.h"
#include "common/htmltext.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transferoutbox.h"

#include <QSqlQuery>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;

const QString kDownloads = QStringLiteral("vesk_downloads");
const QString kPeers = QStringLiteral("vesk_peers");
// Offer ids are 32 hex digits; anything much longer is not an id any peer makes.
constexpr qsizetype kMaxFileIdLength = 128;

} // namespace

void Globals::handleNewFileToDownload(const Parameters& message)
{
    processNewFileToBeReceived(message.value(Msg::kFileId).toString(), message.value(Msg::kFileName).toString(),
                               message.value(Msg::kNodeFrom).toString(), message.value(Msg::kFileSize).toLongLong());
}

void Globals::processNewFileToBeReceived(QString fileId, QString fileName, QString nodeFrom, qint64 fileSize)
{
    if (nodeData->getField(kPeers, nodeFrom, QStringLiteral("blocked")) == QLatin1String("yes"))
        return;
    if (fileId.isEmpty() || fileId.size() > kMaxFileIdLength || fileSize < 0 ||
        fileSize >= TransferNames::kWireSizeLimit) {
        qCWarning(lcOffers) << "refused an offer from" << nodeFrom.left(kMaxFileIdLength) << "with id"
                            << fileId.left(kMaxFileIdLength) << "and size" << fileSize;
        return;
    }

    const QString cleanedName = TransferNames::cleanOfferedName(fileName);
    const QString storedId = queuedDownloads->getField(kDownloads, fileId, QStringLiteral("id"));
    const bool reOffered = storedId == fileId;
    if (!reOffered ||
        queuedDownloads->getField(kDownloads, fileId, QStringLiteral("status")) == QLatin1String("downloaded")) {
        // A file received before keeps the local name it was given then: that name may have been numbered to keep
        // it apart from another download's file, and the same id always names the same file of the same peer.
        QString localName = TransferNames::safeLocalName(cleanedName);
        if (reOffered) {
            const QString earlierName = queuedDownloads->getField(kDownloads, fileId, QStringLiteral("filename"));
            if (TransferNames::staysInFolder(downloadsFolderPath(), earlierName))
                localName = earlierName;
        }
        // The popup names the file as it will be stored (the offered name can be any length).
        showDownloadNotification(nodeFrom,
                                 tr("I have sent you a file called : <br> <b>%1</b><br>Please download it using Vesk.")
                                     .arg(plainTextToHtml(localName)));
        {
            QSqlQuery q(Database::connection());
            q.prepare(QStringLiteral(
                "replace into vesk_downloads(id, filename, filesize, nodefrom, status, timestamp, downloadsize ) "
                "values (?, ?, ?, ?, coalesce((select status from vesk_downloads where id = ? and not(status = "
                "'downloaded')),'unknown'), ? , coalesce((select downloadsize from vesk_downloads where id = "
                "?),'0'))"));
            const QVariantList values{fileId, localName, QString::number(fileSize), nodeFrom, fileId, nowMs(), fileId};
            for (int i = 0; i < values.size(); ++i)
                q.bindValue(i, values.at(i));
            if (!q.exec())
                qCDebug(lcOffers) << "storing the offer" << fileId << "failed";
        }
        pausedDownloads->refresh();
        queuedDownloads->refresh();
        completedDownloads->refresh();
        Q_EMIT pendingValidationsCountChanged();
        Q_EMIT updateAppIconsSignal();
    }
    // Every copy of an offer is confirmed, so an owner whose confirmation was lost stops repeating it.
    TransferOutbox::sendToNode(*this, nodeFrom, Msg::aboutFile(Msg::kConfirmFileToSend, fileId));
}

void Globals::deleteFileToDownload(QString id)
{
    const QString nodeFrom = pausedDownloads->getField(kDownloads, id, QStringLiteral("nodefrom"));
    pausedDownloads->deleteRecord(kDownloads, id);
    queuedDownloads->refresh();
    completedDownloads->refresh();
    if (id == m_currentDownloadingFileId)
        setCurrentDownloadingFileId(QString());
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
    Q_EMIT readyToDownloadNextFile();
    TransferOutbox::sendToNode(*this, nodeFrom, Msg::aboutFile(Msg::kRemoveFileToSend, id));
}

void Globals::handleRemoveFileToGet(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    pausedDownloads->deleteRecord(kDownloads, id);
    completedDownloads->refresh();
    queuedDownloads->refresh();
    Q_EMIT selectedFilesCountChanged();
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
    // The transfer of that file ends here; the queue goes on with the next one instead of waiting for the stall.
    if (id == m_currentDownloadingFileId) {
        setCurrentDownloadingFileId(QString());
        Q_EMIT readyToDownloadNextFile();
    }
}

void Globals::downloadsToBeDeletedTimeout()
{
    QStringList ids;
    {
        QSqlQuery q(Database::connection());
        if (!q.exec(QStringLiteral("select * from vesk_downloads where status = 'tobedeleted' order by timestamp asc "
                                   "limit 5")))
            return;
        while (q.next())
            ids.append(q.value(QStringLiteral("id")).toString());
    }
    for (const QString& id : std::as_const(ids))
        deleteFileToDownload(id);
}

} // namespace Vesk
