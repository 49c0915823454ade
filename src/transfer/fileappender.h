#pragma once

#include <QByteArray>
#include <QString>

class QFile;

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Vesk {

class BufferPool;

// Appends byte blocks to one file, in the order given, on a thread of its own. A megabyte written into the page
// cache usually takes a fraction of a millisecond, but while the kernel writes back it can take tens of
// milliseconds, and a download writes hundreds of megabytes a second: on the interface's thread that would stall
// it. Blocks are only ever appended, in order, so the file on disk always holds a contiguous prefix of what was
// given, and a process killed with blocks still queued leaves a shorter but correct file.
class FileAppender
{
    Q_DISABLE_COPY(FileAppender)

public:
    // `written` runs on the appender's thread after each block (to wake the owner of the appender, queued). Each
    // block, once written, goes back to `buffers`: blocks read from the network are the frames' own buffers.
    FileAppender(const QString& path, BufferPool& buffers, std::function<void()> written = {});
    // Writes what is still queued, then ends the thread.
    ~FileAppender();

    void append(const QByteArray& bytes);
    // Waits until everything queued is on its way to the disk (written into the file).
    void flush();

    int queuedBlocks() const;
    // Bytes written so far, and whether a write (or opening the file) failed; once it failed, nothing more is
    // written.
    qint64 written() const { return m_written.load(); }
    bool failed() const { return m_failed.load(); }
    bool openFailed() const { return m_openFailed.load(); }
    // The error number (errno) and the system's words of the failure, once failed() (0 and empty before).
    int error() const { return m_error.load(); }
    QString errorString() const;
    QString path() const { return m_path; }

private:
    void run();
    void fail(const QFile& file, int error, bool opening);

    const QString m_path;
    BufferPool& m_buffers;
    const std::function<void()> m_onWritten;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<QByteArray> m_queue;
    bool m_writing = false;
    bool m_stop = false;
    std::atomic<qint64> m_written{0};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_openFailed{false};
    std::atomic<int> m_error{0};
    QString m_errorString; // under m_mutex
    std::thread m_thread;
};

} // namespace Vesk
