// A peer's avatar: the bytes and extension it sends, judged and named as the program does before writing them,
// then decoded and scaled as they are shown. Run with -malloc_limit_mb: whatever size a picture claims, decoding
// it must not need more than a bounded picture would.

#include "fuzzsupport.h"

#include "app/avatarimage.h"
#include "peers/avatarstore.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

using Vesk::AvatarStore;

QList<QByteArray> Fuzz::seeds()
{
    QImage picture(24, 16, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    for (int x = 0; x < 24; ++x)
        picture.setPixel(x, x % 16, qRgba(x * 10, 200, 40, 255));
    QList<QByteArray> all;
    for (const QByteArray& format : QImageWriter::supportedImageFormats()) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        if (picture.save(&buffer, format.constData()))
            all.append(format.left(4).leftJustified(4, ' ') + buffer.data());
    }
    return all;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    // The first four bytes stand for the extension the peer names, the rest for the picture.
    const QString extension = QString::fromLatin1(reinterpret_cast<const char*>(data), 4).trimmed();
    const QByteArray bytes = Fuzz::bytes(data + 4, size - 4);
    const QString stored = AvatarStore::extensionFor(bytes, extension);
    const QString name = AvatarStore::fileNameFor(QString::fromLatin1(bytes.left(80)), stored);
    if (stored.isEmpty()) {
        Fuzz::check(name.isEmpty(), "no name for what is not a picture");
        return 0;
    }
    Fuzz::check(name.startsWith("avatar_") && !name.contains('/') && !name.contains('\\') && !name.contains(".."),
                "an avatar's file stays in the data folder");
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QImage shown = Vesk::squareAvatar(reader.read(), 128);
    Fuzz::check(shown.isNull() || shown.size() == QSize(128, 128), "shown as a square");
    return 0;
}
