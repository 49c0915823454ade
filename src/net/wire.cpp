#include "net/wire.h"

#include "net/netlogging.h"

#include "common/bufferpool.h"
#include "proto/veskv1.pb.h"

#include <QtEndian>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/wire_format_lite.h>

#include <cstring>
#include <limits>
#include <string>

using com::tavimor::vesk::MessageParameters;

namespace Vesk {

namespace {

// Records this large carry a file packet: their bytes are worth moving without a copy.
constexpr qsizetype kShareBinaryDataFrom = 64 * 1024;

// Text fields stop at the first NUL in both directions, the way C strings on older peers carry them.
std::string textField(const QVariant& value)
{
    const QByteArray utf8 = value.toString().toUtf8();
    const qsizetype nul = utf8.indexOf('\0');
    return std::string(utf8.constData(), size_t(nul < 0 ? utf8.size() : nul));
}

QString textValue(const std::string& field)
{
    const size_t nul = field.find('\0');
    return QString::fromUtf8(field.data(), qsizetype(nul == std::string::npos ? field.size() : nul));
}

// The protobuf library writes its own complaints (a peer's invalid UTF-8, for one) straight to stderr; a peer must
// not be able to fill the terminal, so they go to the transport's debug output instead.
void protobufLog(google::protobuf::LogLevel level, const char* filename, int line, const std::string& message)
{
    qCDebug(lcNet, "protobuf (%d) %s:%d: %s", int(level), filename, line, message.c_str());
}

void routeProtobufLog()
{
    static const bool routed = [] {
        google::protobuf::SetLogHandler(protobufLog);
        return true;
    }();
    Q_UNUSED(routed)
}

template <typename Setter> void setBytes(const QVariant& value, Setter set)
{
    const QByteArray bytes = value.toByteArray();
    set(bytes.constData(), size_t(bytes.size()));
}

MessageParameters toRecord(const Parameters& parameters)
{
    MessageParameters record;
    QVariant value;
    // Presence is decided by the key alone: an empty or invalid value still sets its field.
    const auto has = [&parameters, &value](const char* key) {
        const auto found = parameters.constFind(QLatin1String(key));
        if (found == parameters.cend())
            return false;
        value = found.value();
        return true;
    };

    if (has("action"))
        record.set_action(textField(value));
    if (has("nodeFrom"))
        record.set_nodefrom(textField(value));
    if (has("fileExtension"))
        record.set_fileextension(textField(value));
    if (has("binaryData")) {
        const QByteArray bytes = value.toByteArray();
        record.set_binarydata(bytes.constData(), size_t(bytes.size()));
    }
    if (has("message"))
        record.set_message(textField(value));
    if (has("chatId"))
        record.set_chatid(textField(value));
    if (has("timeSent"))
        record.set_timesent(value.toLongLong());
    // A size or offset of 4 GiB or more does not fit the plain field: it goes in the large one, which only a peer
    // that announced it is ever sent (see fitsPlainPeer).
    if (has("fileSize")) {
        if (const qint64 size = value.toLongLong(); size > kLargestPlainSize)
            record.set_filesizelarge(quint64(size));
        else
            record.set_filesize(value.toUInt());
    }
    if (has("fileId"))
        record.set_fileid(textField(value));
    if (has("fileName"))
        record.set_filename(textField(value));
    if (has("fileSeek")) {
        if (const qint64 seek = value.toLongLong(); seek > kLargestPlainSize)
            record.set_fileseeklarge(quint64(seek));
        else
            record.set_fileseek(value.toUInt());
    }
    if (has("packetId"))
        record.set_packetid(textField(value));
    if (has("bufferSize"))
        record.set_buffersize(value.toUInt());
    if (has("sysinfo"))
        record.set_sysinfo(textField(value));
    if (has("alias"))
        record.set_alias(textField(value));
    // The handshake's extension fields: put in by the handshake only for a peer that is not known to be plain.
    if (has("capabilities"))
        record.set_capabilities(value.toUInt());
    if (has("identityKey"))
        setBytes(value, [&record](const char* data, size_t size) { record.set_identitykey(data, size); });
    if (has("sessionKey"))
        setBytes(value, [&record](const char* data, size_t size) { record.set_sessionkey(data, size); });
    if (has("sessionSignature"))
        setBytes(value, [&record](const char* data, size_t size) { record.set_sessionsignature(data, size); });
    if (has("sessionTime"))
        record.set_sessiontime(value.toLongLong());
    if (has("sealedTo"))
        setBytes(value, [&record](const char* data, size_t size) { record.set_sealedto(data, size); });
    if (has("folderListing"))
        setBytes(value, [&record](const char* data, size_t size) { record.set_folderlisting(data, size); });
    return record;
}

} // namespace

bool isExtensionField(const QString& key)
{
    static const QStringList kKeys{QStringLiteral("capabilities"), QStringLiteral("identityKey"),
                                   QStringLiteral("sessionKey"),   QStringLiteral("sessionSignature"),
                                   QStringLiteral("sessionTime"),  QStringLiteral("sealedTo"),
                                   QStringLiteral("folderListing")};
    return kKeys.contains(key);
}

bool carriesExtensionFields(const Parameters& message)
{
    for (auto field = message.cbegin(); field != message.cend(); ++field)
        if (isExtensionField(field.key()))
            return true;
    for (const char* key : {"fileSize", "fileSeek"}) {
        const auto field = message.constFind(QLatin1String(key));
        if (field != message.cend() && field.value().toLongLong() > kLargestPlainSize)
            return true;
    }
    return false;
}

QByteArray parametersToByteArray(const Parameters& parameters)
{
    const MessageParameters record = toRecord(parameters);
    QByteArray bytes(qsizetype(record.ByteSizeLong()), Qt::Uninitialized);
    record.SerializeWithCachedSizesToArray(reinterpret_cast<quint8*>(bytes.data()));
    return bytes;
}

QByteArray frameBuffer(qsizetype size, BufferPool* frames)
{
    return frames && size >= kShareBinaryDataFrom ? frames->take(size) : QByteArray(size, Qt::Uninitialized);
}

// A file packet is copied once, straight to its place, instead of into the record and from there into the frame.
// Fields are serialised in the order of their numbers, so the fields before binaryData (4), the packet and the
// fields after it give exactly the bytes of the whole record.
struct RecordEncoder::Parts
{
    MessageParameters before;
    MessageParameters after;
    QByteArray packet;
    bool split = false;
    size_t beforeSize = 0;
    size_t afterSize = 0;
};

RecordEncoder::RecordEncoder(const Parameters& parameters) : m_parts(std::make_unique<Parts>())
{
    Parts& p = *m_parts;
    const auto binaryData = parameters.constFind(QStringLiteral("binaryData"));
    if (binaryData != parameters.cend())
        p.packet = binaryData.value().toByteArray();
    p.split = p.packet.size() >= kShareBinaryDataFrom;
    if (!p.split) {
        p.packet.clear();
        p.before = toRecord(parameters);
        p.beforeSize = p.before.ByteSizeLong();
        return;
    }
    Parameters rest = parameters;
    rest.remove(QStringLiteral("binaryData"));
    p.after = toRecord(rest);
    if (p.after.has_action())
        p.before.set_action(p.after.action());
    if (p.after.has_nodefrom())
        p.before.set_nodefrom(p.after.nodefrom());
    if (p.after.has_fileextension())
        p.before.set_fileextension(p.after.fileextension());
    p.after.clear_action();
    p.after.clear_nodefrom();
    p.after.clear_fileextension();
    p.beforeSize = p.before.ByteSizeLong();
    p.afterSize = p.after.ByteSizeLong();
}

RecordEncoder::~RecordEncoder() = default;

qsizetype RecordEncoder::size() const
{
    using google::protobuf::io::CodedOutputStream;
    const Parts& p = *m_parts;
    if (!p.split)
        return qsizetype(p.beforeSize);
    const quint32 packetSize = quint32(p.packet.size());
    return qsizetype(p.beforeSize + 1 + CodedOutputStream::VarintSize32(packetSize) + packetSize + p.afterSize);
}

void RecordEncoder::write(char* to) const
{
    const Packet packet = writeAround(to);
    if (!packet.bytes.isNull())
        memcpy(to + packet.offset, packet.bytes.constData(), size_t(packet.bytes.size()));
}

RecordEncoder::Packet RecordEncoder::writeAround(char* to) const
{
    using google::protobuf::io::CodedOutputStream;
    const Parts& p = *m_parts;
    auto* out = reinterpret_cast<quint8*>(to);
    out = p.before.SerializeWithCachedSizesToArray(out);
    if (!p.split)
        return {};
    const quint32 packetSize = quint32(p.packet.size());
    out = CodedOutputStream::WriteTagToArray((4 << 3) | 2, out);
    out = CodedOutputStream::WriteVarint32ToArray(packetSize, out);
    p.after.SerializeWithCachedSizesToArray(out + packetSize);
    return {p.packet, qsizetype(reinterpret_cast<char*>(out) - to)};
}

FramePayload RecordEncoder::payload() const
{
    using google::protobuf::io::CodedOutputStream;
    const Parts& p = *m_parts;
    FramePayload payload;
    if (!p.split) {
        payload.head = QByteArray(qsizetype(p.beforeSize), Qt::Uninitialized);
        p.before.SerializeWithCachedSizesToArray(reinterpret_cast<quint8*>(payload.head.data()));
        return payload;
    }
    const quint32 packetSize = quint32(p.packet.size());
    payload.head =
        QByteArray(qsizetype(p.beforeSize + 1 + CodedOutputStream::VarintSize32(packetSize)), Qt::Uninitialized);
    auto* out = p.before.SerializeWithCachedSizesToArray(reinterpret_cast<quint8*>(payload.head.data()));
    out = CodedOutputStream::WriteTagToArray((4 << 3) | 2, out);
    CodedOutputStream::WriteVarint32ToArray(packetSize, out);
    payload.body = p.packet;
    payload.tail = QByteArray(qsizetype(p.afterSize), Qt::Uninitialized);
    p.after.SerializeWithCachedSizesToArray(reinterpret_cast<quint8*>(payload.tail.data()));
    return payload;
}

QByteArray parametersToFrame(const Parameters& parameters, BufferPool* frames)
{
    const RecordEncoder record(parameters);
    const qsizetype payloadSize = record.size();
    QByteArray frame = frameBuffer(kFrameHeaderSize + payloadSize, frames);
    qToLittleEndian<quint32>(quint32(payloadSize), frame.data());
    record.write(frame.data() + kFrameHeaderSize);
    if (frames && frame.size() >= kShareBinaryDataFrom)
        frames->giveBack(frame);
    return frame;
}

namespace {

struct Span
{
    qsizetype fieldStart = 0; // the tag
    qsizetype dataStart = 0;
    qsizetype dataEnd = 0;
};

// Where the binaryData field's bytes lie in a serialised record (the last occurrence counts, as when parsing).
// False when the record has none or does not split into fields.
bool findBinaryData(const QByteArray& bytes, Span* span)
{
    using google::protobuf::internal::WireFormatLite;
    constexpr quint32 kBinaryDataTag = (4 << 3) | WireFormatLite::WIRETYPE_LENGTH_DELIMITED;
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const quint8*>(bytes.constData()), int(bytes.size()));
    bool found = false;
    for (;;) {
        const int at = in.CurrentPosition();
        const quint32 tag = in.ReadTag();
        if (tag == 0)
            return found && at == bytes.size();
        if (tag != kBinaryDataTag) {
            if (!WireFormatLite::SkipField(&in, tag))
                return false;
            continue;
        }
        quint32 length = 0;
        if (!in.ReadVarint32(&length))
            return false;
        const int start = in.CurrentPosition();
        if (!in.Skip(int(length)))
            return false;
        *span = Span{at, start, start + qsizetype(length)};
        found = true;
    }
}

bool parseInto(const QByteArray& bytes, Parameters& parameters);

} // namespace

Parameters byteArrayToParameters(QByteArray&& bytes)
{
    Span span;
    if (bytes.size() < kShareBinaryDataFrom || !findBinaryData(bytes, &span))
        return byteArrayToParameters(std::as_const(bytes));
    // The other fields are parsed from a small copy without the packet; the packet itself stays where it was
    // read and is handed on by dropping what lies before and after it (no copy while nothing else shares it).
    Parameters parameters;
    if (!parseInto(bytes.left(span.fieldStart) + bytes.mid(span.dataEnd), parameters)) {
        qCritical("There was an error parsing data to parameters");
        return Parameters();
    }
    if (bytes.isDetached()) {
        bytes.truncate(span.dataEnd);
        bytes.remove(0, span.dataStart);
    } else {
        // Still held by whoever read it (a stream hands its frames on by reference): the packet is a view into
        // the same memory, which stays alive while either holds it, instead of a copy of a megabyte. It is not
        // followed by a terminating zero; nothing reads a packet as text.
        QByteArray::DataPointer view = bytes.data_ptr();
        view.ptr += span.dataStart;
        view.size = span.dataEnd - span.dataStart;
        bytes = QByteArray(std::move(view));
    }
    parameters.insert(QStringLiteral("binaryData"), std::move(bytes));
    return parameters;
}

Parameters byteArrayToParameters(const QByteArray& bytes)
{
    Parameters parameters;
    if (bytes.isEmpty())
        return parameters;
    if (!parseInto(bytes, parameters)) {
        qCritical("There was an error parsing data to parameters");
        return Parameters();
    }
    return parameters;
}

namespace {

bool parseInto(const QByteArray& bytes, Parameters& parameters)
{
    if (bytes.isEmpty())
        return true;
    routeProtobufLog();
    MessageParameters record;
    if (!record.ParseFromArray(bytes.constData(), int(bytes.size())))
        return false;

    if (record.has_action())
        parameters.insert(QStringLiteral("action"), textValue(record.action()));
    if (record.has_nodefrom())
        parameters.insert(QStringLiteral("nodeFrom"), textValue(record.nodefrom()));
    if (record.has_fileextension())
        parameters.insert(QStringLiteral("fileExtension"), textValue(record.fileextension()));
    if (record.has_binarydata()) {
        const std::string& data = record.binarydata();
        parameters.insert(QStringLiteral("binaryData"), QByteArray(data.data(), qsizetype(data.size())));
    }
    if (record.has_message())
        parameters.insert(QStringLiteral("message"), textValue(record.message()));
    if (record.has_chatid())
        parameters.insert(QStringLiteral("chatId"), textValue(record.chatid()));
    if (record.has_timesent())
        parameters.insert(QStringLiteral("timeSent"), qint64(record.timesent()));
    if (record.has_filesize())
        parameters.insert(QStringLiteral("fileSize"), quint32(record.filesize()));
    if (record.has_fileid())
        parameters.insert(QStringLiteral("fileId"), textValue(record.fileid()));
    if (record.has_filename())
        parameters.insert(QStringLiteral("fileName"), textValue(record.filename()));
    if (record.has_fileseek())
        parameters.insert(QStringLiteral("fileSeek"), quint32(record.fileseek()));
    // The large fields stand for the plain ones; a value past what a signed 64-bit size holds is left out, as if
    // the field were missing.
    if (record.has_filesizelarge() && record.filesizelarge() <= quint64(std::numeric_limits<qint64>::max()))
        parameters.insert(QStringLiteral("fileSize"), qint64(record.filesizelarge()));
    if (record.has_fileseeklarge() && record.fileseeklarge() <= quint64(std::numeric_limits<qint64>::max()))
        parameters.insert(QStringLiteral("fileSeek"), qint64(record.fileseeklarge()));
    if (record.has_packetid())
        parameters.insert(QStringLiteral("packetId"), textValue(record.packetid()));
    if (record.has_buffersize())
        parameters.insert(QStringLiteral("bufferSize"), quint32(record.buffersize()));
    if (record.has_sysinfo())
        parameters.insert(QStringLiteral("sysinfo"), textValue(record.sysinfo()));
    if (record.has_alias())
        parameters.insert(QStringLiteral("alias"), textValue(record.alias()));
    const auto bytesValue = [](const std::string& field) {
        return QByteArray(field.data(), qsizetype(field.size()));
    };
    if (record.has_capabilities())
        parameters.insert(QStringLiteral("capabilities"), quint32(record.capabilities()));
    if (record.has_identitykey())
        parameters.insert(QStringLiteral("identityKey"), bytesValue(record.identitykey()));
    if (record.has_sessionkey())
        parameters.insert(QStringLiteral("sessionKey"), bytesValue(record.sessionkey()));
    if (record.has_sessionsignature())
        parameters.insert(QStringLiteral("sessionSignature"), bytesValue(record.sessionsignature()));
    if (record.has_sessiontime())
        parameters.insert(QStringLiteral("sessionTime"), qint64(record.sessiontime()));
    if (record.has_sealedto())
        parameters.insert(QStringLiteral("sealedTo"), bytesValue(record.sealedto()));
    if (record.has_folderlisting())
        parameters.insert(QStringLiteral("folderListing"), bytesValue(record.folderlisting()));
    return true;
}

} // namespace

} // namespace Vesk
