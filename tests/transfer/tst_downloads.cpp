#include "downloaddriver.h"

#include <QFileInfo>
#include <QSignalSpy>

using namespace TestSupport;
using Vesk::DownloadEngine;

// The download engine: which file goes next, what is asked for, what is written, when it gives up and when it goes
// on by itself.
class tst_Downloads : public DownloadDriver
{
    Q_OBJECT

private Q_SLOTS:
    void choiceComparesSizesAsIntegers_data();
    void choiceComparesSizesAsIntegers();
    void requestSequence_data();
    void requestSequence();
    void smallFileOvertakesAndLargeOneResumes();
    void pausingAndQueueingAgainResumes();
    void resumeAsksForTheSizeOnDisk();
    void emptyOfferCompletesWithoutPacketOrFile();
    void outOfTurnPacketsLeaveTheFileAlone_data();
    void outOfTurnPacketsLeaveTheFileAlone();
    void badPacketsAreRefused_data();
    void badPacketsAreRefused();
    void packetForUnknownOrUnstartedDownloadIsDropped();
    void automaticOpen_data();
    void automaticOpen();
    void progressFollowsTheDownload();
    void elevenQuietTicksGiveUpAndTheOwnersReturnResumes();
    void pausedByTheUserWaitsForTheUser();
    void withdrawnCurrentDownloadLetsTheQueueGoOn();
    void lateAnswersLeaveAnEndedDownloadAlone_data();
    void lateAnswersLeaveAnEndedDownloadAlone();
    void allPendingAtOnce();
};

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
    const QString insert = "insert into vesk_downloads (id, filename, filesize, nodefrom, status, timestamp, "
                           "downloadsize) values (?, ?, ?, 'owner', ?, 0, '0')";
    QVERIFY(exec(insert, {"first", "a", first, "queued"}));
    QVERIFY(exec(insert, {"second", "b", second, "queued"}));
    QVERIFY(exec(insert, {"paused", "c", 1, "unknown"}));
    QCOMPARE(rig->engine.nextQueuedDownloadId(), chosen);
    QVERIFY(exec("update vesk_downloads set status = 'unknown'"));
    QCOMPARE(rig->engine.nextQueuedDownloadId(), QString());
}

void tst_Downloads::requestSequence_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QList<qint64>>("offsets");
    QTest::addColumn<qint64>("lastBufferSize");
    QTest::newRow("one byte") << qint64(1) << QList<qint64>{0} << qint64(1);
    QTest::newRow("exactly one packet") << kPacket << QList<qint64>{0} << kPacket;
    QTest::newRow("one byte over a packet") << kPacket + 1 << QList<qint64>{0, kPacket} << qint64(1);
    QTest::newRow("two and a half packets") << 5 * kPacket / 2 << QList<qint64>{0, kPacket, 2 * kPacket} << kPacket / 2;
}

void tst_Downloads::requestSequence()
{
    QFETCH(qint64, size);
    QFETCH(QList<qint64>, offsets);
    QFETCH(qint64, lastBufferSize);
    const QByteArray source = pattern(size, 5);
    offer("seq", "seq.bin", size);
    queue("seq");
    QCOMPARE(requests(), (QList<Request>{{"seq", 0, qMin(size, kPacket)}})); // a new download asks for one packet
    // The window refills as answers come in; each offset is asked for once, in order, and the file only ever
    // holds the source's first bytes.
    for (qsizetype answered = 0; answered < requests().size(); ++answered) {
        QCOMPARE(status("seq"), QStringLiteral("queued"));
        const Request r = requests().at(answered);
        deliverPacket(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
        QVERIFY(source.startsWith(readFile(path("seq.bin"))));
    }
    QList<qint64> asked;
    for (const Request& r : requests()) {
        asked.append(r.fileSeek);
        QCOMPARE(r.bufferSize, r.fileSeek == offsets.last() ? lastBufferSize : kPacket);
    }
    QCOMPARE(asked, offsets);
    for (const auto& s : rig->sink.withAction("sendDataPacket")) {
        QCOMPARE(s.address, ownerAddress);
        QCOMPARE(s.value("timeSent").toLongLong(), rig->clock.nowMs());
    }
    QCOMPARE(status("seq"), QStringLiteral("downloaded"));
    QCOMPARE(readFile(path("seq.bin")), source);
    QCOMPARE(rig->engine.currentDownloadingFileId(), QString());
    QCOMPARE(rig->store->completedDownloads->rowCount(), 1);
    QCOMPARE(rig->fileIds("fileTransferComplete"), QStringList{"seq"});
    QCOMPARE(rig->sink.withAction("fileTransferComplete").first().address, ownerAddress);
    QCOMPARE(rig->shell.chatPopups.size(), 1);
    QVERIFY(rig->shell.chatPopups.first().html.contains("seq.bin"));
    QVERIFY(!rig->shell.progressShown);
}

void tst_Downloads::smallFileOvertakesAndLargeOneResumes()
{
    const QByteArray large = pattern(3 * kPacket, 1);
    const QByteArray small = pattern(500, 2);
    offer("large", "large.bin", large.size());
    offer("small", "small.bin", small.size());
    queue("large");
    QVERIFY(answerLastRequest(large));
    QCOMPARE(requests().mid(1), (QList<Request>{{"large", kPacket, kPacket}, {"large", 2 * kPacket, kPacket}}));

    // Queued while packets of the large file are on their way: the next choice after one of them is the small
    // file, and nothing more is asked for the large one meanwhile.
    rig->engine.queueFileToDownload("small");
    rig->sink.clear();
    deliverPacket("large", kPacket, large.mid(kPacket, kPacket));
    QCOMPARE(QFileInfo(path("large.bin")).size(), 2 * kPacket);
    QCOMPARE(requests(), (QList<Request>{{"small", 0, 500}}));

    rig->sink.clear();
    deliverPacket("small", 0, small);
    QCOMPARE(status("small"), QStringLiteral("downloaded"));
    QCOMPARE(readFile(path("small.bin")), small);
    QCOMPARE(requests(), (QList<Request>{{"large", 2 * kPacket, kPacket}}));
    QVERIFY(answerLastRequest(large));
    QCOMPARE(status("large"), QStringLiteral("downloaded"));
    QCOMPARE(readFile(path("large.bin")), large);
}

void tst_Downloads::pausingAndQueueingAgainResumes()
{
    const QByteArray source = pattern(2 * kPacket + 5);
    offer("p", "p.bin", source.size());
    queue("p");
    QVERIFY(answerLastRequest(source));
    rig->engine.pauseFileToDownload("p");
    QCOMPARE(status("p"), QStringLiteral("unknown"));
    QCOMPARE(rig->engine.currentDownloadingFileId(), QString());
    rig->sink.clear();
    settle();
    QVERIFY(requests().isEmpty());

    queue("p");
    QCOMPARE(requests(), (QList<Request>{{"p", kPacket, kPacket}}));
    QCOMPARE(entries(), QStringList{"p.bin"});
}

void tst_Downloads::resumeAsksForTheSizeOnDisk()
{
    offer("r", "resume.bin", 2500000);
    QVERIFY(exec("update vesk_downloads set downloadsize = filesize where id = 'r'"));
    QVERIFY(writeFile(path("resume.bin"), pattern(1234)));
    queue("r");
    // The rest of the packet that holds the offset: the owner answers from that chunk of its file anyway.
    QCOMPARE(requests(), (QList<Request>{{"r", 1234, kPacket - 1234}}));
    QCOMPARE(rig->engine.currentDownloadFileSize(), 1234);
    QCOMPARE(entries(), QStringList{"resume.bin"});
}

void tst_Downloads::emptyOfferCompletesWithoutPacketOrFile()
{
    offer("zero", "empty.txt", 0);
    queue("zero");
    QCOMPARE(status("zero"), QStringLiteral("downloaded"));
    QVERIFY(requests().isEmpty());
    QVERIFY(entries().isEmpty());
    QCOMPARE(rig->fileIds("fileTransferComplete"), QStringList{"zero"});
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
    offer("o", "o.bin", source.size());
    queue("o");
    deliverPacket("o", 0, source.left(10));
    const qsizetype asked = requests().size();
    deliverPacket("o", seek, source.mid(seek, 10));
    QCOMPARE(readFile(path("o.bin")), source.left(10));
    QCOMPARE(requests().size(), asked);
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
    offer("b", "b.bin", 40);
    queue("b");
    const qsizetype asked = requests().size();
    Vesk::MessageSink::Parameters packet{
        {"action", "receiveDataPacket"}, {"binaryData", bytes}, {"fileId", "b"}, {"timeSent", 1}};
    if (withSeek)
        packet.insert("fileSeek", 0);
    rig->engine.handleReceiveDataPacket(packet);
    settle();
    QVERIFY(!QFileInfo::exists(path("b.bin")));
    QCOMPARE(requests().size(), asked);
    // The right packet still goes in afterwards.
    deliverPacket("b", 0, pattern(40));
    QCOMPARE(readFile(path("b.bin")), pattern(40));
}

void tst_Downloads::packetForUnknownOrUnstartedDownloadIsDropped()
{
    deliverPacket("nobody", 0, pattern(10));
    // Offered but never started: its name is not yet its own, so nothing may be written under it.
    offer("idle", "idle.bin", 10);
    deliverPacket("idle", 0, pattern(10));
    QVERIFY(entries().isEmpty());
    QVERIFY(requests().isEmpty());
}

void tst_Downloads::automaticOpen_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("setting");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("opened");
    QTest::newRow("photo") << "photo.jpg" << true << QByteArray("abc") << true;
    QTest::newRow("photo, setting off") << "photo.jpg" << false << QByteArray("abc") << false;
    QTest::newRow("empty photo") << "photo.jpg" << true << QByteArray() << false;
    QTest::newRow("program") << "setup.exe" << true << QByteArray("abc") << false;
    QTest::newRow("program in capitals") << "SETUP.EXE" << true << QByteArray("abc") << false;
    QTest::newRow("shell script") << "install.sh" << true << QByteArray("abc") << false;
    QTest::newRow("launcher") << "app.desktop" << true << QByteArray("abc") << false;
    QTest::newRow("script by its content") << "notes.txt" << true << QByteArray("#!/bin/sh\nrm -rf ~\n") << false;
}

void tst_Downloads::automaticOpen()
{
    QFETCH(QString, name);
    QFETCH(bool, setting);
    QFETCH(QByteArray, contents);
    QFETCH(bool, opened);
    rig->shell.autoOpen = setting;
    offer("open", name, contents.size());
    queue("open");
    if (!contents.isEmpty())
        QVERIFY(answerLastRequest(contents));
    QCOMPARE(status("open"), QStringLiteral("downloaded"));
    QCOMPARE(rig->shell.opened, opened ? QStringList{path(name)} : QStringList());
}

void tst_Downloads::progressFollowsTheDownload()
{
    const QByteArray source = pattern(3 * kPacket);
    offer("t", "t.bin", source.size());
    queue("t");
    QCOMPARE(rig->shell.progress, QList<qint64>{0});
    // Packets come far faster than the taskbar should be told: one that follows at once shows nothing new.
    QVERIFY(answerLastRequest(source));
    QCOMPARE(rig->shell.progress, QList<qint64>{0});
    rig->clock.advance(DownloadEngine::kProgressUpdateMs);
    QVERIFY(answerRequestAt(source, kPacket));
    QCOMPARE(rig->shell.progress, (QList<qint64>{0, 66}));

    // The tick publishes the size on disk when it grew, and only then.
    QSignalSpy sizeSpy(&rig->engine, &DownloadEngine::currentDownloadFileSizeChanged);
    tick();
    QCOMPARE(sizeSpy.size(), 1);
    QCOMPARE(rig->engine.currentDownloadFileSize(), 2 * kPacket);
    tick();
    QCOMPARE(sizeSpy.size(), 1);

    // Nothing downloading, nothing shown.
    rig->engine.pauseFileToDownload("t");
    tick();
    QVERIFY(!rig->shell.progressShown);
}

void tst_Downloads::elevenQuietTicksGiveUpAndTheOwnersReturnResumes()
{
    const QByteArray source = pattern(kPacket + 500);
    offer("stuck", "stuck.bin", source.size());
    offer("next", "next.bin", 2 * kPacket);
    offer("other", "other.bin", 10, "someone else");
    rig->engine.queueFileToDownload("next");
    queue("stuck");
    QVERIFY(answerLastRequest(source));
    QCOMPARE(rig->engine.currentDownloadingFileId(), QStringLiteral("stuck"));
    tick(); // the packet that arrived counts as progress
    rig->sink.clear();

    for (int i = 1; i <= DownloadEngine::kMaxStallTicks; ++i) {
        tick();
        QCOMPARE(status("stuck"), QStringLiteral("queued"));
        // Every quiet tick asks again, in case the request or its answer was lost.
        QCOMPARE(requests().size(), i);
        QCOMPARE(requests().last(), (Request{"stuck", kPacket, 500}));
    }
    tick();
    QCOMPARE(status("stuck"), QStringLiteral("unknown"));
    QCOMPARE(rig->engine.currentDownloadingFileId(), QStringLiteral("next"));
    QCOMPARE(requests().last(), (Request{"next", 0, kPacket}));
    // Given up by the stall, not by the user: it says how far it got and that it waits for its owner.
    QVERIFY(rig->engine.isWaitingForOwner("stuck"));
    QCOMPARE(rig->engine.bytesOnDisk("stuck"), kPacket);
    QCOMPARE(rig->engine.bytesOnDisk("other"), 0);

    // Another peer coming back changes nothing; the owner coming back queues it again, and it goes on from the
    // bytes on disk once the engine gets to it.
    rig->engine.ownerCameOnline("someone else");
    QCOMPARE(status("stuck"), QStringLiteral("unknown"));
    rig->engine.ownerCameOnline(kOwner);
    QCOMPARE(status("stuck"), QStringLiteral("queued"));
    QVERIFY(!rig->engine.isWaitingForOwner("stuck"));
    rig->engine.pauseFileToDownload("next");
    rig->sink.clear();
    settle();
    QCOMPARE(requests().last(), (Request{"stuck", kPacket, 500}));
    QVERIFY(answerLastRequest(source));
    QCOMPARE(readFile(path("stuck.bin")), source);
}

void tst_Downloads::pausedByTheUserWaitsForTheUser()
{
    const QByteArray source = pattern(kPacket + 10);
    offer("p", "p.bin", source.size());
    queue("p");
    QVERIFY(answerLastRequest(source));
    rig->engine.pauseFileToDownload("p");
    QVERIFY(!rig->engine.isWaitingForOwner("p"));
    QCOMPARE(rig->engine.bytesOnDisk("p"), kPacket);
    rig->engine.ownerCameOnline(kOwner);
    QCOMPARE(status("p"), QStringLiteral("unknown"));
}

void tst_Downloads::withdrawnCurrentDownloadLetsTheQueueGoOn()
{
    offer("w1", "w1.bin", 500);
    offer("w2", "w2.bin", 900);
    rig->engine.queueFileToDownload("w2");
    queue("w1");
    rig->sink.clear();
    rig->incoming.handleRemoveFileToGet({{"action", "removeFileToGet"}, {"fileId", "w1"}});
    settle();
    QVERIFY(row(kDownloads, "w1").isEmpty());
    QCOMPARE(requests(), (QList<Request>{{"w2", 0, 900}}));
}

// Answers still on their way when the download ended (the window had several packets in flight) touch nothing.
void tst_Downloads::lateAnswersLeaveAnEndedDownloadAlone_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("withdrawn by the owner") << "withdrawn";
    QTest::newRow("finished") << "finished";
}

void tst_Downloads::lateAnswersLeaveAnEndedDownloadAlone()
{
    QFETCH(QString, ending);
    const QByteArray source = pattern(3 * kPacket + 10);
    offer("d", "d.bin", source.size());
    queue("d");
    QVERIFY(answerLastRequest(source));
    QVERIFY(requests().size() > 2);
    if (ending == QLatin1String("withdrawn")) {
        rig->incoming.handleRemoveFileToGet({{"action", "removeFileToGet"}, {"fileId", "d"}});
        settle();
    } else {
        answerAll(source, 1);
        QCOMPARE(status("d"), QStringLiteral("downloaded"));
    }
    const QByteArray before = readFile(path("d.bin"));
    const QList<Request> late = requests();
    rig->sink.clear();
    for (const Request& r : late)
        deliverPacket(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
    QCOMPARE(readFile(path("d.bin")), before);
    QVERIFY(source.startsWith(before));
    QVERIFY(requests().isEmpty());
}

void tst_Downloads::allPendingAtOnce()
{
    for (const char* id : {"a", "b", "c"})
        offer(id, QString(id) + ".bin", 100);
    rig->insertDownload("done", kOwner, "downloaded");
    rig->engine.downloadAllPending();
    QCOMPARE(column("select id from vesk_downloads where status = 'queued' order by id"), (QStringList{"a", "b", "c"}));
    settle();
    QCOMPARE(rig->engine.currentDownloadingFileId(), QStringLiteral("a"));

    rig->engine.pauseAllPendingDownloads();
    QCOMPARE(column("select id from vesk_downloads where status = 'unknown' order by id"),
             (QStringList{"a", "b", "c"}));
    QCOMPARE(status("done"), QStringLiteral("downloaded"));
    QCOMPARE(rig->engine.currentDownloadingFileId(), QString());
}

QTEST_GUILESS_MAIN(tst_Downloads)
#include "tst_downloads.moc"
