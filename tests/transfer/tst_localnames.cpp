#include "downloaddriver.h"

#include "store/vesksqlquerymodel.h"
#include "transfer/transfernames.h"

#include <QDateTime>
#include <QFileInfo>

using namespace TestSupport;

// Which file of the downloads folder a download writes into: the first start moves an unrelated file aside, never
// touches another download's file, and no offered name leads outside the folder.
class tst_LocalNames : public DownloadDriver
{
    Q_OBJECT

private Q_SLOTS:
    void firstStartMovesUnrelatedFileAside_data();
    void firstStartMovesUnrelatedFileAside();
    void sameNameDownloadsKeepFilesOfTheirOwn_data();
    void sameNameDownloadsKeepFilesOfTheirOwn();
    void unsafeNamesStayInTheDownloadsFolder_data();
    void unsafeNamesStayInTheDownloadsFolder();
    void sameIdWithNewSizeStartsAgain();
    void reOfferedCompleteFileCompletesAtOnce();
};

void tst_LocalNames::firstStartMovesUnrelatedFileAside_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("backupPattern");
    QTest::newRow("with suffix") << "report.pdf"
                                 << "report_veskbackup_%1.pdf";
    QTest::newRow("without suffix") << "notes"
                                    << "notes_veskbackup_%1.";
}

void tst_LocalNames::firstStartMovesUnrelatedFileAside()
{
    QFETCH(QString, name);
    QFETCH(QString, backupPattern);
    const QString backup = backupPattern.arg(
        QDateTime::fromMSecsSinceEpoch(rig->clock.nowMs()).toString(QStringLiteral("yyyyMMdd_HHmmss")));
    writeFile(path(name), "an unrelated file");
    const QByteArray source = pattern(150);
    offer(QStringLiteral("fs"), name, source.size());
    queue(QStringLiteral("fs"));

    QCOMPARE(readFile(path(backup)), QByteArray("an unrelated file"));
    QVERIFY(!QFileInfo::exists(path(name)));
    QCOMPARE(row(kDownloads, QStringLiteral("fs")).value("downloadsize"), QStringLiteral("150"));
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("fs"), 0, 150}}));

    // Later starts resume into the new file and move nothing.
    deliverPacket(QStringLiteral("fs"), 0, source.left(60));
    rig->engine.pauseFileToDownload(QStringLiteral("fs"));
    rig->clock.advance(5000);
    rig->sink.clear();
    queue(QStringLiteral("fs"));
    QCOMPARE(requests().first(), (Request{QStringLiteral("fs"), 60, 90}));
    QCOMPARE(entries().size(), 2);
    answerLastRequest(source);
    settle();
    QCOMPARE(readFile(path(name)), source);
    QCOMPARE(readFile(path(backup)), QByteArray("an unrelated file"));
}

void tst_LocalNames::sameNameDownloadsKeepFilesOfTheirOwn_data()
{
    QTest::addColumn<QString>("firstState");
    QTest::addColumn<QStringList>("unrelated");
    QTest::addColumn<QString>("secondName");
    QTest::newRow("first one partial") << "partial" << QStringList() << "movie (2).mkv";
    QTest::newRow("first one complete") << "complete" << QStringList() << "movie (2).mkv";
    QTest::newRow("numbered name taken by an unrelated file")
        << "partial" << QStringList{"movie (2).mkv"} << "movie (3).mkv";
}

void tst_LocalNames::sameNameDownloadsKeepFilesOfTheirOwn()
{
    QFETCH(QString, firstState);
    QFETCH(QStringList, unrelated);
    QFETCH(QString, secondName);
    rig->addPeer(QStringLiteral("owner2"));
    const QByteArray first = pattern(1500000, 3);
    const QByteArray second = pattern(1200000, 4);
    offer(QStringLiteral("m1"), QStringLiteral("movie.mkv"), first.size());
    offer(QStringLiteral("m2"), QStringLiteral("movie.mkv"), second.size(), QStringLiteral("owner2"));
    for (const QString& name : unrelated)
        writeFile(path(name), "unrelated");

    queue(QStringLiteral("m1"));
    QVERIFY(answerLastRequest(first));
    if (firstState == QLatin1String("complete")) {
        QVERIFY(answerLastRequest(first));
        settle();
        QCOMPARE(status(QStringLiteral("m1")), QStringLiteral("downloaded"));
    } else {
        rig->engine.pauseFileToDownload(QStringLiteral("m1"));
    }
    const QByteArray firstOnDisk = readFile(path(QStringLiteral("movie.mkv")));
    rig->sink.clear();

    queue(QStringLiteral("m2"));
    QCOMPARE(row(kDownloads, QStringLiteral("m2")).value("filename"), secondName);
    QCOMPARE(requests().first(), (Request{QStringLiteral("m2"), 0, kPacket}));
    while (status(QStringLiteral("m2")) != QLatin1String("downloaded")) {
        QVERIFY(answerLastRequest(second));
        settle();
    }
    QCOMPARE(readFile(path(secondName)), second);
    QCOMPARE(readFile(path(QStringLiteral("movie.mkv"))), firstOnDisk);
    for (const QString& name : unrelated)
        QCOMPARE(readFile(path(name)), QByteArray("unrelated"));

    if (firstState == QLatin1String("partial")) {
        rig->sink.clear();
        queue(QStringLiteral("m1"));
        QCOMPARE(requests().first(), (Request{QStringLiteral("m1"), kPacket, 500000}));
        QVERIFY(answerLastRequest(first));
        settle();
        QCOMPARE(readFile(path(QStringLiteral("movie.mkv"))), first);
    }
    QCOMPARE(entries().size(), 2 + unrelated.size());
}

void tst_LocalNames::unsafeNamesStayInTheDownloadsFolder_data()
{
    QTest::addColumn<QString>("offered");
    QTest::newRow("dot dot") << "..";
    QTest::newRow("dot") << ".";
    QTest::newRow("empty") << "";
    QTest::newRow("climbing out") << "../../escaped.txt";
    QTest::newRow("absolute") << "/etc/escaped";
}

void tst_LocalNames::unsafeNamesStayInTheDownloadsFolder()
{
    QFETCH(QString, offered);
    const QStringList parentBefore = QDir(rig->dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QByteArray source = pattern(70);
    offer(QStringLiteral("u"), offered, source.size());
    queue(QStringLiteral("u"));
    QVERIFY(answerLastRequest(source));
    settle();
    QCOMPARE(status(QStringLiteral("u")), QStringLiteral("downloaded"));
    const QStringList files = entries();
    QCOMPARE(files.size(), 1);
    QCOMPARE(readFile(path(files.first())), source);
    QCOMPARE(QDir(rig->dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), parentBefore);
}

void tst_LocalNames::sameIdWithNewSizeStartsAgain()
{
    const QByteArray old = pattern(100, 1);
    offer(QStringLiteral("grown"), QStringLiteral("grown.txt"), old.size());
    queue(QStringLiteral("grown"));
    QVERIFY(answerLastRequest(old));
    settle();

    const QByteArray newer = pattern(150, 2);
    offer(QStringLiteral("grown"), QStringLiteral("grown.txt"), newer.size());
    rig->sink.clear();
    queue(QStringLiteral("grown"));
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("grown"), 0, 150}}));
    QVERIFY(answerLastRequest(newer));
    settle();
    QCOMPARE(readFile(path(QStringLiteral("grown.txt"))), newer);
    const QStringList files = entries();
    QCOMPARE(files.size(), 2);
    const QString backup = files.at(files.at(0) == QLatin1String("grown.txt") ? 1 : 0);
    QVERIFY2(backup.startsWith(QStringLiteral("grown_veskbackup_")), qPrintable(backup));
    QCOMPARE(readFile(path(backup)), old);
}

void tst_LocalNames::reOfferedCompleteFileCompletesAtOnce()
{
    const QByteArray source = pattern(100);
    offer(QStringLiteral("again"), QStringLiteral("again.txt"), source.size());
    queue(QStringLiteral("again"));
    QVERIFY(answerLastRequest(source));
    settle();
    QCOMPARE(status(QStringLiteral("again")), QStringLiteral("downloaded"));

    offer(QStringLiteral("again"), QStringLiteral("again.txt"), source.size());
    QCOMPARE(status(QStringLiteral("again")), QStringLiteral("unknown"));
    rig->sink.clear();
    queue(QStringLiteral("again"));
    QCOMPARE(status(QStringLiteral("again")), QStringLiteral("downloaded"));
    QVERIFY(requests().isEmpty());
    QCOMPARE(rig->fileIds(QStringLiteral("fileTransferComplete")), QStringList{"again"});
    QCOMPARE(entries(), QStringList{"again.txt"});
}

QTEST_GUILESS_MAIN(tst_LocalNames)
#include "tst_localnames.moc"
