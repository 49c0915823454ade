#include "downloaddriver.h"

#include "app/notificationdialog.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/transfernames.h"

#include <QAbstractItemModelTester>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QTextEdit>

using namespace TransferFixture;
using Vesk::Globals;
using Vesk::Parameters;

namespace {

const QString kDownloads = QStringLiteral("vesk_downloads");

// Receives the URLs the desktop would have opened.
class OpenedUrls : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void openUrl(const QUrl& url) { urls.append(url); }
};

} // namespace

// The receiver's engine: which download goes next, the requests it makes, the packets it accepts, completion,
// automatic opening, progress and stalls.
class tst_Downloads : public DownloadDriver
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { reset(); }
    void cleanupTestCase() { shutDown(); }

    void choiceComparesSizesAsIntegers_data();
    void choiceComparesSizesAsIntegers();
    void smallerFileGoesFirst();
    void smallFileOvertakesAndLargeOneResumes();
    void pausingAndQueueingAgainResumes();
    void requestSequence_data();
    void requestSequence();
    void resumeAsksForTheSizeOnDisk();
    void emptyOfferCompletesWithoutPacketOrFile();
    void outOfTurnPacketsLeaveTheFileAlone_data();
    void outOfTurnPacketsLeaveTheFileAlone();
    void badPacketsAreRefused_data();
    void badPacketsAreRefused();
    void packetForUnknownOrUnstartedDownloadIsDropped();
    void automaticOpen_data();
    void automaticOpen();
    void progressTickPublishesGrowth();
    void elevenTicksWithoutGrowthGiveUp();
    void withdrawnCurrentDownloadLetsTheQueueGoOn();
};

void tst_Downloads::initTestCase()
{
    startUp();
    new QAbstractItemModelTester(g->queuedDownloads, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->completedDownloads, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
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
    QCOMPARE(downloadStatus(QStringLiteral("small")), QStringLiteral("downloaded"));
    QCOMPARE(readFile(downloadPath(QStringLiteral("small.bin"))), small);
    QCOMPARE(requests().last(), (Request{QStringLiteral("large"), 2 * kPacket, kPacket}));
    QVERIFY(answerLastRequest(large));
    QCoreApplication::processEvents();
    QCOMPARE(downloadStatus(QStringLiteral("large")), QStringLiteral("downloaded"));
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
    QCOMPARE(downloadStatus(QStringLiteral("p")), QStringLiteral("unknown"));
    QCOMPARE(g->currentDownloadingFileId(), QString());
    QVERIFY(currentSpy.size() >= 1);
    outbox->clear();
    QCoreApplication::processEvents();
    QVERIFY(requests().isEmpty());

    queue(QStringLiteral("p"));
    QCOMPARE(requests(), (QList<Request>{{QStringLiteral("p"), kPacket, kPacket}}));
    QCOMPARE(downloadsFolderEntries(), QStringList{"p.bin"});
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
        QCOMPARE(downloadStatus(QStringLiteral("seq")), QStringLiteral("queued"));
        QCOMPARE(requests().size(), i + 1);
        const Request r = requests().last();
        QCOMPARE(r.fileSeek, offsets[i]);
        QCOMPARE(r.bufferSize, i + 1 == offsets.size() ? lastBufferSize : kPacket);
        QVERIFY(answerLastRequest(source));
    }
    QCoreApplication::processEvents();
    QCOMPARE(requests().size(), offsets.size());
    QCOMPARE(downloadStatus(QStringLiteral("seq")), QStringLiteral("downloaded"));
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
    QCOMPARE(downloadStatus(QStringLiteral("zero")), QStringLiteral("downloaded"));
    QVERIFY(requests().isEmpty());
    QVERIFY(!QFileInfo::exists(downloadPath(QStringLiteral("empty.txt"))));
    QCOMPARE(outbox->withAction(QStringLiteral("fileTransferComplete")).size(), 1);
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

    QCOMPARE(downloadStatus(QStringLiteral("open")), QStringLiteral("downloaded"));
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
    QVERIFY(tick());
    QCOMPARE(sizeSpy.size(), 0);
    QCOMPARE(g->downloadStallCount, 1);
    QVERIFY(answerLastRequest(source));
    QVERIFY(tick());
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
        QVERIFY(tick());
        QCOMPARE(g->downloadStallCount, i);
        QCOMPARE(downloadStatus(QStringLiteral("stuck")), QStringLiteral("queued"));
        // Every quiet tick asks again, in case the request or its answer was lost.
        QCOMPARE(requests().size(), i);
        QCOMPARE(requests().last(), (Request{QStringLiteral("stuck"), 0, 500}));
    }
    QVERIFY(tick());
    QCOMPARE(downloadStatus(QStringLiteral("stuck")), QStringLiteral("unknown"));
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

QTEST_MAIN(tst_Downloads)
#include "tst_downloads.moc"
