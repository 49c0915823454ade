#include "app/platform.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

class TestPlatform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nodeIdIsStableAndHidesTheMachineId();
    void autostartEntryFollowsTheSetting();
};

void TestPlatform::nodeIdIsStableAndHidesTheMachineId()
{
    const QByteArray raw("0123456789abcdef0123456789abcdef");
    const QString id = Vesk::Platform::nodeIdFromMachineId(raw);
    QCOMPARE(id.size(), 38);                                       // {8-4-4-4-12}
    QCOMPARE(id, Vesk::Platform::nodeIdFromMachineId(raw + '\n')); // the file's line end does not count
    QVERIFY(id != Vesk::Platform::nodeIdFromMachineId("fedcba9876543210fedcba9876543210"));
    const QString bare = QString(id).remove('{').remove('}').remove('-');
    QVERIFY(!bare.contains(QString::fromLatin1(raw.left(8))));
    QVERIFY(!QString::fromLatin1(raw).contains(bare.left(8)));
}

void TestPlatform::autostartEntryFollowsTheSetting()
{
    const QString path = Vesk::Platform::autostartEntryPath();
    QVERIFY2(path.startsWith(QDir::homePath()), qPrintable(path));
    QVERIFY(Vesk::Platform::registerStartOnLogin(true, QStringLiteral("/opt/My Apps/vesk")));
    const QString text = QString::fromUtf8(TestSupport::readFile(path));
    QVERIFY2(text.startsWith(QStringLiteral("[Desktop Entry]")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Exec=\"/opt/My Apps/vesk\"")), qPrintable(text));
    QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString()));
    QVERIFY(!QFile::exists(path));
    QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString())); // nothing left to remove is fine
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
