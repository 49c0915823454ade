#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>

namespace Vesk {

using Parameters = QHash<QString, QVariant>;

// Bytes of the length header that precedes every record on a TCP connection.
constexpr int kFrameHeaderSize = 4;

// Serialises the wire fields of a parameter hash; keys that are not wire fields are left out.
QByteArray parametersToByteArray(const Parameters& parameters);

// Parses one serialised record. Malformed bytes give an empty hash and a critical log line.
Parameters byteArrayToParameters(const QByteArray& bytes);
// The same for a record the caller hands over: a file packet's bytes are then shared with it, not copied.
Parameters byteArrayToParameters(QByteArray&& bytes);

// One whole frame: the payload length, little-endian, followed by the serialised record. Built in a single
// buffer, because a file packet is a megabyte and every extra copy shows in the transfer rate. A file packet's
// frame is written into `reuse` when it is not shared and large enough, so memory already touched serves again
// instead of fresh pages that each cost a fault on first write.
QByteArray parametersToFrame(const Parameters& parameters, QByteArray* reuse = nullptr);

} // namespace Vesk
