#include "transferrig.h"

#include "net/wire.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/diskproblems.h"
#include "transfer/downloadsession.h"
#include "transfer/downloadsfolder.h"

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QSqlRecord>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cerrno>

using namespace TestSupport;
using Vesk::DownloadEngine;

// Downloads: which file goes next, what is asked and written (in order, whatever order answers come in), giving up
// and going on, the name a file is stored under, and the downloads folder.
class tst_Downloads : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Vesk::DownloadsFolder> downloads;

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<TransferRig>();
        settings = std::make_unique<QSettings>(rig->dir.filePath("settings.ini"), QSettings::IniFormat);
        downloads = std::make_unique<Vesk::DownloadsFolder>(*settings, rig->folder, *rig->store, rig->shell);
    }
    void cleanup()
    {
        downloads.reset();
        settings.reset();
        rig.reset();
    }
    // A prompt owner is asked for each packet once, in order; at the end the file is the source, the owner hears
    // so, the user sees it, and it opens unless it is empty or its name or content says it is a program.
    void wholeDownload_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<bool>("opened");
        const QByteArray text("just some notes\n");
        const auto add = [](const char* tag, const char* name, const QByteArray& source, bool opened) {
            QTest::newRow(tag) << QString(name) << source << opened;
        };
        add("empty: no request, no file", "e.jpg", QByteArray(), false);
        add("one byte", "a.jpg", pattern(1, 5), true);
        add("one packet, a program", "setup.exe", pattern(kPacket, 5), false);
        add("a byte over a packet", "b.jpg", pattern(kPacket + 1, 5), true);
        add("double suffix", "a.exe.txt", text, true);
        add("program, mixed case", "Setup.Exe", text, false);
        add("trailing dot", "setup.exe.", text, false);
        add("script in capitals, of no known type", "INSTALL.PS1", text, false);
        add("script named notes.txt", "notes.txt", "#!/bin/sh\nrm -rf ~\n", false);
        add("program named photo.jpg", "photo.jpg", QByteArray::fromHex("7f454c460201010000000000000000000200"), false);
    }
    void wholeDownload()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, source);
        QFETCH(bool, opened);
        const qint64 size = source.size();
        rig->shell.autoOpen = true;
        rig->offer("seq", name, size);
        rig->queue("seq");
        rig->answerAll(source);
        QList<Request> expected;
        for (qint64 at = 0; at < size; at += kPacket)
            expected.append({"seq", at, qMin(kPacket, size - at)});
        QCOMPARE(rig->requests(), expected);
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
    // Packets out of turn or that do not fit leave the file alone and bring no new request, whether the download
    // runs or was paused; the right packet still goes in afterwards.
    void refusedPackets_data()
    {
        QTest::addColumn<bool>("paused");
        QTest::addColumn<QString>("id");
        QTest::addColumn<qint64>("seek");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray source = pattern(50);
        for (const bool paused : {false, true}) {
            const auto add = [paused](const char* tag, const char* id, qint64 seek, const QByteArray& b) {
                QTest::addRow("%s%s", paused ? "paused, " : "", tag) << paused << QString(id) << seek << b;
            };
            add("duplicate of the previous packet", "o", 0, source.left(10));
            add("ahead of the file", "o", 20, source.mid(20, 10));
            add("one short", "o", 9, source.mid(9, 10));
            add("empty", "o", 10, QByteArray());
            add("past the offered size", "o", 10, pattern(41));
            add("unknown download", "nobody", 0, source.left(10));
            add("download never started", "idle", 0, source.left(10));
        }
    }
    void refusedPackets()
    {
        QFETCH(bool, paused);
        QFETCH(QString, id);
        QFETCH(qint64, seek);
        QFETCH(QByteArray, bytes);
        const QByteArray source = pattern(50);
        rig->offer("idle", "idle.bin", 10);
        rig->offer("o", "o.bin", source.size());
        rig->queue("o");
        rig->deliver("o", 0, source.left(10));
        if (paused)
            rig->engine.pauseFileToDownload("o");
        const qsizetype asked = rig->requests().size();
        rig->deliver(id, seek, bytes);
        QCOMPARE(rig->entries(), QStringList{"o.bin.part"});
        QCOMPARE(readFile(rig->path("o.bin.part")), source.left(10));
        QCOMPARE(rig->requests().size(), asked);
        rig->deliver("o", 10, source.mid(10));
        if (paused)
            rig->queue("o"); // completes: the name becomes final
        QCOMPARE(readFile(rig->path("o.bin")), source);
    }
    // Until complete a file has the partial name, where a resume finds it (or in the final name, as older versions
    // kept it); complete, the final name, numbered if taken meanwhile. Offered with another size: anew, old put aside.
    void partialName_data()
    {
        // "part": received under the partial name, paused; "legacy": in the final name; "moved": the user chose another
        // folder while it was arriving; "changed": offered again with another size, while paused or running
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("takenMeanwhile");
        QTest::addColumn<QString>("after"); // the folder when complete, name=source, =old, or =other; %1 a time stamp
        const QString putAside = "f.bin=source|f.bin_veskbackup_%1.part=old";
        QTest::newRow("resumed from the partial file") << "part" << false << "f.bin=source";
        QTest::newRow("older version's partial file") << "legacy" << false << "f.bin=source";
        QTest::newRow("final name taken meanwhile") << "part" << true << "f (2).bin=source|f.bin=other";
        QTest::newRow("downloads folder changed midway") << "moved" << false << "f.bin=source";
        QTest::newRow("owner's file changed, paused") << "changed paused" << false << putAside;
        QTest::newRow("owner's file changed, running") << "changed" << false << putAside;
    }
    void partialName()
    {
        QFETCH(QString, before);
        QFETCH(bool, takenMeanwhile);
        QFETCH(QString, after);
        const QByteArray source = pattern(2 * kPacket + 7);
        const bool changed = before.startsWith("changed");
        const QByteArray first = changed ? pattern(2 * kPacket + 99, 2) : source; // what the owner offered first
        const qint64 half = kPacket + 3;
        rig->offer("f", "f.bin", first.size());
        if (before != "legacy") {
            rig->queue("f");
            rig->answerAll(first.left(half));
            QCOMPARE(rig->entries(), QStringList{"f.bin.part"});
            if (before == "part" || before == "changed paused")
                rig->engine.pauseFileToDownload("f");
            rig->settle();
            QCOMPARE(rig->engine.bytesOnDisk("f"), half);
        } else {
            QVERIFY(exec("update vesk_downloads set downloadsize = filesize") &&
                    writeFile(rig->path("f.bin"), source.left(half)));
        }
        if (takenMeanwhile)
            QVERIFY(writeFile(rig->path("f.bin"), "other"));
        rig->sink.clear();
        if (changed)
            rig->offer("f", "f.bin", source.size());
        if (before == "moved") { // while it runs
            const QString old = rig->folder;
            rig->folder = old + "chosen/";
            rig->engine.setDownloadsFolder(rig->folder);
            rig->settle();
            QCOMPARE(filesIn(old), QStringList());
        } else {
            before == "changed" ? rig->settle() : rig->queue("f");
        }
        QCOMPARE(rig->requests().first(), (Request{"f", changed ? 0 : half, kPacket - (changed ? 0 : 3)}));
        rig->answerAll(source);
        QCOMPARE(rig->status("f"), QStringLiteral("downloaded"));
        QStringList found;
        for (const QString& name : rig->entries()) {
            const QByteArray content = readFile(rig->path(name));
            found.append(name + "=" + (content == source ? "source" : content == first.left(half) ? "old" : content));
        }
        const QString stamp = QDateTime::fromMSecsSinceEpoch(rig->clock.nowMs()).toString("yyyyMMdd_HHmmss");
        QCOMPARE(found.join('|'), QString(after).replace("%1", stamp));
        const QString finalName = found.first().section('=', 0, 0);
        QCOMPARE(row("vesk_downloads", "f").value("filename"), finalName);
        QVERIFY(rig->shell.chatPopups.last().html.contains(finalName.toHtmlEscaped()));
    }
    // Withdrawn before it arrived whole: the user is told who withdrew what, the partial file goes; a complete file
    // stays, a cleared offer goes silently. A running one lets the next run at once; late answers are not written.
    void withdrawn_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("byOwner");
        QTest::addColumn<bool>("told");
        QTest::addColumn<bool>("stays"); // listed with who withdrew it
        QTest::addColumn<QStringList>("left");
        QTest::newRow("downloading") << "queued" << true << true << true << QStringList();
        QTest::newRow("paused") << "unknown" << true << true << true << QStringList();
        QTest::newRow("offered, never started") << "offered" << true << true << false << QStringList();
        QTest::newRow("complete") << "downloaded" << true << false << false << QStringList{"cancel_me.bin"};
        QTest::newRow("cleared by the user")
            << "tobedeleted" << true << false << false << QStringList{"cancel_me.bin.part"};
        // Removed here: the partial file goes too, rather than fill the disk; a complete one is the user's.
        QTest::newRow("downloading, removed") << "queued" << false << false << false << QStringList();
        QTest::newRow("paused, removed") << "unknown" << false << false << false << QStringList();
        QTest::newRow("complete, removed") << "downloaded" << false << false << false << QStringList{"cancel_me.bin"};
    }
    void withdrawn()
    {
        QFETCH(QString, state);
        QFETCH(bool, byOwner);
        const QByteArray source = pattern(2 * kPacket);
        rig->offer("w", "cancel_me.bin", source.size());
        rig->offer("next", "next.bin", source.size() + 1);
        if (state == "queued")
            rig->engine.queueFileToDownload("next");
        if (state != "offered") {
            rig->queue("w");
            rig->answerAll(state == "downloaded" ? source : source.left(kPacket));
        }
        if (state == "unknown")
            rig->engine.pauseFileToDownload("w");
        if (state == "tobedeleted")
            rig->incoming.clearAllPendingDownloads();
        rig->settle();
        rig->shell.chatPopups.clear();
        rig->sink.clear();
        if (byOwner)
            rig->incoming.handleRemoveFileToGet({{"action", "removeFileToGet"}, {"fileId", "w"}});
        else
            rig->incoming.deleteFileToDownload("w");
        rig->settle();
        QCOMPARE(rig->fileIds("removeFileToSend"), byOwner ? QStringList() : QStringList{"w"});
        QFETCH(bool, told);
        QFETCH(bool, stays);
        // What the owner withdrew after it was begun stays listed, saying so, and is not fetched again.
        const QString withdrew =
            QStringLiteral("%1 withdrew cancel_me.bin").arg(row("vesk_peers", "owner").value("alias"));
        QCOMPARE(rig->status("w"), stays ? QStringLiteral("unknown") : QString());
        QCOMPARE(rig->engine.downloadProblem("w"), stays ? withdrew : QString());
        rig->queue("w");
        QCOMPARE(rig->status("w"), stays ? QStringLiteral("unknown") : QString());
        if (state == "queued") {
            QCOMPARE(rig->requests().last(), (Request{"next", 0, kPacket}));
            rig->deliver("w", kPacket, source.mid(kPacket, kPacket));
        }
        QTEST(rig->entries(), "left");
        QCOMPARE(rig->shell.chatPopups.size(), told ? 1 : 0);
        if (told) {
            QCOMPARE(rig->shell.chatPopups.first().nodeId, QStringLiteral("owner"));
            QCOMPARE(rig->shell.chatPopups.first().html, withdrew);
        }
        if (stays) {
            rig->offer("w", "cancel_me.bin", source.size()); // offered again: it can be fetched again
            QCOMPARE(rig->engine.downloadProblem("w"), QString());
            rig->queue("w");
            QCOMPARE(rig->status("w"), QStringLiteral("queued"));
        }
    }
    // Offsets past 2 and 4 GiB go through the wire's encoding (large fields from 4 GiB on) and are read and written
    // at the right place: a download resumed just before the boundary ends with exactly the owner's bytes.
    void offsetsPastTwoAndFourGiB_data()
    {
        QTest::addColumn<qint64>("boundary");
        QTest::newRow("2 GiB") << (Q_INT64_C(1) << 31);
        QTest::newRow("4 GiB") << (Q_INT64_C(1) << 32);
    }
    void offsetsPastTwoAndFourGiB()
    {
        QFETCH(qint64, boundary);
        const qint64 start = boundary - 2 * kPacket + 1234; // resumed from the size on disk, inside a packet
        const qint64 size = boundary + 2 * kPacket + 4321;
        // Sparse files: the sizes are real, only the blocks around the boundary take disk space.
        QTemporaryDir owner;
        const QString source = owner.filePath("big.bin");
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        QVERIFY(file.seek(boundary - 2 * kPacket) && file.write(pattern(2 * kPacket, 3)) == 2 * kPacket);
        QVERIFY(file.seek(boundary) && file.write(pattern(2 * kPacket, 4)) == 2 * kPacket);
        file.close();
        rig->insertUpload("big", "owner", rig->clock.nowMs(), "sent", source, size);
        rig->offer("big", "big.bin", size);
        QVERIFY(exec("update vesk_downloads set downloadsize = filesize"));
        QFile part(rig->path("big.bin.part"));
        QVERIFY(part.open(QIODevice::WriteOnly) && part.resize(start));
        part.close();

        rig->queue("big");
        // Each request and each answer goes through the wire's encoding and back, as between two programs.
        // Below 4 GiB the plain fields carry every offset, as a plain peer needs.
        bool plainWhereItFits = true;
        const auto overWire = [&plainWhereItFits](const Vesk::Parameters& message) {
            plainWhereItFits &= Vesk::carriesExtensionFields(message) ==
                                (message.value("fileSeek").toLongLong() > Vesk::kLargestPlainSize);
            return Vesk::byteArrayToParameters(Vesk::parametersToByteArray(message));
        };
        QList<qint64> asked;
        for (int round = 0; round < 100 && !rig->sink.withAction("sendDataPacket").isEmpty(); ++round) {
            const auto requests = rig->sink.withAction("sendDataPacket");
            rig->sink.clear();
            for (const auto& request : requests) {
                const Vesk::Parameters received = overWire(request.parameters);
                asked.append(received.value("fileSeek").toLongLong());
                rig->packets.handleSendDataPacket(received);
            }
            const auto answers = rig->sink.withAction("receiveDataPacket");
            QCOMPARE(answers.size(), requests.size());
            rig->sink.clear();
            for (const auto& answer : answers)
                rig->engine.handleReceiveDataPacket(overWire(answer.parameters));
            rig->settle();
        }
        QList<qint64> expected;
        for (qint64 at = start; at < size; at += kPacket - at % kPacket)
            expected.append(at);
        QCOMPARE(asked, expected);
        QVERIFY(plainWhereItFits);
        QCOMPARE(rig->status("big"), QStringLiteral("downloaded"));
        QFile got(rig->path("big.bin"));
        QCOMPARE(got.size(), size);
        QVERIFY(got.open(QIODevice::ReadOnly) && got.seek(start) && file.open(QIODevice::ReadOnly) && file.seek(start));
        QCOMPARE(got.read(size - start), file.read(size - start));
    }
    // The smallest queued file runs first (the list shows that order); each quiet tick asks again, after
    // kMaxStallTicks the next runs. Given up by the stall, it goes on from its bytes on disk when its owner is back.
    void giveUpAfterStallsAndResume()
    {
        const QByteArray source = pattern(kPacket + 500);
        rig->offer("stuck", "stuck.bin", source.size());
        rig->offer("next", "next.bin", 2 * kPacket);
        rig->offer("paused", "paused.bin", 10);
        rig->engine.queueFileToDownload("next");
        rig->queue("stuck");
        for (int row = 0; row < 2; ++row)
            QCOMPARE(rig->store->queuedDownloads->record(row).value("id").toString(), row ? "next" : "stuck");
        rig->answer(rig->requests().last(), source);
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

        rig->engine.ownerCameOnline("someone else");
        QCOMPARE(rig->status("stuck"), QStringLiteral("unknown"));
        rig->engine.ownerCameOnline("owner");
        QCOMPARE(rig->status("stuck"), QStringLiteral("queued"));
        QCOMPARE(rig->status("paused"), QStringLiteral("unknown")); // the user's pause waits for the user
        rig->engine.pauseFileToDownload("next");
        rig->sink.clear();
        rig->settle();
        QCOMPARE(rig->requests().last(), (Request{"stuck", kPacket, 500}));
        rig->answer(rig->requests().last(), source);
        QCOMPARE(readFile(rig->path("stuck.bin")), source);
    }
    // The name a download is stored under when the downloads folder already holds that name: an unrelated file is
    // moved aside to a backup name (and the user told so), another download's file is never touched.
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
        // The user is told the older file's new name, on the row and in the notice of the download.
        QString keptAs;
        for (const QString& entry : found)
            if (entry.contains("_veskbackup_"))
                keptAs = entry.section('=', 0, 0);
        QCOMPARE(rig->engine.keptAsideAs("new"), keptAs);
        QCOMPARE(rig->shell.chatPopups.size(), 1);
        QCOMPARE(rig->shell.chatPopups.first().html.contains("kept as <b>" + keptAs + "</b>"), !keptAs.isEmpty());
    }
    // Speed and time left, measured each second: a reading weighs 0.3 per two seconds it covers, the time left
    // moves by 5 s or more, both blank after 3 s without a byte (twice the last gap on a slow link). 20 MB each.
    void estimate_data()
    {
        QTest::addColumn<bool>("folder");         // two files of 10 MB, else one of 20 MB
        QTest::addColumn<QString>("steps");       // each a second later: the packets answered then ("." none)
        QTest::addColumn<QList<qint64>>("shown"); // bytes/s, seconds left, stalled
        QTest::newRow("nothing yet") << false << "" << QList<qint64>{-1, -1, 0};
        QTest::newRow("steady") << false << "1 1 1" << QList<qint64>{1000000, 19, 0};
        QTest::newRow("faster, weighed") << false << "1 1 4" << QList<qint64>{1490020, 10, 0};
        QTest::newRow("a reading of two seconds") << false << "1 . 4" << QList<qint64>{1300000, 12, 0};
        QTest::newRow("two quiet seconds") << false << "1 . ." << QList<qint64>{1000000, 19, 0};
        QTest::newRow("three quiet seconds") << false << "1 . . ." << QList<qint64>{-1, -1, 1};
        QTest::newRow("nothing for three seconds from the start") << false << ". . ." << QList<qint64>{-1, -1, 1};
        QTest::newRow("going on after a stall") << false << "1 . . . 1" << QList<qint64>{617500, 30, 0};
        QTest::newRow("slow link, packets seconds apart")
            << false << ". . . . 4 . . . . ." << QList<qint64>{800000, 20, 0};
        QTest::newRow("slow link, stalled") << false << ". . . . 4 . . . . . . . . . ." << QList<qint64>{-1, -1, 1};
        QTest::newRow("folder, across its files") << true << "5 5 5" << QList<qint64>{5000000, 3, 0};
    }
    void estimate()
    {
        QFETCH(bool, folder);
        QFETCH(QString, steps);
        QFETCH(QList<qint64>, shown);
        const QByteArray source = pattern(folder ? 10 * kPacket : 20 * kPacket);
        if (folder)
            QVERIFY(addFolder("F", "down", "unknown", "owner", "F",
                              {{"a.bin", source.size(), "unknown"}, {"b.bin", source.size(), "unknown"}}));
        else
            rig->offer("f", "f.bin", source.size());
        rig->queue(folder ? "F" : "f");
        rig->engine.estimateTick();
        QSignalSpy changed(&rig->engine, &DownloadEngine::estimateChanged);
        qsizetype answered = 0;
        for (const QString& step : steps.split(' ', Qt::SkipEmptyParts)) {
            rig->clock.advance(1000);
            for (int n = step == "." ? 0 : step.toInt(); n > 0; --n)
                rig->answer(rig->requests().at(answered++), source);
            rig->engine.estimateTick();
        }
        QCOMPARE((QList<qint64>{rig->engine.bytesPerSecond(), rig->engine.secondsLeft(), rig->engine.stalled()}),
                 shown);
        QCOMPARE(rig->engine.currentDownloadFolderId(), folder ? "F" : "");
        QVERIFY(steps.isEmpty() || !changed.isEmpty());
        changed.clear();
        rig->engine.estimateTick(); // nothing new: nothing said
        QCOMPARE(changed.count(), 0);
    }
    // A downloads folder that can be made and written to is used from then on, and a file received in the earlier
    // one is still found; one that cannot is refused with the reason, and the old folder stays.
    void downloadsFolderChoice_data()
    {
        QTest::addColumn<QString>("chosen"); // empty: the folder in use
        QTest::addColumn<bool>("accepted");
        QTest::newRow("a new folder") << "new/inner" << true;
        QTest::newRow("the folder in use") << "" << true;
        QTest::newRow("a folder inside a file") << "file/inner" << false;
        QTest::newRow("a relative path") << "relative/inner" << false;
    }
    void downloadsFolderChoice()
    {
        QFETCH(QString, chosen);
        QFETCH(bool, accepted);
        const QString old = downloads->path();
        rig->insertDownload("d", "owner", "downloaded");
        QVERIFY(writeFile(rig->dir.filePath("file"), "x") && writeFile(old + "d.bin", "received before"));
        const QString path = chosen.isEmpty()                ? QDir::cleanPath(old)
                             : chosen.startsWith("relative") ? chosen
                                                             : rig->dir.filePath(chosen);
        QSignalSpy changed(downloads.get(), &Vesk::DownloadsFolder::changed);
        const QString problem = downloads->change(path);
        QVERIFY2(problem.isEmpty() == accepted && (accepted || problem.contains(path)), qPrintable(problem));
        QCOMPARE(downloads->path(), accepted ? path + "/" : old);
        QCOMPARE(changed.count(), accepted && !chosen.isEmpty() ? 1 : 0);
        QCOMPARE(downloads->downloadedFilePath("d"), old + "d.bin");
        QCOMPARE(downloads->downloadedFilePath("nothing"), QString());
    }
    // What the user is told when the downloads folder, a received file or a received folder cannot be opened: gone
    // from the folder, or no program on this computer for it. A received folder's name never leads out of it.
    void openingReceived_data()
    {
        QTest::addColumn<QString>("what"); // "folder", "file", or a received folder's local name
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("opens");   // the desktop has a program for it
        QTest::addColumn<QString>("told"); // empty: nothing to tell
        QTest::newRow("downloads folder") << "folder" << true << true << "";
        QTest::newRow("downloads folder, no file manager") << "folder" << true << false << "could not show the folder";
        QTest::newRow("file") << "file" << true << true << "";
        QTest::newRow("file gone") << "file" << false << true << "a.txt is no longer in your downloads folder.";
        QTest::newRow("file, no program") << "file" << true << false << "could not open a.txt: no program";
        QTest::newRow("received folder") << "Pics" << true << true << "";
        QTest::newRow("received folder gone") << "Pics" << false << true << "Pics is no longer";
        QTest::newRow("received folder, no file manager") << "Pics" << true << false << "could not show the folder";
        QTest::newRow("received folder named ..") << ".." << true << true << "";
    }
    void openingReceived()
    {
        QFETCH(QString, what);
        QFETCH(bool, present);
        QFETCH(bool, opens);
        QFETCH(QString, told);
        rig->shell.opens = opens;
        QString path = rig->folder, said;
        if (what == "folder") {
            said = downloads->open();
        } else if (what == "file") {
            path = rig->path("a.txt");
            QVERIFY(!present || writeFile(path, "a"));
            said = downloads->openFile(path);
        } else {
            path = rig->path(what);
            QVERIFY(addFolder("F", "down", "downloaded", "owner", what, {{"a.txt", 1, "downloaded"}}));
            QVERIFY(!present || QDir().mkpath(path));
            said = downloads->openReceivedFolder("F");
        }
        QVERIFY2(said.isEmpty() == told.isEmpty() && said.contains(told), qPrintable(said));
        QCOMPARE(rig->shell.opened, present && what != ".." ? QStringList{path} : QStringList());
    }
    // Why a download cannot go on, from the error of a failed write and the space left: the rest of the file must
    // fit (what is on disk already counts), and each kind of error gives its own reason.
    void diskProblemReasons_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<qint64>("available");
        QTest::addColumn<qint64>("have");
        QTest::addColumn<qint64>("wanted");
        QTest::addColumn<QString>("reason");
        const QString short_ = "Not enough space in VeskDownloads: %1 more needed",
                      rest = "choose another downloads folder";
        const auto add = [](const char* tag, int error, qint64 available, qint64 have, qint64 wanted,
                            const QString& reason) {
            QTest::newRow(tag) << error << available << have << wanted << reason;
        };
        add("fits exactly", 0, 20000000, 0, 20000000, QString());
        add("15 MB short", 0, 5000000, 0, 20000000, short_.arg("15.0 MB"));
        add("resumed: the rest fits", 0, 5000000, 16000000, 20000000, QString());
        add("resumed: the rest is short", 0, 1000000, 5200000, 20000000, short_.arg("13.8 MB"));
        add("complete", 0, 0, 30, 20, QString());
        add("filled while writing", ENOSPC, 0, 5200000, 20000000, short_.arg("14.8 MB"));
        add("full though the numbers fit", ENOSPC, 1, 0, 1, "Not enough space in VeskDownloads");
        add("over quota", EDQUOT, 0, 0, 5000, short_.arg("5.0 kB"));
        add("read-only disk", EROFS, 1, 0, 1, "VeskDownloads is on a read-only disk: " + rest);
        add("no permission", EACCES, 1, 0, 1, "Vesk may not write into VeskDownloads: " + rest);
        add("another error", EIO, 1, 0, 1, "Could not write into VeskDownloads: the words");
    }
    void diskProblemReasons()
    {
        QFETCH(int, error);
        QFETCH(qint64, available);
        QFETCH(qint64, have);
        QFETCH(qint64, wanted);
        QTEST(Vesk::DiskProblems::decide("VeskDownloads", error, available, have, wanted, "the words", QLocale::c()),
              "reason");
    }
    // A download that cannot be written is paused before it starts when the rest does not fit, or when a write fails,
    // its reason on its row, in one notice and logged; queued again once the disk is put right, it completes.
    void pausedForTheDisk_data()
    {
        QTest::addColumn<QString>("trouble");
        QTest::addColumn<QString>("reason");
        QTest::newRow("larger than the free space") << "space"
                                                    << "Not enough space in downloads: ";
        QTest::newRow("first write fails") << "not a folder"
                                           << "Could not write into downloads: it is not a folder";
    }
    void pausedForTheDisk()
    {
        QFETCH(QString, trouble);
        QFETCH(QString, reason);
        const QByteArray source = pattern(2 * kPacket);
        const QString downloads = QDir::cleanPath(rig->downloadsFolder());
        QVERIFY(QDir().mkpath(downloads));
        // A terabyte over what is free now: other programs free space on a shared disk while this runs.
        const qint64 beyondFree = QStorageInfo(downloads).bytesAvailable() + (qint64(1) << 40);
        rig->offer("d", "d.bin", trouble == "space" ? beyondFree : source.size());
        MessageCatcher catcher;
        rig->queue("d");
        if (trouble == "not a folder") {
            QCOMPARE(rig->requests().last(), (Request{"d", 0, kPacket}));
            QVERIFY(QDir(downloads).removeRecursively() && writeFile(downloads, "not a folder"));
            rig->answer(rig->requests().last(), source);
        } else {
            QCOMPARE(rig->requests(), QList<Request>{}); // not a byte asked for
        }
        QCOMPARE(rig->status("d"), QStringLiteral("unknown"));
        const QString said = rig->engine.downloadProblem("d");
        QVERIFY2(said.startsWith(reason), qPrintable(said));
        QCOMPARE(rig->shell.notices, QStringList{"Download paused: d.bin is paused. " + said + "."});
        QVERIFY2(catcher.criticals().join('\n').contains("Download paused: " + said),
                 qPrintable(catcher.all().join('\n')));
        QVERIFY(!QFile::exists(rig->path("d.bin.part")));
        // Nothing runs any more, nothing is asked again, and nothing more is said.
        QCOMPARE(rig->engine.currentDownloadingFileId(), QString());
        rig->sink.clear();
        rig->tick();
        QCOMPARE(rig->requests(), QList<Request>{});
        QCOMPARE(rig->shell.notices.size(), 1);

        if (trouble == "space")
            QVERIFY(exec("update vesk_downloads set filesize = ? where id = 'd'", {qint64(source.size())}));
        else
            QVERIFY(QFile::remove(downloads) && QDir().mkpath(downloads));
        rig->queue("d");
        QCOMPARE(rig->engine.downloadProblem("d"), QString());
        rig->answerAll(source);
        QCOMPARE(rig->status("d"), QStringLiteral("downloaded"));
        QCOMPARE(readFile(rig->path("d.bin")), source);
    }
    // Whatever order answers come in, only contiguous bytes reach a file; a folder's 40 small files are asked for
    // several at once, within a bound, yet count as done in turn; a pause with answers in flight loses nothing.
    void answersInAnyOrder_data()
    {
        QTest::addColumn<QString>("policy");
        QTest::addColumn<qint64>("resumeAt"); // of the single file; a folder: -1, with its 21st file of two packets -2
        QTest::newRow("newest first") << "newest first" << qint64(0);
        QTest::newRow("each answer twice") << "twice" << qint64(0);
        QTest::newRow("every third answer lost once") << "lose" << qint64(0);
        QTest::newRow("random order") << "random" << qint64(0);
        QTest::newRow("resumed mid-packet, newest first") << "newest first" << qint64(1234567);
        QTest::newRow("folder in order") << "oldest first" << qint64(-1);
        QTest::newRow("folder newest first") << "newest first" << qint64(-1);
        QTest::newRow("folder with a file of two packets") << "newest first" << qint64(-2);
        QTest::newRow("folder paused with files in flight") << "pause" << qint64(-1);
    }
    void answersInAnyOrder()
    {
        QFETCH(QString, policy);
        QFETCH(qint64, resumeAt);
        const bool folder = resumeAt < 0;
        const QString id = folder ? "F" : "r";
        QHash<QString, QByteArray> sources; // by file id
        if (folder) {
            QList<FolderFile> files;
            for (int i = 0; i < 40; ++i) {
                const QString file = QStringLiteral("F/sub/F%1").arg(i, 2, 10, QLatin1Char('0'));
                sources[file] = pattern(resumeAt == -2 && i == 20 ? kPacket + 10 : 100 + 7 * i, i);
                files.append({file.mid(2), sources[file].size(), "unknown"});
            }
            QVERIFY(addFolder("F", "down", "unknown", "owner", "Pics", files));
        } else {
            sources["r"] = pattern(20 * kPacket + 4321);
            rig->offer("r", "r.bin", sources["r"].size());
            if (resumeAt)
                QVERIFY(exec("update vesk_downloads set downloadsize = filesize") &&
                        writeFile(rig->path("r.bin"), sources["r"].left(resumeAt)));
        }
        const auto pathOf = [&](const QString& file) {
            return folder ? rig->downloadsFolder() + "Pics/" + file.mid(2) : rig->path("r.bin");
        };
        const auto done = [] {
            return column("select count(*) from vesk_downloads where status = 'downloaded'").value(0);
        };
        rig->queue(id);
        if (folder)
            QVERIFY(rig->requests().size() > 1);
        else
            QCOMPARE(rig->requests().first(), (Request{"r", resumeAt, kPacket - resumeAt % kPacket}));
        QRandomGenerator random(7);
        QList<Request> open;
        QSet<qint64> lost;
        for (int answers = 1; (folder ? row("vesk_folders", "F").value("status") : rig->status("r")) != "downloaded";
             ++answers) {
            QVERIFY(answers < 500);
            open += rig->requests();
            rig->sink.clear();
            QVERIFY(open.size() <= 1 + DownloadEngine::kFolderAheadFiles + Vesk::DownloadSession::kMaxWindow);
            if (open.isEmpty()) { // silence: the progress tick asks again
                rig->tick();
                continue;
            }
            if (policy == "pause" && answers == 1) {
                // Every file in flight but the first arrives: none counts as done before the first.
                const Request first = open.takeFirst();
                for (const Request& r : std::as_const(open))
                    rig->answer(r, sources[r.fileId]);
                QCOMPARE(done(), QStringLiteral("0"));
                rig->engine.pauseFileToDownload("F");
                rig->answer(first, sources[first.fileId]); // late, for a paused file
                open.clear();
                QCOMPARE(done(), QStringLiteral("0"));
                rig->queue("F");
                continue;
            }
            const Request r = open.takeAt(policy == "random"         ? random.bounded(open.size())
                                          : policy == "newest first" ? open.size() - 1
                                                                     : 0);
            if (policy == "lose" && answers % 3 == 0 && !lost.contains(r.fileSeek)) {
                lost.insert(r.fileSeek);
                continue;
            }
            rig->clock.advance(DownloadEngine::kProgressUpdateMs); // each answer may show progress
            for (int copies = policy == "twice" ? 2 : 1; copies > 0; --copies)
                rig->answer(r, sources[r.fileId]);
            const QString written = pathOf(r.fileId); // under the partial name until complete
            QVERIFY(
                sources[r.fileId].startsWith(readFile(QFile::exists(written + ".part") ? written + ".part" : written)));
        }
        QCOMPARE(done(), QString::number(sources.size()));
        for (auto it = sources.cbegin(); it != sources.cend(); ++it)
            QCOMPARE(readFile(pathOf(it.key())), it.value());
        QCOMPARE(rig->fileIds("fileTransferComplete"), QStringList{id});
        if (!folder)
            return;
        QCOMPARE(QDir(rig->downloadsFolder() + "Pics/sub").entryList(QDir::Files).size(), 40);
        // The taskbar shows the folder's progress: it never goes back as one file ends and the next begins, and
        // it is past the middle when the folder's last files start.
        QStringList shown;
        for (const qint64 percent : std::as_const(rig->shell.progress))
            shown.append(QString::number(percent));
        QVERIFY2(shown.size() > 2 && rig->shell.progress.last() >= 50 &&
                     std::is_sorted(rig->shell.progress.cbegin(), rig->shell.progress.cend()),
                 qPrintable(shown.join(' ')));
    }
};

QTEST_GUILESS_MAIN(tst_Downloads)
#include "tst_downloads.moc"
