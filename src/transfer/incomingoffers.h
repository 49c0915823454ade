#pragma once

#include "net/messagesink.h"

#include <QObject>
#include <QString>
#include <QTimer>

namespace Vesk {

class Clock;
class DownloadEngine;
class MessageDispatcher;
class Shell;
class Store;

// The receiver's side of an offer: storing it as a pending download, confirming it, and withdrawing downloads.
class IncomingOffers : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(IncomingOffers)

public:
    // Offer ids are 32 hex digits; anything much longer is not an id any peer makes.
    static constexpr qsizetype kMaxFileIdLength = 128;
    // Withdrawals handled per round, oldest first.
    static constexpr int kBatch = 5;
    static constexpr int kWithdrawIntervalMs = 10000;

    IncomingOffers(Store& store, MessageSink& sink, const Clock& clock, Shell& shell, DownloadEngine& engine,
                   QObject* parent = nullptr);

    void handleNewFileToDownload(const Parameters& message);
    void processNewFileToBeReceived(const QString& fileId, const QString& fileName, const QString& nodeFrom,
                                    qint64 fileSize);
    void deleteFileToDownload(const QString& id);
    void handleRemoveFileToGet(const Parameters& message);
    // Serves the receiver's side of offers: "newFileToDownload", "removeFileToGet" and "newFolderToDownload".
    void registerHandlers(MessageDispatcher& dispatcher);
    // One round of the withdrawals the user asked for ("tobedeleted" downloads).
    void deleteWithdrawnDownloads();
    // Forgets the received files and marks every other download for withdrawal.
    void clearAllPendingDownloads();
    // The withdrawal rounds run from start() until stop().
    void start();
    void stop();

    // Folders (incomingfolders.cpp): one part of a folder offered as one, stored with its files in one
    // transaction and confirmed; the tree is made under the downloads folder, under a name of its own.
    void handleNewFolderToDownload(const Parameters& message);
    // At most this many folders of one peer wait for the user, and this many of all peers together; more are
    // refused until some are taken or removed. Each waiting folder holds its name in the downloads folder, and a
    // node id costs nothing to make up, so the bound per peer alone would not bound them.
    static constexpr int kMaxWaitingFolders = 50;
    static constexpr int kMaxWaitingFoldersAll = 200;
    // The same for files offered on their own: past these, an offer is refused unconfirmed, so its owner offers it
    // again and it is taken once some waiting ones are downloaded or removed. Every list refresh reads each waiting
    // offer, and one computer sent 20,000 in five seconds.
    static constexpr int kMaxWaitingFiles = 1000;
    static constexpr int kMaxWaitingFilesAll = 5000;
    // Files of one folder whose paths clean to the same one ("a:b", "a?b", "ab") get numbered names; a listing with
    // more than this many at one path is refused. Each numbered name is looked up in turn, so without a bound a
    // listing of a few thousand entries at one path kept this thread busy for minutes.
    static constexpr int kMaxSamePath = 16;
    // A received folder's empty folders are kept in its row as they are made, so that a part sent again makes
    // nothing new; past this many in all, no more are made (a host could otherwise send parts with new ones
    // without end, each making thousands of folders).
    static constexpr int kMaxEmptyFolders = 10000;

Q_SIGNALS:
    void selectedFilesCountChanged();
    void pendingCountChanged();

private:
    // The folder side of withdrawals: true when id named a received folder, which is then gone as a whole.
    bool deleteFolderToDownload(const QString& id, bool byOwner);
    // Logs a refused offer ("a folder", "a file"), at most once a while, counting the ones between.
    void refuse(const QString& what, const QString& nodeFrom, const QString& why);
    void refuseFolder(const QString& nodeFrom, const QString& why)
    {
        refuse(QStringLiteral("a folder"), nodeFrom, why);
    }
    // Why one more waiting folder or file of the peer is too many; empty when it is not. `counting` gives the count
    // of all waiting ones and the count of the peer's (its node id bound as the one value).
    QString tooManyWaiting(const QString& counting, const QString& nodeFrom, int perPeer, int all,
                           const QString& what) const;

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    Shell& m_shell;
    DownloadEngine& m_engine;
    QTimer m_withdrawTimer;
    qint64 m_refusalLoggedMs = 0;
    int m_refusalsUnlogged = 0;
};

} // namespace Vesk
