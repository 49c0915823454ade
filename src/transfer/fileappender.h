#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace Vesk {

class BufferPool;

// Appends byte blocks to one file, in the order given, off the caller's thread. A megabyte written into the page
// cache usually takes a fraction of a millisecond, but while the kernel writes back it can take tens of
// milliseconds, and a download writes hundreds of megabytes a second: on the interface's thread that would stall
// it. Blocks are only ever appended, in order, so the file on disk always holds a contiguous prefix of what was
// given, and a process killed with blocks still queued leaves a shorter but correct file.
//
// Every appender of the process shares one writer thread, which takes the blocks of all of them in the order they
// were given: a folder of small files has dozens of files arriving at once, and a thread of its own for each cost
// more than writing its few kilobytes.
class FileAppender
{
    Q_DISABLE_COPY(FileAppender)

public:
    // `written` runs on the writer thread after each block (to wake the owner of the appender, queued). Each block,
    // once written, goes back to `buffers`: blocks read from the network are the frames' own buffers.
    FileAppender(const QString& path, BufferPool& buffers, std::function<void()> written = {});
    // Writes what is still queued (and waits for its `written`), then closes the file.
    ~FileAppender();

    void append(const QByteArray& bytes);
    // Waits until everything queued is on its way to the disk (written into the file).
    void flush();

    int queuedBlocks() const;
    // Bytes written so far, and whether a write (or opening the file) failed; once it failed, nothing more is
    // written.
    qint64 written() const;
    bool failed() const;
    bool openFailed() const;
    // The error number (errno) and the system's words of the failure, once failed() (0 and empty before).
    int error() const;
    QString errorString() const;
    QString path() const { return m_path; }

    // The words for a write of `size` bytes that wrote only `done` (-1: none). A write cut short by a full disk is
    // no error to QFile, which then says "Unknown error": `error`, the errno of the call that failed after it, says
    // why; without one, how much was written.
    static QString shortWriteWords(int error, qint64 done, qint64 size);

    class Writer;
    struct Channel;

private:
    const QString m_path;
    std::shared_ptr<Writer> m_writer;
    std::shared_ptr<Channel> m_channel;
};

} // namespace Vesk
