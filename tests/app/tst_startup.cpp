#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// Start-up as real processes: single instance, a crashed predecessor, an occupied port.
class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondInstanceWakesFirst();
    void staleSocketDoesNotBlock();
    void vesk_secondStartExitsZero();
    void vesk_startsAfterKill();
    void vesk_heldPortEndsStartUp();
    void vesk_commandLine_data();
    void vesk_commandLine();

private:
    static bool waitForLine(QProcess& process, const QString& line, int timeoutMs = 10000);
    QProcessEnvironment vesEnvironment(const QTemporaryDir& home);
    bool waitForFile(const QString& path, int timeoutMs = 15000);
};

bool TestStartup::waitForLine(QProcess& process, const QString& line, int timeoutMs)
{
    QByteArray seen;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(100);
        seen += process.readAllStandardOutput();
        if (QString::fromUtf8(seen).split('\n').contains(line))
            return true;
        if (process.state() == QProcess::NotRunning && process.bytesAvailable() == 0)
            break;
    }
    qWarning() << "output so far:" << seen;
    return false;
}

bool TestStartup::waitForFile(const QString& path, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (QFile::exists(path))
            return true;
        QTest::qWait(100);
    }
    return false;
}

void TestStartup::secondInstanceWakesFirst()
{
    QProcess first;
    first.start(QStringLiteral(PROBE_BINARY), {QStringLiteral("listen")});
    QVERIFY(waitForLine(first, QStringLiteral("listening")));

    QProcess second;
    second.start(QStringLiteral(PROBE_BINARY), {QStringLiteral("listen")});
    QVERIFY(waitForLine(second, QStringLiteral("running")));
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitCode(), 0);

    QProcess sender;
    sender.start(QStringLiteral(PROBE_BINARY), {QStringLiteral("send"), QStringLiteral("wakeUp")});
    QVERIFY(waitForLine(sender, QStringLiteral("sent")));
    QVERIFY(waitForLine(first, QStringLiteral("received:wakeUp")));
    first.kill();
    first.waitForFinished();
}

void TestStartup::staleSocketDoesNotBlock()
{
    QProcess first;
    first.start(QStringLiteral(PROBE_BINARY), {QStringLiteral("listen")});
    QVERIFY(waitForLine(first, QStringLiteral("listening")));
    ::kill(pid_t(first.processId()), SIGKILL); // leaves its socket file behind
    first.waitForFinished();

    QProcess next;
    next.start(QStringLiteral(PROBE_BINARY), {QStringLiteral("listen")});
    QVERIFY(waitForLine(next, QStringLiteral("listening")));
    next.kill();
    next.waitForFinished();
}

QProcessEnvironment TestStartup::vesEnvironment(const QTemporaryDir& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + "/.config");
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + "/.local/share");
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.path() + "/.cache");
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QDir().mkpath(home.path() + "/.config/Tavimor");
    QFile conf(home.path() + "/.config/Tavimor/Vesk.conf");
    if (!conf.exists() && conf.open(QIODevice::WriteOnly))
        conf.write("[General]\nuserAlias=Tester\n");
    return env;
}

void TestStartup::vesk_secondStartExitsZero()
{
    QTemporaryDir home;
    QProcess first;
    first.setProcessEnvironment(vesEnvironment(home));
    first.start(QStringLiteral(VESK_BINARY));
    const QString data = home.path() + "/.local/share/Tavimor/Vesk/VeskData/";
    QVERIFY(waitForFile(data + "vesk.log"));
    QVERIFY(waitForFile(data + "vesk.data"));
    QTest::qWait(500);

    QProcess second;
    second.setProcessEnvironment(vesEnvironment(home));
    second.start(QStringLiteral(VESK_BINARY));
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);

    QSettings settings(home.path() + "/.config/Tavimor/Vesk.conf", QSettings::IniFormat);
    QVERIFY(!settings.value("machineId").toString().isEmpty());
    QVERIFY(settings.value("runOnStartup").toBool());
    first.kill();
    first.waitForFinished();
}

void TestStartup::vesk_startsAfterKill()
{
    QTemporaryDir home;
    QProcess first;
    first.setProcessEnvironment(vesEnvironment(home));
    first.start(QStringLiteral(VESK_BINARY));
    QVERIFY(waitForFile(home.path() + "/.local/share/Tavimor/Vesk/VeskData/vesk.data"));
    QTest::qWait(500);
    ::kill(pid_t(first.processId()), SIGKILL);
    first.waitForFinished();

    QProcess next;
    next.setProcessEnvironment(vesEnvironment(home));
    next.start(QStringLiteral(VESK_BINARY));
    QVERIFY(!next.waitForFinished(4000)); // still running: the stale socket and port did not stop it
    next.kill();
    next.waitForFinished();
}

void TestStartup::vesk_heldPortEndsStartUp()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::AnyIPv4, 25001));
    QTemporaryDir home;
    QProcess vesk;
    vesk.setProcessEnvironment(vesEnvironment(home));
    vesk.start(QStringLiteral(VESK_BINARY));
    QVERIFY(vesk.waitForFinished(15000));
    QCOMPARE(vesk.exitStatus(), QProcess::NormalExit);
    QCOMPARE(vesk.exitCode(), 0);
    QFile log(home.path() + "/.local/share/Tavimor/Vesk/VeskData/vesk.log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    QVERIFY2(text.contains(QStringLiteral("[C] Closing Vesk. Another application is listening on port 25001\n")),
             qPrintable(text));
}

void TestStartup::vesk_commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "vesk " VESK_VERSION "\n"
                               << "";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: vesk"
                            << "";
    QTest::newRow("--bogus") << QStringList{"--bogus"} << 2 << ""
                             << "Usage: vesk";
}

void TestStartup::vesk_commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    // A home without any settings: a real start would write them, register the login start and make the data
    // folder at once.
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + "/.config");
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + "/.local/share");
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.path() + "/.cache");
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess vesk;
    vesk.setProcessEnvironment(env);
    vesk.start(QStringLiteral(VESK_BINARY), arguments);
    QVERIFY(vesk.waitForFinished(10000));
    QCOMPARE(vesk.exitStatus(), QProcess::NormalExit);
    QCOMPARE(vesk.exitCode(), exitCode);
    const QString stdOut = QString::fromLocal8Bit(vesk.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(vesk.readAllStandardError());
    if (out.isEmpty())
        QCOMPARE(stdOut, QString());
    else
        QVERIFY2(stdOut.startsWith(out), qPrintable(stdOut));
    if (!err.isEmpty())
        QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
