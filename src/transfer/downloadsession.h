#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <memory>

namespace Vesk {

class BufferPool;
class Clock;
class FileAppender;

// The receiving side of one active download: a window of packet requests in flight for consecutive offsets, and
// the answers appended strictly in order. Answers that arrive ahead of the file's end wait in a reorder buffer
// that never holds more than the window, so only contiguous bytes reach the disk and the size on disk stays the
// whole progress record: a restart, a lost answer or a duplicate needs nothing but that size.
//
// Every message travels on a connection of its own that ends 5000 ms after it starts. The window's answers share
// one link, so the last of them arrives about (bytes in flight / link rate) after it was asked for: that time,
// measured per answer, is what the window follows. It grows while answers come back within kGrowLatencyMs and
// halves once per round when one takes longer than kTargetLatencyMs, a fifth of a connection's life, so a slow
// link (24 Mbit/s moves 15 MB in those 5 s) ends with a window that its connections deliver in time.
//
// The bytes go to the file through a FileAppender, off the interface's thread; blocks it has not written yet
// count against the window too, so memory stays bounded by the window when the disk is the slower side.
class DownloadSession
{
    Q_DISABLE_COPY(DownloadSession)

public:
    // One packet already fills a 100 Mbit/s link for 80 ms; 16 keep a 10 Gbit/s bridge busy, and bound what a
    // receiver holds in memory (16 MB) and the connections it keeps open towards one owner.
    static constexpr int kMinWindow = 1;
    static constexpr int kMaxWindow = 16;
    static constexpr qint64 kTargetLatencyMs = 1000;
    static constexpr qint64 kGrowLatencyMs = kTargetLatencyMs / 2;
    // The answer at the file's end is asked for again when later ones keep arriving without it for this long,
    // or several times the usual wait, whichever is longer.
    static constexpr qint64 kMinResendMs = 500;
    // On the owner's stream nothing asked for is lost while the stream lives: an answer that has not come is late
    // (a slow link needs seconds for one packet), and asking again would only queue a copy behind it. It counts as
    // lost once it has waited this long, or four times the usual wait, whichever is longer.
    static constexpr qint64 kOverdueMs = 6000;

    enum class Answer {
        Appended,   // the file grew
        Buffered,   // kept until the bytes before it are there
        Duplicate,  // already on disk or in the buffer
        Unexpected, // not asked for (any more)
        Invalid,    // sizes that do not fit the request or the file
    };

    // Sends one "sendDataPacket" for the given range; the session itself knows no peer and no database.
    using RequestSender = std::function<void(qint64 offset, qint64 size)>;

    // `have` is the local file's size when the session starts; `wanted` the offered size. `written`, when given,
    // runs on the appender's thread after each block reached the file.
    DownloadSession(const QString& id, const QString& path, qint64 have, qint64 wanted, BufferPool& frames,
                    const Clock& clock, RequestSender send, std::function<void()> written = {});
    ~DownloadSession();

    // Asks for packets until the window is full (answers in the buffer count against it).
    void fill();
    Answer receive(qint64 offset, const QByteArray& bytes);
    // Nothing grew for a while: every request in flight is taken as lost and the window starts again at the
    // file's end.
    void askAgain();
    // Whether the session needs asking again though its owner's stream lives: nothing is asked for and the file is
    // not complete, or the oldest request has waited past kOverdueMs.
    bool overdue(qint64 nowMs) const;
    // Waits until every appended byte is in the file; afterwards written() is the size on disk.
    void flush();

    const QString& id() const { return m_id; }
    const QString& path() const { return m_path; }
    // Contiguous bytes received and handed to the file (on disk once flushed).
    qint64 written() const { return m_written; }
    qint64 wanted() const { return m_wanted; }
    bool complete() const { return m_written >= m_wanted; }
    // Every byte of the file is asked for (or here).
    bool allRequested() const { return m_planned >= m_wanted; }
    int window() const { return m_window; }
    int inFlight() const;
    // Blocks received but not yet written into the file.
    int pendingWrites() const;
    int buffered() const { return int(m_arrived.size()); }
    // A write into the file failed: the session stopped, and these say why (errno and the system's words).
    bool writeFailed() { return writerFailed(); }
    int writeError() const { return m_writeError; }
    const QString& writeErrorString() const { return m_writeErrorString; }
    qint64 bufferedBytes() const;

private:
    struct Request
    {
        qint64 size = 0;
        qint64 sentMs = 0;
    };

    void request(qint64 offset, qint64 size);
    void append(const QByteArray& bytes);
    void drain();
    void replan();
    void adapt(qint64 latencyMs, qint64 nowMs);
    void resendHeadIfLate(qint64 nowMs);
    bool writerFailed();

    const QString m_id;
    const QString m_path;
    const qint64 m_wanted;
    BufferPool& m_frames;
    const Clock& m_clock;
    const RequestSender m_send;
    const std::function<void()> m_onWritten;

    std::unique_ptr<FileAppender> m_appender; // started by the first byte, so a download without any leaves no file
    qint64 m_written;
    qint64 m_planned; // the next offset not asked for yet
    std::map<qint64, Request> m_outstanding;
    std::map<qint64, QByteArray> m_arrived;

    int m_window = kMinWindow;
    qint64 m_latencyMs = 0; // smoothed
    qint64 m_lastShrinkMs = 0;
    bool m_writeFailed = false;
    int m_writeError = 0;
    QString m_writeErrorString;
};

} // namespace Vesk
