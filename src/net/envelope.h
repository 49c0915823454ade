#pragma once

#include "net/wire.h"

#include <QByteArray>
#include <QString>

namespace Vesk {

class BufferPool;
class DetachedCipher;
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
// The same under the counter a detached cipher took from its channel (see SealedChannel::sealElsewhere): the
// same bytes as the channel would have sealed under that counter.
QByteArray sealedFrame(const Parameters& parameters, DetachedCipher& cipher, const QString& nodeFrom,
                       const QByteArray& senderKeyId, const QByteArray& recipientKeyId, BufferPool* frames = nullptr);

// The same in two steps, for a file packet sealed on another thread: the frame is built (and its buffer taken) on
// the caller's thread, as for any message, so the other thread only encrypts. A buffer that thread allocated
// would come from memory of its own that the allocator hands back to the system between packets, and every page
// of it would fault again on first touch. The packet's own bytes are not copied into the frame: the cipher reads
// them from the packet and writes their ciphertext to their place.
struct UnsealedFrame
{
    QByteArray frame;                // the whole frame, to send once sealed
    unsigned char* record = nullptr; // the record's bytes in it, then the tag's place
    size_t size = 0;
    QByteArray packet; // held until sealed: the bytes that belong at record + packetAt, null if none
    size_t packetAt = 0;
    QByteArray associated;
    quint64 counter = 0;
};
UnsealedFrame unsealedFrame(const Parameters& parameters, quint64 counter, const QString& nodeFrom,
                            const QByteArray& senderKeyId, const QByteArray& recipientKeyId, BufferPool* frames);
// Seals the frame in place, on any thread; false when the cipher was not taken for its counter or fails.
bool sealFrame(UnsealedFrame& unsealed, DetachedCipher& cipher);

// Opens an envelope's record in place and decodes what it carries into `parameters`. False when it does not open
// (another key, altered, cut short, replayed) or when what it carries names another sender than the envelope; the
// record is then consumed and meaningless.
// With `frames`, a file packet is decrypted into a buffer of that pool rather than in place, so a record that is
// still shared (the queued copies of a received message) is not copied first; the record goes back to the pool.
bool openEnvelope(QByteArray&& record, const SealedEnvelope& envelope, SealedChannel& channel, Parameters* parameters,
                  BufferPool* frames = nullptr);
// The same on another thread, with a cipher detached for the envelope's counter (SealedChannel::openElsewhere).
// True only says the record is authentic: it counts once its channel has taken the counter (markOpened).
bool openEnvelope(QByteArray&& record, const SealedEnvelope& envelope, DetachedCipher& cipher, Parameters* parameters,
                  BufferPool* frames = nullptr);

} // namespace Vesk
