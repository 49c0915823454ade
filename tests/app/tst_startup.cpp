#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// Start-up as real processes: single instance, a predecessor killed with -9, an occupied port.
class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondInstanceWakesTheFirst_data();
    void secondInstanceWakesTheFirst();
    void secondStartOfVeskExitsZero_data();
    void secondStartOfVeskExitsZero();
    void heldPortEndsStartUp();
    void commandLineAnsweredWithoutStarting_data();
    void commandLineAnsweredWithoutStarting();

private:
    void start(QProcess& process, const QString& program, const QStringList& arguments = {});
    QTemporaryDir home;
};

namespace {
bool waitForLine(QProcess& process, const QString& line)
{
    QByteArray seen;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        process.waitForReadyRead(100);
        seen += process.readAllStandardOutput();
        if (QString::fromUtf8(seen).split('\n').contains(line))
            return true;
    }
    qWarning() << "output so far:" << seen;
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

void TestStartup::start(QProcess& process, const QString& program, const QStringList& arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    for (const char* xdg : {"CONFIG", "DATA", "CACHE"})
        env.insert(QStringLiteral("XDG_%1_HOME").arg(xdg), home.path() + QStringLiteral("/xdg-") + xdg);
    QDir().mkpath(home.path() + QStringLiteral("/xdg-CONFIG/Tavimor"));
    TestSupport::writeFile(home.path() + QStringLiteral("/xdg-CONFIG/Tavimor/Vesk.conf"), "[General]\nuserAlias=T\n");
    process.setProcessEnvironment(env);
    process.start(program, arguments);
}

void TestStartup::secondInstanceWakesTheFirst_data()
{
    QTest::addColumn<bool>("afterKill");
    QTest::newRow("fresh") << false;
    QTest::newRow("after kill -9 of a first") << true;
}

void TestStartup::secondInstanceWakesTheFirst()
{
    QFETCH(bool, afterKill);
    QProcess first, second, sender;
    start(first, QStringLiteral(PROBE_BINARY));
    QVERIFY(waitForLine(first, QStringLiteral("listening")));
    if (afterKill) {
        killHard(first);
        start(first, QStringLiteral(PROBE_BINARY));
        QVERIFY(waitForLine(first, QStringLiteral("listening")));
    }
    start(second, QStringLiteral(PROBE_BINARY));
    QVERIFY(waitForLine(second, QStringLiteral("running")));
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitCode(), 0);
    start(sender, QStringLiteral(PROBE_BINARY), {QStringLiteral("send"), QStringLiteral("wakeUp")});
    QVERIFY(waitForLine(sender, QStringLiteral("sent")) && sender.waitForFinished());
    QVERIFY(waitForLine(first, QStringLiteral("received:wakeUp")));
    killHard(first);
}

void TestStartup::secondStartOfVeskExitsZero_data()
{
    secondInstanceWakesTheFirst_data();
}

// The second start hands over to the first through the single-instance socket and ends before it reaches the
// chat port; had it got that far, it would log the port as taken by another program.
void TestStartup::secondStartOfVeskExitsZero()
{
    QFETCH(bool, afterKill);
    QProcess first, second;
    start(first, QStringLiteral(VESK_BINARY));
    QVERIFY(answersOnItsPort());
    if (afterKill) {
        killHard(first);
        start(first, QStringLiteral(VESK_BINARY));
        QVERIFY(answersOnItsPort());
    }
    start(second, QStringLiteral(VESK_BINARY));
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);
    const QByteArray log =
        TestSupport::readFile(home.path() + QStringLiteral("/xdg-DATA/Tavimor/Vesk/VeskData/vesk.log"));
    QVERIFY2(!log.contains("Another application is listening"), log.constData());
    killHard(first);
}

void TestStartup::heldPortEndsStartUp()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::AnyIPv4, 25001));
    QProcess vesk;
    start(vesk, QStringLiteral(VESK_BINARY));
    QVERIFY(vesk.waitForFinished(15000));
    QCOMPARE(vesk.exitStatus(), QProcess::NormalExit);
    QCOMPARE(vesk.exitCode(), 0);
    const QByteArray log =
        TestSupport::readFile(home.path() + QStringLiteral("/xdg-DATA/Tavimor/Vesk/VeskData/vesk.log"));
    QVERIFY2(log.contains("[C] Closing Vesk. Another application is listening on port 25001\n"), log.constData());
}

void TestStartup::commandLineAnsweredWithoutStarting_data()
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

// Answered or refused, the command line never gets as far as the settings, the login start or the data folder.
void TestStartup::commandLineAnsweredWithoutStarting()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QTemporaryDir empty;
    home.swap(empty);
    QProcess vesk;
    start(vesk, QStringLiteral(VESK_BINARY), arguments);
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

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
