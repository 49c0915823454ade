#pragma once

#include "net/messagesink.h"
#include "net/peercapabilities.h"
#include "store/tablerecord.h"
#include "transfer/downloadestimate.h"
#include "transfer/downloadfiles.h"
#include "transfer/slicedwork.h"

#include <QHostAddress>
#include <QObject>
#include <QSqlQuery>
#include <QSet>
#include <QString>
#include <QTimer>

#include <atomic>
#include <deque>
#include <memory>

namespace Vesk {

class BufferPool;
class Clock;
class DownloadSession;
class MessageDispatcher;
class Shell;
class Store;

// The receiver's download queue and the engine that pulls the queued files from their owners, packet by packet.
// Which file each download writes into, and where, is DownloadFiles' part.
class DownloadEngine : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadEngine)
    // How fast the running download goes and how long it still takes (a folder's file: the whole folder), -1 while
    // unknown; stalled once no byte came for a few seconds, and then both are unknown (see DownloadEstimate).
    Q_PROPERTY(qint64 bytesPerSecond READ bytesPerSecond NOTIFY estimateChanged)
    Q_PROPERTY(qint64 secondsLeft READ secondsLeft NOTIFY estimateChanged)
    Q_PROPERTY(bool stalled READ stalled NOTIFY estimateChanged)

public:
    // More than this many progress ticks in a row without growth (22 seconds) give the download up.
    static constexpr int kMaxStallTicks = 10;
    static constexpr int kProgressTickMs = 2000;
    // The speed and the time left are measured this often.
    static constexpr int kEstimateTickMs = 1000;
    // Every progress update is a message to the desktop shell (over D-Bus on Linux). Packets arrive hundreds of
    // times a second, so the display is updated when it appears and then at most this often.
    static constexpr qint64 kProgressUpdateMs = 250;
    // While a download runs, the queue is looked at again at most this often unless it changed here (a smaller
    // file queued takes over at once), and the row's last activity is written at most this often.
    static constexpr qint64 kRechooseMs = 250;
    static constexpr qint64 kTouchMs = 1000;
    // The owner's address is looked up again at most this often while its file downloads.
    static constexpr qint64 kAddressMs = 1000;
    // A folder of small files would otherwise cost a round trip per file. Once every byte of the running folder
    // file is asked for, the next files of the same folder (of one packet each) are asked for too, up to this many
    // files and bytes in flight; they still complete one after the other in listing order. Each file written
    // holds its descriptor until its turn; with 32 the receiver still waited for round trips between refills.
    static constexpr int kFolderAheadFiles = 128;
    static constexpr qint64 kFolderAheadBytes = 4 * 1000 * 1000;
    // A download paused because its file could not be written (a full or read-only disk) is looked at again this
    // often, and goes on by itself once the rest of its file can be written: the user frees space and need not
    // come back to press Download.
    static constexpr int kDiskRecheckMs = 3000;
    // The packets' buffers go back to the system once no download has run for this long, not at the end of each:
    // a queue of files goes from one to the next, and memory fresh from the system costs a page fault per page (on
    // a virtual machine, a megabyte touched the first time costs about three times the CPU of receiving one).
    static constexpr int kReleaseFramesMs = 5000;

    // downloadsFolder ends with a separator; received files are written there and nowhere else (see DownloadFiles).
    // The packets' buffers, once written, go back to `frames`. `capabilities` tells which owners take streams.
    DownloadEngine(Store& store, MessageSink& sink, BufferPool& frames, const Clock& clock, Shell& shell,
                   const PeerCapabilities& capabilities, const QString& downloadsFolder, QObject* parent = nullptr);
    ~DownloadEngine() override;

    void queueFileToDownload(const QString& id);
    void pauseFileToDownload(const QString& id);
    // Queues every download waiting for the user, or only those offered by nodeFrom when one is given.
    void downloadAllPending(const QString& nodeFrom = QString());
    void pauseAllPendingDownloads();
    // Queues again the downloads a stop of the program interrupted (those still waiting for the user).
    void resumeInterrupted(const QStringList& ids);

    QString nextQueuedDownloadId() const;
    // Runs the engine once: the next packet request of the smallest queued file (or its completion).
    void downloadNextFile();
    void downloadFile(const QString& id);
    void handleReceiveDataPacket(const Parameters& message);
    // Serves "receiveDataPacket".
    void registerHandlers(MessageDispatcher& dispatcher);

    // The download row is gone (withdrawn or deleted): when it was the active one, the queue goes on with the next.
    void downloadRemoved(const QString& id);
    // Drops a received folder's row now and its file rows a slice at a time (a program stopped half way drops
    // those left when it starts again).
    void dropFolderRows(const QString& folderId);

    // The progress tick (every 2 s): shows the growth, asks again after silence, gives up after kMaxStallTicks.
    void progressTick();
    void resetProgressTick();
    // Measures the running download's bytes for its speed and time left.
    void estimateTick();
    qint64 bytesPerSecond() const { return m_estimate.bytesPerSecond(); }
    qint64 secondsLeft() const { return m_estimate.secondsLeft(); }
    bool stalled() const { return m_estimate.stalled(); }
    // The progress and estimate ticks run from start() (which begins with a fresh tick state) until stop().
    void start();
    void stop();
    qint64 currentDownloadFileSize() const;

    QString currentDownloadingFileId() const { return m_currentDownloadingFileId; }
    // The received folder the running download is a file of; empty for a separate file.
    QString currentDownloadFolderId() const { return m_currentFolderId; }
    // Always stores and tells, also when the id is the same.
    void setCurrentDownloadingFileId(const QString& id);

    QString downloadsFolder() const { return m_files.folder(); }
    // Received files go to another folder from now on (it ends with a separator); what is not complete yet goes
    // along and goes on where it stopped.
    void setDownloadsFolder(const QString& folder);
    DownloadFiles& files() { return m_files; }
    // Waits until the running download's received bytes are in its file.
    void flushWrites();
    // The running download's window; null when none runs.
    const DownloadSession* session() const { return m_session.get(); }
    // The files of the running folder asked for ahead of it.
    int filesAhead() const { return int(m_ahead.size()); }

    // Downloads given up because their owner stopped answering (not paused by the user) go on by themselves when
    // that owner is back, in this run of the program.
    void ownerCameOnline(const QString& nodeId);
    // The owner's stream ended: what was asked for on it will not come, so it is asked for again now.
    void ownerStreamEnded(const QString& nodeId);
    bool isWaitingForOwner(const QString& id) const { return m_waitingForOwner.contains(id); }
    // Looks again at the downloads paused for their disk (every kDiskRecheckMs while there are any): each whose
    // rest can now be written is queued again, as if the user had pressed Download.
    void recheckDisk();
    // What a started download already has on disk (0 for one never started).
    qint64 bytesOnDisk(const QString& id) const;
    // The same, of a download whose row the caller has read already.
    qint64 bytesOnDisk(const QString& id, const TableRecord& download) const;
    // Why the download (or received folder) was paused by the engine itself, because its file could not be
    // written (a full or read-only disk), in this run of the program; empty otherwise.
    QString downloadProblem(const QString& id) const { return m_problems.value(id); }
    // The owner withdrew a waiting or running download: it goes back to the offered list with `note` as its
    // reason and is not fetched again unless offered again (offeredAgain), in this run of the program.
    void ownerWithdrew(const QString& id, const QString& note);
    void offeredAgain(const QString& id);
    // The name an older file of the download's name was given when the download started and kept it aside, in this
    // run of the program; empty when nothing was in the way.
    QString keptAsideAs(const QString& id) const { return m_keptAside.value(id); }

Q_SIGNALS:
    void currentDownloadingFileIdChanged();
    void currentDownloadFileSizeChanged();
    void estimateChanged();
    // The number of offers waiting for the user may have changed.
    void pendingCountChanged();
    // Queued to downloadNextFile, so the handler that asks for the next step finishes first.
    void readyToDownloadNextFile();

public:
    // The files of a received folder (folderdownloads.cpp) go one after the other in listing order; the folder row
    // follows its files: "queued" while any is, "downloaded" once all are. Returns the status the folder row is
    // given.
    QString updateFolderStatus(const QString& folderId);

private:
    // Queues (or pauses) every waiting (or queued) file of a received folder; false when id names none.
    bool setFolderQueued(const QString& id, bool queued);
    // The next download: the smallest separate file, or the next file in listing order of the smallest folder, as
    // a folder counts by its total size.
    QString chooseNextDownload() const;
    // A folder file is complete: said to its owner, and the folder once it is complete; false for a separate file.
    // `marked`: its row already says "downloaded" (markFolderFileDone).
    bool finishFolderFile(const QString& id, const TableRecord& download, const QString& local, bool marked = false);
    // A folder file asked for ahead is complete: its row, still queued, says "downloaded" now; false when the row
    // is gone or no longer queued.
    bool markFolderFileDone(const QString& id);
    // The owner stopped answering while a file of its folder downloaded: the whole folder waits for it.
    void folderOwnerStalled(const QString& fileId);
    // A folder's files may end a hundred a second, and each list holds thousands of rows: while they arrive, the
    // lists are brought up to date this often.
    static constexpr int kFolderListsMs = 1000;
    void refreshFolderLists();
    void resumeWaitingFolders(const QString& nodeId);

    // The download's file cannot be written: the download (a folder's file: its folder) goes back to waiting for
    // the user with the reason on its row, said once in a notice and logged, and the queue goes on. A folder short
    // of space gives the space all its files still need rather than the file's reason.
    void pauseForDisk(const QString& id, const QString& fileReason);
    // What a received folder's files not yet whole still need on disk.
    qint64 folderRest(const QString& folderId) const;
    // Queued again by the user: its old reason no longer holds (a new check gives a new one).
    void forgetProblem(const QString& id);
    // Rows went from waiting to queued: the lists and counts follow, and the next download is chosen again.
    void queuedMore();
    void finishDownload(const QString& id, const TableRecord& download, const QString& path, qint64 wanted);
    void showProgress(qint64 have, qint64 wanted);
    void showSessionProgress();
    void hideProgress();
    void startSession(const QString& id, const TableRecord& download, const QString& path, qint64 have, qint64 wanted);
    void continueSession();
    // The running download is complete (all on disk): it ends, and with it those of its folder asked for ahead
    // that are complete too, for at most this long.
    static constexpr qint64 kFinishBatchMs = 20;
    void finishCompleted();
    // Ends the running download and the files asked for ahead of it; their bytes so far stay in their files.
    void endSession();
    // Asks again for what the running download and those ahead of it wait for (with onlyOverdue, only what is
    // overdue on its owner's stream).
    void askAgain(bool onlyOverdue);
    DownloadSession* sessionFor(const QString& id) const;
    std::unique_ptr<DownloadSession> makeSession(const QString& id, const QString& path, qint64 have, qint64 wanted);
    // The running folder file is all asked for: the next files of its folder are asked for as well.
    void requestAhead();
    // The file chosen next was asked for ahead: it becomes the running download.
    bool takeAhead(const QString& id);
    bool sessionMatches(const TableRecord& download) const;
    void receiveOutsideSession(const QString& id, const Parameters& message);

    Store& m_store;
    MessageSink& m_sink;
    BufferPool& m_frames;
    // Set by the writer thread when it has asked for a turn of downloadNextFile, cleared as that turn begins: a
    // folder's files are written dozens at a time, and one turn finishes all of them that are whole.
    std::atomic_bool m_writtenTurnAsked{false};
    const Clock& m_clock;
    Shell& m_shell;
    DownloadFiles m_files;

    QString m_currentDownloadingFileId;
    QString m_currentFolderId;
    DownloadEstimate m_estimate;
    // Progress-tick state.
    int downloadStallCount = 0;
    QString lastDownloadingFileId;
    qint64 lastDownloadFileSize = 0;
    // Whether the shell shows progress, and when it was last told.
    bool m_progressShown = false;
    QSet<QString> m_waitingForOwner;
    QHash<QString, QString> m_problems; // by download or received folder id
    // Paused for their disk, by the file that could not be written: what the user would queue again (the file, or
    // its received folder) and the bytes the file still lacked. Looked at again by m_diskRecheck.
    struct DiskWait
    {
        QString resumeId;
        qint64 rest = 0;
    };
    QHash<QString, DiskWait> m_waitingForDisk;
    QTimer m_diskRecheck;
    QTimer m_releaseFrames; // started again by each download's end
    // The one notice of a download paused for its disk names the last one paused (its resume id); it goes once that
    // one is no longer paused: the next pause's notice takes its place rather than adding a box for each file.
    QString m_diskNoticeFor;
    void closeStaleDiskNotice();
    // Whether the download or folder of this id (a folder's files wait as one) is paused until its disk takes the
    // rest.
    bool waitsForDisk(const QString& resumeId) const;
    // What a download paused for its disk is queued again by: its received folder, whose files wait as one, or
    // itself.
    static QString resumeIdOf(const QString& id, const TableRecord& download);
    QHash<QString, QString> m_keptAside; // by download id
    QSet<QString> m_withdrawn;
    qint64 m_progressShownMs = 0;
    // A folder's progress is the folder's, not its current file's (a folder of small files would otherwise run
    // from empty to full for each): the bytes of its files already down, counted once when it starts showing.
    QString m_progressFolder;
    qint64 m_progressFolderDone = 0;
    qint64 m_progressFolderSize = 0;

    std::unique_ptr<DownloadSession> m_session;
    // Files of the running download's folder asked for ahead of it, in listing order; m_aheadAfter is the path of
    // the last file asked for, m_sessionFolder the running download's folder (empty for a separate file).
    std::deque<std::unique_ptr<DownloadSession>> m_ahead;
    QHash<QString, TableRecord> m_aheadRows; // their rows as they were asked for, by id
    std::unique_ptr<QSqlQuery> m_markDone;
    QString m_sessionFolder;
    QString m_aheadAfter;
    bool m_aheadEnded = false; // nothing more to ask for ahead until the next file starts
    QString m_sessionNode;
    QHostAddress m_sessionAddress;
    // Who takes streams: what is asked of such an owner is only late while its stream lives (see
    // DownloadSession::overdue), not lost at the first quiet tick.
    const PeerCapabilities& m_capabilities;
    qint64 m_addressMs = 0;
    qint64 m_touchedMs = 0;
    qint64 m_chosenMs = 0;
    // The queue changed here, or the row may have changed elsewhere: choose (and read the row) again.
    bool m_rechoose = true;
    bool m_recheckRow = false;
    QTimer m_progressTimer;
    QTimer m_estimateTimer;
    QTimer m_folderListsTimer;
    // A folder's thousands of files are queued a slice at a time, keyed by the folder's id.
    SlicedWork m_slices;
};

} // namespace Vesk
