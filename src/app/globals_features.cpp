// The controller's faces of the subsystems: each invokable, slot and handler the interface and the dispatch know
// by name, forwarded to the object that does the work.
#include "app/globals.h"

#include "net/othernetworkssettings.h"
#include "peers/chat.h"
#include "peers/peerrecords.h"
#include "transfer/downloadengine.h"
#include "transfer/fileicons.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"

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

void Globals::unsentChatMessagesTimeout()
{
    m_chat->resendUnconfirmed();
}

// --- offers -------------------------------------------------------------------------------------------------

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

void Globals::deleteFileToSend(QString id)
{
    m_outgoing->deleteFileToSend(id);
}

void Globals::uploadsToBeDeletedTimeout()
{
    m_outgoing->deleteWithdrawnUploads();
}

void Globals::deleteFileToDownload(QString id)
{
    m_incoming->deleteFileToDownload(id);
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

qint64 Globals::currentDownloadFileSize() const
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

// --- other networks -----------------------------------------------------------------------------------------

QString Globals::otherNetworks() const
{
    return m_otherNetworks->otherNetworks();
}

QStringList Globals::otherNetworksProblems() const
{
    return m_otherNetworks->otherNetworksProblems();
}

void Globals::startOtherNetworks()
{
    m_otherNetworks->setDiscovery(peerManager);
}

bool Globals::setOtherNetworks(QString text)
{
    return m_otherNetworks->setOtherNetworks(text);
}

void Globals::addComputerByAddress(QString address)
{
    m_otherNetworks->addComputerByAddress(address);
}

} // namespace Vesk
