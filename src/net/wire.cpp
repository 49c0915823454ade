#include "net/wire.h"

#include "net/netlogging.h"
#include "proto/veskv1.pb.h"

#include <QtEndian>

#include <google/protobuf/stubs/logging.h>

#include <string>

using com::tavimor::vesk::MessageParameters;

namespace Vesk {

namespace {

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

QByteArray parametersToFrame(const Parameters& parameters)
{
    const MessageParameters record = toRecord(parameters);
    const size_t payloadSize = record.ByteSizeLong();
    QByteArray frame(qsizetype(kFrameHeaderSize + payloadSize), Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(payloadSize), frame.data());
    record.SerializeWithCachedSizesToArray(reinterpret_cast<quint8*>(frame.data()) + kFrameHeaderSize);
    return frame;
}

Parameters byteArrayToParameters(const QByteArray& bytes)
{
    Parameters parameters;
    if (bytes.isEmpty())
        return parameters;

    routeProtobufLog();
    MessageParameters record;
    if (!record.ParseFromArray(bytes.constData(), int(bytes.size()))) {
        qCritical("There was an error parsing data to parameters");
        return parameters;
    }

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
    return parameters;
}

} // namespace Vesk
