// The receiver's download engine. One download is active at a time: the smallest queued file, chosen again after
// every packet. Each request asks for the bytes at the current size of the local file, and a packet is appended
// only at exactly that offset, so the file on disk is the whole progress record: restarts, lost packets and
// duplicate answers need no other bookkeeping.
#include "app/globals.h"

#include "app/platform.h"
#include "app/taskbarintegration.h"
#include "common/clock.h"
#include "common/htmltext.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/packetmemory.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"
#include "transfer/transfernames.h"
#include "transfer/transferoutbox.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

namespace Vesk {

namespace {

namespace Msg = TransferMessages;

const QString kDownloads = QStringLiteral("vesk_downloads");
const QString kStatus = QStringLiteral("status");
const QString kFileName = QStringLiteral("filename");
const QString kFileSize = QStringLiteral("filesize");
const QString kDownloadSize = QStringLiteral("downloadsize");
const QString kNodeFrom = QStringLiteral("nodefrom");

// More than this many progress ticks in a row without growth (22 seconds) give the download up.
constexpr int kMaxStallTicks = 10;
// The launcher and taskbar take progress as two ints; sizes up to 4 GiB do not fit, so progress goes as a fraction.
constexpr int kProgressScale = 10000;
// Every progress update is a message to the desktop shell (over D-Bus on Linux). Packets arrive hundreds of times
// a second, so the display is updated when it appears and then at most this often.
constexpr qint64 kProgressUpdateMs = 250;

struct ProgressDisplay
{
    bool shown = false;
    qint64 lastUpdateMs = 0;
};
ProgressDisplay g_progress;

void showProgress(TaskbarIntegration* taskbar, qint64 have, qint64 wanted)
{
    const qint64 now = nowMs();
    if (!taskbar || (g_progress.shown && qAbs(now - g_progress.lastUpdateMs) < kProgressUpdateMs))
        return;
    taskbar->setProgressState(TaskbarIntegration::Normal);
    taskbar->setProgressValue(int(have * kProgressScale / wanted), kProgressScale);
    g_progress = {true, now};
}

void hideProgress(TaskbarIntegration* taskbar)
{
    if (taskbar)
        taskbar->setProgressState(TaskbarIntegration::NoProgress);
    g_progress.shown = false;
}

qint64 localSize(const QString& path)
{
    const QFileInfo file(path);
    return file.exists() ? file.size() : 0;
}

// Whether another download has already started into the file of that name (its downloadsize is set), so that the
// name belongs to that download.
bool nameTakenByOtherDownload(const QString& name, const QString& id)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("select count(*) from vesk_downloads where filename = ? and id <> ? and "
                             "cast(coalesce(downloadsize, 0) as integer) <> 0"));
    q.bindValue(0, name);
    q.bindValue(1, id);
    return q.exec() && q.next() && q.value(0).toInt() > 0;
}

// The first free numbered variant of a name: no file of that name and no download that owns it.
QString freeNumberedName(const QString& folder, const QString& name, const QString& id)
{
    for (int n = 2;; ++n) {
        const QString candidate = TransferNames::numberedName(name, n);
        if (!QFileInfo::exists(folder + candidate) && !nameTakenByOtherDownload(candidate, id))
            return candidate;
    }
}

} // namespace

void Globals::queueFileToDownload(QString id)
{
    pausedDownloads->setFieldAndRefresh(kDownloads, id, kStatus, QStringLiteral("queued"));
    queuedDownloads->refresh();
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
    Q_EMIT readyToDownloadNextFile();
}

void Globals::pauseFileToDownload(QString id)
{
    pausedDownloads->setFieldAndRefresh(kDownloads, id, kStatus, QStringLiteral("unknown"));
    queuedDownloads->refresh();
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
    setCurrentDownloadingFileId(QString());
    Q_EMIT readyToDownloadNextFile();
}

QString Globals::nextQueuedDownloadId() const
{
    QSqlQuery q(Database::connection());
    if (!q.exec(QStringLiteral("select id from vesk_downloads where status = 'queued' order by cast(filesize as "
                               "INTEGER) asc  limit 1 offset 0")) ||
        !q.next())
        return QString();
    return q.value(0).toString();
}

void Globals::downloadNextFile()
{
    const QString id = nextQueuedDownloadId();
    if (!id.isEmpty())
        downloadFile(id);
}

QString Globals::downloadPathFor(const TableRecord& download) const
{
    const QString folder = downloadsFolderPath();
    const QString name = download.value(kFileName);
    return TransferNames::staysInFolder(folder, name) ? folder + name : QString();
}

void Globals::startDownloadFile(const QString& id, const TableRecord& download)
{
    // The first start decides which file of the downloads folder this download writes into. A file of that name
    // owned by another download is never touched: this one gets a numbered name ("name (2).ext") of its own. An
    // unrelated file of that name is moved aside to a backup name first.
    const QString folder = downloadsFolderPath();
    const QString offeredName = download.value(kFileName);
    QString name = TransferNames::safeLocalName(offeredName);
    if (nameTakenByOtherDownload(name, id)) {
        name = freeNumberedName(folder, name, id);
    } else if (QFileInfo::exists(folder + name)) {
        const QString backup = TransferNames::backupName(name, QDateTime::fromMSecsSinceEpoch(nowMs()));
        if (!QFile::rename(folder + name, folder + backup)) {
            qCWarning(lcTransfer) << "could not move" << name << "aside to" << backup << "- downloading to a new name";
            name = freeNumberedName(folder, name, id);
        }
    }
    if (name != offeredName)
        queuedDownloads->setField(kDownloads, id, kFileName, name);
    queuedDownloads->setField(kDownloads, id, kDownloadSize, download.value(kFileSize));
}

void Globals::downloadFile(const QString& id)
{
    keepPacketBuffersMapped();
    TableRecord download = getDownloadRecord(id);
    if (download.isEmpty()) {
        qCritical() << id << "not found for download";
        return;
    }
    if (download.value(kDownloadSize) != download.value(kFileSize)) {
        startDownloadFile(id, download);
        download = getDownloadRecord(id);
    }

    setCurrentDownloadingFileId(id);

    const QString path = downloadPathFor(download);
    if (path.isEmpty()) {
        qCritical() << id << "has no usable local file name:" << download.value(kFileName);
        queuedDownloads->setFieldAndRefresh(kDownloads, id, kStatus, QStringLiteral("unknown"));
        pausedDownloads->refresh();
        setCurrentDownloadingFileId(QString());
        Q_EMIT readyToDownloadNextFile();
        return;
    }
    const qint64 have = localSize(path);
    const qint64 wanted = download.value(kFileSize).toLongLong();
    const QString nodeFrom = download.value(kNodeFrom);
    queuedDownloads->touchTimestamp(kDownloads, id);

    if (have >= wanted) {
        queuedDownloads->setFieldAndRefresh(kDownloads, id, kStatus, QStringLiteral("downloaded"));
        completedDownloads->refresh();
        pausedDownloads->refresh();
        setCurrentDownloadingFileId(QString());
        hideProgress(taskbar);
        Q_EMIT pendingValidationsCountChanged();
        Q_EMIT updateAppIconsSignal();
        TransferOutbox::sendToNode(*this, nodeFrom, Msg::aboutFile(Msg::kFileTransferComplete, id));
        Q_EMIT readyToDownloadNextFile();
        const QString name = download.value(kFileName);
        showChatNotification(nodeFrom, tr("File Downloaded : <br> <b>%1</b><br>").arg(plainTextToHtml(name)));
        // An empty file is never written to disk, so there is nothing to open (and a file of that name in the
        // folder would be someone else's).
        if (wanted > 0 && automaticallyOpenDownloadedFiles() && TransferNames::mayOpenAutomatically(name))
            openDownloadedFile(path);
        return;
    }

    const qint64 packetSize = qMin(bufferFileSize, wanted - have);
    showProgress(taskbar, have, wanted);
    qCDebug(lcTransfer) << "requesting" << id << "at" << have << "for" << packetSize;
    TransferOutbox::sendToNode(*this, nodeFrom, Msg::packetRequest(id, have, packetSize, nowMs()));
}

void Globals::handleReceiveDataPacket(const Parameters& message)
{
    const QString id = message.value(Msg::kFileId).toString();
    const TableRecord download = getDownloadRecord(id);
    if (download.isEmpty())
        return;
    // Bytes are only ever written into the file a started download owns.
    if (download.value(kDownloadSize) != download.value(kFileSize)) {
        qCWarning(lcTransfer) << "dropped a packet for" << id << "which has not been started";
        return;
    }
    const QString path = downloadPathFor(download);
    if (path.isEmpty())
        return;

    const qint64 have = localSize(path);
    bool seekValid = false;
    const qint64 fileSeek = message.value(Msg::kFileSeek).toLongLong(&seekValid);
    if (!seekValid || fileSeek != have)
        return; // a duplicate, or an answer to an earlier request

    const QByteArray bytes = message.value(Msg::kBinaryData).toByteArray();
    const qint64 wanted = download.value(kFileSize).toLongLong();
    if (bytes.isEmpty() || bytes.size() > bufferFileSize || have + bytes.size() > wanted) {
        qCWarning(lcTransfer) << "dropped a packet of" << bytes.size() << "bytes at" << fileSeek << "for" << id << "of"
                              << wanted << "bytes";
        return;
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        qCritical() << "There was an error opening " << path << " in debug mode";
        return;
    }
    const qint64 written = file.write(bytes);
    file.close();
    if (written != bytes.size())
        qCritical() << "There was an error writing " << path << ":" << file.errorString();
    Q_EMIT readyToDownloadNextFile();
}

qint64 Globals::currentDownloadFileSize()
{
    const TableRecord download = getDownloadRecord(m_currentDownloadingFileId);
    if (download.isEmpty())
        return 0;
    const QString path = downloadPathFor(download);
    return path.isEmpty() ? 0 : localSize(path);
}

void Globals::downloadUIUpdateTimeout()
{
    if (m_currentDownloadingFileId.isEmpty()) {
        lastDownloadFileSize = 0;
        // Paused, given up or withdrawn: nothing is downloading, so the taskbar shows no progress.
        if (g_progress.shown)
            hideProgress(taskbar);
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
        Q_EMIT readyToDownloadNextFile(); // the request or its answer may have been lost: ask again
    }
    lastDownloadFileSize = size;

    if (downloadStallCount > kMaxStallTicks) {
        downloadStallCount = 0;
        pausedDownloads->setFieldAndRefresh(kDownloads, m_currentDownloadingFileId, kStatus, QStringLiteral("unknown"));
        setCurrentDownloadingFileId(QString());
        Q_EMIT readyToDownloadNextFile();
    }
    queuedDownloads->refresh();
    pausedDownloads->refresh();
}

} // namespace Vesk
