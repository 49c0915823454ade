#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>

#include <memory>

namespace Vesk {

using Parameters = QHash<QString, QVariant>;

// Bytes of the length header that precedes every record on a TCP connection.
constexpr int kFrameHeaderSize = 4;

// Serialises the wire fields of a parameter hash; keys that are not wire fields are left out.
QByteArray parametersToByteArray(const Parameters& parameters);

// The local key under which a received sealed record is handed on whole, still sealed: only the receiver's keys
// for its sender turn it into the message it carries (see envelope.h).
constexpr const char* kSealedRecordKey = "sealedRecord";

// Parses one serialised record. Malformed bytes give an empty hash and a critical log line. A sealed record gives
// a hash holding only kSealedRecordKey with the record's bytes.
Parameters byteArrayToParameters(const QByteArray& bytes);
// The same for a record the caller hands over: a file packet's bytes are then shared with it, not copied.
Parameters byteArrayToParameters(QByteArray&& bytes);

// One whole frame: the payload length, little-endian, followed by the serialised record. Built in a single
// buffer, because a file packet is a megabyte and every extra copy shows in the transfer rate. A file packet's
// frame is written into `reuse` when it is not shared and large enough, so memory already touched serves again
// instead of fresh pages that each cost a fault on first write.
QByteArray parametersToFrame(const Parameters& parameters, QByteArray* reuse = nullptr);

// The buffer to build a frame of `size` bytes in: `*reuse` when it is not shared and large enough, else `fresh`,
// made that size.
QByteArray& frameBuffer(qsizetype size, QByteArray* reuse, QByteArray& fresh);

// One record serialised in two steps, so a caller can learn its size, lay out what goes around it, and then have
// it written straight to its place in a frame (a file packet's bytes are copied once, from the hash to there).
class RecordEncoder
{
public:
    explicit RecordEncoder(const Parameters& parameters);
    ~RecordEncoder();
    qsizetype size() const;
    // Writes exactly size() bytes.
    void write(char* out) const;

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

} // namespace Vesk
