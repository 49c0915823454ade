#include "transferfixture.h"

#include "app/notificationdialog.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"
#include "transfer/chunkcache.h"
#include "transfer/transfernames.h"

#include <QAbstractItemModelTester>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextEdit>

using namespace TransferFixture;
using Vesk::Globals;
using Vesk::Parameters;

namespace {

constexpr qint64 kHourMs = 3600000;
constexpr qint64 kPacket = 1000000;
const QString kDownloads = QStringLiteral("vesk_downloads");
const QString kUploads = QStringLiteral("vesk_uploads");
const QString kOwner = QStringLiteral("owner");

struct Request
{
    QString fileId;
    qint64 fileSeek = -1;
    qint64 bufferSize = -1;
    bool operator==(const Request& o) const
    {
        return fileId == o.fileId && fileSeek == o.fileSeek && bufferSize == o.bufferSize;
    }
};

char* toString(const Request& r)
{
    return qstrdup(qPrintable(QStringLiteral("(%1 @%2 +%3)").arg(r.fileId).arg(r.fileSeek).arg(r.bufferSize)));
}

// Receives the URLs the desktop would have opened.
class OpenedUrls : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void openUrl(const QUrl& url) { urls.append(url); }
};

QString status(const QString& id)
{
    return row(kDownloads, id).value("status");
}

QStringList downloadsFolderEntries()
{
    return QDir(downloadsFolderPath()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

class tst_Downloads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // Choosing.
    void choiceComparesSizesAsIntegers_data();
    void choiceComparesSizesAsIntegers();
    void smallerFileGoesFirst();
    void smallFileOvertakesAndLargeOneResumes();
    void pausingAndQueueingAgainResumes();

    // First start and local names.
    void firstStartMovesUnrelatedFileAside_data();
    void firstStartMovesUnrelatedFileAside();
    void sameNameDownloadsKeepFilesOfTheirOwn_data();
    void sameNameDownloadsKeepFilesOfTheirOwn();
    void unsafeNamesStayInTheDownloadsFolder_data();
    void unsafeNamesStayInTheDownloadsFolder();

    // The packet exchange.
    void requestSequence_data();
    void requestSequence();
    void resumeAsksForTheSizeOnDisk();
    void emptyOfferCompletesWithoutPacketOrFile();
    void reOfferedCompleteFileCompletesAtOnce();
    void sameIdWithNewSizeStartsAgain();
    void outOfTurnPacketsLeaveTheFileAlone_data();
    void outOfTurnPacketsLeaveTheFileAlone();
    void badPacketsAreRefused_data();
    void badPacketsAreRefused();
    void packetForUnknownOrUnstartedDownloadIsDropped();
    void automaticOpen_data();
    void automaticOpen();

    // Progress and stalls.
    void progressTickPublishesGrowth();
    void elevenTicksWithoutGrowthGiveUp();
    void withdrawnCurrentDownloadLetsTheQueueGoOn();

    // The owner's side.
    void servingAPacket();
    void badRequestsGetNoAnswer_data();
    void badRequestsGetNoAnswer();
    void requestForUnknownUploadIsLogged();
    void chunkMemoryStaysBounded_data();
    void chunkMemoryStaysBounded();
    void idleChunksAreFreedByTheTimer();

    // Both sides over real loopback connections.
    void loopbackTransferIsBitExact();

private:
    void offer(const QString& id, const QString& name, qint64 size, const QString& from = kOwner);
    void queue(const QString& id);
    QList<Request> requests() const;
    // Answers the last request from `source`, as the owner would, and lets the engine take its next step.
    bool answerLastRequest(const QByteArray& source);
    void deliverPacket(const QString& id, qint64 seek, const QByteArray& bytes);
    void tick();

    Globals* g = nullptr;
    TransferRecorder* outbox = nullptr;
    QTemporaryDir files;
};

void tst_Downloads::initTestCase()
{
    QVERIFY(files.isValid());
    outbox = new TransferRecorder;
    g = startController();
    QVERIFY(g->tcpServer.isListening());
    new QAbstractItemModelTester(g->queuedDownloads, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->completedDownloads, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    addPeer(g, kOwner, QStringLiteral("on"), QStringLiteral("10.77.5.1"));
}

void tst_Downloads::init()
{
    now() += 2 * kHourMs;
    QCoreApplication::processEvents();
    clearTables();
    QDir(downloadsFolderPath()).removeRecursively();
    QDir().mkpath(downloadsFolderPath());
    g->pausedDownloads->refresh();
    g->queuedDownloads->refresh();
    g->completedDownloads->refresh();
    g->setCurrentDownloadingFileId(QString());
    g->bufferFilesToSend.clear();
    g->bufferFilesToSend.resetPeak();
    g->settings->setValue(QLatin1String(Globals::kAutoOpenKey), false);
    outbox->deliver = false;
    outbox->clear();
}

void tst_Downloads::cleanupTestCase()
{
    delete outbox;
    Vesk::setClockOverride({});
}

void tst_Downloads::offer(const QString& id, const QString& name, qint64 size, const QString& from)
{
    g->processNewFileToBeReceived(id, name, from, size);
}

void tst_Downloads::queue(const QString& id)
{
    g->queueFileToDownload(id);
    QCoreApplication::processEvents();
}

QList<Request> tst_Downloads::requests() const
{
    QList<Request> found;
    for (const auto& s : outbox->withAction(QStringLiteral("sendDataPacket")))
        found.append(
            {s.value("fileId").toString(), s.value("fileSeek").toLongLong(), s.value("bufferSize").toLongLong()});
    return found;
}

bool tst_Downloads::answerLastRequest(const QByteArray& source)
{
    const QList<Request> asked = requests();
    if (asked.isEmpty())
        return false;
    const Request last = asked.last();
    deliverPacket(last.fileId, last.fileSeek, source.mid(last.fileSeek, last.bufferSize));
    return true;
}

void tst_Downloads::deliverPacket(const QString& id, qint64 seek, const QByteArray& bytes)
{
    g->processMessage({{"action", "receiveDataPacket"},
                       {"binaryData", bytes},
                       {"fileSeek", seek},
                       {"fileId", id},
                       {"timeSent", now()},
                       {"senderIPAddress", "10.77.5.1"}});
    QCoreApplication::processEvents();
}

void tst_Downloads::tick()
{
    QVERIFY(QMetaObject::invokeMethod(g, "downloadUIUpdateTimeout", Qt::DirectConnection));
    QCoreApplication::processEvents();
}

void tst_Downloads::choiceComparesSizesAsIntegers_data()
{
    QTest::addColumn<QVariant>("first");
    QTest::addColumn<QVariant>("second");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("text 900 against integer 10000") << QVariant("900") << QVariant(10000) << "first";
    QTest::newRow("text 10000 against integer 900") << QVariant("10000") << QVariant(900) << "second";
    QTest::newRow("both text") << QVariant("9") << QVariant("10") << "first";
}

void tst_Downloads::choiceComparesSizesAsIntegers()
{
    QFETCH(QVariant, first);
    QFETCH(QVariant, second);
    QFETCH(QString, chosen);
    const QString insert = QStringLiteral("insert into vesk_downloads (id, filename, filesize, nodefrom, status, "
                                          "timestamp, downloadsize) values (?, ?, ?, 'owner', 'queued', 0, '0')");
    QVERIFY(exec(insert, {QStringLiteral("first"), QStringLiteral("a"), first}));
    QVERIFY(exec(insert, {QStringLiteral("second"), QStringLiteral("b"), second}));
    QVERIFY(exec(insert, {QStringLiteral("paused"), QStringLiteral("c"), QVariant(1)}));
    QVERIFY(exec(QStringLiteral("update vesk_downloads set status = 'unknown' where id = 'paused'")));
    QCOMPARE(g->nextQueuedDownloadId(), chosen);
    exec(QStringLiteral("update vesk_downloads set status = 'unknown'"));
    QCOMPARE(g->nextQueuedDownloadId(), QString());
}

void tst_Downloads::smallerFileGoesFirst()
{
    offer(QStringLiteral("five"), QStringLiteral("five.bin"), 5000000);
    offer(QStringLiteral("one"), QStringLiteral("one.bin"), 1000000);
    outbox->clear();
    g->queueFileToDownload(QStringLiteral("five"));
    g->queueFileToDownload(QStringLiteral("one"));
    QCOMPARE(g->queuedDownloads->rowCount(), 2);
    QCoreApplication::processEvents();
    const QList<Request> asked = requests();
    QVERIFY(!asked.isEmpty());
    for (const Request& r : asked)
        QCOMPARE(r, (Request{QStringLiteral("one"), 0, kPacket}));
    for (const auto& s : outbox->withAction(QStringLiteral("sendDataPacket"))) {
        QCOMPARE(s.nodeId, kOwner);
        QCOMPARE(s.value("timeSent").toLongLong(), now());
    }
    QCOMPARE(g->currentDownloadingFileId(), QStringLiteral("one"));
}

void tst_Downloads::smallFileOvertakesAndLargeOneResumes()
{
    const QByteArray large = pattern(3 * kPacket, 1);
    const QByteArray small = pattern(500, 2);
    offer(QStringLiteral("large"), QStringLiteral("large.bin"), large.size());
    offer(QStringLiteral("small"), QStringLiteral("small.bin"), small.size());
    queue(QStringLiteral("large"));
    QVERIFY(answerLastRequest(large));
    QCOMPARE(requests().last(), (Request{QStringLiteral("large"), kPacket, kPacket}));

    // Queued while a packet of the large file is on its way: the next choice after it is the small file.
    g->queueFileToDownload(QStringLiteral("small"));
    outbox->clear();
    deliverPacket(QStringLiteral("large"), kPacket, large.mid(kPacket, kPacket));
    QCOMPARE(QFileInfo(downloadPath(QStringLiteral("large.bin"))).size(), 2 * kPacket);
    QVERIFY(requests().contains(Request{QStringLiteral("small"), 0, 500}));
    QVERIFY(!requests().contains(Request{QStringLiteral("large"), 2 * kPacket, kPacket}));

    outbox->clear();
    deliverPacket(QStringLiteral("small"), 0, small);
    QCoreApplication::processEvents();
    QCOMPARE(status(QStringLiteral("small")), QStringLiteral("downloaded"));
    QCOMPARE(readFile(downloadPath(QStringLiteral("small.bin"))), small);
    QCOMPARE(requests().last(), (Request{QStringLiteral("large"), 2 * kPacket, kPacket}));
    QVERIFY(answerLastRequest(large));
    QCoreApplication::processEvents();
    QCOMPARE(status(QStringLiteral("large")), QStringLiteral("downloaded"));
    QCOMPARE(readFile(downloadPath(QStringLiteral("large.bin"))), large);
}

void tst_Downloads::pausingAndQueueingAgainResumes()
{
    const QByteArray source = pattern(2500000);
    offer(QStringLiteral("p"), QStringLiteral("p.bin"), source.size());
    queue(QStringLiteral("p"));
    QVERIFY(answerLastRequest(source));
    QSignalSpy currentSpy(g, &Globals::currentDownloadingFileIdChanged);
    g->pauseFileToDownload(QStringLiteral("p"));
    QCOMPARE(status(QStringLiteral("p")), QStringLiteral("unknown"));
    QCOMPARE(g->currentDownloadingFileId(), QString());
    QVERIFY(currentSpy.size() >= 1);
    outbox->clear();
    QCoreApplication::processEvents();
    QVERIFY(requests().isEmpty());

    queue(QStringLiteral("p"));
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("p"), kPacket, kPacket}}));
    QCOMPARE(downloadsFolderEntries(), QStringList{"p.bin"});
}

void tst_Downloads::firstStartMovesUnrelatedFileAside_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("backupPattern");
    QTest::newRow("with suffix") << "report.pdf"
                                 << "report_veskbackup_%1.pdf";
    QTest::newRow("without suffix") << "notes"
                                    << "notes_veskbackup_%1.";
}

void tst_Downloads::firstStartMovesUnrelatedFileAside()
{
    QFETCH(QString, name);
    QFETCH(QString, backupPattern);
    const QString backup =
        backupPattern.arg(QDateTime::fromMSecsSinceEpoch(now()).toString(QStringLiteral("yyyyMMdd_HHmmss")));
    writeFile(downloadPath(name), "an unrelated file");
    const QByteArray source = pattern(150);
    offer(QStringLiteral("fs"), name, source.size());
    queue(QStringLiteral("fs"));

    QCOMPARE(readFile(downloadPath(backup)), QByteArray("an unrelated file"));
    QVERIFY(!QFileInfo::exists(downloadPath(name)));
    QCOMPARE(row(kDownloads, QStringLiteral("fs")).value("downloadsize"), QStringLiteral("150"));
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("fs"), 0, 150}}));

    // Later starts resume into the new file and move nothing.
    deliverPacket(QStringLiteral("fs"), 0, source.left(60));
    g->pauseFileToDownload(QStringLiteral("fs"));
    now() += 5000;
    outbox->clear();
    queue(QStringLiteral("fs"));
    QCOMPARE(requests().first(), (Request{QStringLiteral("fs"), 60, 90}));
    QCOMPARE(downloadsFolderEntries().size(), 2);
    answerLastRequest(source);
    QCoreApplication::processEvents();
    QCOMPARE(readFile(downloadPath(name)), source);
    QCOMPARE(readFile(downloadPath(backup)), QByteArray("an unrelated file"));
}

void tst_Downloads::sameNameDownloadsKeepFilesOfTheirOwn_data()
{
    QTest::addColumn<QString>("firstState");
    QTest::addColumn<QStringList>("unrelated");
    QTest::addColumn<QString>("secondName");
    QTest::newRow("first one partial") << "partial" << QStringList() << "movie (2).mkv";
    QTest::newRow("first one complete") << "complete" << QStringList() << "movie (2).mkv";
    QTest::newRow("numbered name taken by an unrelated file")
        << "partial" << QStringList{"movie (2).mkv"} << "movie (3).mkv";
}

void tst_Downloads::sameNameDownloadsKeepFilesOfTheirOwn()
{
    QFETCH(QString, firstState);
    QFETCH(QStringList, unrelated);
    QFETCH(QString, secondName);
    addPeer(g, QStringLiteral("owner2"), QStringLiteral("on"), QStringLiteral("10.77.5.2"));
    const QByteArray first = pattern(1500000, 3);
    const QByteArray second = pattern(1200000, 4);
    offer(QStringLiteral("m1"), QStringLiteral("movie.mkv"), first.size());
    offer(QStringLiteral("m2"), QStringLiteral("movie.mkv"), second.size(), QStringLiteral("owner2"));
    for (const QString& name : unrelated)
        writeFile(downloadPath(name), "unrelated");

    queue(QStringLiteral("m1"));
    QVERIFY(answerLastRequest(first));
    if (firstState == QLatin1String("complete")) {
        QVERIFY(answerLastRequest(first));
        QCoreApplication::processEvents();
        QCOMPARE(status(QStringLiteral("m1")), QStringLiteral("downloaded"));
    } else {
        g->pauseFileToDownload(QStringLiteral("m1"));
    }
    const QByteArray firstOnDisk = readFile(downloadPath(QStringLiteral("movie.mkv")));
    outbox->clear();

    queue(QStringLiteral("m2"));
    QCOMPARE(row(kDownloads, QStringLiteral("m2")).value("filename"), secondName);
    QCOMPARE(requests().first(), (Request{QStringLiteral("m2"), 0, kPacket}));
    while (status(QStringLiteral("m2")) != QLatin1String("downloaded")) {
        QVERIFY(answerLastRequest(second));
        QCoreApplication::processEvents();
    }
    QCOMPARE(readFile(downloadPath(secondName)), second);
    QCOMPARE(readFile(downloadPath(QStringLiteral("movie.mkv"))), firstOnDisk);
    for (const QString& name : unrelated)
        QCOMPARE(readFile(downloadPath(name)), QByteArray("unrelated"));
    QCOMPARE(g->getFilePathForDownloadedFile(QStringLiteral("m2")), downloadsFolderPath() + secondName);

    if (firstState == QLatin1String("partial")) {
        outbox->clear();
        queue(QStringLiteral("m1"));
        QCOMPARE(requests().first(), (Request{QStringLiteral("m1"), kPacket, 500000}));
        QVERIFY(answerLastRequest(first));
        QCoreApplication::processEvents();
        QCOMPARE(readFile(downloadPath(QStringLiteral("movie.mkv"))), first);
    }
    QCOMPARE(downloadsFolderEntries().size(), 2 + unrelated.size());
}

void tst_Downloads::unsafeNamesStayInTheDownloadsFolder_data()
{
    QTest::addColumn<QString>("offered");
    QTest::newRow("dot dot") << "..";
    QTest::newRow("dot") << ".";
    QTest::newRow("empty") << "";
    QTest::newRow("climbing out") << "../../escaped.txt";
    QTest::newRow("absolute") << "/etc/escaped";
}

void tst_Downloads::unsafeNamesStayInTheDownloadsFolder()
{
    QFETCH(QString, offered);
    const QDir parent = QFileInfo(QDir::fromNativeSeparators(downloadsFolderPath()) + QStringLiteral("..")).dir();
    const QStringList parentBefore =
        QDir(QDir::cleanPath(QDir::fromNativeSeparators(downloadsFolderPath()) + QStringLiteral("/..")))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    Q_UNUSED(parent)
    const QByteArray source = pattern(70);
    offer(QStringLiteral("u"), offered, source.size());
    queue(QStringLiteral("u"));
    QVERIFY(answerLastRequest(source));
    QCoreApplication::processEvents();
    QCOMPARE(status(QStringLiteral("u")), QStringLiteral("downloaded"));
    const QStringList entries = downloadsFolderEntries();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(readFile(downloadPath(entries.first())), source);
    QCOMPARE(QDir(QDir::cleanPath(QDir::fromNativeSeparators(downloadsFolderPath()) + QStringLiteral("/..")))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             parentBefore);
}

void tst_Downloads::requestSequence_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QList<qint64>>("offsets");
    QTest::addColumn<qint64>("lastBufferSize");
    QTest::newRow("one byte") << qint64(1) << QList<qint64>{0} << qint64(1);
    QTest::newRow("exactly 1,000,000 bytes") << qint64(1000000) << QList<qint64>{0} << qint64(1000000);
    QTest::newRow("1,000,001 bytes") << qint64(1000001) << QList<qint64>{0, 1000000} << qint64(1);
    QTest::newRow("2,500,000 bytes") << qint64(2500000) << QList<qint64>{0, 1000000, 2000000} << qint64(500000);
}

void tst_Downloads::requestSequence()
{
    QFETCH(qint64, size);
    QFETCH(QList<qint64>, offsets);
    QFETCH(qint64, lastBufferSize);
    const QByteArray source = pattern(size, 5);
    offer(QStringLiteral("seq"), QStringLiteral("seq.bin"), size);
    queue(QStringLiteral("seq"));
    for (int i = 0; i < offsets.size(); ++i) {
        QCOMPARE(status(QStringLiteral("seq")), QStringLiteral("queued"));
        QCOMPARE(requests().size(), i + 1);
        const Request r = requests().last();
        QCOMPARE(r.fileSeek, offsets[i]);
        QCOMPARE(r.bufferSize, i + 1 == offsets.size() ? lastBufferSize : kPacket);
        QVERIFY(answerLastRequest(source));
    }
    QCoreApplication::processEvents();
    QCOMPARE(requests().size(), offsets.size());
    QCOMPARE(status(QStringLiteral("seq")), QStringLiteral("downloaded"));
    QCOMPARE(readFile(downloadPath(QStringLiteral("seq.bin"))), source);
    QCOMPARE(g->currentDownloadingFileId(), QString());
    QCOMPARE(g->completedDownloads->rowCount(), 1);
    const auto complete = outbox->withAction(QStringLiteral("fileTransferComplete"));
    QCOMPARE(complete.size(), 1);
    QCOMPARE(complete.first().nodeId, kOwner);
    QCOMPARE(complete.first().value("fileId").toString(), QStringLiteral("seq"));
    NotificationDialog* popup = g->chatPopups.value(kOwner);
    QVERIFY(popup);
    QVERIFY(popup->textView()->toPlainText().contains(QStringLiteral("File Downloaded :")));
    QVERIFY(popup->textView()->toPlainText().contains(QStringLiteral("seq.bin")));
}

void tst_Downloads::resumeAsksForTheSizeOnDisk()
{
    offer(QStringLiteral("r"), QStringLiteral("resume.bin"), 2500000);
    exec(QStringLiteral("update vesk_downloads set downloadsize = filesize where id = 'r'"));
    writeFile(downloadPath(QStringLiteral("resume.bin")), pattern(1234));
    queue(QStringLiteral("r"));
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("r"), 1234, kPacket}}));
    QCOMPARE(g->property("currentDownloadFileSize").toLongLong(), 1234);
    QCOMPARE(downloadsFolderEntries(), QStringList{"resume.bin"});
}

void tst_Downloads::emptyOfferCompletesWithoutPacketOrFile()
{
    offer(QStringLiteral("zero"), QStringLiteral("empty.txt"), 0);
    queue(QStringLiteral("zero"));
    QCOMPARE(status(QStringLiteral("zero")), QStringLiteral("downloaded"));
    QVERIFY(requests().isEmpty());
    QVERIFY(!QFileInfo::exists(downloadPath(QStringLiteral("empty.txt"))));
    QCOMPARE(outbox->withAction(QStringLiteral("fileTransferComplete")).size(), 1);
}

void tst_Downloads::reOfferedCompleteFileCompletesAtOnce()
{
    const QByteArray source = pattern(100);
    offer(QStringLiteral("again"), QStringLiteral("again.txt"), source.size());
    queue(QStringLiteral("again"));
    QVERIFY(answerLastRequest(source));
    QCoreApplication::processEvents();
    QCOMPARE(status(QStringLiteral("again")), QStringLiteral("downloaded"));

    offer(QStringLiteral("again"), QStringLiteral("again.txt"), source.size());
    QCOMPARE(status(QStringLiteral("again")), QStringLiteral("unknown"));
    outbox->clear();
    queue(QStringLiteral("again"));
    QCOMPARE(status(QStringLiteral("again")), QStringLiteral("downloaded"));
    QVERIFY(requests().isEmpty());
    QCOMPARE(outbox->withAction(QStringLiteral("fileTransferComplete")).size(), 1);
    QCOMPARE(downloadsFolderEntries(), QStringList{"again.txt"});
}

void tst_Downloads::sameIdWithNewSizeStartsAgain()
{
    const QByteArray old = pattern(100, 1);
    offer(QStringLiteral("grown"), QStringLiteral("grown.txt"), old.size());
    queue(QStringLiteral("grown"));
    QVERIFY(answerLastRequest(old));
    QCoreApplication::processEvents();

    const QByteArray newer = pattern(150, 2);
    offer(QStringLiteral("grown"), QStringLiteral("grown.txt"), newer.size());
    outbox->clear();
    queue(QStringLiteral("grown"));
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("grown"), 0, 150}}));
    QVERIFY(answerLastRequest(newer));
    QCoreApplication::processEvents();
    QCOMPARE(readFile(downloadPath(QStringLiteral("grown.txt"))), newer);
    const QStringList entries = downloadsFolderEntries();
    QCOMPARE(entries.size(), 2);
    const QString backup = entries.at(entries.at(0) == QLatin1String("grown.txt") ? 1 : 0);
    QVERIFY2(backup.startsWith(QStringLiteral("grown_veskbackup_")), qPrintable(backup));
    QCOMPARE(readFile(downloadPath(backup)), old);
}

void tst_Downloads::outOfTurnPacketsLeaveTheFileAlone_data()
{
    QTest::addColumn<qint64>("seek");
    QTest::newRow("duplicate of the previous packet") << qint64(0);
    QTest::newRow("ahead of the file") << qint64(20);
    QTest::newRow("one short") << qint64(9);
}

void tst_Downloads::outOfTurnPacketsLeaveTheFileAlone()
{
    QFETCH(qint64, seek);
    const QByteArray source = pattern(50);
    offer(QStringLiteral("o"), QStringLiteral("o.bin"), source.size());
    queue(QStringLiteral("o"));
    deliverPacket(QStringLiteral("o"), 0, source.left(10));
    QSignalSpy nextSpy(g, &Globals::readyToDownloadNextFile);
    deliverPacket(QStringLiteral("o"), seek, source.mid(seek, 10));
    QCOMPARE(readFile(downloadPath(QStringLiteral("o.bin"))), source.left(10));
    QCOMPARE(nextSpy.size(), 0);
}

void tst_Downloads::badPacketsAreRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("withSeek");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("past the offered size") << pattern(41) << true;
    QTest::newRow("larger than a packet") << pattern(kPacket + 1) << true;
    QTest::newRow("no offset") << pattern(5) << false;
}

void tst_Downloads::badPacketsAreRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, withSeek);
    offer(QStringLiteral("b"), QStringLiteral("b.bin"), 40);
    queue(QStringLiteral("b"));
    QSignalSpy nextSpy(g, &Globals::readyToDownloadNextFile);
    Parameters packet{{"action", "receiveDataPacket"}, {"binaryData", bytes}, {"fileId", "b"}, {"timeSent", 1}};
    if (withSeek)
        packet.insert(QStringLiteral("fileSeek"), 0);
    g->processMessage(packet);
    QVERIFY(!QFileInfo::exists(downloadPath(QStringLiteral("b.bin"))));
    QCOMPARE(nextSpy.size(), 0);
    // The right packet still goes in afterwards.
    deliverPacket(QStringLiteral("b"), 0, pattern(40));
    QCOMPARE(readFile(downloadPath(QStringLiteral("b.bin"))), pattern(40));
}

void tst_Downloads::packetForUnknownOrUnstartedDownloadIsDropped()
{
    QSignalSpy nextSpy(g, &Globals::readyToDownloadNextFile);
    deliverPacket(QStringLiteral("nobody"), 0, pattern(10));
    // Offered but never started: its name is not yet its own, so nothing may be written under it.
    offer(QStringLiteral("idle"), QStringLiteral("idle.bin"), 10);
    deliverPacket(QStringLiteral("idle"), 0, pattern(10));
    QVERIFY(downloadsFolderEntries().isEmpty());
    QCOMPARE(nextSpy.size(), 0);
}

void tst_Downloads::automaticOpen_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("setting");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("setup.exe") << "setup.exe" << true << false << QByteArray("abc");
    QTest::newRow("SETUP.EXE") << "SETUP.EXE" << true << true << QByteArray("abc");
    QTest::newRow("run.bat") << "run.bat" << true << false << QByteArray("abc");
    QTest::newRow("photo.jpg") << "photo.jpg" << true << true << QByteArray("abc");
    QTest::newRow("photo.jpg, setting off") << "photo.jpg" << false << false << QByteArray("abc");
    QTest::newRow("empty photo.jpg") << "photo.jpg" << true << false << QByteArray();
}

void tst_Downloads::automaticOpen()
{
    QFETCH(QString, name);
    QFETCH(bool, setting);
    QFETCH(bool, opened);
    QFETCH(QByteArray, contents);
    OpenedUrls desktop;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "openUrl");
    g->settings->setValue(QLatin1String(Globals::kAutoOpenKey), setting);
    QCOMPARE(g->automaticallyOpenDownloadedFiles(), setting);

    offer(QStringLiteral("open"), name, contents.size());
    queue(QStringLiteral("open"));
    if (!contents.isEmpty())
        QVERIFY(answerLastRequest(contents));
    QCoreApplication::processEvents();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

    QCOMPARE(status(QStringLiteral("open")), QStringLiteral("downloaded"));
    if (opened) {
        QCOMPARE(desktop.urls.size(), 1);
        QCOMPARE(QFileInfo(desktop.urls.first().toLocalFile()).canonicalFilePath(),
                 QFileInfo(downloadPath(name)).canonicalFilePath());
    } else {
        QVERIFY(desktop.urls.isEmpty());
    }
}

void tst_Downloads::progressTickPublishesGrowth()
{
    const QByteArray source = pattern(2500000);
    offer(QStringLiteral("t"), QStringLiteral("t.bin"), source.size());
    queue(QStringLiteral("t"));
    QSignalSpy sizeSpy(g, &Globals::currentDownloadFileSizeChanged);
    tick();
    QCOMPARE(sizeSpy.size(), 0);
    QCOMPARE(g->downloadStallCount, 1);
    QVERIFY(answerLastRequest(source));
    tick();
    QCOMPARE(sizeSpy.size(), 1);
    QCOMPARE(g->downloadStallCount, 0);
    QCOMPARE(g->lastDownloadFileSize, kPacket);
    QCOMPARE(g->property("currentDownloadFileSize").toLongLong(), kPacket);
}

void tst_Downloads::elevenTicksWithoutGrowthGiveUp()
{
    offer(QStringLiteral("stuck"), QStringLiteral("stuck.bin"), 500);
    offer(QStringLiteral("next"), QStringLiteral("next.bin"), 900);
    g->queueFileToDownload(QStringLiteral("next"));
    queue(QStringLiteral("stuck"));
    QCOMPARE(g->currentDownloadingFileId(), QStringLiteral("stuck"));
    outbox->clear();

    for (int i = 1; i <= 10; ++i) {
        tick();
        QCOMPARE(g->downloadStallCount, i);
        QCOMPARE(status(QStringLiteral("stuck")), QStringLiteral("queued"));
        // Every quiet tick asks again, in case the request or its answer was lost.
        QCOMPARE(requests().size(), i);
        QCOMPARE(requests().last(), (Request{QStringLiteral("stuck"), 0, 500}));
    }
    tick();
    QCOMPARE(status(QStringLiteral("stuck")), QStringLiteral("unknown"));
    QCOMPARE(g->downloadStallCount, 0);
    QCOMPARE(g->currentDownloadingFileId(), QStringLiteral("next"));
    QCOMPARE(requests().last(), (Request{QStringLiteral("next"), 0, 900}));
    QCOMPARE(g->pausedDownloads->rowCount(), 1);
}

void tst_Downloads::withdrawnCurrentDownloadLetsTheQueueGoOn()
{
    offer(QStringLiteral("w1"), QStringLiteral("w1.bin"), 500);
    offer(QStringLiteral("w2"), QStringLiteral("w2.bin"), 900);
    g->queueFileToDownload(QStringLiteral("w2"));
    queue(QStringLiteral("w1"));
    outbox->clear();
    g->processMessage({{"action", "removeFileToGet"}, {"fileId", "w1"}, {"senderIPAddress", "10.77.5.1"}});
    QCoreApplication::processEvents();
    QVERIFY(row(kDownloads, QStringLiteral("w1")).isEmpty());
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("w2"), 0, 900}}));
}

void tst_Downloads::servingAPacket()
{
    const QByteArray source = pattern(2500000, 9);
    const QString path = writeFile(files.filePath(QStringLiteral("served.bin")), source);
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values ('up', ?, 'receiver', 2500000, 'served.bin', 0, 'sent', 0)"),
         {path});
    g->uploadsData->refresh();
    for (qint64 seek : {qint64(0), qint64(2000000), qint64(1000000)}) {
        outbox->clear();
        g->processMessage({{"action", "sendDataPacket"},
                           {"bufferSize", quint32(kPacket)},
                           {"fileSeek", quint32(seek)},
                           {"fileId", "up"},
                           {"timeSent", qint64(424242)},
                           {"senderIPAddress", "10.77.5.9"}});
        QCOMPARE(outbox->sent.size(), 1);
        const auto answer = outbox->sent.first();
        QCOMPARE(answer.action(), QStringLiteral("receiveDataPacket"));
        QCOMPARE(answer.nodeId, QStringLiteral("receiver"));
        QCOMPARE(answer.value("fileId").toString(), QStringLiteral("up"));
        QCOMPARE(answer.value("fileSeek").toLongLong(), seek);
        QCOMPARE(answer.value("timeSent").toLongLong(), 424242);
        QCOMPARE(answer.value("binaryData").toByteArray(), source.mid(seek, kPacket));
        QCOMPARE(row(kUploads, QStringLiteral("up")).value("bytessent"), QString::number(seek));
    }
}

void tst_Downloads::badRequestsGetNoAnswer_data()
{
    QTest::addColumn<QVariant>("bufferSize");
    QTest::addColumn<QVariant>("fileSeek");
    QTest::newRow("zero size") << QVariant(0) << QVariant(0);
    QTest::newRow("negative size") << QVariant(-1) << QVariant(0);
    QTest::newRow("more than a packet") << QVariant(kPacket + 1) << QVariant(0);
    QTest::newRow("negative offset") << QVariant(10) << QVariant(-1);
    QTest::newRow("offset at the end") << QVariant(10) << QVariant(5000);
    QTest::newRow("offset beyond the end") << QVariant(10) << QVariant(4000000000LL);
    QTest::newRow("no size") << QVariant() << QVariant(0);
    QTest::newRow("no offset") << QVariant(10) << QVariant();
    QTest::newRow("size as text") << QVariant("lots") << QVariant(0);
}

void tst_Downloads::badRequestsGetNoAnswer()
{
    QFETCH(QVariant, bufferSize);
    QFETCH(QVariant, fileSeek);
    const QString path = writeFile(files.filePath(QStringLiteral("small.bin")), pattern(5000));
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values ('up', ?, 'receiver', 5000, 'small.bin', 0, 'sent', 0)"),
         {path});
    Parameters request{{"action", "sendDataPacket"}, {"fileId", "up"}, {"timeSent", 1}};
    if (bufferSize.isValid())
        request.insert(QStringLiteral("bufferSize"), bufferSize);
    if (fileSeek.isValid())
        request.insert(QStringLiteral("fileSeek"), fileSeek);
    g->processMessage(request);
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 0);
    QCOMPARE(row(kUploads, QStringLiteral("up")).value("bytessent"), QStringLiteral("0"));
}

void tst_Downloads::requestForUnknownUploadIsLogged()
{
    TestSupport::MessageCatcher catcher;
    g->processMessage({{"action", "sendDataPacket"}, {"fileId", "ghost"}, {"fileSeek", 0}, {"bufferSize", 10}});
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY2(catcher.criticals().first().contains(QStringLiteral("The local file for")),
             qPrintable(catcher.criticals().first()));
    QVERIFY(catcher.criticals().first().contains(QStringLiteral("ghost")));
    QVERIFY(catcher.criticals().first().contains(QStringLiteral("was not found")));
}

void tst_Downloads::chunkMemoryStaysBounded_data()
{
    QTest::addColumn<int>("uploads");
    QTest::addColumn<qint64>("packetSize");
    QTest::newRow("one large file, whole packets") << 1 << kPacket;
    QTest::newRow("one large file, small packets") << 1 << qint64(300000);
    QTest::newRow("twelve receivers at once") << 12 << qint64(400000);
}

void tst_Downloads::chunkMemoryStaysBounded()
{
    QFETCH(int, uploads);
    QFETCH(qint64, packetSize);
    const qint64 size = uploads == 1 ? 40 * kPacket + 123 : 3 * kPacket + 7;
    const QByteArray source = pattern(size, 7);
    const QString path = writeFile(files.filePath(QStringLiteral("large.bin")), source);
    for (int i = 0; i < uploads; ++i)
        exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, "
                            "timesent) values (?, ?, 'receiver', ?, 'large.bin', 0, 'sent', 0)"),
             {QStringLiteral("big%1").arg(i), path, size});
    g->bufferFilesToSend.resetPeak();

    QList<qint64> offsets(uploads, 0);
    QList<QByteArray> received(uploads);
    bool more = true;
    while (more) {
        more = false;
        for (int i = 0; i < uploads; ++i) {
            if (offsets[i] >= size)
                continue;
            more = true;
            outbox->clear();
            g->processMessage({{"action", "sendDataPacket"},
                               {"bufferSize", qMin(packetSize, size - offsets[i])},
                               {"fileSeek", offsets[i]},
                               {"fileId", QStringLiteral("big%1").arg(i)},
                               {"timeSent", 1}});
            QCOMPARE(outbox->sent.size(), 1);
            const QByteArray bytes = outbox->sent.first().value("binaryData").toByteArray();
            QVERIFY(!bytes.isEmpty());
            received[i] += bytes;
            offsets[i] += bytes.size();
            QVERIFY(g->bufferFilesToSend.chunkCount() <= ChunkCache::kDefaultCapacity);
        }
    }
    for (int i = 0; i < uploads; ++i)
        QVERIFY(received[i] == source);
    QVERIFY2(g->bufferFilesToSend.peakBytesHeld() <= ChunkCache::kDefaultCapacity * kPacket,
             qPrintable(QString::number(g->bufferFilesToSend.peakBytesHeld())));
    if (uploads == 1)
        QVERIFY(g->bufferFilesToSend.peakBytesHeld() <= kPacket);
    // Every chunk was served to its end, so none is left behind.
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 0);
}

void tst_Downloads::idleChunksAreFreedByTheTimer()
{
    const QString path = writeFile(files.filePath(QStringLiteral("idle.bin")), pattern(3 * kPacket));
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values ('idle', ?, 'receiver', ?, 'idle.bin', 0, 'sent', 0)"),
         {path, 3 * kPacket});
    QCOMPARE(g->readFilePacket(QStringLiteral("idle"), 0, 10), pattern(10));
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 1);
    QVERIFY(g->freeBufferFilesTimer.isActive());
    now() += 10000;
    QVERIFY(QMetaObject::invokeMethod(g, "freeBufferFilesToSend", Qt::DirectConnection));
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 1);
    QVERIFY(g->freeBufferFilesTimer.isActive());
    now() += 1;
    QVERIFY(QMetaObject::invokeMethod(g, "freeBufferFilesToSend", Qt::DirectConnection));
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 0);
    g->freeBufferFilesTimer.stop();
}

void tst_Downloads::loopbackTransferIsBitExact()
{
    // This instance is owner and receiver at once: its own node and the peer "loop" both live at 127.0.0.1, so
    // every request and packet crosses a real TCP connection of its own.
    QCOMPARE(g->getIpAddressForNode(g->hostId()), QStringLiteral("127.0.0.1"));
    addPeer(g, QStringLiteral("loop"), QStringLiteral("on"), QStringLiteral("127.0.0.1"));
    const QByteArray source = pattern(3 * kPacket + 4321, 11);
    const QString path = writeFile(files.filePath(QStringLiteral("looped.bin")), source);
    const QString id = Vesk::TransferNames::uploadId(QStringLiteral("loop"), path);
    exec(QStringLiteral("replace into vesk_uploads(id, url, nodeTo, filesize, filename, bytesSent, status, timesent) "
                        "values (?,?,?,?,?,0, 'unknown', ?);"),
         {id, path, QStringLiteral("loop"), source.size(), QStringLiteral("looped.bin"), now()});
    outbox->deliver = true;

    g->unsentUploadsTimeout(); // the offer goes to "loop", which is this instance
    QTRY_COMPARE_WITH_TIMEOUT(status(id), QStringLiteral("unknown"), 10000);
    exec(QStringLiteral("update vesk_downloads set nodefrom = ? where id = ?"), {g->hostId(), id});
    QTRY_COMPARE_WITH_TIMEOUT(row(kUploads, id).value("status"), QStringLiteral("sent"), 10000);

    g->queueFileToDownload(id);
    QTRY_COMPARE_WITH_TIMEOUT(status(id), QStringLiteral("downloaded"), 30000);
    QCOMPARE(readFile(downloadPath(QStringLiteral("looped.bin"))), source);
    // "fileTransferComplete" reached the owner's side, which dropped its upload row.
    QTRY_VERIFY_WITH_TIMEOUT(row(kUploads, id).isEmpty(), 10000);
}

QTEST_MAIN(tst_Downloads)
#include "tst_downloads.moc"
