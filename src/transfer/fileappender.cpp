#include "transfer/fileappender.h"

#include "common/bufferpool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace Vesk {

FileAppender::FileAppender(const QString& path, BufferPool& buffers, std::function<void()> written)
    : m_path(path), m_buffers(buffers), m_onWritten(std::move(written)), m_thread([this] { run(); })
{
}

FileAppender::~FileAppender()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void FileAppender::append(const QByteArray& bytes)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(bytes);
    }
    m_wake.notify_one();
}

void FileAppender::flush()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_drained.wait(lock, [this] { return m_queue.empty() && !m_writing; });
}

int FileAppender::queuedBlocks() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_queue.size()) + (m_writing ? 1 : 0);
}

QString FileAppender::errorString() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_errorString;
}

void FileAppender::fail(const QFile& file, int error, bool opening)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_errorString = file.errorString();
    }
    m_error = error;
    m_openFailed = opening;
    m_failed = true;
}

void FileAppender::run()
{
    // The file is opened by the first block, so a download that never gets one leaves no file behind.
    QFile file(m_path);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return; // stopping, and nothing left to write
        QByteArray bytes = std::move(m_queue.front());
        m_queue.pop_front();
        m_writing = true;
        lock.unlock();
        if (!m_failed.load()) {
            if (!file.isOpen()) {
                QDir().mkpath(QFileInfo(m_path).absolutePath());
                errno = 0;
                if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
                    fail(file, errno, true);
            }
            if (file.isOpen()) {
                errno = 0;
                const qint64 done = file.write(bytes);
                const int error = errno;
                if (done > 0)
                    m_written += done;
                if (done != bytes.size())
                    fail(file, error, false);
            }
        }
        // Read from the network into a pooled buffer: the next packet can be read into it.
        m_buffers.giveBack(std::move(bytes));
        lock.lock();
        m_writing = false;
        if (m_queue.empty())
            m_drained.notify_all();
        // Told once the block no longer counts as queued, so whoever wakes sees it written.
        if (m_onWritten) {
            lock.unlock();
            m_onWritten();
            lock.lock();
        }
    }
}

} // namespace Vesk
