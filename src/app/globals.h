#pragma once

#include "store/filestandarditemmodel.h"
#include "store/tablerecord.h"
#include "transfer/chunkcache.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <memory>

class QSettings;
class QSystemTrayIcon;
class VeskQMLViewer;
class VeskSqlQueryModel;
class PeerManager;
class TaskbarIntegration;
class MessageDispatcher;
class NotificationDialog;

namespace Vesk {

using Parameters = QHash<QString, QVariant>;

// The one controller of the application and the only object the QML interface talks to ("globals").
// Its operations live in the folder of the subsystem they belong to: the store glue in app/globals_store.cpp,
// transport glue in app/globals_net.cpp, the handshake and chat in peers/, offers and downloads in transfer/.
// Features declare their operations here as they land.
class Globals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Globals)

    Q_PROPERTY(bool startOnLogin READ startOnLogin NOTIFY startOnLoginChanged)
    Q_PROPERTY(bool automaticallyOpenDownloadedFiles READ automaticallyOpenDownloadedFiles NOTIFY
                   automaticallyOpenDownloadedFilesChanged)
    Q_PROPERTY(int numberOfSelectedFiles READ numberOfSelectedFiles NOTIFY selectedFilesCountChanged)
    Q_PROPERTY(int selectedPeersCount READ selectedPeersCount NOTIFY selectedPeersCountChanged)
    Q_PROPERTY(int numberOfPendingValidations READ numberOfPendingValidations NOTIFY pendingValidationsCountChanged)
    Q_PROPERTY(
        qint64 numberOfSecondsRemainingForCurrentDownload READ numberOfSecondsRemainingForCurrentDownload WRITE
            setNumberOfSecondsRemainingForCurrentDownload NOTIFY numberOfSecondsRemainingForCurrentDownloadChanged)
    Q_PROPERTY(QString hostId READ hostId NOTIFY hostIdChanged)
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

public:
    static Globals* instance();

    static constexpr quint16 kTcpPort = 25001;
    static constexpr qint64 kBufferFileSize = 1000000;
    static constexpr const char* kAutoOpenKey = "automaticallyOpenDownloadedFiles";

    // Property readers.
    bool startOnLogin() const;
    bool automaticallyOpenDownloadedFiles() const;
    int numberOfSelectedFiles() const;
    int selectedPeersCount() const { return int(selectedPeers.size()); }
    int numberOfPendingValidations() const;
    qint64 numberOfSecondsRemainingForCurrentDownload() const { return m_secondsRemaining; }
    void setNumberOfSecondsRemainingForCurrentDownload(qint64 seconds);
    QString hostId() const { return m_hostId; }
    QString currentDownloadingFileId() const { return m_currentDownloadingFileId; }
    void setCurrentDownloadingFileId(const QString& id);
    QString appName() const { return m_appName; }
    void setAppName(const QString& name);
    QString userAlias() const;
    QString userAvatar();
    void setUserAvatar(const QString& imagePath);
    int totalNumberOfUnReadMessages() const;
    QString tempAvatarPath() const;
    void setTempAvatarPath(const QString& path);
    QString currentSelectedChatPeer() const { return m_currentSelectedChatPeer; }
    int currentSelectedTabIndex() const { return m_currentSelectedTabIndex; }

    // Typed reads over the store.
    TableRecord getPeerRecord(const QString& id) const;
    TableRecord getDownloadRecord(const QString& id) const;
    TableRecord getUploadRecord(const QString& id) const;
    QHostAddress getNodeAddress(const QString& nodeId) const;

    // Popups (app/globals_shell.cpp). The text is shown as rich text: callers escape every part a peer supplied
    // (Vesk::plainTextToHtml) and keep only the program's own markup.
    void showChatNotification(const QString& nodeId, const QString& text);
    void showDownloadNotification(const QString& nodeId, const QString& text);
    NotificationDialog* chatPopupFor(const QString& nodeId);
    NotificationDialog* downloadPopupFor(const QString& nodeId);
    // The open popup of each kind per node; a popup removes its own entry when it is destroyed.
    QHash<QString, QPointer<NotificationDialog>> chatPopups;
    QHash<QString, QPointer<NotificationDialog>> downloadPopups;

    // Sending: the one way any feature puts a message on the wire.
    void sendParametersToAddress(const QHostAddress& address, const Parameters& parameters);
    void sendToNode(const QString& nodeId, const Parameters& parameters);

    // Peer handshake, avatars and chat (peers/).
    void requestAvatar(const QString& nodeId);
    // After the user changed name or picture: the own row follows (its picture arrives over the loopback).
    void refreshOwnPeerRow();
    void handleAddMeRequest(const Parameters& message);
    void handleAddMeRequestConfirmed(const Parameters& message);
    void handleAvatarRequested(const Parameters& message);
    void handleAvatarObtained(const Parameters& message);
    void handleNewChatMessage(const Parameters& message);
    void handleConfirmChat(const Parameters& message);

    // Offers, uploads and downloads (transfer/).
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

    // Members the Parts name. The controller owns all of them for the life of the process.
    VeskSqlQueryModel* nodeData = nullptr;
    VeskSqlQueryModel* nodesProxyData = nullptr;
    VeskSqlQueryModel* uploadsData = nullptr;
    VeskSqlQueryModel* pausedDownloads = nullptr;
    VeskSqlQueryModel* queuedDownloads = nullptr;
    VeskSqlQueryModel* completedDownloads = nullptr;
    VeskSqlQueryModel* chatsModel = nullptr;
    FileStandardItemModel filesData;
    FileSortFilterProxyModel filesProxyData;
    QString localAddress;
    QSet<QString> selectedPeers;
    QSettings* settings = nullptr;
    QTcpServer tcpServer;
    PeerManager* peerManager = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    VeskQMLViewer* mainWindow = nullptr;
    TaskbarIntegration* taskbar = nullptr;

    // Download engine state.
    qint64 bufferFileSize = kBufferFileSize;
    int downloadStallCount = 0;
    QString lastDownloadingFileId;
    qint64 lastDownloadFileSize = 0;
    // The owner's chunks of the files it serves, and the timer that frees the idle ones.
    ChunkCache bufferFilesToSend;
    QTimer freeBufferFilesTimer;

    QTimer downloadUITimer;
    QTimer unsentChatTimer;
    QTimer unsentUploadsTimer;
    QTimer refreshPeersTimer;
    QTimer uploadsToDeleteTimer;
    QTimer downloadsToDeleteTimer;
    QTimer wakeUpTimer;

Q_SIGNALS:
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
    void userAvatarChanged();
    void selectedPeersCountChanged();
    void hostIdChanged();
    void automaticallyOpenDownloadedFilesChanged();
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
    void runOnStartup(bool run);
    void shutDown();
    void processNewChatMessage(QString message, QString nodeFrom, QStringList nodeTos, QString id, qint64 timeSent);
    void sendHighlightedFiles();
    void processNewFileToBeReceived(QString fileId, QString fileName, QString nodeFrom, qint64 fileSize);
    void processNewFileToSend(QUrl localFile);
    void updateAppIcons();

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
    Q_INVOKABLE void toggleAutomaticallyOpenDownloadedFiles();
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
    Q_INVOKABLE void openDownloadedFilesFolder();
    Q_INVOKABLE void openDownloadedFile(QString fileName);
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
    Q_INVOKABLE void pauseAllPendingDownloads();
    Q_INVOKABLE void selectFiles();
    Q_INVOKABLE QString getThumbnailFromFileSuffix(QString fileSuffix) const;
    Q_INVOKABLE void queueFileToDownload(QString id);
    Q_INVOKABLE void pauseFileToDownload(QString id);
    Q_INVOKABLE void deleteFileToDownload(QString id);
    Q_INVOKABLE void deleteFileToSend(QString id);

private:
    Globals();
    ~Globals() override;

    void initDatabase();
    void setPeerQueries();
    QString computeHostId();
    void registerMessageHandlers();
    // Download engine helpers (transfer/downloadengine.cpp).
    QString downloadPathFor(const TableRecord& download) const;
    void startDownloadFile(const QString& id, const TableRecord& download);

    QString m_appName;
    QString m_hostId;
    QString m_currentDownloadingFileId;
    qint64 m_secondsRemaining = 0;
    QString m_currentSelectedChatPeer;
    int m_currentSelectedTabIndex = 0;
    QString m_tempAvatarPath;
    qint64 m_lastWakeCheck = 0;
    std::unique_ptr<MessageDispatcher> m_dispatcher;
};

} // namespace Vesk
