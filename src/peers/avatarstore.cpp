#include "peers/avatarstore.h"

#include "peers/peerslogging.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QSaveFile>

namespace Vesk {

namespace {
// Characters that are safe in a file name on every platform and cannot form a path.
const QRegularExpression& plainIdPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9{}_-]+$"));
    return pattern;
}
} // namespace

const QStringList& AvatarStore::allowedExtensions()
{
    static const QStringList extensions{QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                        QStringLiteral("gif"), QStringLiteral("bmp"), QStringLiteral("webp")};
    return extensions;
}

QString AvatarStore::fileNameFor(const QString& nodeId, const QString& extension)
{
    const QString suffix = extension.toLower();
    if (!allowedExtensions().contains(suffix) || nodeId.isEmpty())
        return QString();
    QString safeId = nodeId;
    if (nodeId.size() > kMaxPlainIdLength || !plainIdPattern().match(nodeId).hasMatch()) {
        const QByteArray digest = QCryptographicHash::hash(nodeId.toUtf8(), QCryptographicHash::Sha256).toHex();
        safeId = QStringLiteral("id") + QString::fromLatin1(digest.left(32));
    }
    return QStringLiteral("avatar_") + safeId + QLatin1Char('.') + suffix;
}

QImage AvatarStore::decoded(const QByteArray& bytes, QString* format)
{
    if (bytes.isEmpty() || bytes.size() > kMaxAvatarBytes)
        return QImage();
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    // Only the decoders of the formats we store ever see a peer's bytes. Other installed image plugins trust the
    // sizes in their headers: one allocates gigabytes for a few hundred bytes that claim as much.
    const QByteArray detected = QImageReader::imageFormat(&buffer).toLower();
    if (!allowedExtensions().contains(QString::fromLatin1(detected))) {
        qCDebug(lcPeers) << "refused an avatar in the format" << detected;
        return QImage();
    }
    buffer.seek(0);
    QImageReader reader(&buffer, detected);
    reader.setAutoDetectImageFormat(false);
    // The header tells the size before anything is decoded, so a small file that would unpack into a huge
    // picture is refused without allocating it.
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxAvatarSide || size.height() > kMaxAvatarSide))
        return QImage();
    QImage image;
    if (!reader.read(&image) || image.width() > kMaxAvatarSide || image.height() > kMaxAvatarSide)
        return QImage();
    *format = QString::fromLatin1(detected);
    return image;
}

QByteArray AvatarStore::kept(const QByteArray& bytes, const QString& peerExtension, QString* extension)
{
    QString format;
    QImage image = decoded(bytes, &format);
    if (image.isNull())
        return QByteArray();
    const QString wanted = peerExtension.toLower();
    *extension = allowedExtensions().contains(wanted) ? wanted : format;
    if (image.width() <= kMaxStoredSide && image.height() <= kMaxStoredSide)
        return bytes;
    // In full colour first: a picture of a few indexed colours, scaled as it is, comes out dithered black and white.
    image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32)
                .scaled(kMaxStoredSide, kMaxStoredSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer out(&png);
    if (!out.open(QIODevice::WriteOnly) || !image.save(&out, "PNG"))
        return QByteArray();
    *extension = QStringLiteral("png");
    return png;
}

QString AvatarStore::avatarKey(const QString& path)
{
    QFile file(path);
    // No picture of our own yet (the built-in default) is no file to look for.
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly) || file.size() > kMaxAvatarBytes)
        return QStringLiteral("0");
    return avatarKeyOf(file.readAll());
}

QString AvatarStore::avatarKeyOf(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return QStringLiteral("0");
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

bool AvatarStore::holds(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return !bytes.isEmpty() && file.open(QIODevice::ReadOnly) && file.size() == bytes.size() && file.readAll() == bytes;
}

AvatarStore::Result AvatarStore::write(const QString& filePath, const QByteArray& bytes)
{
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        qCDebug(lcPeers) << "cannot open" << filePath << file.errorString();
        return Result::OpenFailed;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qCDebug(lcPeers) << "cannot write" << filePath << file.errorString();
        file.cancelWriting();
        return Result::WriteFailed;
    }
    return Result::Stored;
}

} // namespace Vesk
