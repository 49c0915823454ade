#pragma once

#include "net/parameters.h"

#include <QByteArray>

#include <memory>

namespace Vesk {

class BufferPool;

// Every message travels on a connection of its own to this port, where every instance listens.
constexpr quint16 kTcpPort = 25001;
// A connection ends at the latest this long after it was opened or taken, whatever is left unsent or unread.
constexpr int kConnectionLifetimeMs = 5000;
// Bytes of the length header that precedes every record on a TCP connection.
constexpr int kFrameHeaderSize = 4;
// The largest payload a connection accepts. A file packet is 1,000,000 bytes and an avatar a few hundred
// kilobytes, so this leaves ample room while bounding what a peer can make us buffer per connection.
constexpr quint32 kMaxFrameSize = 16 * 1024 * 1024;

// Serialises the wire fields of a parameter hash; keys that are not wire fields are left out.
QByteArray parametersToByteArray(const Parameters& parameters);

// Whether a key of a received message holds one of the Vesk-to-Vesk extensions (fields 16 and up), and whether a
// message holds any: what a program of the plain protocol would find unknown. A "fileSize" or "fileSeek" above
// kLargestPlainSize travels in a large field (fileSizeLarge, fileSeekLarge), which counts as an extension as well: a
// plain peer's fields hold less than 4 GiB.
bool isExtensionField(const QString& key);
bool carriesExtensionFields(const Parameters& message);
constexpr qint64 kLargestPlainSize = Q_INT64_C(0xFFFFFFFF);

// Parses one serialised record. Malformed bytes give an empty hash and a critical log line.
Parameters byteArrayToParameters(const QByteArray& bytes);
// The same for a record the caller hands over: a file packet's bytes are then shared with it, not copied.
Parameters byteArrayToParameters(QByteArray&& bytes);

// One whole frame: the payload length, little-endian, followed by the serialised record. Built in a single
// buffer, because a file packet is a megabyte and every extra copy shows in the transfer rate. A file packet's
// frame is built in a buffer of `frames` and given back to it at once: memory already touched serves again,
// instead of fresh pages that each cost a fault on first write, once the caller and its connection let it go.
QByteArray parametersToFrame(const Parameters& parameters, BufferPool* frames = nullptr);

// A buffer of `size` bytes for a frame: from `frames` for a file packet's size, else a fresh one. Given back to
// the pool by the caller once written.
QByteArray frameBuffer(qsizetype size, BufferPool* frames);

// A frame's payload in three parts that travel as if joined: a file packet's bytes stay in the buffer they were read
// into, between the record's fields before them (with the packet's own tag and length) and after them. Without such
// a packet, the whole record is the head.
struct FramePayload
{
    QByteArray head;
    QByteArray body;
    QByteArray tail;
    qsizetype size() const { return head.size() + body.size() + tail.size(); }
};

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

    // A file packet's bytes, left out by writeAround, and where in the record they belong.
    struct Packet
    {
        QByteArray bytes; // null when the record carries no packet worth handling apart
        qsizetype offset = 0;
    };
    // Writes the size() bytes of the record except a file packet's, whose place stays as it was: for a caller that
    // puts them there itself (write() copies them in). Without such a packet, the same as write().
    Packet writeAround(char* out) const;
    // The record in parts, the packet's bytes shared rather than copied.
    FramePayload payload() const;

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

} // namespace Vesk
