#pragma once

#include "common/bufferpool.h"
#include "common/clock.h"
#include "common/random.h"
#include "net/messageserver.h"
#include "net/peercapabilities.h"
#include "net/sendqueue.h"
#include "app/desktopshell.h"
#include "app/profileform.h"
#include "peers/localprofile.h"
#include "store/pictureurl.h"
#include "store/tablerecord.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <memory>

class QSettings;

namespace Vesk {

class AddressProbe;
class CapabilityServer;

class Chat;
class DownloadEngine;
class FileSortFilterProxyModel;
class FileStandardItemModel;
class IncomingOffers;
class MessageDispatcher;
class NodeIdentity;
class OutgoingOffers;
class PacketServer;
class PeerManager;
class PeerRecords;
class PeerRefresh;
class PeerSecurity;
class TcpCapabilityProbe;
class Store;
class TransferLists;
class VeskSqlQueryModel;

// The one controller of the application and the only object the QML interface talks to ("globals"). It is a
// front: the work lives in the subsystem objects it owns (peer records and the handshake, chat, outgoing and
// incoming offers, the download engine, packet serving), each in its own folder, and its methods forward to
// them. The windows, the popups and the tray are the desktop shell's (app/desktopshell), which the subsystems are
// given as their Shell. Each subsystem runs its own timers; the controller starts them in init() and keeps the
// timer slots of its interface as forwards.
class Globals : public QObject, public LocalProfile, public ProfileEditor, public PeerCapabilities
{
    Q_OBJECT
    Q_DISABLE_COPY(Globals)

    Q_PROPERTY(bool startOnLogin READ startOnLogin NOTIFY startOnLoginChanged)
    Q_PROPERTY(bool showNotices READ showNotices NOTIFY showNoticesChanged)
    // Whether closing the window asks whether to quit (no answer remembered).
    Q_PROPERTY(bool askBeforeClosing READ askBeforeClosing NOTIFY askBeforeClosingChanged)
    Q_PROPERTY(bool automaticallyOpenDownloadedFiles READ automaticallyOpenDownloadedFiles NOTIFY
                   automaticallyOpenDownloadedFilesChanged)
    // Whether downloads queued when the program stopped are queued again at the next start (on by default).
    Q_PROPERTY(bool resumeInterruptedDownloads READ resumeInterruptedDownloads NOTIFY resumeInterruptedDownloadsChanged)
    // Where received files go, as the user reads a path.
    Q_PROPERTY(QString downloadsFolder READ downloadsFolderShown NOTIFY downloadsFolderChanged)
    Q_PROPERTY(int numberOfSelectedFiles READ numberOfSelectedFiles NOTIFY selectedFilesCountChanged)
    Q_PROPERTY(int selectedPeersCount READ selectedPeersCount NOTIFY selectedPeersCountChanged)
    Q_PROPERTY(int numberOfPendingValidations READ numberOfPendingValidations NOTIFY pendingValidationsCountChanged)
    Q_PROPERTY(
        qint64 numberOfSecondsRemainingForCurrentDownload READ numberOfSecondsRemainingForCurrentDownload WRITE
            setNumberOfSecondsRemainingForCurrentDownload NOTIFY numberOfSecondsRemainingForCurrentDownloadChanged)
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

    static constexpr const char* kResumeKey = "resumeInterruptedDownloads";
    bool resumeInterruptedDownloads() const;

    // Property readers.
    bool startOnLogin() const;
    // Whether peers' messages and offers pop up, and whether finished downloads open by themselves.
    bool showNotices() const { return m_shell->showNotices(); }
    Q_INVOKABLE void toggleShowNotices() { m_shell->toggleShowNotices(); }
    bool askBeforeClosing() const { return m_shell->asksBeforeClosing(); }
    Q_INVOKABLE void toggleAskBeforeClosing() { m_shell->toggleAsksBeforeClosing(); }
    bool automaticallyOpenDownloadedFiles() const { return m_shell->opensDownloadsAutomatically(); }
    int numberOfSelectedFiles() const;
    int selectedPeersCount() const;
    int numberOfPendingValidations() const;
    qint64 numberOfSecondsRemainingForCurrentDownload() const { return m_secondsRemaining; }
    void setNumberOfSecondsRemainingForCurrentDownload(qint64 seconds);
    QString hostId() const override;
    // What a peer's program can take; nothing beyond the plain protocol while this program acts as a plain one.
    quint32 capabilitiesOf(const QString& nodeId) const override;
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
    QString currentSelectedChatPeer() const { return m_shell->conversationPeer(); }
    int currentSelectedTabIndex() const { return m_shell->currentTab(); }
    QString userAvatarUrl() const { return pictureUrl(userAvatar()); }
    QString osName() const override;

    // Typed reads over the store.
    TableRecord getPeerRecord(const QString& id) const;
    TableRecord getDownloadRecord(const QString& id) const;
    TableRecord getUploadRecord(const QString& id) const;
    QHostAddress getNodeAddress(const QString& nodeId) const;

    // Sending: the one way any feature puts a message on the wire.
    void sendParametersToAddress(const QHostAddress& address, const Parameters& parameters);

    // Peer handshake, avatars and chat.
    void requestAvatar(const QString& nodeId);
    void handleAddMeRequest(const Parameters& message);
    void handleAddMeRequestConfirmed(const Parameters& message);
    void handleAvatarRequested(const Parameters& message);
    void handleAvatarObtained(const Parameters& message);
    void handleNewChatMessage(const Parameters& message);
    void handleConfirmChat(const Parameters& message);

    // Offers, uploads and downloads.
    void handleNewFileToDownload(const Parameters& message);
    void handleConfirmFileToSend(const Parameters& message);
    void handleRemoveFileToSend(const Parameters& message);
    void handleRemoveFileToGet(const Parameters& message);
    void handleSendDataPacket(const Parameters& message);
    void handleReceiveDataPacket(const Parameters& message);
    void setThumbnailForFile(const QString& absoluteFilePath);
    QString nextQueuedDownloadId() const;
    void downloadFile(const QString& id);
    QByteArray readFilePacket(const QString& fileId, qint64 fileSeek, qint64 size);

    // The subsystems, for start-up and tests.
    PeerRecords& peerRecords() const { return *m_peers; }
    Chat& chat() const { return *m_chat; }
    OutgoingOffers& outgoingOffers() const { return *m_outgoing; }
    IncomingOffers& incomingOffers() const { return *m_incoming; }
    DownloadEngine& downloadEngine() const { return *m_engine; }
    DesktopShell& shell() const { return *m_shell; }
    PeerRefresh& peerRefresh() const { return *m_refresh; }
    MessageServer& messageServer() { return m_server; }
    Random& random() { return m_random; }
    // Every time the controller and its subsystems read comes from this clock (tests move it).
    void setClock(const Clock& clock) { m_clock.setTarget(clock); }

    // The models the interface shows, published under these names.
    VeskSqlQueryModel* nodeData = nullptr;
    VeskSqlQueryModel* nodesProxyData = nullptr;
    VeskSqlQueryModel* uploadsData = nullptr;
    VeskSqlQueryModel* pausedDownloads = nullptr;
    VeskSqlQueryModel* queuedDownloads = nullptr;
    VeskSqlQueryModel* completedDownloads = nullptr;
    VeskSqlQueryModel* chatsModel = nullptr;
    FileStandardItemModel& filesData() const;
    FileSortFilterProxyModel& filesProxyData() const;
    // The transfer lists with a folder as one entry, published as "transferLists".
    TransferLists* transferLists = nullptr;

    QString localAddress;
    QSettings* settings = nullptr;
    PeerManager* peerManager = nullptr;

Q_SIGNALS:
    // A peer's security state (see peerSecurityState) changed.
    void peerSecurityChanged(QString nodeId);
    void appNameChanged();
    void totalNumberOfUnReadMessagesChanged();
    void readyToProcessNextFileQueueItem();
    void readytoSendNextFileItem();
    void readyToDownloadNextFile();
    void updateAppIconsSignal();
    void startOnLoginChanged();
    void currentDownloadingFileIdChanged();
    void numberOfSecondsRemainingForCurrentDownloadChanged();
    void userAliasChanged();
    void showNoticesChanged();
    void askBeforeClosingChanged();
    void downloadsFolderChanged();
    void userAvatarChanged();
    void selectedPeersCountChanged();
    void hostIdChanged();
    void deliveredFilesChanged();
    void automaticallyOpenDownloadedFilesChanged();
    void resumeInterruptedDownloadsChanged();
    void selectedFilesCountChanged();
    void pendingValidationsCountChanged();
    void newMessage(QHash<QString, QVariant> message);
    void currentDownloadFileSizeChanged();
    void tempAvatarPathChanged();
    void currentSelectedChatPeerChanged();
    void currentSelectedTabIndexChanged();

public Q_SLOTS:
    void init();
    void processNextFileQueueItem();
    void rebroadCastMyInfo() {}
    void processMessage(QHash<QString, QVariant> message);
    void addNodeFromUDP(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias);
    void addNodeFromAddMeRequest(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias);
    void runOnStartup(bool run) override;
    void shutDown();
    void processNewChatMessage(QString message, QString nodeFrom, QStringList nodeTos, QString id, qint64 timeSent);
    void sendHighlightedFiles();
    void processNewFileToBeReceived(QString fileId, QString fileName, QString nodeFrom, qint64 fileSize);
    void processNewFileToSend(QUrl localFile);

private Q_SLOTS:
    void newTCPConnection();
    void freeBufferFilesToSend();
    void downloadNextFile();
    void downloadUIUpdateTimeout();
    qint64 currentDownloadFileSize();

public Q_SLOTS:
    void refreshPeersTimeout();
    void detectWakeUpFromSleepTimeout();
    void unsentChatMessagesTimeout();
    void unsentUploadsTimeout();
    void uploadsToBeDeletedTimeout();
    void downloadsToBeDeletedTimeout();

public:
    Q_INVOKABLE void toggleAutomaticallyOpenDownloadedFiles() { m_shell->toggleOpensDownloadsAutomatically(); }
    Q_INVOKABLE void toggleResumeInterruptedDownloads();
    Q_INVOKABLE void setUserAlias(QString userAlias);
    Q_INVOKABLE void chooseAvatar();
    Q_INVOKABLE void togglePeerSelection(QString peerId);
    Q_INVOKABLE bool isPeerSelected(QString peerId) const;
    Q_INVOKABLE void toggleStartOnLogin();
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
    // The downloads folder (app/globals_folder.cpp): the chosen one, ending with a separator, else the default.
    QString downloadsFolder() const;
    QString downloadsFolderShown() const;
    // A received file's path: in the current folder, else in the earlier folder that still has it.
    QString downloadedFilePath(const QString& name) const;
    // Makes the folder the downloads folder when it can be created and written to; else says why not and keeps
    // the old one.
    QString setDownloadsFolder(const QString& folder);
    // Asks the user for a folder and tells them when it cannot be used.
    Q_INVOKABLE void chooseDownloadsFolder();
    Q_INVOKABLE void openDownloadedFile(QString fileName);
    // Shows a received folder (by its id) in the file manager.
    Q_INVOKABLE void openDownloadedFolder(QString folderId);
    Q_INVOKABLE void refreshPeers();
    Q_INVOKABLE void setCurrentSelectedChatPeer(QString peerId);
    Q_INVOKABLE void setCurrentSelectedTabIndex(int tabIndex) { m_shell->setCurrentTab(tabIndex); }
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
    // Whether what is exchanged with a peer is sealed: "sealed", "verified" (the user compared the codes), "plain"
    // (its program cannot seal) or "keychanged" (it came with another security key; nothing is taken from it
    // until the user accepts the new key).
    Q_INVOKABLE QString peerSecurityState(QString nodeId) const;
    // The code to compare with the one on the peer's screen, "1234 5678 9012"; empty for a plain peer.
    Q_INVOKABLE QString peerSecurityCode(QString nodeId) const;
    Q_INVOKABLE bool markPeerVerified(QString nodeId);
    Q_INVOKABLE bool acceptPeerSecurityKey(QString nodeId);

private:
    Globals();
    void startSecurity(const QString& dataFolder);
    // Without sealing: logs a received message that carries fields a program from before sealing does not know.
    void noteExtensionFields(const Parameters& message);
    // Hands a received message, checked, to the subsystem that handles its action.
    void dispatchMessage(Parameters& message);
    ~Globals() override;

    void initDatabase();
    void connectSubsystems();
    QVariantList deliveredFiles() const { return m_deliveredFiles; }
    // Another computer took over our old id; this node goes on under its new one.
    void nodeIdChanged(const QString& oldId);
    void importAccountPicture();
    void registerMessageHandlers();
    void countsChanged();
    void connectShell();

    QString m_appName;
    QVariantList m_deliveredFiles;
    // Queued when the program last stopped; queued again by init().
    QStringList m_interruptedDownloads;
    qint64 m_secondsRemaining = 0;
    QString m_tempAvatarPath;

    ClockProxy m_clock;
    Random m_random;
    BufferPool m_frames; // message frames, sent and received
    SendQueue m_sendQueue{m_frames};
    MessageServer m_server{m_frames};
    std::unique_ptr<NodeIdentity> m_identity;
    std::unique_ptr<PeerRefresh> m_refresh;
    std::unique_ptr<MessageDispatcher> m_dispatcher;
    std::unique_ptr<Store> m_store;
    // Before the subsystems, which are given it as their Shell, and so gone after them.
    std::unique_ptr<DesktopShell> m_shell;
    std::unique_ptr<PeerRecords> m_peers;
    // Sealing: the other side of the capability probe, and our probe of the others (app/globals_security.cpp).
    std::unique_ptr<CapabilityServer> m_capabilityServer;
    std::unique_ptr<TcpCapabilityProbe> m_capabilityProbe;
    std::unique_ptr<PeerSecurity> m_security;
    std::unique_ptr<Chat> m_chat;
    std::unique_ptr<PacketServer> m_packets;
    std::unique_ptr<OutgoingOffers> m_outgoing;
    std::unique_ptr<DownloadEngine> m_engine;
    std::unique_ptr<IncomingOffers> m_incoming;

    // Other networks: subnets and computers beyond the local broadcast, and adding a computer by its address
    // (app/globals_othernetworks.cpp).
    Q_PROPERTY(QString otherNetworks READ otherNetworks NOTIFY otherNetworksChanged)
    Q_PROPERTY(QStringList otherNetworksProblems READ otherNetworksProblems NOTIFY otherNetworksProblemsChanged)

public:
    static constexpr const char* kOtherNetworksKey = "otherNetworks";
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
    QStringList m_rejectedOtherNetworks; // the problems of a list that was not stored
    AddressProbe* m_addressProbe = nullptr;

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
