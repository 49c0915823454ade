#include "app/platform.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestPlatform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void userNameFallbacks_data();
    void userNameFallbacks();
    void workingDirectory_data();
    void workingDirectory();
    void foldersEndWithSeparatorAndExist();
    void nodeIdHidesMachineId();
    void autostartEntryFollowsSetting();
    void accountPictureIsCopiedOnce();
    void osNameIsNeverEmpty();
};

void TestPlatform::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    // Never look at the real user's home: CTest gives this process a home of its own.
    QVERIFY(!QDir::homePath().isEmpty());
}

void TestPlatform::cleanup() {}

void TestPlatform::userNameFallbacks_data()
{
    QTest::addColumn<QByteArray>("username");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QString>("expected");
    QTest::newRow("USERNAME first") << QByteArray("bob") << QByteArray("ann") << "bob";
    QTest::newRow("USER when USERNAME unset") << QByteArray() << QByteArray("ann") << "ann";
    QTest::newRow("neither") << QByteArray() << QByteArray() << "Unknown";
}

void TestPlatform::userNameFallbacks()
{
    QFETCH(QByteArray, username);
    QFETCH(QByteArray, user);
    QFETCH(QString, expected);
    const QByteArray savedUser = qgetenv("USER");
    username.isNull() ? qunsetenv("USERNAME") : qputenv("USERNAME", username);
    user.isNull() ? qunsetenv("USER") : qputenv("USER", user);
    const QString name = userName();
    qunsetenv("USERNAME");
    qputenv("USER", savedUser);
    QCOMPARE(name, expected);
}

void TestPlatform::workingDirectory_data()
{
    QTest::addColumn<QString>("exeDir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "/opt/vesk/bin"
                           << "/opt/vesk/bin";
    QTest::newRow("Release") << "/opt/vesk/Release"
                             << "/opt/vesk";
    QTest::newRow("RELEASE") << "/opt/vesk/RELEASE"
                             << "/opt/vesk";
    QTest::newRow("debug") << "/opt/vesk/debug"
                           << "/opt/vesk";
    QTest::newRow("DeBuG") << "/opt/vesk/DeBuG"
                           << "/opt/vesk";
    QTest::newRow("releases is not release") << "/opt/vesk/releases"
                                             << "/opt/vesk/releases";
}

void TestPlatform::workingDirectory()
{
    QFETCH(QString, exeDir);
    QFETCH(QString, expected);
    QCOMPARE(Vesk::Platform::workingDirectoryFor(exeDir), expected);
}

void TestPlatform::foldersEndWithSeparatorAndExist()
{
    for (const QString& folder : {dataFolderPath(), downloadsFolderPath()}) {
        QVERIFY2(folder.endsWith(QDir::separator()), qPrintable(folder));
        QVERIFY2(QDir(folder).exists(), qPrintable(folder));
        QVERIFY2(QDir::fromNativeSeparators(folder).startsWith(QDir::homePath()), qPrintable(folder));
    }
    QVERIFY(QDir::fromNativeSeparators(dataFolderPath()).endsWith(QStringLiteral("/Tavimor/Vesk/VeskData/")));
    QVERIFY(QDir::fromNativeSeparators(downloadsFolderPath()).endsWith(QStringLiteral("/VeskDownloads/")));
}

void TestPlatform::nodeIdHidesMachineId()
{
    const QByteArray raw("0123456789abcdef0123456789abcdef");
    const QString id = Vesk::Platform::nodeIdFromMachineId(raw);
    QVERIFY(QRegularExpression(QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"))
                .match(id)
                .hasMatch());
    QCOMPARE(id, Vesk::Platform::nodeIdFromMachineId(raw + '\n')); // stable, whitespace in the file ignored
    QVERIFY(id != Vesk::Platform::nodeIdFromMachineId("fedcba9876543210fedcba9876543210"));
    const QString bare = QString(id).remove('{').remove('}').remove('-');
    QVERIFY(!bare.contains(QString::fromLatin1(raw.left(8))));
    QVERIFY(!QString::fromLatin1(raw).contains(bare.left(8)));
}

void TestPlatform::autostartEntryFollowsSetting()
{
    const QString path = Vesk::Platform::autostartEntryPath();
    QVERIFY(path.startsWith(QDir::homePath()));
    QVERIFY(Vesk::Platform::registerStartOnLogin(true, QStringLiteral("/opt/My Apps/vesk")));
    QFile entry(path);
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    entry.close();
    QVERIFY2(text.contains(QStringLiteral("Exec=\"/opt/My Apps/vesk\"")), qPrintable(text));
    QVERIFY(text.startsWith(QStringLiteral("[Desktop Entry]")));

    QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString()));
    QVERIFY(!QFile::exists(path));
    QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString())); // removing twice is fine
}

void TestPlatform::accountPictureIsCopiedOnce()
{
    const QString face = QDir::homePath() + QStringLiteral("/.face");
    QImage picture(20, 10, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QVERIFY(picture.save(face, "PNG")); // no suffix: the copy is named after the format
    const QString copy = defaultAvatarPath();
    QCOMPARE(copy, dataFolderPath() + QStringLiteral("avatar.png"));
    QVERIFY(QImage(copy).size() == QSize(20, 10));
    QFile::remove(face);
    QCOMPARE(defaultAvatarPath(), QStringLiteral("qrc:/qml/Vesk/pics/ui/bl-avatar-default.png"));
    QFile::remove(copy);
}

void TestPlatform::osNameIsNeverEmpty()
{
    QVERIFY(!osName().trimmed().isEmpty());
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
