// The controller's faces of the subsystems: each invokable, slot and handler the interface and the dispatch know
// by name, forwarded to the object that does the work.
#include "app/globals.h"

#include "peers/chat.h"
#include "peers/nodeidentity.h"
#include "peers/peerrecords.h"
#include "transfer/downloadengine.h"
#include "transfer/fileicons.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"
#include "transfer/packetserver.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

namespace Vesk {

namespace {

// The interface may hand over a URL ("file:///...", "qrc:/...") where a path is expected.
QString localImagePath(const QString& pathOrUrl)
{
    if (pathOrUrl.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        return QUrl(pathOrUrl).toLocalFile();
    if (pathOrUrl.startsWith(QLatin1String("qrc:"), Qt::CaseInsensitive))
        return QLatin1Char(':') + QUrl(pathOrUrl).path();
    return pathOrUrl;
}

} // namespace

// --- peers and chat -----------------------------------------------------------------------------------------

void Globals::addNodeFromUDP(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias)
{
    if (m_identity->replaceIfClashing(nodeId, ipAddress))
        return;
    m_peers->addNodeFromUDP(nodeId, ipAddress, nodeOS, nodeAlias);
}

void Globals::addNodeFromAddMeRequest(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias)
{
    m_peers->addNodeFromAddMeRequest(nodeId, ipAddress, nodeOS, nodeAlias);
}

void Globals::handleAddMeRequest(const Parameters& message)
{
    m_peers->handleAddMeRequest(message);
}

void Globals::handleAddMeRequestConfirmed(const Parameters& message)
{
    m_peers->handleAddMeRequestConfirmed(message);
}

void Globals::requestAvatar(const QString& nodeId)
{
    m_peers->requestAvatar(nodeId);
}

void Globals::handleAvatarRequested(const Parameters& message)
{
    m_peers->handleAvatarRequested(message);
}

void Globals::handleAvatarObtained(const Parameters& message)
{
    m_peers->handleAvatarObtained(message);
}

void Globals::changeUserInfo(QString newUserAlias, QString newUserAvatar)
{
    setUserAlias(newUserAlias);
    setUserAvatar(localImagePath(newUserAvatar));
    m_peers->refreshOwnPeerRow();
}

void Globals::unblockUser(QString peerId)
{
    m_peers->unblockUser(peerId);
}

void Globals::sendChat(QString toNodeID, QString message)
{
    m_chat->sendChat(toNodeID, message);
}

void Globals::handleNewChatMessage(const Parameters& message)
{
    m_chat->handleNewChatMessage(message);
}

void Globals::processNewChatMessage(QString message, QString nodeFrom, QStringList nodeTos, QString id, qint64 timeSent)
{
    m_chat->processNewChatMessage(message, nodeFrom, nodeTos, id, timeSent);
}

void Globals::handleConfirmChat(const Parameters& message)
{
    m_chat->handleConfirmChat(message);
}

void Globals::unsentChatMessagesTimeout()
{
    m_chat->resendUnconfirmed();
}

// --- offers -------------------------------------------------------------------------------------------------

FileStandardItemModel& Globals::filesData() const
{
    return m_outgoing->filesData;
}

FileSortFilterProxyModel& Globals::filesProxyData() const
{
    return m_outgoing->filesProxyData;
}

int Globals::numberOfSelectedFiles() const
{
    return int(m_outgoing->filesData.selectedCount());
}

int Globals::selectedPeersCount() const
{
    return m_outgoing->selectedPeersCount();
}

void Globals::togglePeerSelection(QString peerId)
{
    m_outgoing->togglePeerSelection(peerId);
}

bool Globals::isPeerSelected(QString peerId) const
{
    return m_outgoing->isPeerSelected(peerId);
}

void Globals::processNextFileQueueItem()
{
    m_outgoing->filesProxyData.sort(0, Qt::AscendingOrder);
}

void Globals::selectFiles()
{
    // Start where the user last picked files, or in their home folder; never in the program's own folder.
    constexpr const char* kLastFolderKey = "lastFilesFolder";
    QString folder = settings->value(QLatin1String(kLastFolderKey)).toString();
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QStringList paths = QFileDialog::getOpenFileNames(nullptr, tr("select a file"), folder);
    if (!paths.isEmpty())
        settings->setValue(QLatin1String(kLastFolderKey), QFileInfo(paths.first()).absolutePath());
    for (const QString& path : paths)
        processNewFileToSend(QUrl::fromLocalFile(path));
}

void Globals::selectFolder()
{
    constexpr const char* kLastFolderKey = "lastFilesFolder";
    QString start = settings->value(QLatin1String(kLastFolderKey)).toString();
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::homePath();
    const QString folder = QFileDialog::getExistingDirectory(nullptr, tr("Choose a folder to send"), start);
    if (folder.isEmpty())
        return;
    settings->setValue(QLatin1String(kLastFolderKey), QFileInfo(folder).absolutePath());
    processNewFileToSend(QUrl::fromLocalFile(folder));
}

void Globals::offerChosenFilesToPeer(QString peerId)
{
    constexpr const char* kLastFolderKey = "lastFilesFolder";
    QString folder = settings->value(QLatin1String(kLastFolderKey)).toString();
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QStringList paths =
        QFileDialog::getOpenFileNames(nullptr, tr("Send files to %1").arg(getAliasForNode(peerId)), folder);
    if (paths.isEmpty())
        return;
    settings->setValue(QLatin1String(kLastFolderKey), QFileInfo(paths.first()).absolutePath());
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls.append(QUrl::fromLocalFile(path));
    offerFilesToPeer(urls, peerId);
}

void Globals::offerFilesToPeer(const QList<QUrl>& localFiles, const QString& peerId)
{
    const QStringList names = m_outgoing->offerFilesToPeer(localFiles, peerId);
    if (!names.isEmpty())
        Q_EMIT filesOfferedToPeer(peerId, names);
}

void Globals::processNewFileToSend(QUrl localFile)
{
    m_outgoing->processNewFileToSend(localFile);
}

void Globals::setThumbnailForFile(const QString& absoluteFilePath)
{
    m_outgoing->setThumbnailForFile(absoluteFilePath);
}

QString Globals::getThumbnailFromFileSuffix(QString fileSuffix) const
{
    return FileIcons::urlForSuffix(fileSuffix);
}

void Globals::sendHighlightedFiles()
{
    m_outgoing->sendHighlightedFiles();
}

void Globals::unsentUploadsTimeout()
{
    m_outgoing->resendOffers();
}

void Globals::handleConfirmFileToSend(const Parameters& message)
{
    m_outgoing->handleConfirmFileToSend(message);
}

void Globals::deleteFileToSend(QString id)
{
    m_outgoing->deleteFileToSend(id);
}

void Globals::handleRemoveFileToSend(const Parameters& message)
{
    m_outgoing->handleRemoveFileToSend(message);
}

void Globals::uploadsToBeDeletedTimeout()
{
    m_outgoing->deleteWithdrawnUploads();
}

void Globals::handleNewFileToDownload(const Parameters& message)
{
    m_incoming->handleNewFileToDownload(message);
}

void Globals::processNewFileToBeReceived(QString fileId, QString fileName, QString nodeFrom, qint64 fileSize)
{
    m_incoming->processNewFileToBeReceived(fileId, fileName, nodeFrom, fileSize);
}

void Globals::deleteFileToDownload(QString id)
{
    m_incoming->deleteFileToDownload(id);
}

void Globals::handleRemoveFileToGet(const Parameters& message)
{
    m_incoming->handleRemoveFileToGet(message);
}

void Globals::downloadsToBeDeletedTimeout()
{
    m_incoming->deleteWithdrawnDownloads();
}

// --- downloads and packets ----------------------------------------------------------------------------------

QString Globals::currentDownloadingFileId() const
{
    return m_engine->currentDownloadingFileId();
}

void Globals::setCurrentDownloadingFileId(const QString& id)
{
    m_engine->setCurrentDownloadingFileId(id);
}

void Globals::queueFileToDownload(QString id)
{
    m_engine->queueFileToDownload(id);
}

void Globals::pauseFileToDownload(QString id)
{
    m_engine->pauseFileToDownload(id);
}

void Globals::downloadAllPending()
{
    m_engine->downloadAllPending();
}

void Globals::downloadPendingFrom(const QString& nodeId)
{
    m_engine->downloadAllPending(nodeId);
}

void Globals::pauseAllPendingDownloads()
{
    m_engine->pauseAllPendingDownloads();
}

QString Globals::nextQueuedDownloadId() const
{
    return m_engine->nextQueuedDownloadId();
}

void Globals::downloadNextFile()
{
    m_engine->downloadNextFile();
}

void Globals::downloadFile(const QString& id)
{
    m_engine->downloadFile(id);
}

void Globals::handleReceiveDataPacket(const Parameters& message)
{
    m_engine->handleReceiveDataPacket(message);
}

qint64 Globals::currentDownloadFileSize()
{
    return m_engine->currentDownloadFileSize();
}

qint64 Globals::numberOfSecondsRemainingForCurrentDownload() const
{
    return m_engine->secondsLeft();
}

qint64 Globals::currentDownloadBytesPerSecond() const
{
    return m_engine->bytesPerSecond();
}

bool Globals::currentDownloadStalled() const
{
    return m_engine->stalled();
}

QString Globals::currentDownloadFolderId() const
{
    return m_engine->currentDownloadFolderId();
}

void Globals::downloadUIUpdateTimeout()
{
    m_engine->progressTick();
}

void Globals::handleSendDataPacket(const Parameters& message)
{
    m_packets->handleSendDataPacket(message);
}

QByteArray Globals::readFilePacket(const QString& fileId, qint64 fileSeek, qint64 size)
{
    return m_packets->readFilePacket(fileId, fileSeek, size);
}

void Globals::freeBufferFilesToSend()
{
    m_packets->freeBufferFilesToSend();
}

} // namespace Vesk
