#include "transferrig.h"

#include "transfer/downloadsession.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>

using namespace TestSupport;
using Vesk::DownloadEngine;
using Vesk::DownloadSession;

namespace {

// One download's session over a fresh fixture: its requests (offset, size) are recorded instead of sent, and
// answered from a source as the owner would.
struct SessionRig : SubsystemFixture
{
    SessionRig(const QByteArray& bytes, qint64 have = 0, const QString& name = QStringLiteral("file.bin"))
        : source(bytes), path(downloadsFolder() + name),
          session("id", path, have, bytes.size(), clock, [this](qint64 at, qint64 size) {
              asked.append({at, size});
          })
    {
        if (have > 0)
            writeFile(path, source.left(have));
        session.fill();
    }
    // Answers one open request; once the writer has the bytes in the file, the window is refilled, as the engine
    // does when the writer says so.
    void answer(qsizetype index = 0)
    {
        const auto [at, size] = asked.takeAt(index);
        session.receive(at, source.mid(at, size));
        session.flush();
        session.fill();
    }

    const QByteArray source;
    const QString path;
    QList<std::pair<qint64, qint64>> asked; // requests not answered yet, oldest first
    DownloadSession session;
};

} // namespace

// Downloads: the engine (which file goes next, what is asked for, what is written, when it gives up and when it
// goes on by itself, the name a file is stored under) and one download's session (a window of requests in flight,
// answers appended strictly in order).
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
    // The name a download is stored under when the downloads folder already holds that name: an unrelated file is
    // moved aside to a backup name, another download's file is never touched.
    void localNames_data()
    {
        // unrelated: files already in the folder ("old"); others: files of other downloads ("theirs"); after: the
        // folder afterwards as name=content, %1 the time stamp of a backup name. Lists are sorted and split by |.
        for (const char* column : {"unrelated", "others", "offered", "after"})
            QTest::addColumn<QString>(column);
        const auto add = [](const char* tag, auto... cells) {
            (QTest::newRow(tag) << ... << QString(cells));
        };
        add("free", "", "", "report.pdf", "report.pdf=new");
        add("unrelated moved aside", "report.pdf", "", "report.pdf", "report.pdf=new|report_veskbackup_%1.pdf=old");
        add("no suffix", "notes", "", "notes", "notes=new|notes_veskbackup_%1.=old");
        add("two dots", "a.tar.gz", "", "a.tar.gz", "a.tar.gz=new|a.tar_veskbackup_%1.gz=old");
        add("another download's file", "", "m.mkv", "m.mkv", "m (2).mkv=new|m.mkv=theirs");
        add("numbered name taken too", "m (2).mkv", "m.mkv", "m.mkv", "m (2).mkv=old|m (3).mkv=new|m.mkv=theirs");
        add("hidden file", "", ".profile", ".profile", ".profile (2)=new|.profile=theirs");
    }
    void localNames()
    {
        QFETCH(QString, unrelated);
        QFETCH(QString, others);
        QFETCH(QString, offered);
        QFETCH(QString, after);
        for (const QString& name : unrelated.split('|', Qt::SkipEmptyParts))
            QVERIFY(writeFile(rig->path(name), "old"));
        for (const QString& name : others.split('|', Qt::SkipEmptyParts))
            QVERIFY(writeFile(rig->path(name), "theirs") &&
                    exec("insert into vesk_downloads (id, filename, downloadsize) values (?, ?, 6)", {name, name}));
        rig->offer("new", offered, 3);
        rig->queue("new");
        rig->deliver("new", 0, "new");
        QStringList found;
        for (const QString& name : rig->entries())
            found.append(name + "=" + readFile(rig->path(name)));
        found.sort();
        const QString stamp = QDateTime::fromMSecsSinceEpoch(rig->clock.nowMs()).toString("yyyyMMdd_HHmmss");
        QCOMPARE(found.join('|'), QString(after).replace("%1", stamp));
    }
    // Whatever order the owner's answers come in, only contiguous bytes reach the file, the buffer never holds
    // more than the window, and the result is the source.
    void reorderBuffer_data()
    {
        QTest::addColumn<QString>("policy");
        QTest::addColumn<qint64>("resumeAt");
        QTest::newRow("in order, as a strict owner answers") << "in order" << qint64(0);
        QTest::newRow("newest first") << "newest first" << qint64(0);
        QTest::newRow("each answer twice") << "twice" << qint64(0);
        QTest::newRow("every third answer lost once") << "lose" << qint64(0);
        QTest::newRow("random order") << "random" << qint64(0);
        QTest::newRow("resumed mid-packet, newest first") << "newest first" << qint64(1234567);
    }
    void reorderBuffer()
    {
        QFETCH(QString, policy);
        QFETCH(qint64, resumeAt);
        SessionRig s(pattern(20 * kPacket + 4321), resumeAt);
        QCOMPARE(s.asked.first(), std::make_pair(resumeAt, kPacket - resumeAt % kPacket));
        QRandomGenerator random(7);
        QSet<qint64> lost;
        for (int answers = 1; !s.session.complete(); ++answers) {
            QVERIFY(answers < 500);
            if (s.asked.isEmpty()) {
                s.session.askAgain(); // what the progress tick does after silence
                QVERIFY(!s.asked.isEmpty());
            }
            qsizetype pick = policy == "newest first" ? s.asked.size() - 1 : 0;
            if (policy == "random")
                pick = random.bounded(s.asked.size());
            const auto [at, size] = s.asked.at(pick);
            if (policy == "lose" && answers % 3 == 0 && !lost.contains(at)) {
                lost.insert(at);
                s.asked.removeAt(pick);
                continue;
            }
            s.answer(pick);
            if (policy == "twice")
                QCOMPARE(s.session.receive(at, s.source.mid(at, size)), DownloadSession::Answer::Duplicate);
            QCOMPARE(QFileInfo(s.path).size(), s.session.written());
            QVERIFY(s.session.buffered() <= s.session.window());
            QVERIFY(s.session.inFlight() <= DownloadSession::kMaxWindow);
        }
        QCOMPARE(readFile(s.path), s.source);
    }
    // The file cannot be written (a plain file stands where its folder should be): that is logged, the bytes
    // count as lost, and the download asks again from the size on disk, which works once the obstacle is gone.
    void failedWriteIsAskedForAgain()
    {
        SessionRig s(pattern(3 * kPacket), 0, QStringLiteral("blocked/file.bin"));
        const QString obstacle = s.downloadsFolder() + QStringLiteral("blocked");
        QVERIFY(writeFile(obstacle, "not a folder"));
        MessageCatcher catcher;
        s.answer();
        QCOMPARE(catcher.criticals().size(), 1);
        QVERIFY(catcher.criticals().first().contains("There was an error opening"));
        QCOMPARE(s.session.written(), 0);
        QCOMPARE(s.asked.last().first, qint64(0));
        QVERIFY(QFile::remove(obstacle));
        s.asked = {s.asked.last()};
        while (!s.session.complete() && !s.asked.isEmpty())
            s.answer();
        QCOMPARE(readFile(s.path), s.source);
    }
};

QTEST_GUILESS_MAIN(tst_Downloads)
#include "tst_downloads.moc"
