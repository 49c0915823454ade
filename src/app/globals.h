#pragma once

#include "app/preferences.h"
#include "app/profileform.h"
#include "common/random.h"
#include "common/shell.h"
#include "store/pictureurl.h"
#include "store/securitystate.h"
#include "store/tablerecord.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <memory>

class QSettings;
class QSystemTrayIcon;
class QWidget;

namespace Vesk {

class Core;
class DesktopNotices;
class NotificationDialog;
class TaskbarIntegration;
class VeskQMLViewer;

class Chat;
class DownloadEngine;
class IncomingOffers;
class OtherNetworksSettings;
class OutgoingOffers;
class PeerManager;
class PeerRecords;
class PeerRefresh;
class PeerSecurity;
class Store;

// The one controller of the application and the only object the QML interface talks to ("globals"). It is a
// front: the node itself is the Core it owns (the store, the transport and the subsystems: peer records and the
// handshake, chat, outgoing and incoming offers, the download engine, packet serving), and its methods forward to
// it. What it keeps itself is what belongs to the application: the settings, the timers, the windows, the popups
// and the tray, which the subsystems reach through the Shell interface it implements. Each subsystem runs its own
// timers; the controller starts them in init() and keeps the timer slots of its interface as forwards.
class Globals : public QObject, public Shell, public ProfileEditor
{
    Q_OBJECT
    Q_DISABLE_COPY(Globals)

    // The user's choices kept in the settings: starting at login, notices, opening and resuming downloads.
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
    Q_PROPERTY(QString currentDownloadingFileId READ currentDownloadingFileId WRITE setCurrentDownloadingFileId NOTIFY
                   currentDownloadingFileIdChanged)
    Q_PROPERTY(QString appName READ appName WRITE setAppName NOTIFY appNameChanged)
    Q_PROPERTY(QString userAlias READ userAlias WRITE setUserAlias NOTIFY userAliasChanged)
    Q_PROPERTY(QString userAvatar READ userAvatar WRITE setUserAvatar NOTIFY userAvatarChanged)
    Q_PROPERTY(
        int totalNumberOfUnReadMessages READ totalNumberOfUnReadMessages NOTIFY totalNumberOfUnReadMessagesChanged)
    Q_PROPERTY(qint64 currentDownloadFileSize READ currentDownloadFileSize NOTIFY currentDownloadFileSizeChanged)
    Q_PROPERTY(QString tempAvatarPath READ tempAvatarPath WRITE setTempAvatarPath NOTIFY tempAvatarPathChanged)
    Q_PROPERTY(QString currentSelectedChatPeer READ currentSelectedChatPeer WRITE setCurrentSelectedChatPeer NOTIFY
                   currentSelectedChatPeerChanged)
    Q_PROPERTY(int currentSelectedTabIndex READ currentSelectedTabIndex WRITE setCurrentSelectedTabIndex NOTIFY
                   currentSelectedTabIndexChanged)
    // Typed values for the interface. The own picture as a URL that changes whenever the picture file is rewritten,
    // so that the interface shows the new one rather than the one it cached under the same file name.
    Q_PROPERTY(QString userAvatarUrl READ userAvatarUrl NOTIFY userAvatarChanged)

public:
    static Globals* instance();

    // The node behind the interface, for start-up and tests.
    Core& core() const { return *m_core; }
    Preferences* preferences() const { return m_preferences; }

    // Property readers.
    int numberOfSelectedFiles() const;
    int selectedPeersCount() const;
    int numberOfPendingValidations() const;
    qint64 numberOfSecondsRemainingForCurrentDownload() const;
    qint64 currentDownloadBytesPerSecond() const;
    bool currentDownloadStalled() const;
    QString currentDownloadFolderId() const;
    QString hostId() const;
    QString currentDownloadingFileId() const;
    void setCurrentDownloadingFileId(const QString& id);
    QString appName() const { return m_appName; }
    void setAppName(const QString& name);
    QString userAlias() const override;
    QString userAvatar() const override;
    void setUserAvatar(const QString& imagePath);
    // The wizards' finished profile: the name, and the picture when one was picked.
    void storeProfile(const QString& name, const QString& avatarPath) override;
    int totalNumberOfUnReadMessages() const;
    QString tempAvatarPath() const;
    void setTempAvatarPath(const QString& path);
    QString currentSelectedChatPeer() const { return m_currentSelectedChatPeer; }
    int currentSelectedTabIndex() const { return m_currentSelectedTabIndex; }
    QString userAvatarUrl() const { return pictureUrl(userAvatar()); }
    qint64 currentDownloadFileSize() const;

    // Typed reads over the store.
    TableRecord getPeerRecord(const QString& id) const;
    TableRecord getDownloadRecord(const QString& id) const;
    TableRecord getUploadRecord(const QString& id) const;

    // The desktop shell the subsystems ask for (app/globals_shell.cpp). Popup texts are rich text: callers escape
    // every part a peer supplied (Vesk::plainTextToHtml) and keep only the program's own markup.
    void showChatNotification(const QString& nodeId, const QString& text) override;
    void showDownloadNotification(const QString& nodeId, const QString& text) override;
    void showOfferNotification(const QString& nodeId, qint64 fileSize, const QString& text) override;
    void showNotice(const QString& title, const QString& text) override;
    bool isConversationOpen(const QString& nodeId) const override;
    void showTab(int tabIndex) override;
    void showProgress(qint64 have, qint64 wanted) override;
    void hideProgress() override;
    bool opensDownloadsAutomatically() const override { return m_preferences->automaticallyOpenDownloadedFiles(); }
    bool openFile(const QString& path) override;
    NotificationDialog* chatPopupFor(const QString& nodeId);
    NotificationDialog* downloadPopupFor(const QString& nodeId);
    // The desktop's notification service, tried before the popups.
    DesktopNotices* desktopNotices() const { return m_desktopNotices; }
    // The open popup of each kind per node; a popup removes its own entry when it is destroyed.
    QHash<QString, QPointer<NotificationDialog>> chatPopups;
    QHash<QString, QPointer<NotificationDialog>> downloadPopups;

    PeerRefresh& peerRefresh() const { return *m_refresh; }
    Random& random() { return m_random; }

    QSettings* settings = nullptr;
    PeerManager* peerManager = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    VeskQMLViewer* mainWindow = nullptr;
    TaskbarIntegration* taskbar = nullptr;
    // The window the badge, the title and the popups' buttons act on, with its taskbar; null forgets it. A window
    // that is destroyed is forgotten by itself.
    void setMainWindow(VeskQMLViewer* window);

Q_SIGNALS:
    // A peer's security state (see peerSecurityState) changed.
    void peerSecurityChanged(QString nodeId);
    void appNameChanged();
    void totalNumberOfUnReadMessagesChanged();
    void readyToProcessNextFileQueueItem();
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
    void tempAvatarPathChanged();
    void currentSelectedChatPeerChanged();
    void currentSelectedTabIndexChanged();

public Q_SLOTS:
    void init();
    void processNextFileQueueItem();
    void runOnStartup(bool run) override;
    void shutDown();
    void sendHighlightedFiles();
    void processNewFileToSend(QUrl localFile);
    void updateAppIcons();

private Q_SLOTS:
    void downloadUIUpdateTimeout();

public Q_SLOTS:
    void refreshPeersTimeout();
    void detectWakeUpFromSleepTimeout();
    void unsentChatMessagesTimeout();
    void unsentUploadsTimeout();
    void uploadsToBeDeletedTimeout();
    void downloadsToBeDeletedTimeout();

public:
    Q_INVOKABLE void setUserAlias(QString userAlias);
    Q_INVOKABLE void chooseAvatar();
    Q_INVOKABLE void togglePeerSelection(QString peerId);
    Q_INVOKABLE bool isPeerSelected(QString peerId) const;
    Q_INVOKABLE QString getAvatarForNode(QString nodeId) const;
    Q_INVOKABLE QString getAliasForNode(QString nodeId) const;
    Q_INVOKABLE QString getIpAddressForNode(QString nodeId) const;
    Q_INVOKABLE QString getStatusForNode(QString nodeId) const;
    Q_INVOKABLE QString getBlockedStatusForNode(QString nodeId) const;
    Q_INVOKABLE QString getFilePathForDownloadedFile(QString fileId) const;
    // What a paused or waiting download already has on disk, and whether it waits for its owner to come back
    // (rather than having been paused by the user).
    Q_INVOKABLE qint64 bytesOnDisk(QString fileId) const;
    Q_INVOKABLE bool isWaitingForOwner(QString fileId) const;
    Q_INVOKABLE void openDownloadedFilesFolder();
    QString downloadsFolderShown() const;
    // Asks the user for a folder and tells them when it cannot be used.
    Q_INVOKABLE void chooseDownloadsFolder();
    Q_INVOKABLE void openDownloadedFile(QString fileName);
    // Shows a received folder (by its id) in the file manager.
    Q_INVOKABLE void openDownloadedFolder(QString folderId);
    Q_INVOKABLE void refreshPeers();
    Q_INVOKABLE void setCurrentSelectedChatPeer(QString peerId);
    Q_INVOKABLE void setCurrentSelectedTabIndex(int tabIndex);
    Q_INVOKABLE void clearAllPendingUploads();
    Q_INVOKABLE void clearAllPendingDownloads();
    Q_INVOKABLE void blockUser(QString peerId);
    Q_INVOKABLE void messageBox(QString title, QString description);
    Q_INVOKABLE void sendChat(QString toNodeID, QString message);
    Q_INVOKABLE void changeUserInfo(QString newUserAlias, QString newUserAvatar);
    Q_INVOKABLE void unblockUser(QString peerId);
    Q_INVOKABLE void launchProfileWizard();
    Q_INVOKABLE void downloadAllPending();
    // Queues the offers of one peer that wait for the user.
    void downloadPendingFrom(const QString& nodeId);
    Q_INVOKABLE void pauseAllPendingDownloads();
    Q_INVOKABLE void selectFiles();
    // The system's folder dialog; the chosen folder joins the files to send as one entry.
    Q_INVOKABLE void selectFolder();
    Q_INVOKABLE QString getThumbnailFromFileSuffix(QString fileSuffix) const;
    Q_INVOKABLE void queueFileToDownload(QString id);
    Q_INVOKABLE void pauseFileToDownload(QString id);
    Q_INVOKABLE void deleteFileToDownload(QString id);
    Q_INVOKABLE void deleteFileToSend(QString id);
    // Whether what is exchanged with a peer is sealed (see SecurityState).
    Q_INVOKABLE Vesk::SecurityState::State peerSecurityState(QString nodeId) const;
    // The code to compare with the one on the peer's screen, "1234 5678 9012"; empty for a plain peer.
    Q_INVOKABLE QString peerSecurityCode(QString nodeId) const;
    Q_INVOKABLE bool markPeerVerified(QString nodeId);
    Q_INVOKABLE bool acceptPeerSecurityKey(QString nodeId);

private:
    Globals();
    ~Globals() override;

    void connectCore();
    QVariantList deliveredFiles() const;
    void importAccountPicture();
    void countsChanged();
    NotificationDialog* popupFor(QHash<QString, QPointer<NotificationDialog>>& popups, const QString& nodeId,
                                 bool download);
    void bringMainWindowForward();
    void connectDesktopNotices();

    QString m_appName;
    QString m_currentSelectedChatPeer;
    int m_currentSelectedTabIndex = 0;
    QString m_tempAvatarPath;
    DesktopNotices* m_desktopNotices = nullptr;

    Random m_random;
    Preferences* m_preferences = nullptr;
    std::unique_ptr<Core> m_core;
    std::unique_ptr<PeerRefresh> m_refresh;
    // The core's parts the forwards reach; m_security is null while sealing is off.
    Store* m_store = nullptr;
    PeerRecords* m_peers = nullptr;
    PeerSecurity* m_security = nullptr;
    Chat* m_chat = nullptr;
    OutgoingOffers* m_outgoing = nullptr;
    DownloadEngine* m_engine = nullptr;
    IncomingOffers* m_incoming = nullptr;

    // Other networks: subnets and computers beyond the local broadcast, and adding a computer by its address
    // (net/othernetworkssettings).
    Q_PROPERTY(QString otherNetworks READ otherNetworks NOTIFY otherNetworksChanged)
    Q_PROPERTY(QStringList otherNetworksProblems READ otherNetworksProblems NOTIFY otherNetworksProblemsChanged)

public:
    QString otherNetworks() const;
    QStringList otherNetworksProblems() const;
    // Hands discovery the stored list and the addresses of known peers; start-up calls it once discovery exists.
    void startOtherNetworks();
    // Checks and stores the list; a list with a bad row is not stored and its problems are shown instead.
    Q_INVOKABLE bool setOtherNetworks(QString text);
    // Tries one address or host name at once; the answer comes as addComputerAnswered.
    Q_INVOKABLE void addComputerByAddress(QString address);

Q_SIGNALS:
    void otherNetworksChanged();
    void otherNetworksProblemsChanged();
    void addComputerAnswered(QString address, bool found, QString message);

private:
    OtherNetworksSettings* m_otherNetworks = nullptr;

    // Files offered from a conversation, to its peer alone (app/globals_features.cpp).
public:
    // Lets the user pick files and offers them to the peer.
    Q_INVOKABLE void offerChosenFilesToPeer(QString peerId);
    void offerFilesToPeer(const QList<QUrl>& localFiles, const QString& peerId);

Q_SIGNALS:
    // What the conversation tells about the files just offered.
    void filesOfferedToPeer(QString peerId, QStringList fileNames);
};

} // namespace Vesk
