#pragma once

#include "app/preferences.h"
#include "app/profileform.h"
#include "app/userdialogs.h"
#include "core/core.h"
#include "net/othernetworkssettings.h"
#include "peers/chat.h"
#include "peers/peerrecords.h"
#include "peers/peerrefresh.h"
#include "peers/peersecurity.h"
#include "store/store.h"
#include "transfer/deliveredfiles.h"
#include "transfer/downloadengine.h"
#include "transfer/downloadsfolder.h"
#include "transfer/fileicons.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"
#include "app/desktopshell.h"
#include "common/random.h"
#include "store/pictureurl.h"
#include "store/securitystate.h"

#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <memory>

class QSettings;

namespace Vesk {

class PeerManager;

// The one controller of the application and the only object the QML interface talks to ("globals"). It is a
// front: the node itself is the Core it owns (the store, the transport and the subsystems: peer records and the
// handshake, chat, outgoing and incoming offers, the download engine, packet serving), and its methods forward to
// it. The windows, the popups and the tray are the desktop shell's (app/desktopshell), which the subsystems are
// given as their Shell. Each subsystem runs its own timers; the controller starts them in init() and keeps the
// timer slots of its interface as forwards.
class Globals : public QObject, public ProfileEditor
{
    Q_OBJECT
    Q_DISABLE_COPY(Globals)

    // The user's choices kept in the settings: starting at login, notices, closing, opening and resuming downloads.
    Q_PROPERTY(Vesk::Preferences* preferences READ preferences CONSTANT)
    // Where received files go, as the user reads a path.
    Q_PROPERTY(QString downloadsFolder READ downloadsFolderShown NOTIFY downloadsFolderChanged)
    Q_PROPERTY(int numberOfSelectedFiles READ numberOfSelectedFiles NOTIFY selectedFilesCountChanged)
    Q_PROPERTY(int selectedPeersCount READ selectedPeersCount NOTIFY selectedPeersCountChanged)
    Q_PROPERTY(int numberOfPendingValidations READ numberOfPendingValidations NOTIFY pendingValidationsCountChanged)
    // The running download's time left, speed and stall as the download engine measures them (-1: unknown).
    Q_PROPERTY(qint64 numberOfSecondsRemainingForCurrentDownload READ numberOfSecondsRemainingForCurrentDownload NOTIFY
                   numberOfSecondsRemainingForCurrentDownloadChanged)
    Q_PROPERTY(qint64 currentDownloadBytesPerSecond READ currentDownloadBytesPerSecond NOTIFY downloadEstimateChanged)
    Q_PROPERTY(bool currentDownloadStalled READ currentDownloadStalled NOTIFY downloadEstimateChanged)
    // The received folder the running download is a file of; empty for a separate file.
    Q_PROPERTY(QString currentDownloadFolderId READ currentDownloadFolderId NOTIFY currentDownloadingFileIdChanged)
    Q_PROPERTY(QString hostId READ hostId NOTIFY hostIdChanged)
    // The files peers told us they received (the latest 500, kept across restarts), newest first:
    // {fileName, nodeTo, alias, at}.
    Q_PROPERTY(QVariantList deliveredFiles READ deliveredFiles NOTIFY deliveredFilesChanged)
    Q_PROPERTY(QString currentDownloadingFileId READ currentDownloadingFileId NOTIFY currentDownloadingFileIdChanged)
    Q_PROPERTY(QString userAlias READ userAlias WRITE setUserAlias NOTIFY userAliasChanged)
    Q_PROPERTY(QString userAvatar READ userAvatar NOTIFY userAvatarChanged)
    Q_PROPERTY(
        int totalNumberOfUnReadMessages READ totalNumberOfUnReadMessages NOTIFY totalNumberOfUnReadMessagesChanged)
    Q_PROPERTY(qint64 currentDownloadFileSize READ currentDownloadFileSize NOTIFY currentDownloadFileSizeChanged)
    Q_PROPERTY(QString currentSelectedChatPeer READ currentSelectedChatPeer WRITE setCurrentSelectedChatPeer NOTIFY
                   currentSelectedChatPeerChanged)
    Q_PROPERTY(int currentSelectedTabIndex READ currentSelectedTabIndex WRITE setCurrentSelectedTabIndex NOTIFY
                   currentSelectedTabIndexChanged)
    // The own picture as a URL that changes whenever the picture file is rewritten, so that the interface shows the
    // new one rather than the one it cached under the same file name.
    Q_PROPERTY(QString userAvatarUrl READ userAvatarUrl NOTIFY userAvatarChanged)
    // Other networks: subnets and computers beyond the local broadcast (net/othernetworkssettings).
    Q_PROPERTY(QString otherNetworks READ otherNetworks NOTIFY otherNetworksChanged)
    Q_PROPERTY(QStringList otherNetworksProblems READ otherNetworksProblems NOTIFY otherNetworksProblemsChanged)

public:
    static Globals* instance();

    // The node behind the interface, the desktop around it and the peer refreshes, for start-up and tests.
    Core& core() const { return *m_core; }
    DesktopShell& shell() const { return *m_shell; }
    PeerRefresh& peerRefresh() const { return *m_refresh; }
    Preferences* preferences() const { return m_preferences; }
    Random& random() { return m_random; }

    // Property readers.
    QString downloadsFolderShown() const { return m_core->downloadsFolder().shown(); }
    int numberOfSelectedFiles() const { return int(m_outgoing->filesData.selectedCount()); }
    int selectedPeersCount() const { return m_outgoing->selectedPeersCount(); }
    int numberOfPendingValidations() const { return m_store->pendingValidations(); }
    qint64 numberOfSecondsRemainingForCurrentDownload() const { return m_engine->secondsLeft(); }
    qint64 currentDownloadBytesPerSecond() const { return m_engine->bytesPerSecond(); }
    bool currentDownloadStalled() const { return m_engine->stalled(); }
    QString currentDownloadFolderId() const { return m_engine->currentDownloadFolderId(); }
    QString hostId() const;
    QVariantList deliveredFiles() const { return m_core->deliveredFiles().files(); }
    QString currentDownloadingFileId() const { return m_engine->currentDownloadingFileId(); }
    QString userAlias() const override;
    QString userAvatar() const override;
    int totalNumberOfUnReadMessages() const { return m_store->totalUnreadMessages(); }
    qint64 currentDownloadFileSize() const { return m_engine->currentDownloadFileSize(); }
    QString currentSelectedChatPeer() const { return m_shell->conversationPeer(); }
    int currentSelectedTabIndex() const { return m_shell->currentTab(); }
    QString userAvatarUrl() const { return pictureUrl(userAvatar()); }
    QString otherNetworks() const { return m_otherNetworks->otherNetworks(); }
    QStringList otherNetworksProblems() const { return m_otherNetworks->otherNetworksProblems(); }

    // The wizards' finished profile: the name, and the picture when one was picked.
    void storeProfile(const QString& name, const QString& avatarPath) override;
    // Hands discovery the stored list and the addresses of known peers; start-up calls it once discovery exists.
    void startOtherNetworks() { m_otherNetworks->setDiscovery(peerManager); }
    // Files dropped on, or chosen from, a conversation: offered to its peer alone.
    void offerFilesToPeer(const QList<QUrl>& localFiles, const QString& peerId);

    QSettings* settings = nullptr;
    PeerManager* peerManager = nullptr;

Q_SIGNALS:
    // A peer's security state (see peerSecurityState) changed.
    void peerSecurityChanged(QString nodeId);
    void totalNumberOfUnReadMessagesChanged();
    void updateAppIconsSignal();
    void currentDownloadingFileIdChanged();
    void numberOfSecondsRemainingForCurrentDownloadChanged();
    void downloadEstimateChanged();
    void userAliasChanged();
    void downloadsFolderChanged();
    void userAvatarChanged();
    void selectedPeersCountChanged();
    void hostIdChanged();
    void deliveredFilesChanged();
    void selectedFilesCountChanged();
    void pendingValidationsCountChanged();
    void currentDownloadFileSizeChanged();
    void currentSelectedChatPeerChanged();
    void currentSelectedTabIndexChanged();
    void otherNetworksChanged();
    void otherNetworksProblemsChanged();
    void addComputerAnswered(QString address, bool found, QString message);
    // What the conversation tells about the files just offered.
    void filesOfferedToPeer(QString peerId, QStringList fileNames);

public Q_SLOTS:
    void init();
    void runOnStartup(bool run) override { m_preferences->runOnStartup(run); }
    void shutDown() { m_shell->quit(); }
    void sendHighlightedFiles() { m_outgoing->sendHighlightedFiles(); }
    void processNewFileToSend(QUrl localFile) { m_outgoing->processNewFileToSend(localFile); }

    // The timer slots: each subsystem runs its own rounds; these run one at once.
    void downloadUIUpdateTimeout() { m_engine->progressTick(); }
    void refreshPeersTimeout() { m_refresh->refreshTimeout(); }
    void detectWakeUpFromSleepTimeout() { m_refresh->wakeCheck(); }
    void unsentChatMessagesTimeout() { m_chat->resendUnconfirmed(); }
    void unsentUploadsTimeout() { m_outgoing->resendOffers(); }
    void uploadsToBeDeletedTimeout() { m_outgoing->deleteWithdrawnUploads(); }
    void downloadsToBeDeletedTimeout() { m_incoming->deleteWithdrawnDownloads(); }

public:
    Q_INVOKABLE void setUserAlias(QString userAlias);
    Q_INVOKABLE void changeUserInfo(QString newUserAlias, QString newUserAvatar);
    Q_INVOKABLE void launchProfileWizard();
    Q_INVOKABLE void togglePeerSelection(QString peerId) { m_outgoing->togglePeerSelection(peerId); }
    Q_INVOKABLE bool isPeerSelected(QString peerId) const { return m_outgoing->isPeerSelected(peerId); }
    Q_INVOKABLE QString getFilePathForDownloadedFile(QString fileId) const
    {
        return m_core->downloadsFolder().downloadedFilePath(fileId);
    }
    // What a paused or waiting download already has on disk, and whether it waits for its owner to come back
    // (rather than having been paused by the user).
    Q_INVOKABLE qint64 bytesOnDisk(QString fileId) const { return m_engine->bytesOnDisk(fileId); }
    Q_INVOKABLE bool isWaitingForOwner(QString fileId) const { return m_engine->isWaitingForOwner(fileId); }
    // Why the download was paused for its disk (full, read-only), empty when it was not.
    Q_INVOKABLE QString downloadProblem(QString fileId) const { return m_engine->downloadProblem(fileId); }
    // The name an older file of the download's name was kept under, empty when none was in the way.
    Q_INVOKABLE QString keptAsideAs(QString fileId) const { return m_engine->keptAsideAs(fileId); }
    // Asked for by a click: a click that does nothing would leave the user guessing, so a failure is told.
    Q_INVOKABLE void openDownloadedFilesFolder() { UserDialogs::tell(m_core->downloadsFolder().open()); }
    // Asks the user for a folder and tells them when it cannot be used.
    Q_INVOKABLE void chooseDownloadsFolder();
    Q_INVOKABLE void openDownloadedFile(QString fileName)
    {
        UserDialogs::tell(m_core->downloadsFolder().openFile(fileName));
    }
    // Shows a received folder (by its id) in the file manager.
    Q_INVOKABLE void openDownloadedFolder(QString folderId)
    {
        UserDialogs::tell(m_core->downloadsFolder().openReceivedFolder(folderId));
    }
    Q_INVOKABLE void refreshPeers();
    Q_INVOKABLE void setCurrentSelectedChatPeer(QString peerId);
    Q_INVOKABLE void setCurrentSelectedTabIndex(int tabIndex) { m_shell->setCurrentTab(tabIndex); }
    Q_INVOKABLE void clearAllPendingUploads();
    Q_INVOKABLE void clearAllPendingDownloads();
    Q_INVOKABLE void blockUser(QString peerId);
    Q_INVOKABLE void unblockUser(QString peerId) { m_peers->unblockUser(peerId); }
    // False when the message could not be saved, and so was not sent: the composer keeps its text.
    Q_INVOKABLE bool sendChat(QString toNodeID, QString message) { return m_chat->sendChat(toNodeID, message); }
    Q_INVOKABLE void downloadAllPending() { m_engine->downloadAllPending(); }
    Q_INVOKABLE void pauseAllPendingDownloads() { m_engine->pauseAllPendingDownloads(); }
    Q_INVOKABLE void selectFiles();
    // The system's folder dialog; the chosen folder joins the files to send as one entry.
    Q_INVOKABLE void selectFolder();
    // Lets the user pick files and offers them to the peer.
    Q_INVOKABLE void offerChosenFilesToPeer(QString peerId);
    Q_INVOKABLE QString getThumbnailFromFileSuffix(QString fileSuffix) const
    {
        return FileIcons::urlForSuffix(fileSuffix);
    }
    Q_INVOKABLE void queueFileToDownload(QString id) { m_engine->queueFileToDownload(id); }
    Q_INVOKABLE void pauseFileToDownload(QString id) { m_engine->pauseFileToDownload(id); }
    Q_INVOKABLE void deleteFileToDownload(QString id) { m_incoming->deleteFileToDownload(id); }
    Q_INVOKABLE void deleteFileToSend(QString id) { m_outgoing->deleteFileToSend(id); }
    // Whether what is exchanged with a peer is sealed (see SecurityState).
    Q_INVOKABLE Vesk::SecurityState::State peerSecurityState(QString nodeId) const
    {
        return m_security ? m_security->securityState(nodeId) : SecurityState::Plain;
    }
    // The code to compare with the one on the peer's screen, "1234 5678 9012"; empty for a plain peer.
    Q_INVOKABLE QString peerSecurityCode(QString nodeId) const
    {
        return m_security ? m_security->comparisonCode(nodeId) : QString();
    }
    // After a reinstall: the peer refuses this installation's new key until its user accepts it.
    Q_INVOKABLE bool peerRefusesOurKey(QString nodeId) const { return m_security && m_security->refusesOurKey(nodeId); }
    Q_INVOKABLE bool markPeerVerified(QString nodeId) { return m_security && m_security->markVerified(nodeId); }
    // False also when the key could not be saved (the user is told then, and may try again).
    Q_INVOKABLE bool acceptPeerSecurityKey(QString nodeId);
    // Checks and stores the list; a list with a bad row is not stored and its problems are shown instead.
    Q_INVOKABLE bool setOtherNetworks(QString text) { return m_otherNetworks->setOtherNetworks(text); }
    // Tries one address or host name at once; the answer comes as addComputerAnswered.
    Q_INVOKABLE void addComputerByAddress(QString address) { m_otherNetworks->addComputerByAddress(address); }

private:
    Globals();
    ~Globals() override;

    void connectShell();
    void connectCore();
    void countsChanged();
    void setUserAvatar(const QString& imagePath);

    Random m_random;
    Preferences* m_preferences = nullptr;
    std::unique_ptr<UserDialogs> m_dialogs;
    // Before the core, which is given it as its Shell, and so gone after it.
    std::unique_ptr<DesktopShell> m_shell;
    std::unique_ptr<Core> m_core;
    std::unique_ptr<PeerRefresh> m_refresh;
    OtherNetworksSettings* m_otherNetworks = nullptr;
    // The core's parts the forwards reach; m_security is null while sealing is off.
    Store* m_store = nullptr;
    PeerRecords* m_peers = nullptr;
    PeerSecurity* m_security = nullptr;
    Chat* m_chat = nullptr;
    OutgoingOffers* m_outgoing = nullptr;
    DownloadEngine* m_engine = nullptr;
    IncomingOffers* m_incoming = nullptr;
};

} // namespace Vesk
