#include "app/logging.h"
#include "app/platform.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <utility>

namespace {
bool sawLine(QProcess& process, const QByteArray& line)
{
    while (process.canReadLine() || process.waitForReadyRead(10000))
        if (process.canReadLine() && process.readLine() == line + '\n')
            return true;
    return false;
}

void killHard(QProcess& process)
{
    ::kill(pid_t(process.processId()), SIGKILL); // leaves its socket file behind
    process.waitForFinished();
}
} // namespace

// Start-up as real processes: single instance, a predecessor killed with -9, an occupied port, the command line;
// and in this process what start-up sets up: the log file, the node id, the login start.
class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A second start hands "wakeUp" to the first through the single-instance socket, the first started after an
    // earlier one was killed with -9 (its socket file left behind), and ends before it reaches the chat port; had it
    // got that far, it would log the port as taken by another program. The probe is the single-instance part alone,
    // so it can show what the first received.
    void secondStartWakesTheFirst_data()
    {
        QTest::addColumn<bool>("probe");
        QTest::newRow("probe after kill -9 of a first") << true;
        QTest::newRow("vesk after kill -9 of a first") << false;
    }
    void secondStartWakesTheFirst()
    {
        QFETCH(bool, probe);
        const QString program = probe ? PROBE_BINARY : VESK_BINARY;
        QProcess first, second;
        first.setReadChannel(probe ? QProcess::StandardOutput : QProcess::StandardError);
        for (int run = 0; run < 2; ++run) {
            if (run > 0)
                killHard(first);
            start(first, program);
            // Loading the interface comes after taking the chat port.
            QVERIFY(sawLine(first, probe ? "listening" : "Vesk interface loaded"));
        }
        start(second, program);
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(!probe || sawLine(first, "received:wakeUp"));
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
    // Without its database driver the program cannot run: it says which drivers and paths it saw and ends as a
    // failure, before it touches the settings or the ports. A copy next to a qt.conf that points the plugins
    // elsewhere sees no driver.
    void missingSqlDriverIsAFailure()
    {
        QTemporaryDir bin;
        QVERIFY(QFile::copy(VESK_BINARY, bin.filePath("vesk")));
        QVERIFY(TestSupport::writeFile(bin.filePath("qt.conf"), "[Paths]\nPlugins=" + bin.path().toUtf8() + "\n"));
        QProcess vesk;
        start(vesk, bin.filePath("vesk"));
        QVERIFY(vesk.waitForFinished(15000));
        QCOMPARE(vesk.exitStatus(), QProcess::NormalExit);
        QCOMPARE(vesk.exitCode(), 1);
        QVERIFY(vesk.readAllStandardError().contains("SQLITE driver not found"));
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
    // Only critical lines reach the file, stamped to the second and kept as written, after what earlier runs left.
    void logFileHoldsOnlyCriticalLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("vesk.log");
        QVERIFY(TestSupport::writeFile(path, "earlier run\n"));
        QVERIFY(Vesk::Log::installLogFile(path));
        qWarning("a warning line");
        qCritical(" a critical line ");
        qInstallMessageHandler(nullptr);
        const QStringList lines = QString::fromUtf8(TestSupport::readFile(path)).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0), QStringLiteral("earlier run"));
        const QRegularExpression critical(R"(^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\[C\]  a critical line $)");
        QVERIFY2(critical.match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    }
    // Steps "<ms> <lines>" at that time; the file as runs of lines written and "[n]" for a line telling n were
    // left out. A burst of 200, then 5 a second.
    void logFileIsPaced_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("file");
        QTest::newRow("a burst, then five a second") << "0 250; 1000 10; 1200 1"
                                                     << "200 [50] 5 [5] 1";
        QTest::newRow("an idle hour refills one burst") << "0 1; 3600000 250; 3601000 1"
                                                        << "201 [50] 1";
        QTest::newRow("fractions of a line add up") << "0 200; 100 1; 199 1; 200 1"
                                                    << "200 [2] 1";
    }
    void logFileIsPaced()
    {
        QFETCH(QString, steps);
        QTemporaryDir dir;
        const QString path = dir.filePath("vesk.log");
        logClock.setNowMs(0);
        QVERIFY(Vesk::Log::installLogFile(path, logClock));
        for (const QString& step : steps.split("; ")) {
            logClock.setNowMs(step.section(' ', 0, 0).toLongLong());
            for (int i = step.section(' ', 1).toInt(); i > 0; --i)
                qCritical("a line");
        }
        qInstallMessageHandler(nullptr);
        QStringList file;
        int run = 0;
        const QRegularExpression leftOut(R"(\[C\] (\d+) lines were left out of the log here)");
        for (const QString& line : QString::fromUtf8(TestSupport::readFile(path)).split('\n', Qt::SkipEmptyParts)) {
            if (line.endsWith("[C] a line")) {
                ++run;
                continue;
            }
            if (run > 0)
                file << QString::number(std::exchange(run, 0));
            file << "[" + leftOut.match(line).captured(1) + "]";
        }
        if (run > 0)
            file << QString::number(run);
        QTEST(file.join(' '), "file");
    }

    // Lines of 100 bytes, numbered from 1, into a file bounded to 1000 bytes, which holds "before" ("e" a line of
    // earlier runs); the older file a folder where it cannot be replaced. The files after, as line numbers or "e".
    void logFileIsBounded_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<bool>("olderIsFolder");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("older");
        QTest::addColumn<QString>("current");
        QTest::newRow("passes the bound twice") << QStringList() << false << 25 << "11 12 13 14 15 16 17 18 19 20"
                                                << "21 22 23 24 25";
        QTest::newRow("full at start") << QStringList{QString(999, 'e')} << false << 2 << "e"
                                       << "1 2";
        QTest::newRow("reaches it with the first line") << QStringList{QString(899, 'e')} << false << 2 << "e 1"
                                                        << "2";
        QTest::newRow("cannot be put aside") << QStringList() << true << 12 << "folder"
                                             << "11 12";
    }
    void logFileIsBounded()
    {
        QFETCH(QStringList, before);
        QFETCH(bool, olderIsFolder);
        QFETCH(int, lines);
        QTemporaryDir dir;
        const QString path = dir.filePath("vesk.log");
        QVERIFY(TestSupport::writeFile(path, before.isEmpty() ? QByteArray() : (before.join('\n') + '\n').toUtf8()));
        QVERIFY(olderIsFolder ? QDir(dir.path()).mkpath("vesk.log.1/x") : TestSupport::writeFile(path + ".1", "old\n"));
        QVERIFY(Vesk::Log::installLogFile(path, Vesk::Clock::system(), 1000));
        for (int i = 1; i <= lines; ++i)
            qCritical("%s", qPrintable(QString::number(i).leftJustified(76, '.'))); // 23 + 76 + 1 bytes
        qInstallMessageHandler(nullptr);
        const auto numbers = [](const QString& file) {
            if (QFileInfo(file).isDir())
                return QStringLiteral("folder");
            QStringList numbers;
            for (const QString& line : QString::fromUtf8(TestSupport::readFile(file)).split('\n', Qt::SkipEmptyParts))
                numbers << (line.startsWith('e') ? QStringLiteral("e") : line.mid(23).section('.', 0, 0));
            return numbers.join(' ');
        };
        QTEST(numbers(path + ".1"), "older");
        QTEST(numbers(path), "current");
    }

    void nodeIdIsStableAndHidesTheMachineId()
    {
        const QByteArray raw("0123456789abcdef0123456789abcdef");
        const QString id = Vesk::Platform::nodeIdFromMachineId(raw);
        QCOMPARE(id.size(), 38);                                       // {8-4-4-4-12}
        QCOMPARE(id, Vesk::Platform::nodeIdFromMachineId(raw + '\n')); // the file's line end does not count
        QVERIFY(id != Vesk::Platform::nodeIdFromMachineId("fedcba9876543210fedcba9876543210"));
        const QString bare = QString(id).remove('{').remove('}').remove('-');
        QVERIFY(!bare.contains(QString::fromLatin1(raw.left(8))) && !QString(raw).contains(bare.left(8)));
    }
    void autostartEntryFollowsTheSetting()
    {
        const QString path = Vesk::Platform::autostartEntryPath();
        QVERIFY(Vesk::Platform::registerStartOnLogin(true, QStringLiteral("/opt/My Apps/vesk")));
        const QString text = QString::fromUtf8(TestSupport::readFile(path));
        QVERIFY2(text.startsWith("[Desktop Entry]") && text.contains("Exec=\"/opt/My Apps/vesk\""), qPrintable(text));
        QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString()));
        QVERIFY(!QFile::exists(path));
        QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString())); // nothing left to remove is fine
    }

private:
    // Starts the program in this test's home, with a name already chosen so that no first-run wizard waits, and its
    // messages on standard error.
    void start(QProcess& process, const QString& program, const QStringList& arguments = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("VESK_LOG_TO_STDERR"), QStringLiteral("1"));
        // The window system from where this Qt keeps it, also for a copy that finds no other plugins.
        env.insert(QStringLiteral("QT_QPA_PLATFORM_PLUGIN_PATH"),
                   QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
        for (const char* xdg : {"CONFIG", "DATA", "CACHE"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(xdg), home.filePath(QStringLiteral("xdg-") + xdg));
        QDir().mkpath(home.filePath("xdg-CONFIG/Tavimor"));
        TestSupport::writeFile(home.filePath("xdg-CONFIG/Tavimor/Vesk.conf"), "[General]\nuserAlias=T\n");
        process.setProcessEnvironment(env);
        process.start(program, arguments);
    }
    QByteArray log() const { return TestSupport::readFile(home.filePath("xdg-DATA/Tavimor/Vesk/VeskData/vesk.log")); }

    QTemporaryDir home;
    Vesk::ManualClock logClock; // the pace of the log file, which outlives each test function
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
