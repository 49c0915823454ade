#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

namespace Vesk {

// Where and how a peer's avatar lands on disk. The node id and the extension arrive from the network, so the
// file name is built only from characters that cannot leave the data folder, and only bytes that decode as a
// picture of sensible size are ever written.
class AvatarStore
{
public:
    // Larger than any avatar this program sends (a 256 x 256 PNG), small enough that a peer cannot make us
    // keep megabytes on disk per node id.
    static constexpr qint64 kMaxAvatarBytes = 2 * 1024 * 1024;
    // Pictures wider or taller than this are refused before they are decoded.
    static constexpr int kMaxAvatarSide = 4096;
    // A picture wider or taller than this is kept at this size (as PNG). Every list, popup and notice draws the
    // file as kept, decoded whole: a peer's 4096 x 4096 picture took 64 MB for each row that showed it.
    static constexpr int kMaxStoredSide = 256;
    // Node ids up to this length and made of safe characters are used in the file name as they are.
    static constexpr int kMaxPlainIdLength = 64;

    enum class Result { Stored, OpenFailed, WriteFailed };

    // Extensions accepted for a stored avatar, lower case.
    static const QStringList& allowedExtensions();

    // "avatar_" + the node id reduced to a safe form + "." + extension. A node id of letters, digits, braces,
    // "-" and "_" (a braced UUID in practice) is kept as it is; anything else becomes "id" followed by a hash of
    // the id. The extension is lowered and must be one of allowedExtensions(); otherwise the result is empty.
    static QString fileNameFor(const QString& nodeId, const QString& extension);

    // What to keep of a received picture, decoded once: empty when the bytes are no picture this program can read,
    // or are too large. The same bytes when it is no larger than kMaxStoredSide, stored under the peer's extension
    // if it is an allowed one, else that of the format the bytes are in; else the picture made that size, as PNG.
    // `extension` is set to the one to store it under.
    static QByteArray kept(const QByteArray& bytes, const QString& peerExtension, QString* extension);

    // A key that names the picture stored at the path by its content: the same bytes give the same key on every
    // load and on every machine, so a peer that already holds our picture need not be sent it again. "0" when the
    // path cannot be read (the built-in default among them), as a peer that has no picture of ours says.
    static QString avatarKey(const QString& path);
    static QString avatarKeyOf(const QByteArray& bytes);
    // Whether the file at the path holds exactly these bytes.
    static bool holds(const QString& path, const QByteArray& bytes);

    // Writes the bytes to folder + fileName, replacing any earlier copy atomically, so a failed write never
    // leaves half a picture under the linked name.
    static Result write(const QString& filePath, const QByteArray& bytes);

private:
    // The picture in the bytes, read only by the decoder of an allowed format and within the bounds; null when
    // it is not one. `format` is set to that format.
    static QImage decoded(const QByteArray& bytes, QString* format);
};

} // namespace Vesk
