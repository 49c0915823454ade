#include "net/wire.h"

#include "net/netlogging.h"

#include "common/bufferpool.h"
#include "proto/veskv1.pb.h"

#include <QtEndian>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/wire_format_lite.h>

#include <cstring>
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
    if (has("fileSize"))
        record.set_filesize(value.toUInt());
    if (has("fileId"))
        record.set_fileid(textField(value));
    if (has("fileName"))
        record.set_filename(textField(value));
    if (has("fileSeek"))
        record.set_fileseek(value.toUInt());
    if (has("packetId"))
        record.set_packetid(textField(value));
    if (has("bufferSize"))
        record.set_buffersize(value.toUInt());
    if (has("sysinfo"))
        record.set_sysinfo(textField(value));
    if (has("alias"))
        record.set_alias(textField(value));
    return record;
}

} // namespace

QByteArray parametersToByteArray(const Parameters& parameters)
{
    const MessageParameters record = toRecord(parameters);
    QByteArray bytes(qsizetype(record.ByteSizeLong()), Qt::Uninitialized);
    record.SerializeWithCachedSizesToArray(reinterpret_cast<quint8*>(bytes.data()));
    return bytes;
}

QByteArray parametersToFrame(const Parameters& parameters, BufferPool* frames)
{
    const auto binaryData = parameters.constFind(QStringLiteral("binaryData"));
    QByteArray packet;
    if (binaryData != parameters.cend())
        packet = binaryData.value().toByteArray();
    if (packet.size() < kShareBinaryDataFrom) {
        const MessageParameters record = toRecord(parameters);
        const size_t payloadSize = record.ByteSizeLong();
        QByteArray frame(qsizetype(kFrameHeaderSize + payloadSize), Qt::Uninitialized);
        qToLittleEndian<quint32>(quint32(payloadSize), frame.data());
        record.SerializeWithCachedSizesToArray(reinterpret_cast<quint8*>(frame.data()) + kFrameHeaderSize);
        return frame;
    }

    // A file packet is copied once, straight into the frame, instead of into the record and from there into the
    // frame. Fields are serialised in the order of their numbers, so the fields before binaryData (4), the packet
    // and the fields after it give exactly the bytes of the whole record.
    using google::protobuf::io::CodedOutputStream;
    Parameters rest = parameters;
    rest.remove(QStringLiteral("binaryData"));
    MessageParameters after = toRecord(rest);
    MessageParameters before;
    if (after.has_action())
        before.set_action(after.action());
    if (after.has_nodefrom())
        before.set_nodefrom(after.nodefrom());
    if (after.has_fileextension())
        before.set_fileextension(after.fileextension());
    after.clear_action();
    after.clear_nodefrom();
    after.clear_fileextension();

    const size_t beforeSize = before.ByteSizeLong();
    const size_t afterSize = after.ByteSizeLong();
    const quint32 packetSize = quint32(packet.size());
    const size_t fieldHeader = 1 + CodedOutputStream::VarintSize32(packetSize);
    const size_t payloadSize = beforeSize + fieldHeader + packetSize + afterSize;
    const qsizetype frameSize = qsizetype(kFrameHeaderSize + payloadSize);
    QByteArray frame = frames ? frames->take(frameSize) : QByteArray(frameSize, Qt::Uninitialized);
    auto* out = reinterpret_cast<quint8*>(frame.data());
    qToLittleEndian<quint32>(quint32(payloadSize), out);
    out += kFrameHeaderSize;
    out = before.SerializeWithCachedSizesToArray(out);
    out = CodedOutputStream::WriteTagToArray((4 << 3) | 2, out);
    out = CodedOutputStream::WriteVarint32ToArray(packetSize, out);
    memcpy(out, packet.constData(), packetSize);
    after.SerializeWithCachedSizesToArray(out + packetSize);
    if (frames)
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
    bytes.truncate(span.dataEnd);
    bytes.remove(0, span.dataStart);
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
    if (record.has_packetid())
        parameters.insert(QStringLiteral("packetId"), textValue(record.packetid()));
    if (record.has_buffersize())
        parameters.insert(QStringLiteral("bufferSize"), quint32(record.buffersize()));
    if (record.has_sysinfo())
        parameters.insert(QStringLiteral("sysinfo"), textValue(record.sysinfo()));
    if (record.has_alias())
        parameters.insert(QStringLiteral("alias"), textValue(record.alias()));
    return true;
}

} // namespace

} // namespace Vesk
