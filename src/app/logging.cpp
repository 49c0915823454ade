#include "app/logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace Vesk::Log {

namespace {

constexpr qint64 kMilliLine = 1000; // the pace counts thousandths of a line, so that each millisecond adds some
constexpr QIODevice::OpenMode kAppend = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text;

class LogFile;

// The open log belongs to the application object, so no state of its own outlives it. A Qt message handler is a
// plain function, called from every thread: it reaches the log through this pointer, under this lock, which also
// covers the log's writing and its end. Looking for it among the application's children instead would read a
// list the main thread changes meanwhile.
std::mutex logMutex;
LogFile* currentLog = nullptr;

class LogFile : public QObject
{
public:
    LogFile(const QString& path, const Clock& clock, qint64 maxBytes)
        : m_file(path), m_clock(clock), m_maxBytes(maxBytes), m_refilledAt(clock.nowMs())
    {
    }

    ~LogFile() override
    {
        const std::lock_guard<std::mutex> lock(logMutex);
        if (currentLog == this)
            currentLog = nullptr;
    }

    bool open()
    {
        if (QFileInfo(m_file.fileName()).size() >= m_maxBytes)
            startAnew();
        else if (m_file.open(kAppend))
            m_size = m_file.size();
        return m_file.isOpen();
    }

    // Called with logMutex held.
    void write(QtMsgType type, const QString& line)
    {
        // A fatal line tells why the program ended, and it is the last.
        if (type != QtFatalMsg && !mayWrite()) {
            ++m_leftOut;
            return;
        }
        if (m_leftOut > 0) {
            append(formatLine(
                QtCriticalMsg,
                QStringLiteral("%1 lines were left out of the log here: more came than it takes").arg(m_leftOut),
                QDateTime::currentDateTime()));
            m_leftOut = 0;
        }
        append(line);
    }

private:
    // A bucket of kBurstLines, refilled at kLinesPerSecond. A clock set back refills nothing.
    bool mayWrite()
    {
        const qint64 now = m_clock.nowMs();
        m_tokens = qMin(kBurstLines * kMilliLine, m_tokens + qMax<qint64>(0, now - m_refilledAt) * kLinesPerSecond);
        m_refilledAt = now;
        if (m_tokens < kMilliLine)
            return false;
        m_tokens -= kMilliLine;
        return true;
    }

    void append(const QString& line)
    {
        if (!m_file.isOpen() && !m_file.open(kAppend))
            return;
        const QByteArray bytes = line.toUtf8() + '\n';
        m_file.write(bytes);
        m_file.flush(); // so a crash right after still leaves the line on disk
        m_size += bytes.size();
        if (m_size >= m_maxBytes)
            startAnew();
    }

    // Where the full file cannot be put aside (another program holds it, a folder has the older one's name), it is
    // started again empty: the bound holds either way, and the program goes on as without a log if even that fails.
    void startAnew()
    {
        m_file.close();
        const QString older = m_file.fileName() + QStringLiteral(".1");
        QFile::remove(older);
        const bool kept = QFile::rename(m_file.fileName(), older);
        m_file.open(kept ? kAppend : kAppend | QIODevice::Truncate);
        m_size = m_file.isOpen() ? m_file.size() : 0;
    }

    QFile m_file;
    const Clock& m_clock;
    const qint64 m_maxBytes;
    qint64 m_size = 0; // tracked as lines are written, rather than asked of the file system for each
    qint64 m_tokens = kBurstLines * kMilliLine;
    qint64 m_refilledAt;
    qint64 m_leftOut = 0;
};

} // namespace

QString formatLine(QtMsgType type, const QString& text, const QDateTime& when)
{
    const char* tag = nullptr;
    switch (type) {
    case QtCriticalMsg:
        tag = "[C]";
        break;
    case QtFatalMsg:
        tag = "[F]";
        break;
    default:
        return QString();
    }
    return when.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")) + QLatin1String(tag) + QLatin1Char(' ') + text;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // Developers and the interface checks can see every message (QML warnings included) on stderr; the log file
    // keeps only what matters to users.
    static const bool mirror = qEnvironmentVariableIsSet("VESK_LOG_TO_STDERR");
    if (mirror)
        std::fprintf(stderr, "%s\n", qPrintable(message));
    const QString line = formatLine(type, message, QDateTime::currentDateTime());
    if (line.isEmpty())
        return;
    {
        const std::lock_guard<std::mutex> lock(logMutex);
        if (currentLog)
            currentLog->write(type, line);
    }
    if (type == QtFatalMsg)
        std::abort();
}

bool installLogFile(const QString& path, const Clock& clock, qint64 maxBytes)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    auto* log = new LogFile(path, clock, maxBytes);
    if (!log->open()) {
        delete log;
        return false;
    }
    LogFile* previous = nullptr;
    {
        const std::lock_guard<std::mutex> lock(logMutex);
        previous = std::exchange(currentLog, log);
    }
    delete previous;
    log->setParent(app);
    qInstallMessageHandler(logMessageHandler);
    return true;
}

} // namespace Vesk::Log
