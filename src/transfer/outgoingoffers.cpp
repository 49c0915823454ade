// The owner's side of an offer: picking files, one upload row per file and peer, the offer loop that repeats each
// offer until the peer confirms it, and withdrawing uploads.
#include "app/globals.h"

#include "common/clock.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/fileicons.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transfernotice.h"
#include "transfer/transferoutbox.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QSqlQuery>
#include <QSqlRecord>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;

const QString kUploads = QStringLiteral("vesk_uploads");
constexpr qint64 kOfferWindowMs = 3600000;
constexpr int kFilesTabIndex = 1;
constexpr int kUploadsTabIndex = 2;

// Why a file cannot be offered, or a null string when it can.
QString whyNotSendable(const QFileInfo& file)
{
    QFile probe(file.absoluteFilePath());
    if (!file.exists() || !file.isFile() || !probe.open(QIODevice::ReadOnly))
        return Globals::tr("it does not exist or cannot be read");
    if (file.size() >= TransferNames::kWireSizeLimit) {
        return Globals::tr("it is %1 bytes, and only files smaller than %2 bytes (4 GiB) can be sent")
            .arg(QLocale().toString(file.size()), QLocale().toString(TransferNames::kWireSizeLimit));
    }
    return QString();
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

void Globals::selectFiles()
{
    const QStringList paths = QFileDialog::getOpenFileNames(nullptr, QStringLiteral("select a file"));
    for (const QString& path : paths)
        processNewFileToSend(QUrl::fromLocalFile(path));
}

void Globals::processNewFileToSend(QUrl localFile)
{
    setCurrentSelectedTabIndex(kFilesTabIndex);

    const QFileInfo file(localFile.toLocalFile());
    if (localFile.isLocalFile() && file.isDir()) {
        Q_EMIT selectedFilesCountChanged();
        return;
    }
    const QString urlText = localFile.toString();
    if (filesData.itemForFileURL(urlText))
        return;

    const QString displayName = localFile.isLocalFile() ? file.fileName() : urlText;
    const QString problem = localFile.isLocalFile() ? whyNotSendable(file) : tr("it is not a local file");
    if (!problem.isNull()) {
        showTransferNotice(tr("File not added"), tr("%1 was not added: %2.").arg(displayName, problem));
        return;
    }

    filesData.appendRow(new FileStandardItem(urlText, file.fileName(), file.size(), FileIcons::placeholderUrl(), true));
    setThumbnailForFile(file.absoluteFilePath());
    Q_EMIT filesData.selectedCountChanged();
    Q_EMIT selectedFilesCountChanged();
}

void Globals::sendHighlightedFiles()
{
    setCurrentSelectedTabIndex(kUploadsTabIndex);

    // Files that vanished, became unreadable or grew past what the wire can describe since they were picked are
    // left out, and the user hears which.
    QList<QFileInfo> files;
    QStringList refused;
    for (int row = 0; row < filesData.rowCount(); ++row) {
        const QVariant selected = filesData.index(row, 0).data(FileStandardItemModel::SelectedRole);
        if (selected.typeId() != QMetaType::Bool || !selected.toBool())
            continue;
        const QString urlText = filesData.index(row, 0).data(FileStandardItemModel::FileURLRole).toString();
        const QFileInfo file(QUrl(urlText).toLocalFile());
        const QString problem = whyNotSendable(file);
        if (problem.isNull())
            files.append(file);
        else
            refused.append(tr("%1: %2").arg(file.fileName().isEmpty() ? urlText : file.fileName(), problem));
    }

    const qint64 now = nowMs();
    for (const QString& nodeId : std::as_const(selectedPeers)) {
        for (const QFileInfo& file : std::as_const(files)) {
            const QString path = file.absoluteFilePath();
            {
                QSqlQuery q(Database::connection());
                q.prepare(QStringLiteral("replace into vesk_uploads(id, url, nodeTo, filesize, filename, bytesSent, "
                                         "status, timesent) values (?,?,?,?,?,0, 'unknown', ?);"));
                const QVariantList values{
                    TransferNames::uploadId(nodeId, path), path, nodeId, qint64(file.size()), file.fileName(), now};
                for (int i = 0; i < values.size(); ++i)
                    q.bindValue(i, values.at(i));
                if (!q.exec())
                    qCDebug(lcOffers) << "recording the upload of" << path << "failed";
            }
            uploadsData->refresh();
        }
    }

    filesData.removeRows(0, filesData.rowCount());
    filesData.clearSelected();
    selectedPeers.clear();
    nodesProxyData->refresh();
    Q_EMIT selectedPeersCountChanged();

    if (!refused.isEmpty()) {
        showTransferNotice(tr("Files not sent"),
                           tr("These files were not offered:\n%1").arg(refused.join(QLatin1Char('\n'))));
    }
    unsentUploadsTimeout();
}

void Globals::unsentUploadsTimeout()
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("select * from vesk_uploads t1 where status = 'unknown' and timesent > ? and  "
                             "coalesce((select status from vesk_peers where  id = t1.nodeto  ), 'off') = 'on' order "
                             "by timesent asc limit 5"));
    q.bindValue(0, nowMs() - kOfferWindowMs);
    if (!q.exec())
        return;
    const QList<UploadRow> rows = uploadRows(q);
    q.finish();
    for (const UploadRow& row : rows)
        TransferOutbox::sendToNode(*this, row.nodeTo, Msg::offer(row.id, row.fileName, row.fileSize, m_hostId));
}

void Globals::handleConfirmFileToSend(const Parameters& message)
{
    uploadsData->setFieldAndRefresh(kUploads, message.value(Msg::kFileId).toString(), QStringLiteral("status"),
                                    QStringLiteral("sent"));
}

void Globals::deleteFileToSend(QString id)
{
    const QString nodeTo = uploadsData->getField(kUploads, id, QStringLiteral("nodeto"));
    uploadsData->deleteRecord(kUploads, id);
    bufferFilesToSend.dropFile(id);
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
    TransferOutbox::sendToNode(*this, nodeTo, Msg::aboutFile(Msg::kRemoveFileToGet, id));
}

void Globals::handleRemoveFileToSend(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    uploadsData->deleteRecord(kUploads, id);
    bufferFilesToSend.dropFile(id);
    Q_EMIT selectedFilesCountChanged();
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
}

void Globals::uploadsToBeDeletedTimeout()
{
    QStringList ids;
    {
        QSqlQuery q(Database::connection());
        if (!q.exec(QStringLiteral("select * from vesk_uploads where status = 'tobedeleted' order by timesent asc "
                                   "limit 5")))
            return;
        while (q.next())
            ids.append(q.value(QStringLiteral("id")).toString());
    }
    for (const QString& id : std::as_const(ids))
        deleteFileToSend(id);
}

} // namespace Vesk
