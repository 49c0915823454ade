#include "peers/avatarstore.h"
#include "peers/replylimiter.h"

#include "testsupport.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace TestSupport;
using Vesk::AvatarStore;
using Vesk::ReplyLimiter;

class tst_AvatarStore : public QObject
{
    Q_OBJECT

private slots:
    // The file a peer's picture is kept in: its id when that is a safe plain name, else a hash of it; an
    // extension only from the allowed image types.
    void fileNameFor_data()
    {
        QTest::addColumn<QString>("nodeId");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("expected"); // "#hash": hashed id, png; empty: refused
        const auto add = [](const char* tag, const QString& id, const char* extension, const QString& expected) {
            QTest::newRow(tag) << id << QString(extension) << expected;
        };
        add("plain", "abc", "png", "avatar_abc.png");
        add("braced uuid", "{0f8f-d9cb}", "jpg", "avatar_{0f8f-d9cb}.jpg");
        add("extension lowered", "abc", "JPEG", "avatar_abc.jpeg");
        add("extension not an image", "abc", "exe", "");
        add("extension with separator", "abc", "png/x", "");
        add("extension empty", "abc", "", "");
        add("double extension", "abc", "png.sh", "");
        add("empty id", "", "png", "");
        for (const QString& id :
             QStringList{"../../etc/x", "..", "a\\b", "a b", "a.b", QString(QChar(0)) + "x", "Ünïcödé"})
            add(qPrintable("hashed " + id), id, "png", "#hash");
        add("just long enough", QString(64, 'a'), "png", "avatar_" + QString(64, 'a') + ".png");
        add("too long", QString(65, 'a'), "png", "#hash");
    }
    void fileNameFor()
    {
        QFETCH(QString, nodeId);
        QFETCH(QString, extension);
        QFETCH(QString, expected);
        const QString name = AvatarStore::fileNameFor(nodeId, extension);
        if (expected != QLatin1String("#hash")) {
            QCOMPARE(name, expected);
            return;
        }
        QVERIFY2(QRegularExpression("^avatar_id[0-9a-f]{32}\\.png$").match(name).hasMatch(), qPrintable(name));
        QCOMPARE(AvatarStore::fileNameFor(nodeId, extension), name);        // the same each time
        QVERIFY(AvatarStore::fileNameFor(nodeId + "z", extension) != name); // another per id
    }

    // The extension a received picture is stored with follows its bytes; what is no picture, or too big, none.
    void extensionFor_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("peerExtension");
        QTest::addColumn<QString>("expected");
        const QByteArray png = pictureBytes(16, 16), jpeg = pictureBytes(16, 16, "JPG");
        const int side = AvatarStore::kMaxAvatarSide;
        QTest::newRow("png as PNG") << png << "PNG" << QString("png");
        QTest::newRow("jpeg as jpg") << jpeg << "jpg" << QString("jpg");
        QTest::newRow("png without extension") << png << "" << QString("png");
        QTest::newRow("jpeg as exe") << jpeg << "exe" << QString("jpeg");
        QTest::newRow("bmp as bmp") << pictureBytes(16, 16, "BMP") << "bmp" << QString("bmp");
        QTest::newRow("text") << QByteArray("hello, this is not a picture") << "png" << QString();
        QTest::newRow("truncated png") << png.left(png.size() / 2) << "png" << QString();
        QTest::newRow("empty") << QByteArray() << "png" << QString();
        QTest::newRow("largest side") << pictureBytes(side, 2) << "png" << QString("png");
        QTest::newRow("too many pixels") << pictureBytes(side + 1, 2) << "png" << QString();
        QTest::newRow("too many bytes") << png + QByteArray(AvatarStore::kMaxAvatarBytes, '\0') << "png" << QString();
    }
    void extensionFor()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, peerExtension);
        QTEST(AvatarStore::extensionFor(bytes, peerExtension), "expected");
    }

    // The key a picture is asked for by follows its bytes, wherever they are; the default and a missing file are 0.
    void avatarKey()
    {
        QCOMPARE(AvatarStore::avatarKey("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png"), QStringLiteral("0"));
        QCOMPARE(AvatarStore::avatarKey("/no/such/file.png"), QStringLiteral("0"));
        QTemporaryDir dir;
        const QString a = dir.filePath("a.png"), b = dir.filePath("b.png");
        QVERIFY(writeFile(a, pictureBytes(8, 8)) && writeFile(b, pictureBytes(8, 8)));
        QCOMPARE(AvatarStore::avatarKey(a), AvatarStore::avatarKey(b));
        QVERIFY(AvatarStore::avatarKey(a) != QStringLiteral("0"));
        QVERIFY(writeFile(b, pictureBytes(9, 8)));
        QVERIFY(AvatarStore::avatarKey(a) != AvatarStore::avatarKey(b));
    }

    // A write replaces the whole file and leaves nothing else behind; into a missing folder it fails.
    void write()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("avatar_x.png");
        QCOMPARE(AvatarStore::write(path, QByteArray(1000, 'a')), AvatarStore::Result::Stored);
        QCOMPARE(AvatarStore::write(path, "short"), AvatarStore::Result::Stored);
        QCOMPARE(readFile(path), QByteArray("short"));
        QCOMPARE(filesIn(dir.path()), QStringList{"avatar_x.png"});
        QCOMPARE(AvatarStore::write(dir.filePath("missing/avatar_x.png"), "x"), AvatarStore::Result::OpenFailed);
    }

    // One answer per key per window, other keys independent, and the keys it remembers bounded.
    void limiter_data()
    {
        QTest::addColumn<QList<qint64>>("times");
        QTest::addColumn<QList<bool>>("allowed");
        QTest::newRow("burst") << QList<qint64>{0, 1, 5, 999} << QList<bool>{true, false, false, false};
        QTest::newRow("window edge") << QList<qint64>{0, 999, 1000, 1999, 2000}
                                     << QList<bool>{true, false, true, false, true};
        QTest::newRow("clock set back") << QList<qint64>{5000, 100, 200} << QList<bool>{true, true, false};
    }
    void limiter()
    {
        QFETCH(QList<qint64>, times);
        QFETCH(QList<bool>, allowed);
        ReplyLimiter limiter(1000);
        for (int i = 0; i < times.size(); ++i) {
            QCOMPARE(limiter.allow("k", times.at(i)), allowed.at(i));
            QVERIFY(limiter.allow("other" + QString::number(i), times.at(i)));
        }
        for (int i = 0; i < ReplyLimiter::kMaxKeys * 3; ++i)
            QVERIFY(limiter.allow(QString::number(i), 10));
        QVERIFY(limiter.trackedKeys() <= ReplyLimiter::kMaxKeys);
    }
};

QTEST_MAIN(tst_AvatarStore)
#include "tst_avatarstore.moc"
