#pragma once

#include "net/messagesink.h"

#include <QObject>
#include <QString>
#include <QTimer>

namespace Vesk {

class Clock;
class DownloadEngine;
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
    // One round of the withdrawals the user asked for ("tobedeleted" downloads).
    void deleteWithdrawnDownloads();
    // Forgets the received files and marks every other download for withdrawal.
    void clearAllPendingDownloads();
    // The withdrawal rounds run from start() until stop().
    void start();
    void stop();

Q_SIGNALS:
    void selectedFilesCountChanged();
    void pendingCountChanged();

private:
    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    Shell& m_shell;
    DownloadEngine& m_engine;
    QTimer m_withdrawTimer;
};

} // namespace Vesk
