#include "peers/avatarstore.h"
#include "peers/replylimiter.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using Vesk::AvatarStore;
using Vesk::ReplyLimiter;

namespace {

QByteArray pictureBytes(int width, int height, const char* format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::yellow);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

bool saveTo(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const QRegularExpression kHashedName(QStringLiteral("^avatar_id[0-9a-f]{32}\\.png$"));

} // namespace

class tst_AvatarStore : public QObject
{
    Q_OBJECT

private slots:
    void fileNameFor_data();
    void fileNameFor();
    void hashedNamesDifferPerId();
    void extensionFor_data();
    void extensionFor();
    void avatarKey();
    void writeReplacesWholeFile();
    void writeIntoMissingFolderFails();
    void limiter_data();
    void limiter();
    void limiterStaysBounded();
};

void tst_AvatarStore::fileNameFor_data()
{
    QTest::addColumn<QString>("nodeId");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("expected"); // "#hash" means: hashed id, png

    QTest::newRow("plain") << "abc"
                           << "png"
                           << "avatar_abc.png";
    QTest::newRow("braced uuid") << "{0f8fad5b-d9cb-469f-a165-70867728950e}"
                                 << "jpg"
                                 << "avatar_{0f8fad5b-d9cb-469f-a165-70867728950e}.jpg";
    QTest::newRow("extension lowered") << "abc"
                                       << "JPEG"
                                       << "avatar_abc.jpeg";
    QTest::newRow("webp") << "abc"
                          << "webp"
                          << "avatar_abc.webp";
    QTest::newRow("extension not an image") << "abc"
                                            << "exe"
                                            << "";
    QTest::newRow("extension with separator") << "abc"
                                              << "png/x"
                                              << "";
    QTest::newRow("extension empty") << "abc"
                                     << ""
                                     << "";
    QTest::newRow("double extension") << "abc"
                                      << "png.sh"
                                      << "";
    QTest::newRow("empty id") << ""
                              << "png"
                              << "";
    QTest::newRow("parent folder") << "../../etc/x"
                                   << "png"
                                   << "#hash";
    QTest::newRow("dot dot only") << ".."
                                  << "png"
                                  << "#hash";
    QTest::newRow("backslash") << "a\\b"
                               << "png"
                               << "#hash";
    QTest::newRow("space") << "a b"
                           << "png"
                           << "#hash";
    QTest::newRow("dot") << "a.b"
                         << "png"
                         << "#hash";
    QTest::newRow("nul") << QString(QChar(0)) + "x"
                         << "png"
                         << "#hash";
    QTest::newRow("non-latin") << "Ünïcödé"
                               << "png"
                               << "#hash";
    QTest::newRow("just long enough") << QString(64, 'a') << "png"
                                      << "avatar_" + QString(64, 'a') + ".png";
    QTest::newRow("too long") << QString(65, 'a') << "png"
                              << "#hash";
}

void tst_AvatarStore::fileNameFor()
{
    QFETCH(QString, nodeId);
    QFETCH(QString, extension);
    QFETCH(QString, expected);
    const QString name = AvatarStore::fileNameFor(nodeId, extension);
    if (expected == QLatin1String("#hash"))
        QVERIFY2(kHashedName.match(name).hasMatch(), qPrintable(name));
    else
        QCOMPARE(name, expected);
}

void tst_AvatarStore::hashedNamesDifferPerId()
{
    const QString one = AvatarStore::fileNameFor(QStringLiteral("a b"), QStringLiteral("png"));
    QCOMPARE(AvatarStore::fileNameFor(QStringLiteral("a b"), QStringLiteral("png")), one);
    QVERIFY(AvatarStore::fileNameFor(QStringLiteral("a c"), QStringLiteral("png")) != one);
}

void tst_AvatarStore::extensionFor_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("peerExtension");
    QTest::addColumn<QString>("expected");

    const QByteArray png = pictureBytes(16, 16, "PNG");
    const QByteArray jpeg = pictureBytes(16, 16, "JPG");
    QTest::newRow("png as png") << png << "png"
                                << "png";
    QTest::newRow("png as PNG") << png << "PNG"
                                << "png";
    QTest::newRow("jpeg as jpg") << jpeg << "jpg"
                                 << "jpg";
    QTest::newRow("png without extension") << png << ""
                                           << "png";
    QTest::newRow("jpeg as exe") << jpeg << "exe"
                                 << "jpeg";
    QTest::newRow("bmp as bmp") << pictureBytes(16, 16, "BMP") << "bmp"
                                << "bmp";
    QTest::newRow("text") << QByteArray("hello, this is not a picture") << "png"
                          << "";
    QTest::newRow("truncated png") << png.left(png.size() / 2) << "png"
                                   << "";
    QTest::newRow("empty") << QByteArray() << "png"
                           << "";
    QTest::newRow("too many pixels") << pictureBytes(AvatarStore::kMaxAvatarSide + 1, 2, "PNG") << "png"
                                     << "";
    QTest::newRow("largest side") << pictureBytes(AvatarStore::kMaxAvatarSide, 2, "PNG") << "png"
                                  << "png";
    QByteArray padded = png;
    padded.append(QByteArray(AvatarStore::kMaxAvatarBytes, '\0'));
    QTest::newRow("too many bytes") << padded << "png"
                                    << "";
}

void tst_AvatarStore::extensionFor()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, peerExtension);
    QFETCH(QString, expected);
    QCOMPARE(AvatarStore::extensionFor(bytes, peerExtension), expected);
}

void tst_AvatarStore::avatarKey()
{
    QCOMPARE(AvatarStore::avatarKey(QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png")),
             QStringLiteral("0"));
    QCOMPARE(AvatarStore::avatarKey(QStringLiteral("/no/such/file.png")), QStringLiteral("0"));
    // The key follows the bytes: the same picture has the same key wherever and however often it is loaded.
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a.png")), b = dir.filePath(QStringLiteral("b.png"));
    QVERIFY(saveTo(a, pictureBytes(8, 8, "PNG")));
    QVERIFY(saveTo(b, pictureBytes(8, 8, "PNG")));
    QCOMPARE(AvatarStore::avatarKey(a), AvatarStore::avatarKey(b));
    QVERIFY(AvatarStore::avatarKey(a) != QStringLiteral("0"));
    QVERIFY(saveTo(b, pictureBytes(9, 8, "PNG")));
    QVERIFY(AvatarStore::avatarKey(a) != AvatarStore::avatarKey(b));
}

void tst_AvatarStore::writeReplacesWholeFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("avatar_x.png"));
    QCOMPARE(AvatarStore::write(path, QByteArray(1000, 'a')), AvatarStore::Result::Stored);
    QCOMPARE(AvatarStore::write(path, QByteArrayLiteral("short")), AvatarStore::Result::Stored);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArrayLiteral("short"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1); // no temporary file left behind
}

void tst_AvatarStore::writeIntoMissingFolderFails()
{
    QTemporaryDir dir;
    QCOMPARE(AvatarStore::write(dir.filePath(QStringLiteral("missing/avatar_x.png")), QByteArrayLiteral("x")),
             AvatarStore::Result::OpenFailed);
}

void tst_AvatarStore::limiter_data()
{
    QTest::addColumn<QList<qint64>>("times");
    QTest::addColumn<QList<bool>>("allowed");

    QTest::newRow("first passes") << QList<qint64>{0} << QList<bool>{true};
    QTest::newRow("burst") << QList<qint64>{0, 1, 5, 999} << QList<bool>{true, false, false, false};
    QTest::newRow("window edge") << QList<qint64>{0, 999, 1000, 1999, 2000}
                                 << QList<bool>{true, false, true, false, true};
    QTest::newRow("clock set back") << QList<qint64>{5000, 100, 200} << QList<bool>{true, true, false};
}

void tst_AvatarStore::limiter()
{
    QFETCH(QList<qint64>, times);
    QFETCH(QList<bool>, allowed);
    ReplyLimiter limiter(1000);
    for (int i = 0; i < times.size(); ++i) {
        QCOMPARE(limiter.allow(QStringLiteral("k"), times.at(i)), allowed.at(i));
        // Another key is independent.
        QVERIFY(limiter.allow(QStringLiteral("other") + QString::number(i), times.at(i)));
    }
}

void tst_AvatarStore::limiterStaysBounded()
{
    ReplyLimiter limiter(1000);
    for (int i = 0; i < ReplyLimiter::kMaxKeys * 3; ++i)
        QVERIFY(limiter.allow(QString::number(i), 10));
    QVERIFY(limiter.trackedKeys() <= ReplyLimiter::kMaxKeys);
}

QTEST_MAIN(tst_AvatarStore)
#include "tst_avatarstore.moc"
