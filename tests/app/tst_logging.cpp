#include "app/logging.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

class TestLogging : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formatLine_data();
    void formatLine();
    void fileHoldsOnlyCriticalAndFatal();
    void fatalWritesThenAborts();
    void unopenableFileIsRefused();
};

void TestLogging::formatLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("critical") << int(QtCriticalMsg) << "some message"
                              << "2014.03.01 18:22:05[C] some message";
    QTest::newRow("fatal") << int(QtFatalMsg) << "boom"
                           << "2014.03.01 18:22:05[F] boom";
    QTest::newRow("text keeps its own blanks") << int(QtCriticalMsg) << " padded "
                                               << "2014.03.01 18:22:05[C]  padded ";
    QTest::newRow("debug dropped") << int(QtDebugMsg) << "x" << QString();
    QTest::newRow("warning dropped") << int(QtWarningMsg) << "x" << QString();
    QTest::newRow("info dropped") << int(QtInfoMsg) << "x" << QString();
}

void TestLogging::formatLine()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QDateTime when(QDate(2014, 3, 1), QTime(18, 22, 5));
    QCOMPARE(Vesk::Log::formatLine(QtMsgType(type), text, when), expected);
}

void TestLogging::fileHoldsOnlyCriticalAndFatal()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("vesk.log");
    {
        QFile existing(path);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("earlier run\n");
    }
    QVERIFY(Vesk::Log::installLogFile(path));
    qDebug("a debug line");
    qWarning("a warning line");
    qInfo("an info line");
    qCritical("a critical line");
    qInstallMessageHandler(nullptr);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("earlier run")); // appended, never truncated
    QVERIFY2(
        QRegularExpression(R"(^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\[C\] a critical line$)").match(lines.at(1)).hasMatch(),
        qPrintable(lines.at(1)));
}

void TestLogging::fatalWritesThenAborts()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("vesk.log");
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--fatal-child"), path});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString content = QString::fromUtf8(file.readAll());
    QVERIFY2(content.contains(QStringLiteral("[F] the end")), qPrintable(content));
    QVERIFY(!content.contains(QStringLiteral("after the fatal")));
}

void TestLogging::unopenableFileIsRefused()
{
    QVERIFY(!Vesk::Log::installLogFile(QStringLiteral("/nonexistent-folder/for/sure/vesk.log")));
}

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--fatal-child") == 0) {
        QCoreApplication app(argc, argv);
        if (!Vesk::Log::installLogFile(QString::fromLocal8Bit(argv[2])))
            return 2;
        qFatal("the end");
        qCritical("after the fatal");
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestLogging test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logging.moc"
