#include "net/envelope.h"

#include "common/bufferpool.h"
#include "net/netlogging.h"
#include "proto/veskv1.pb.h"
#include "secure/sealedchannel.h"

#include <QtEndian>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

using com::tavimor::vesk::MessageParameters;
using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;

namespace Vesk {

namespace {

constexpr int kNodeFromField = 2;
constexpr int kSealedFromField = 21;
constexpr int kSealedToField = 22;
constexpr int kCounterField = 23;
constexpr int kSealedField = 24;
// Names and ids that are longer than this are not ours: refused before anything is read into memory.
constexpr quint32 kMaxReadableField = 1024;

constexpr quint32 tagOf(int field, WireFormatLite::WireType type)
{
    return quint32(field << 3) | quint32(type);
}

// What the seal authenticates besides the sealed bytes: the readable fields, each with its length so no two
// different sets of fields give the same bytes.
QByteArray associatedData(const QString& nodeFrom, const QByteArray& senderKeyId, const QByteArray& recipientKeyId)
{
    QByteArray bytes = QByteArrayLiteral("vesk sealed record 1");
    for (const QByteArray& field : {nodeFrom.toUtf8(), senderKeyId, recipientKeyId}) {
        char size[4];
        qToLittleEndian<quint32>(quint32(field.size()), size);
        bytes.append(size, sizeof size).append(field);
    }
    return bytes;
}

bool readBytes(CodedInputStream& in, QByteArray* out)
{
    quint32 length = 0;
    if (!in.ReadVarint32(&length) || length > kMaxReadableField)
        return false;
    out->resize(qsizetype(length));
    return in.ReadRaw(out->data(), int(length));
}

} // namespace

EnvelopeKind readEnvelope(const QByteArray& record, SealedEnvelope* envelope)
{
    CodedInputStream in(reinterpret_cast<const quint8*>(record.constData()), int(record.size()));
    SealedEnvelope found;
    bool sealed = false, plainField = false, counter = false;
    for (;;) {
        const quint32 tag = in.ReadTag();
        if (tag == 0) {
            if (in.CurrentPosition() != record.size())
                return sealed ? EnvelopeKind::Malformed : EnvelopeKind::Plain; // the plain parser reports it
            break;
        }
        switch (tag) {
        case tagOf(kNodeFromField, WireFormatLite::WIRETYPE_LENGTH_DELIMITED): {
            QByteArray text;
            if (!readBytes(in, &text))
                return EnvelopeKind::Malformed;
            found.nodeFrom = QString::fromUtf8(text);
            break;
        }
        case tagOf(kSealedFromField, WireFormatLite::WIRETYPE_LENGTH_DELIMITED):
            if (!readBytes(in, &found.senderKeyId))
                return EnvelopeKind::Malformed;
            break;
        case tagOf(kSealedToField, WireFormatLite::WIRETYPE_LENGTH_DELIMITED):
            if (!readBytes(in, &found.recipientKeyId))
                return EnvelopeKind::Malformed;
            break;
        case tagOf(kCounterField, WireFormatLite::WIRETYPE_VARINT): {
            uint64_t value = 0;
            if (!in.ReadVarint64(&value))
                return EnvelopeKind::Malformed;
            found.counter = value;
            counter = true;
            break;
        }
        case tagOf(kSealedField, WireFormatLite::WIRETYPE_LENGTH_DELIMITED): {
            quint32 length = 0;
            if (sealed || !in.ReadVarint32(&length))
                return EnvelopeKind::Malformed;
            const int start = in.CurrentPosition();
            if (!in.Skip(int(length)))
                return EnvelopeKind::Malformed;
            found.sealedStart = start;
            found.sealedEnd = start + qsizetype(length);
            sealed = true;
            break;
        }
        default:
            if (!WireFormatLite::SkipField(&in, tag))
                return sealed ? EnvelopeKind::Malformed : EnvelopeKind::Plain;
            plainField = true;
        }
    }
    if (!sealed)
        return EnvelopeKind::Plain;
    // Anything readable beside the seal would be taken as the sender's without being authenticated.
    if (plainField || !counter || found.nodeFrom.isEmpty() || found.senderKeyId.isEmpty() ||
        found.recipientKeyId.isEmpty() || found.sealedEnd - found.sealedStart < SealedChannel::kMacSize)
        return EnvelopeKind::Malformed;
    *envelope = found;
    return EnvelopeKind::Sealed;
}

namespace {

// Opens an envelope's record with `open` (the channel's or a detached cipher's); see openEnvelope.
template <typename Open>
bool openRecord(QByteArray&& record, const SealedEnvelope& envelope, Parameters* parameters, BufferPool* frames,
                Open open)
{
    if (envelope.sealedStart < 0 || envelope.sealedEnd > record.size() ||
        envelope.sealedEnd - envelope.sealedStart < SealedChannel::kMacSize)
        return false;
    const qsizetype size = envelope.sealedEnd - envelope.sealedStart - SealedChannel::kMacSize;
    const QByteArray associated = associatedData(envelope.nodeFrom, envelope.senderKeyId, envelope.recipientKeyId);
    QByteArray plain;
    // A record nobody else holds is opened where it lies: its megabyte is read and written once, in the same cache
    // lines. One still shared (a copy of its message not yet let go) would be copied into fresh memory first, so
    // it is opened into a buffer of the pool instead, and goes back to the pool.
    if (frames && size >= BufferPool::kFramesFrom && !record.isDetached()) {
        plain = frames->take(size);
        const auto* sealed = reinterpret_cast<const unsigned char*>(record.constData()) + envelope.sealedStart;
        const bool opened =
            open(associated, sealed, size_t(size), sealed + size, reinterpret_cast<unsigned char*>(plain.data()));
        frames->giveBack(std::move(record));
        if (!opened) {
            frames->giveBack(std::move(plain));
            return false;
        }
    } else {
        auto* data = reinterpret_cast<unsigned char*>(record.data()) + envelope.sealedStart; // detaches if shared
        if (!open(associated, data, size_t(size), data + size, data))
            return false;
        record.truncate(envelope.sealedStart + size);
        record.remove(0, envelope.sealedStart);
        plain = std::move(record);
    }
    Parameters opened = byteArrayToParameters(std::move(plain));
    const auto sender = opened.constFind(QStringLiteral("nodeFrom"));
    if (sender != opened.cend() && sender.value().toString() != envelope.nodeFrom) {
        qCDebug(lcNet) << "sealed record from" << envelope.nodeFrom << "names another sender";
        return false;
    }
    *parameters = std::move(opened);
    return true;
}

} // namespace

UnsealedFrame unsealedFrame(const Parameters& parameters, quint64 counter, const QString& nodeFrom,
                            const QByteArray& senderKeyId, const QByteArray& recipientKeyId, BufferPool* frames)
{
    const RecordEncoder record(parameters);
    const qsizetype recordSize = record.size();
    const quint32 sealedSize = quint32(recordSize + SealedChannel::kMacSize);
    MessageParameters readable;
    readable.set_nodefrom(nodeFrom.toUtf8().toStdString());
    readable.set_sealedfrom(senderKeyId.constData(), size_t(senderKeyId.size()));
    readable.set_sealedto(recipientKeyId.constData(), size_t(recipientKeyId.size()));
    readable.set_sealedcounter(counter);
    const size_t readableSize = readable.ByteSizeLong();
    const size_t sealedHeader =
        CodedOutputStream::VarintSize32(tagOf(kSealedField, WireFormatLite::WIRETYPE_LENGTH_DELIMITED)) +
        CodedOutputStream::VarintSize32(sealedSize);
    const qsizetype payloadSize = qsizetype(readableSize + sealedHeader + sealedSize);

    UnsealedFrame unsealed;
    unsealed.frame = frameBuffer(kFrameHeaderSize + payloadSize, frames);
    auto* out = reinterpret_cast<quint8*>(unsealed.frame.data());
    qToLittleEndian<quint32>(quint32(payloadSize), out);
    out = readable.SerializeWithCachedSizesToArray(out + kFrameHeaderSize);
    out = CodedOutputStream::WriteTagToArray(tagOf(kSealedField, WireFormatLite::WIRETYPE_LENGTH_DELIMITED), out);
    out = CodedOutputStream::WriteVarint32ToArray(sealedSize, out);
    const RecordEncoder::Packet packet = record.writeAround(reinterpret_cast<char*>(out));
    unsealed.record = out;
    unsealed.size = size_t(recordSize);
    unsealed.packet = packet.bytes;
    unsealed.packetAt = size_t(packet.offset);
    unsealed.associated = associatedData(nodeFrom, senderKeyId, recipientKeyId);
    unsealed.counter = counter;
    // Taken back by the pool once the frame has gone; until then nobody else writes it.
    if (frames && unsealed.frame.size() >= BufferPool::kFramesFrom)
        frames->giveBack(unsealed.frame);
    return unsealed;
}

namespace {

Plaintext plaintextOf(const UnsealedFrame& unsealed)
{
    return Plaintext{unsealed.record, unsealed.size,
                     reinterpret_cast<const unsigned char*>(unsealed.packet.constData()), unsealed.packetAt,
                     size_t(unsealed.packet.size())};
}

} // namespace

bool sealFrame(UnsealedFrame& unsealed, DetachedCipher& cipher)
{
    const bool sealed =
        unsealed.counter == cipher.counter() &&
        cipher.seal(unsealed.associated, plaintextOf(unsealed), unsealed.record + unsealed.size) == unsealed.counter;
    unsealed.packet.clear(); // its bytes are in the frame now
    return sealed;
}

QByteArray sealedFrame(const Parameters& parameters, SealedChannel& channel, const QString& nodeFrom,
                       const QByteArray& senderKeyId, const QByteArray& recipientKeyId, BufferPool* frames)
{
    UnsealedFrame unsealed =
        unsealedFrame(parameters, channel.nextCounter(), nodeFrom, senderKeyId, recipientKeyId, frames);
    const quint64 used = channel.seal(unsealed.associated, plaintextOf(unsealed), unsealed.record + unsealed.size);
    return used != 0 && used == unsealed.counter ? unsealed.frame : QByteArray();
}

QByteArray sealedFrame(const Parameters& parameters, DetachedCipher& cipher, const QString& nodeFrom,
                       const QByteArray& senderKeyId, const QByteArray& recipientKeyId, BufferPool* frames)
{
    UnsealedFrame unsealed = unsealedFrame(parameters, cipher.counter(), nodeFrom, senderKeyId, recipientKeyId, frames);
    return sealFrame(unsealed, cipher) ? unsealed.frame : QByteArray();
}

bool openEnvelope(QByteArray&& record, const SealedEnvelope& envelope, SealedChannel& channel, Parameters* parameters,
                  BufferPool* frames)
{
    return openRecord(
        std::move(record), envelope, parameters, frames,
        [&](const QByteArray& associated, const unsigned char* sealed, size_t size, const unsigned char* mac,
            unsigned char* out) { return channel.open(envelope.counter, associated, sealed, size, mac, out); });
}

bool openEnvelope(QByteArray&& record, const SealedEnvelope& envelope, DetachedCipher& cipher, Parameters* parameters,
                  BufferPool* frames)
{
    if (envelope.counter != cipher.counter())
        return false;
    return openRecord(std::move(record), envelope, parameters, frames,
                      [&cipher](const QByteArray& associated, const unsigned char* sealed, size_t size,
                                const unsigned char* mac,
                                unsigned char* out) { return cipher.open(associated, sealed, size, mac, out); });
}

} // namespace Vesk
