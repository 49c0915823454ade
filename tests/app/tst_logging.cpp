#include "app/logging.h"

#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

// The log file keeps only what went wrong: critical and fatal lines, each stamped with the local time.
class TestLogging : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formatLine_data();
    void formatLine();
    void fileHoldsOnlyCriticalLines();
};

void TestLogging::formatLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("line");
    QTest::newRow("critical") << int(QtCriticalMsg) << "2014.03.01 18:22:05[C]  padded ";
    QTest::newRow("fatal") << int(QtFatalMsg) << "2014.03.01 18:22:05[F]  padded ";
    QTest::newRow("warning dropped") << int(QtWarningMsg) << QString();
    QTest::newRow("debug dropped") << int(QtDebugMsg) << QString();
}

void TestLogging::formatLine()
{
    QFETCH(int, type);
    const QDateTime when(QDate(2014, 3, 1), QTime(18, 22, 5));
    QTEST(Vesk::Log::formatLine(QtMsgType(type), QStringLiteral(" padded "), when), "line");
}

void TestLogging::fileHoldsOnlyCriticalLines()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("vesk.log");
    QVERIFY(TestSupport::writeFile(path, "earlier run\n"));
    QVERIFY(Vesk::Log::installLogFile(path));
    qDebug("a debug line");
    qWarning("a warning line");
    qCritical("a critical line");
    qInstallMessageHandler(nullptr);
    const QStringList lines = QString::fromUtf8(TestSupport::readFile(path)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("earlier run")); // appended, never truncated
    QVERIFY2(lines.at(1).endsWith(QStringLiteral("[C] a critical line")), qPrintable(lines.at(1)));
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
