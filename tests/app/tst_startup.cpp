#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {
bool sawLine(QProcess& process, const QByteArray& line)
{
    while (process.canReadLine() || process.waitForReadyRead(10000))
        if (process.canReadLine() && process.readLine() == line + '\n')
            return true;
    return false;
}

// A working instance has got past its start-up: it takes connections on the chat port.
bool answersOnItsPort()
{
    for (int attempt = 0; attempt < 150; ++attempt, QTest::qWait(100)) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, 25001);
        if (socket.waitForConnected(200))
            return true;
    }
    return false;
}

void killHard(QProcess& process)
{
    ::kill(pid_t(process.processId()), SIGKILL); // leaves its socket file behind
    process.waitForFinished();
}
} // namespace

// Start-up as real processes: single instance, a predecessor killed with -9, an occupied port, the command line.
class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondInstanceWakesTheFirst_data()
    {
        QTest::addColumn<bool>("afterKill");
        QTest::newRow("fresh") << false;
        QTest::newRow("after kill -9 of a first") << true;
    }
    void secondInstanceWakesTheFirst()
    {
        QFETCH(bool, afterKill);
        QProcess first, second, sender;
        start(first, PROBE_BINARY);
        QVERIFY(sawLine(first, "listening"));
        if (afterKill) {
            killHard(first);
            start(first, PROBE_BINARY);
            QVERIFY(sawLine(first, "listening"));
        }
        start(second, PROBE_BINARY);
        QVERIFY(sawLine(second, "running") && second.waitForFinished());
        QCOMPARE(second.exitCode(), 0);
        start(sender, PROBE_BINARY, {QStringLiteral("send"), QStringLiteral("wakeUp")});
        QVERIFY(sawLine(sender, "sent") && sender.waitForFinished());
        QVERIFY(sawLine(first, "received:wakeUp"));
        killHard(first);
    }
    void secondStartOfVeskExitsZero_data() { secondInstanceWakesTheFirst_data(); }
    // The second start hands over to the first through the single-instance socket and ends before it reaches the
    // chat port; had it got that far, it would log the port as taken by another program.
    void secondStartOfVeskExitsZero()
    {
        QFETCH(bool, afterKill);
        QProcess first, second;
        start(first, VESK_BINARY);
        QVERIFY(answersOnItsPort());
        if (afterKill) {
            killHard(first);
            start(first, VESK_BINARY);
            QVERIFY(answersOnItsPort());
        }
        start(second, VESK_BINARY);
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY2(!log().contains("Another application is listening"), log().constData());
        killHard(first);
    }
    void heldPortEndsStartUp()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::AnyIPv4, 25001));
        QProcess vesk;
        start(vesk, VESK_BINARY);
        QVERIFY(vesk.waitForFinished(15000));
        QCOMPARE(vesk.exitStatus(), QProcess::NormalExit);
        QCOMPARE(vesk.exitCode(), 0);
        QVERIFY2(log().contains("[C] Closing Vesk. Another application is listening on port 25001\n"), log().data());
    }
    void commandLineAnsweredWithoutStarting_data()
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
    // Answered or refused, the command line never reaches the settings, the login start or the data folder.
    void commandLineAnsweredWithoutStarting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, says);
        QTemporaryDir empty;
        home.swap(empty);
        QProcess vesk;
        start(vesk, VESK_BINARY, arguments);
        QVERIFY(vesk.waitForFinished(10000));
        QCOMPARE(vesk.exitCode(), exitCode);
        const QString said = exitCode == 0 ? vesk.readAllStandardOutput() : vesk.readAllStandardError();
        QVERIFY2(said.contains(says), qPrintable(said));
        const auto entries = [this](const char* folder) {
            return QDir(home.filePath(folder)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        };
        QCOMPARE(entries("."), QStringList{"xdg-CONFIG"});
        QCOMPARE(entries("xdg-CONFIG"), QStringList{"Tavimor"});
        QCOMPARE(TestSupport::readFile(home.filePath("xdg-CONFIG/Tavimor/Vesk.conf")), "[General]\nuserAlias=T\n");
    }

private:
    // Starts the program in this test's home, with a name already chosen so that no first-run wizard waits.
    void start(QProcess& process, const char* program, const QStringList& arguments = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        for (const char* xdg : {"CONFIG", "DATA", "CACHE"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(xdg), home.filePath(QStringLiteral("xdg-") + xdg));
        QDir().mkpath(home.filePath("xdg-CONFIG/Tavimor"));
        TestSupport::writeFile(home.filePath("xdg-CONFIG/Tavimor/Vesk.conf"), "[General]\nuserAlias=T\n");
        process.setProcessEnvironment(env);
        process.start(QString::fromLocal8Bit(program), arguments);
    }
    QByteArray log() const { return TestSupport::readFile(home.filePath("xdg-DATA/Tavimor/Vesk/VeskData/vesk.log")); }

    QTemporaryDir home;
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
