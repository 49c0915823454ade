#include "transfer/fileappender.h"

#include "common/bufferpool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace Vesk {

// One appender's file and what it owes. Its counters and error are under the writer's lock; the file is only
// touched by the writer thread while blocks are queued, and by the appender once none are.
struct FileAppender::Channel
{
    Channel(const QString& path, BufferPool& buffers, std::function<void()> written)
        : file(path), buffers(buffers), onWritten(std::move(written))
    {
    }

    QFile file;
    BufferPool& buffers;
    const std::function<void()> onWritten;
    int queued = 0;       // blocks given and not written yet, the one being written included
    bool telling = false; // onWritten runs
    qint64 written = 0;
    bool failed = false;
    bool openFailed = false;
    int error = 0;
    QString errorString;
};

// The thread that writes every appender's blocks, started with the first appender and ended with the last.
class FileAppender::Writer
{
public:
    Writer() : m_thread([this] { run(); }) {}
    ~Writer()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    static std::shared_ptr<Writer> shared()
    {
        static std::mutex mutex;
        static std::weak_ptr<Writer> current;
        const std::lock_guard<std::mutex> lock(mutex);
        std::shared_ptr<Writer> writer = current.lock();
        if (!writer) {
            writer = std::make_shared<Writer>();
            current = writer;
        }
        return writer;
    }

    void post(const std::shared_ptr<Channel>& channel, const QByteArray& bytes)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            ++channel->queued;
            m_queue.push_back(Job{channel, bytes});
        }
        m_wake.notify_one();
    }

    // Until every block of the channel is written; with `told`, also until its last `written` has run.
    void wait(const Channel& channel, bool told)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_drained.wait(lock, [&] { return channel.queued == 0 && !(told && channel.telling); });
    }

    template <typename Read> auto read(const Channel& channel, Read read) const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return read(channel);
    }

private:
    struct Job
    {
        std::shared_ptr<Channel> channel;
        QByteArray bytes;
    };

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                return; // stopping, and nothing left to write
            Job job = std::move(m_queue.front());
            m_queue.pop_front();
            Channel& channel = *job.channel;
            const bool skip = channel.failed;
            lock.unlock();
            int error = 0;
            qint64 done = 0;
            bool opening = false;
            if (!skip) {
                if (!channel.file.isOpen()) {
                    // The folder is usually there (made when the download started); only a folder removed since
                    // is made again, not looked for before every file of a folder of thousands.
                    constexpr auto mode = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
                    errno = 0;
                    if (!channel.file.open(mode) && errno == ENOENT &&
                        QDir().mkpath(QFileInfo(channel.file.fileName()).absolutePath())) {
                        errno = 0;
                        channel.file.open(mode);
                    }
                    if (!channel.file.isOpen()) {
                        error = errno;
                        opening = true;
                    }
                }
                if (channel.file.isOpen()) {
                    errno = 0;
                    done = channel.file.write(job.bytes);
                    error = errno;
                }
            }
            const bool failed = !skip && (opening || done != job.bytes.size());
            QString words;
            if (failed && opening)
                words = error != 0 ? qt_error_string(error) : channel.file.errorString();
            else if (failed)
                words = shortWriteWords(error, done, job.bytes.size());
            // Read from the network into a pooled buffer: the next packet can be read into it.
            channel.buffers.giveBack(std::move(job.bytes));
            lock.lock();
            if (done > 0)
                channel.written += done;
            if (failed) {
                channel.failed = true;
                channel.openFailed = opening;
                channel.error = error;
                channel.errorString = words;
            }
            --channel.queued;
            // Told once the block no longer counts as queued, so whoever wakes sees it written.
            if (channel.onWritten) {
                channel.telling = true;
                lock.unlock();
                channel.onWritten();
                lock.lock();
                channel.telling = false;
            }
            m_drained.notify_all();
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<Job> m_queue;
    bool m_stop = false;
    std::thread m_thread;
};

FileAppender::FileAppender(const QString& path, BufferPool& buffers, std::function<void()> written)
    : m_path(path), m_writer(Writer::shared()), m_channel(std::make_shared<Channel>(path, buffers, std::move(written)))
{
}

FileAppender::~FileAppender()
{
    m_writer->wait(*m_channel, true);
    m_channel->file.close();
}

void FileAppender::append(const QByteArray& bytes)
{
    m_writer->post(m_channel, bytes);
}

void FileAppender::flush()
{
    m_writer->wait(*m_channel, false);
}

int FileAppender::queuedBlocks() const
{
    return m_writer->read(*m_channel, [](const Channel& c) { return c.queued; });
}

qint64 FileAppender::written() const
{
    return m_writer->read(*m_channel, [](const Channel& c) { return c.written; });
}

bool FileAppender::failed() const
{
    return m_writer->read(*m_channel, [](const Channel& c) { return c.failed; });
}

bool FileAppender::openFailed() const
{
    return m_writer->read(*m_channel, [](const Channel& c) { return c.openFailed; });
}

int FileAppender::error() const
{
    return m_writer->read(*m_channel, [](const Channel& c) { return c.error; });
}

QString FileAppender::shortWriteWords(int error, qint64 done, qint64 size)
{
    return error != 0 ? qt_error_string(error)
                      : QStringLiteral("%1 of %2 bytes were written").arg(qMax<qint64>(done, 0)).arg(size);
}

QString FileAppender::errorString() const
{
    return m_writer->read(*m_channel, [](const Channel& c) { return c.errorString; });
}

} // namespace Vesk
