#pragma once

#include "net/messagesink.h"
#include "net/peercapabilities.h"
#include "store/filestandarditemmodel.h"

#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>

namespace Vesk {

class Clock;
class LocalProfile;
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
    // One round of the withdrawals the user asked for ("tobedeleted" uploads).
    void deleteWithdrawnUploads();
    // Marks every upload for withdrawal; the rounds above then tell the peers.
    void clearAllPendingUploads();
    // The offer loop and the withdrawal rounds run from start() until stop().
    void start();
    void stop();

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

private:
    // One upload row per file and peer that can take it, then the uploads list is refreshed; each pair left out
    // adds a line for the user to `refused`.
    void recordOffers(const QList<QFileInfo>& files, const QSet<QString>& peers, QStringList& refused);
    void recordOffer(const QString& nodeId, const QFileInfo& file, qint64 now);
    // Why this peer's program cannot take the file (a file of 4 GiB or more to a peer without large files), or
    // a null string when it can.
    QString whyPeerCannotTake(const QString& nodeId, const QFileInfo& file) const;
    // The file changed after it was offered: offered again as what it is now.
    void offerChangedFile(const QString& fileId);

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    const LocalProfile& m_profile;
    Shell& m_shell;
    const PeerCapabilities& m_capabilities;
    PacketServer& m_packets;
    QTimer m_resendTimer;
    QTimer m_withdrawTimer;
};

} // namespace Vesk
