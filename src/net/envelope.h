#pragma once

#include "net/wire.h"

#include <QByteArray>
#include <QString>

namespace Vesk {

class BufferPool;
class SealedChannel;

// A sealed record on the wire: the sender's node id and session key id, the receiver's session key id and the
// message counter stay readable, because the receiver needs them to find the keys; the whole record they carry
// (action, texts, names, file bytes) is encrypted and authenticated, and so are the readable fields beside it.
struct SealedEnvelope
{
    QString nodeFrom;
    QByteArray senderKeyId;
    QByteArray recipientKeyId;
    quint64 counter = 0;
    qsizetype sealedStart = 0; // where the sealed bytes, tag included, lie in the record
    qsizetype sealedEnd = 0;
};

enum class EnvelopeKind {
    Plain,     // a record of the plain protocol
    Sealed,    // an envelope, read into a SealedEnvelope
    Malformed, // carries sealed bytes but is no well-formed envelope: refused
};

// Tells a sealed record from a plain one without copying or parsing the sealed bytes.
EnvelopeKind readEnvelope(const QByteArray& record, SealedEnvelope* envelope);

// The frame of `parameters` sealed under `channel`, with the sealed bytes encrypted where they lie in the frame.
// A file packet's frame is built in a buffer of `frames` (see parametersToFrame).
// Empty when the channel cannot seal.
QByteArray sealedFrame(const Parameters& parameters, SealedChannel& channel, const QString& nodeFrom,
                       const QByteArray& senderKeyId, const QByteArray& recipientKeyId, BufferPool* frames = nullptr);

// Opens an envelope's record in place and decodes what it carries into `parameters`. False when it does not open
// (another key, altered, cut short, replayed) or when what it carries names another sender than the envelope; the
// record is then consumed and meaningless.
// With `frames`, a file packet is decrypted into a buffer of that pool rather than in place, so a record that is
// still shared (the queued copies of a received message) is not copied first; the record goes back to the pool.
bool openEnvelope(QByteArray&& record, const SealedEnvelope& envelope, SealedChannel& channel, Parameters* parameters,
                  BufferPool* frames = nullptr);

} // namespace Vesk
