#include "transferrig.h"

#include "store/vesksqlquerymodel.h"

#include <QFileInfo>
#include <QSignalSpy>

using namespace TestSupport;
using Vesk::DownloadEngine;

// The download engine: which file goes next, what is asked for, what is written, when it gives up and when it goes
// on by itself.
class tst_Downloads : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;

private Q_SLOTS:
    void init() { rig = std::make_unique<TransferRig>(); }
    void cleanup() { rig.reset(); }

    // A prompt owner: each offset is asked for once, in order, ending on packet boundaries (a download resumed
    // from the size on disk gets the rest of that packet first); the file only ever holds the source's first
    // bytes, and at the end it is the source, the owner hears so, the user sees it and it opens unless it is a
    // program or empty.
    void wholeDownload_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("onDisk");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<qint64>>("offsets");
        QTest::addColumn<bool>("opened");
        QTest::newRow("empty: no request, no file") << qint64(0) << qint64(0) << "e.jpg" << QList<qint64>{} << false;
        QTest::newRow("one byte") << qint64(1) << qint64(0) << "a.jpg" << QList<qint64>{0} << true;
        QTest::newRow("one packet, a program") << kPacket << qint64(0) << "setup.exe" << QList<qint64>{0} << false;
        QTest::newRow("a byte over a packet")
            << kPacket + 1 << qint64(0) << "b.jpg" << QList<qint64>{0, kPacket} << true;
        QTest::newRow("resumed mid-packet")
            << 5 * kPacket / 2 << qint64(1234) << "c.jpg" << QList<qint64>{1234, kPacket, 2 * kPacket} << true;
    }
    void wholeDownload()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, onDisk);
        QFETCH(QString, name);
        QFETCH(QList<qint64>, offsets);
        QFETCH(bool, opened);
        const QByteArray source = pattern(size, 5);
        rig->shell.autoOpen = true;
        rig->offer("seq", name, size);
        if (onDisk) { // started before a restart: the file on disk is all that is known
            QVERIFY(exec("update vesk_downloads set downloadsize = filesize"));
            QVERIFY(writeFile(rig->path(name), source.left(onDisk)));
        }
        rig->queue("seq");
        QCOMPARE(rig->requests().size(), qMin<qsizetype>(offsets.size(), 1)); // a new download asks for one packet
        for (qsizetype answered = 0; answered < rig->requests().size(); ++answered) {
            QCOMPARE(rig->status("seq"), QStringLiteral("queued"));
            const Request r = rig->requests().at(answered);
            rig->deliver(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
            QVERIFY(source.startsWith(readFile(rig->path(name))));
        }
        QList<qint64> asked;
        for (const Request& r : rig->requests()) {
            asked.append(r.fileSeek);
            QCOMPARE(r.bufferSize, qMin(kPacket - r.fileSeek % kPacket, size - r.fileSeek));
        }
        QCOMPARE(asked, offsets);
        for (const auto& s : rig->sink.sent)
            QCOMPARE(s.address, rig->ownerAddress);
        QCOMPARE(rig->status("seq"), QStringLiteral("downloaded"));
        QCOMPARE(rig->entries(), size ? QStringList{name} : QStringList());
        QCOMPARE(readFile(rig->path(name)), source);
        QCOMPARE(rig->fileIds("fileTransferComplete"), QStringList{"seq"});
        QCOMPARE(rig->shell.chatPopups.size(), 1);
        QVERIFY(rig->shell.chatPopups.first().html.contains(name));
        QVERIFY(!rig->shell.progressShown);
        QCOMPARE(rig->shell.opened, opened ? QStringList{rig->path(name)} : QStringList());
    }

    // A smaller file queued while a large one runs takes over after the next packet (sizes compare as numbers:
    // as text "3000000" comes before "500"); the large one then goes on from its size on disk.
    void smallFileOvertakes()
    {
        const QByteArray large = pattern(3 * kPacket, 1);
        const QByteArray small = pattern(500, 2);
        rig->offer("large", "large.bin", large.size());
        rig->offer("small", "small.bin", small.size());
        rig->queue("large");
        rig->answerLast(large);
        QCOMPARE(rig->requests().mid(1),
                 (QList<Request>{{"large", kPacket, kPacket}, {"large", 2 * kPacket, kPacket}}));
        rig->engine.queueFileToDownload("small");
        rig->sink.clear();
        rig->deliver("large", kPacket, large.mid(kPacket, kPacket));
        QCOMPARE(QFileInfo(rig->path("large.bin")).size(), 2 * kPacket);
        QCOMPARE(rig->requests(), (QList<Request>{{"small", 0, 500}}));
        rig->sink.clear();
        rig->deliver("small", 0, small);
        QCOMPARE(readFile(rig->path("small.bin")), small);
        QCOMPARE(rig->requests(), (QList<Request>{{"large", 2 * kPacket, kPacket}}));
        rig->answerLast(large);
        QCOMPARE(rig->status("large"), QStringLiteral("downloaded"));
        QCOMPARE(readFile(rig->path("large.bin")), large);
    }

    // Packets out of turn or that do not fit leave the file alone and bring no new request, whether the download
    // runs or was paused; the right packet still goes in afterwards.
    void refusedPackets_data()
    {
        QTest::addColumn<bool>("paused");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QVariant>("seek");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray source = pattern(50);
        for (const bool paused : {false, true}) {
            const auto add = [paused](const char* tag, const char* id, const QVariant& seek, const QByteArray& b) {
                QTest::addRow("%s%s", paused ? "paused, " : "", tag) << paused << QString(id) << seek << b;
            };
            add("duplicate of the previous packet", "o", 0, source.left(10));
            add("ahead of the file", "o", 20, source.mid(20, 10));
            add("one short", "o", 9, source.mid(9, 10));
            add("empty", "o", 10, QByteArray());
            add("past the offered size", "o", 10, pattern(41));
            add("no offset", "o", QVariant(), source.mid(10, 10));
            add("offset as text", "o", "ten", source.mid(10, 10));
            add("unknown download", "nobody", 0, source.left(10));
            add("download never started", "idle", 0, source.left(10));
        }
    }
    void refusedPackets()
    {
        QFETCH(bool, paused);
        QFETCH(QString, id);
        QFETCH(QVariant, seek);
        QFETCH(QByteArray, bytes);
        const QByteArray source = pattern(50);
        rig->offer("idle", "idle.bin", 10);
        rig->offer("o", "o.bin", source.size());
        rig->queue("o");
        rig->deliver("o", 0, source.left(10));
        if (paused)
            rig->engine.pauseFileToDownload("o");
        const qsizetype asked = rig->requests().size();
        Vesk::MessageSink::Parameters packet{{"action", "receiveDataPacket"}, {"binaryData", bytes}, {"fileId", id}};
        if (seek.isValid())
            packet.insert("fileSeek", seek);
        rig->engine.handleReceiveDataPacket(packet);
        rig->settle();
        QCOMPARE(rig->entries(), QStringList{"o.bin"});
        QCOMPARE(readFile(rig->path("o.bin")), source.left(10));
        QCOMPARE(rig->requests().size(), asked);
        rig->deliver("o", 10, source.mid(10));
        QCOMPARE(readFile(rig->path("o.bin")), source);
    }

    // A download that ends (withdrawn by its owner, or finished) lets the next one run at once; answers still
    // on their way for it (the window had several in flight) touch nothing.
    void endedDownload_data()
    {
        QTest::addColumn<bool>("withdrawn");
        QTest::newRow("withdrawn by the owner") << true;
        QTest::newRow("finished") << false;
    }
    void endedDownload()
    {
        QFETCH(bool, withdrawn);
        const QByteArray source = pattern(3 * kPacket + 10);
        rig->offer("d", "d.bin", source.size());
        rig->offer("next", "next.bin", source.size() + 1);
        rig->engine.queueFileToDownload("next");
        rig->queue("d");
        rig->answerLast(source);
        QVERIFY(rig->requests().size() > 2);
        if (withdrawn)
            rig->incoming.handleRemoveFileToGet({{"action", "removeFileToGet"}, {"fileId", "d"}});
        for (qsizetype i = 1; !withdrawn && i < rig->requests().size(); ++i)
            if (const Request r = rig->requests().at(i); r.fileId == "d")
                rig->deliver(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
        rig->settle();
        QCOMPARE(rig->status("d"), withdrawn ? QString() : QStringLiteral("downloaded"));
        QCOMPARE(rig->requests().last(), (Request{"next", 0, kPacket}));
        const QByteArray before = readFile(rig->path("d.bin"));
        QVERIFY(source.startsWith(before));
        const QList<Request> late = rig->requests();
        rig->sink.clear();
        for (const Request& r : late)
            if (r.fileId == "d")
                rig->deliver(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
        QCOMPARE(readFile(rig->path("d.bin")), before);
        QVERIFY(rig->fileIds("sendDataPacket").isEmpty());
    }

    // Each quiet tick asks again; after kMaxStallTicks of them the download is given up and the next one runs.
    // Given up by the stall, not by the user, it goes on from its bytes on disk when its owner is back.
    void giveUpAfterStallsAndResume()
    {
        const QByteArray source = pattern(kPacket + 500);
        rig->offer("stuck", "stuck.bin", source.size());
        rig->offer("next", "next.bin", 2 * kPacket);
        rig->offer("paused", "paused.bin", 10);
        rig->engine.queueFileToDownload("next");
        rig->queue("stuck");
        rig->answerLast(source);
        rig->tick(); // the packet that arrived counts as progress
        rig->sink.clear();
        for (int i = 1; i <= DownloadEngine::kMaxStallTicks; ++i) {
            rig->tick();
            QCOMPARE(rig->status("stuck"), QStringLiteral("queued"));
            QCOMPARE(rig->requests().size(), i);
            QCOMPARE(rig->requests().last(), (Request{"stuck", kPacket, 500}));
        }
        rig->tick();
        QCOMPARE(rig->status("stuck"), QStringLiteral("unknown"));
        QCOMPARE(rig->requests().last(), (Request{"next", 0, kPacket}));
        QCOMPARE(rig->engine.bytesOnDisk("stuck"), kPacket);

        rig->engine.ownerCameOnline("someone else");
        QCOMPARE(rig->status("stuck"), QStringLiteral("unknown"));
        rig->engine.ownerCameOnline("owner");
        QCOMPARE(rig->status("stuck"), QStringLiteral("queued"));
        QCOMPARE(rig->status("paused"), QStringLiteral("unknown")); // the user's pause waits for the user
        rig->engine.pauseFileToDownload("next");
        rig->sink.clear();
        rig->settle();
        QCOMPARE(rig->requests().last(), (Request{"stuck", kPacket, 500}));
        rig->answerLast(source);
        QCOMPARE(readFile(rig->path("stuck.bin")), source);
    }
};

QTEST_GUILESS_MAIN(tst_Downloads)
#include "tst_downloads.moc"
