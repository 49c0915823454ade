#include "app/logging.h"

#include <QFile>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>

namespace Vesk::Log {

namespace {
// Never deleted: messages may arrive until the very end of the process.
QTextStream* logStream = nullptr;
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
    if (logStream)
        *logStream << line << Qt::endl; // endl flushes, so a crash right after still leaves the line on disk
    if (type == QtFatalMsg)
        std::abort();
}

bool installLogFile(const QString& path)
{
    auto* file = new QFile(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        delete file;
        return false;
    }
    logStream = new QTextStream(file);
    qInstallMessageHandler(logMessageHandler);
    return true;
}

} // namespace Vesk::Log
