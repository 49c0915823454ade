#include "peers/avatarstore.h"
#include "peers/replylimiter.h"

#include "testsupport.h"

#include <QRegularExpression>

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
        QTest::newRow("text") << QByteArray("hello, this is not a picture") << "png" << QString();
        QTest::newRow("ppm as png") << pictureBytes(16, 16, "PPM") << "png" << QString();
        QTest::newRow("truncated png") << png.left(png.size() / 2) << "png" << QString();
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

    // One answer per key per window, a clock set back silences no key for good, other keys are independent, and
    // the keys remembered are bounded.
    void limiter()
    {
        ReplyLimiter limiter(1000);
        const QList<qint64> times{0, 999, 1000, 1999, 2000, 100, 200};
        const QList<bool> allowed{true, false, true, false, true, true, false};
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
