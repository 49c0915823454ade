#include "app/logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>

namespace Vesk::Log {

namespace {

constexpr const char* kLogObjectName = "vesk-log-file";

// The open log belongs to the application object, so no state of its own outlives it. A Qt message handler is a
// plain function: it finds the log through the application, which costs a look-up only for the rare line that
// is written.
class LogFile : public QObject
{
public:
    LogFile(QFile* file, QObject* parent) : QObject(parent), m_stream(file)
    {
        file->setParent(this);
        setObjectName(QLatin1String(kLogObjectName));
    }
    void write(const QString& line)
    {
        m_stream << line << Qt::endl; // endl flushes, so a crash right after still leaves the line on disk
    }

private:
    QTextStream m_stream;
};

LogFile* logFile()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app ? app->findChild<LogFile*>(QLatin1String(kLogObjectName), Qt::FindDirectChildrenOnly) : nullptr;
}

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
    if (LogFile* log = logFile())
        log->write(line);
    if (type == QtFatalMsg)
        std::abort();
}

bool installLogFile(const QString& path)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    auto* file = new QFile(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        delete file;
        return false;
    }
    delete logFile();
    new LogFile(file, app);
    qInstallMessageHandler(logMessageHandler);
    return true;
}

} // namespace Vesk::Log
