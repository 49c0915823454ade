#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// What the program answers before it starts: a refused or answered command line never touches the home.
class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
};

void TestCommandLine::answers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says"); // on standard output for 0, on standard error for 2
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "vesk " VESK_VERSION "\n";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: vesk";
    QTest::newRow("Qt option, then -v") << QStringList{"-platform", "offscreen", "-v"} << 0 << "vesk " VESK_VERSION;
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "unknown option '--bogus'";
    QTest::newRow("Qt option without its value") << QStringList{"-platform"} << 2 << "needs a value";
    QTest::newRow("stray argument") << QStringList{"notes.txt"} << 2 << "'notes.txt'";
}

void TestCommandLine::answers()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        env.insert(QString::fromLatin1(name), home.path());
    QProcess vesk;
    vesk.setProcessEnvironment(env);
    vesk.start(QStringLiteral(VESK_BINARY), arguments);
    QVERIFY(vesk.waitForFinished(10000));
    QCOMPARE(vesk.exitCode(), exitCode);
    const QString said =
        QString::fromLocal8Bit(exitCode == 0 ? vesk.readAllStandardOutput() : vesk.readAllStandardError());
    QFETCH(QString, says);
    QVERIFY2(said.contains(says), qPrintable(said));
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
