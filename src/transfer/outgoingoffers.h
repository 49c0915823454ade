#pragma once

#include "net/messagesink.h"
#include "net/peercapabilities.h"
#include "store/filestandarditemmodel.h"
#include "store/tablerecord.h"
#include "transfer/folderlisting.h"
#include "transfer/slicedwork.h"

#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

class QSqlQuery;
class QThread;

namespace Vesk {

class Clock;
class LocalProfile;
class MessageDispatcher;
class PacketServer;
class Shell;
class Store;

// The owner's side of an offer: the files picked and the peers chosen, one upload row per file and peer, the offer
// loop that repeats each offer until the peer confirms it, and withdrawing uploads.
class OutgoingOffers : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(OutgoingOffers)

public:
    // Offers are repeated for this long after they were made, to peers that are "on".
    static constexpr qint64 kOfferWindowMs = 3600000;
    // Offers (and withdrawals) handled per round, oldest first.
    static constexpr int kBatch = 5;
    // How often the offer loop and the withdrawal rounds run.
    static constexpr int kResendIntervalMs = 3000;
    static constexpr int kWithdrawIntervalMs = 10000;
    static constexpr int kFilesTabIndex = 1;
    static constexpr int kUploadsTabIndex = 2;

    // `capabilities` tells what each peer's program can take (sizes of 4 GiB and more, folders).
    OutgoingOffers(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile, Shell& shell,
                   const PeerCapabilities& capabilities, PacketServer& packets, QObject* parent = nullptr);
    // Stops the walks of folders still running.
    ~OutgoingOffers() override;

    void processNewFileToSend(const QUrl& localFile);
    void setThumbnailForFile(const QString& absoluteFilePath);
    void sendHighlightedFiles();
    // Offers these files to one peer at once, as a conversation does; says which file names were offered (the
    // others are told to the user).
    QStringList offerFilesToPeer(const QList<QUrl>& localFiles, const QString& peerId);
    // One round of the offer loop.
    void resendOffers();
    void handleConfirmFileToSend(const Parameters& message);
    void deleteFileToSend(const QString& id);
    void handleRemoveFileToSend(const Parameters& message);
    // Serves the owner's side: "confirmFileToSend", "fileTransferComplete", "removeFileToSend" and
    // "confirmFolderToSend".
    void registerHandlers(MessageDispatcher& dispatcher);
    // One round of the withdrawals the user asked for ("tobedeleted" uploads).
    void deleteWithdrawnUploads();
    // Marks every upload for withdrawal; the rounds above then tell the peers.
    void clearAllPendingUploads();
    // The offer loop and the withdrawal rounds run from start() until stop().
    void start();
    void stop();

    // Folders (outgoingfolders.cpp). A folder picked or dropped is walked on a thread of its own and then becomes
    // one entry of the files to send; sent, it is one offer listing its files to a peer whose program takes
    // folders, and its files as separate offers to any other.
    void addFolder(const QUrl& localFolder);
    bool isWalkingFolders() const { return !m_walks.isEmpty(); }
    // One round of folder offers: every part not yet confirmed of every folder not yet confirmed.
    void resendFolderOffers();
    void handleConfirmFolderToSend(const Parameters& message);

    void togglePeerSelection(const QString& peerId);
    bool isPeerSelected(const QString& peerId) const { return selectedPeers.contains(peerId); }
    int selectedPeersCount() const { return int(selectedPeers.size()); }

    FileStandardItemModel filesData;
    FileSortFilterProxyModel filesProxyData;
    QSet<QString> selectedPeers;

Q_SIGNALS:
    void selectedFilesCountChanged();
    void selectedPeersCountChanged();
    void pendingCountChanged();
    // The receiver has the whole file (it said so): the sender is told, not left to notice a row disappear.
    void delivered(const QString& nodeTo, const QString& fileName);
    // A folder picked for sending has been walked (and is in filesData unless it could not be offered).
    void folderAdded(const QString& fileURL);

private:
    // One upload row per file and peer that can take it, then the uploads list is refreshed; each pair left out
    // adds a line for the user to `refused`.
    void recordOffers(const QList<QFileInfo>& files, const QSet<QString>& peers, QStringList& refused);
    void recordOffer(const QString& nodeId, const QFileInfo& file, qint64 now);
    // Writes one upload row, nothing sent and not yet confirmed; a file of a folder offered as one also names its
    // folder and its path there (both null otherwise). The statement stays prepared in q for the next row.
    static bool writeUploadRow(QSqlQuery& q, const QString& id, const QString& url, const QString& nodeId, qint64 size,
                               qint64 modifiedMs, qint64 now, const QString& folderId = {}, const QString& path = {});
    // Why this peer's program cannot take the file (a file of 4 GiB or more to a peer without large files), or
    // a null string when it can.
    QString whyPeerCannotTake(const QString& nodeId, const QFileInfo& file) const;
    // The peer's name as the user knows it, or words that stand for it when it has none.
    QString peerName(const QString& nodeId) const;
    // Tells the user that the peer has the whole file or folder.
    void tellDelivered(const QString& nodeTo, const QString& name, bool folder);
    // The file changed after it was offered: offered again as what it is now.
    void offerChangedFile(const QString& fileId);

    // Folders: recording their offers, and the folder side of confirmations and withdrawals (true when the id
    // was a folder's or a folder file's and has been dealt with).
    void folderWalked(const QString& urlText, const FolderListing::Folder& folder);
    QStringList recordFolderOffers(const QList<FolderListing::Folder>& folders, const QSet<QString>& peers);
    void recordFolderRows(const QString& key, const QString& nodeId, bool asFolder,
                          const std::shared_ptr<FolderListing::Folder>& offered, qint64 now);
    bool withdrawFolderUpload(const QString& id);
    bool folderFileRemoved(const Parameters& message, const TableRecord& upload);
    QList<QByteArray> folderParts(const QString& folderId);
    void sendFolderParts(const QString& folderId, const QString& nodeTo);
    void forgetFolderUpload(const QString& folderId);
    // Drops what this run keeps of a folder's listing parts (made again from its rows when needed).
    void forgetParts(const QString& folderId);
    void offerChangedFolderFile(const TableRecord& upload, const QFileInfo& file);

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    const LocalProfile& m_profile;
    Shell& m_shell;
    const PeerCapabilities& m_capabilities;
    PacketServer& m_packets;
    QTimer m_resendTimer;
    QTimer m_withdrawTimer;
    // Folders being walked (by URL text) and those walked, until they are sent or taken off the list.
    struct Walk
    {
        std::shared_ptr<std::atomic_bool> cancel;
        QPointer<QThread> thread;
    };
    QHash<QString, Walk> m_walks;
    QHash<QString, FolderListing::Folder> m_folders;
    // Per folder offered: its listing's parts, and those the receiver confirmed.
    QHash<QString, QList<QByteArray>> m_parts;
    QHash<QString, QSet<int>> m_confirmedParts;
    QHash<QString, QSet<int>> m_partsInFlight;
    // Per folder offered, its files that changed since: not served until the receiver confirmed the listing again.
    QHash<QString, QSet<QString>> m_heldFiles;
    // A folder's files may arrive a hundred a second, and the uploads list holds thousands of rows: while they
    // go, the list is brought up to date this often.
    static constexpr int kFolderUploadsRefreshMs = 1000;
    QTimer m_folderUploadsRefresh;
    // A folder's thousands of rows are written, marked and dropped a slice at a time, keyed by the folder's id.
    SlicedWork m_slices;
    bool m_recordingFolders = false;
};

} // namespace Vesk
