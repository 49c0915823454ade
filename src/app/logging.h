#pragma once

#include "common/clock.h"

#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace Vesk::Log {

// Lines the file takes at once, and then each second. Several critical lines are written for each bad message from
// the network, so one sender could otherwise grow the file by megabytes a second; what is left out is counted, and
// the count written when lines are taken again. Fatal lines are always written.
constexpr int kBurstLines = 200;
constexpr int kLinesPerSecond = 5;
// Once the file reaches this size it becomes `path`.1 (replacing the one before) and a new file is started.
constexpr qint64 kMaxFileBytes = 8 * 1000 * 1000;

// The line written for one message: "yyyy.MM.dd hh:mm:ss" + "[C]" or "[F]" + one blank + text. Debug, info and
// warning messages are not logged: the result is empty for them.
QString formatLine(QtMsgType type, const QString& text, const QDateTime& when);

// Opens the append-only log at `path` and routes Qt's messages into it, within the bounds above (`clock` paces
// the lines, `maxBytes` bounds the file). Returns false (and changes nothing) when the file cannot be opened.
bool installLogFile(const QString& path, const Clock& clock = Clock::system(), qint64 maxBytes = kMaxFileBytes);

// The handler itself, installed by installLogFile. A fatal message aborts after it is written.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

} // namespace Vesk::Log
