#include "transferrig.h"

#include "store/vesksqlquerymodel.h"
#include "transfer/downloadsession.h"

#include <QFile>
#include <QRandomGenerator>
#include <QHash>
#include <QSet>
#include <QSqlRecord>

#include <algorithm>

using namespace TestSupport;
using Vesk::DownloadEngine;

namespace {
constexpr int kFolderFiles = DownloadEngine::kFolderAheadFiles + 40;
}

// Downloads, the packet flow: which file goes next, what is asked and written (in order, whatever order answers
// come in), giving up and going on, and the speed shown. Offsets past 2 and 4 GiB: the e2e transfer_large. The files a
// download makes and the disk it writes to: tst_downloadfiles.
class tst_Downloads : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;

private Q_SLOTS:
    void init() { rig = std::make_unique<TransferRig>(); }
    void cleanup() { rig.reset(); }
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
        add("one packet, a program", "setup.exe", pattern(kPacket, 5), false);
        add("a byte over a packet", "b.jpg", pattern(kPacket + 1, 5), true);
        add("double suffix", "a.exe.txt", text, true);
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
    // On its stream an owner's answer is late, not lost: a quiet tick asks again only once it is overdue (on a slow
    // link, where one packet takes seconds, copies queued behind it kept the file from ever growing), and at once
    // when that owner's stream ends or the clock is set back. A plain peer is asked again at every quiet tick
    // (giveUpAfterStallsAndResume).
    void ownerOnItsStreamIsAskedAgainWhenOverdue()
    {
        rig->capabilities.of.insert("owner", Vesk::CapabilityLargeFiles | Vesk::CapabilityFolders);
        const QByteArray source = pattern(2 * kPacket);
        rig->offer("slow", "slow.bin", source.size());
        rig->queue("slow");
        const Request first{"slow", 0, kPacket};
        QCOMPARE(rig->requests(), QList<Request>{first});
        for (qint64 waited = 0; waited + 2000 <= Vesk::DownloadSession::kOverdueMs; waited += 2000) {
            rig->clock.advance(2000);
            rig->tick();
        }
        QCOMPARE(rig->requests(), QList<Request>{first});
        rig->clock.advance(2000);
        rig->tick();
        QCOMPARE(rig->requests(), (QList<Request>{first, first}));

        rig->engine.ownerStreamEnded("someone else");
        QCOMPARE(rig->requests().size(), 2);
        rig->engine.ownerStreamEnded("owner");
        QCOMPARE(rig->requests(), (QList<Request>{first, first, first}));
        rig->clock.advance(-3600000); // the clock set back an hour: how long the request waited is not known
        rig->tick();
        QCOMPARE(rig->requests().size(), 4);
        rig->answerAll(source);
        QCOMPARE(rig->status("slow"), QStringLiteral("downloaded"));
        QCOMPARE(readFile(rig->path("slow.bin")), source);
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
    // Whatever order answers come in, only contiguous bytes reach a file; a folder's 40 small files are asked for
    // several at once, within a bound, yet count as done in turn; a pause with answers in flight loses nothing. A
    // file that cannot be written pauses its folder after the files before it, and the others, written meanwhile,
    // are whole once it goes on.
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
        QTest::newRow("folder with a file that cannot be written") << "blocked" << qint64(-1);
        // An earlier delivery's files, whole or partial, in the folder's tree at the places of files not started
        // yet: kept aside, never written into.
        QTest::newRow("folder over an earlier delivery") << "earlier" << qint64(-1);
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
            // More files than are asked for ahead at once: the later ones are asked for as earlier ones end.
            for (int i = 0; i < kFolderFiles; ++i) {
                const QString file = QStringLiteral("F/sub/F%1").arg(i, 3, 10, QLatin1Char('0'));
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
        // Files of the folder's own tree that it has not started yet: put there by an earlier delivery of it.
        const QStringList earlier{"F150", "F150.part", "F151.part"};
        for (const QString& name : earlier) {
            QVERIFY(policy != "earlier" ||
                    (row("vesk_downloads", "F/sub/" + name.left(4)).value("downloadsize") == "0" &&
                     writeFile(pathOf("F/sub/" + name), "earlier " + name.toUtf8())));
        }
        if (folder)
            QVERIFY(rig->requests().size() > 1);
        else
            QCOMPARE(rig->requests().first(), (Request{"r", resumeAt, kPacket - resumeAt % kPacket}));
        QRandomGenerator random(7);
        QList<Request> open;
        QSet<qint64> lost;
        QHash<QPair<QString, qint64>, int> asked; // how often each packet was asked for
        for (int answers = 1; (folder ? row("vesk_folders", "F").value("status") : rig->status("r")) != "downloaded";
             ++answers) {
            QVERIFY(answers < 3 * kFolderFiles);
            for (const Request& request : rig->requests())
                ++asked[{request.fileId, request.fileSeek}];
            open += rig->requests();
            rig->sink.clear();
            QVERIFY(open.size() <= 1 + DownloadEngine::kFolderAheadFiles + Vesk::DownloadSession::kMaxWindow);
            if (open.isEmpty()) { // silence: the progress tick asks again
                rig->tick();
                continue;
            }
            const QString blocker = pathOf("F/sub/F005") + ".part";
            if (policy == "blocked" && answers == 1)
                QVERIFY(QDir().mkpath(blocker));
            if (policy == "blocked" && !rig->engine.downloadProblem("F").isEmpty()) {
                QCOMPARE(row("vesk_folders", "F").value("status"), QStringLiteral("unknown"));
                QCOMPARE(done(), QStringLiteral("5"));
                QVERIFY(QDir().rmdir(blocker));
                open.clear();
                rig->queue("F");
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
        // Answers out of order are kept until the bytes before them come: a packet is asked for again when it is
        // late (once) or lost, not each time others overtake it.
        const int mostAsked = *std::max_element(asked.cbegin(), asked.cend());
        QVERIFY2(mostAsked <= (policy == "lose" ? 3 : 2), qPrintable(QString::number(mostAsked)));
        for (auto it = sources.cbegin(); it != sources.cend(); ++it)
            QCOMPARE(readFile(pathOf(it.key())), it.value());
        QCOMPARE(rig->fileIds("fileTransferComplete"), QStringList{id});
        if (!folder)
            return;
        QStringList keptAside;
        for (const QString& name : QDir(pathOf("F/sub/")).entryList({"*_veskbackup_*"}, QDir::Files, QDir::Name))
            keptAside.append(readFile(pathOf("F/sub/" + name)));
        QCOMPARE(keptAside.size(), policy == "earlier" ? earlier.size() : 0);
        for (const QString& name : earlier)
            QCOMPARE(keptAside.contains("earlier " + name), policy == "earlier");
        QCOMPARE(QDir(pathOf("F/sub/")).entryList(QDir::Files).size(), kFolderFiles + keptAside.size());
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
