#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace Vesk::Log {

// The line written for one message: "yyyy.MM.dd hh:mm:ss" + "[C]" or "[F]" + one blank + text. Debug, info and
// warning messages are not logged: the result is empty for them.
QString formatLine(QtMsgType type, const QString& text, const QDateTime& when);

// Opens the append-only log at `path` and routes Qt's messages into it. Returns false (and changes nothing)
// when the file cannot be opened.
bool installLogFile(const QString& path);

// The handler itself, installed by installLogFile. A fatal message aborts after it is written.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

} // namespace Vesk::Log
