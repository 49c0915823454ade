#include "transferrig.h"

#include "transfer/diskproblems.h"
#include "transfer/downloadsfolder.h"
#include "transfer/transfernames.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QStorageInfo>

#include <cerrno>
#include <csignal>

#include <sys/resource.h>

using namespace TestSupport;

// Downloads, the files they make and the disk: the name a file is stored under until and once complete, what a
// withdrawal leaves, the downloads folder and what opens from it, and the disk that is full or cannot be written.
class tst_DownloadFiles : public QObject
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
    // A folder's file complete takes its final name in the folder's tree; a file that appeared there meanwhile is
    // someone else's and stays as it is, the download taking the next numbered name.
    void folderFileFinalName_data()
    {
        QTest::addColumn<bool>("takenMeanwhile");
        QTest::addColumn<QString>("after"); // the folder's sub-folder when done, name=content
        QTest::newRow("free") << false << "a.txt=new";
        QTest::newRow("taken meanwhile") << true << "a (2).txt=new|a.txt=theirs";
    }
    void folderFileFinalName()
    {
        QFETCH(bool, takenMeanwhile);
        QFETCH(QString, after);
        QVERIFY(exec("insert into vesk_folders (id, nodeid, direction, name, localname, files, filesize, status) "
                     "values ('F', 'owner', 'down', 'Pics', 'Pics', 1, 3, 'queued')"));
        QVERIFY(exec("insert into vesk_downloads (id, status, nodefrom, filename, filesize, downloadsize, folderId, "
                     "path) values ('F/a', 'queued', 'owner', 'a.txt', 3, 3, 'F', 'sub/a.txt')"));
        const QString sub = rig->path("Pics/sub/");
        const QString local = Vesk::TransferNames::partName(sub + "a.txt");
        QVERIFY(QDir().mkpath(sub) && writeFile(local, "new"));
        if (takenMeanwhile)
            QVERIFY(writeFile(sub + "a.txt", "theirs"));
        const QString final = rig->engine.files().giveFinalName("F/a", rig->store->downloadRecord("F/a"), local);
        QStringList found;
        for (const QString& name : QDir(sub).entryList(QDir::Files, QDir::Name))
            found << name + "=" + readFile(sub + name);
        QCOMPARE(found.join('|'), after);
        QCOMPARE(final, sub + after.section('=', 0, 0));
        QCOMPARE(rig->store->field(Vesk::kDownloadsTable, "F/a", "path"), "sub/" + after.section('=', 0, 0));
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
        MessageCatcher catcher;
        if (byOwner)
            rig->incoming.handleRemoveFileToGet(
                TransferRig::from("owner", {{"action", "removeFileToGet"}, {"fileId", "w"}}));
        else
            rig->incoming.deleteFileToDownload("w");
        rig->settle();
        QCOMPARE(rig->fileIds("removeFileToSend"), byOwner ? QStringList() : QStringList{"w"});
        QCOMPARE(catcher.criticals(), QStringList()); // an ordinary withdrawal is no error
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
    // its reason on its row, in one notice and logged; queued again once the disk is put right (by the user, or by
    // itself once its rest fits), its notice goes and it completes.
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
        QCOMPARE(rig->shell.notices, QStringList{"Download paused: d.bin is paused. " + said +
                                                 ". It goes on by itself once it can be written."});
        QCOMPARE(rig->shell.openNotices.values(), rig->shell.notices);
        QVERIFY2(catcher.criticals().join('\n').contains("Download paused: " + said),
                 qPrintable(catcher.all().join('\n')));
        QVERIFY(!QFile::exists(rig->path("d.bin.part")));
        // Nothing runs any more, nothing is asked again, and nothing more is said.
        QCOMPARE(rig->engine.currentDownloadingFileId(), QString());
        rig->sink.clear();
        rig->tick();
        rig->engine.recheckDisk(); // the disk as it was: still paused, its notice still open
        rig->settle();
        QCOMPARE(rig->requests(), QList<Request>{});
        QCOMPARE(rig->shell.notices.size(), 1);
        QCOMPARE(rig->shell.openNotices.size(), 1);

        if (trouble == "space") {
            QVERIFY(exec("update vesk_downloads set filesize = ? where id = 'd'", {qint64(source.size())}));
            rig->queue("d"); // by the user
        } else {
            QVERIFY(QFile::remove(downloads) && QDir().mkpath(downloads));
            rig->engine.recheckDisk(); // by itself, as its timer does
            rig->settle();
        }
        QCOMPARE(rig->engine.downloadProblem("d"), QString());
        QCOMPARE(rig->shell.openNotices.size(), 0); // no box is left saying it is paused
        rig->answerAll(source);
        QCOMPARE(rig->status("d"), QStringLiteral("downloaded"));
        QCOMPARE(readFile(rig->path("d.bin")), source);
    }
    // A folder whose file cannot be written waits for its disk as one: the answer still on its way for its next file,
    // asked for ahead, is not written meanwhile. Once the disk takes the rest, it goes on by itself.
    void folderPausedForTheDisk()
    {
        const QByteArray a = pattern(kPacket + 10), b = pattern(100, 2);
        QVERIFY(addFolder("F", "down", "unknown", "owner", "Pics",
                          {{"a.bin", a.size(), "unknown"}, {"sub/b.txt", b.size(), "unknown"}}));
        const auto answer = [&](const Request& r) { rig->answer(r, r.fileId == "F/a.bin" ? a : b); };
        rig->queue("F");
        answer(rig->requests().value(0));
        const QList<Request> asked = rig->requests();
        QCOMPARE(asked.mid(1), (QList<Request>{{"F/a.bin", kPacket, 10}, {"F/sub/b.txt", 0, b.size()}}));
        {
            // a.bin's next block crosses the largest file this process may write now: the write falls short with
            // the file open, as on a full disk.
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit before{};
            QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
            const auto restore = qScopeGuard([&before] { setrlimit(RLIMIT_FSIZE, &before); });
            rlimit cap = before;
            cap.rlim_cur = kPacket + 5;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &cap), 0);
            answer(asked.at(1));
            QCOMPARE(row("vesk_folders", "F").value("status"), QStringLiteral("unknown"));
            QVERIFY(rig->engine.downloadProblem("F").startsWith("Not enough space"));
            answer(asked.at(2));
        }
        QCOMPARE(QFileInfo(rig->path("Pics/sub/b.txt.part")).size(), 0);
        rig->sink.clear();
        rig->engine.recheckDisk();
        rig->settle();
        for (qsizetype i = 0; i < rig->requests().size(); ++i)
            answer(rig->requests().at(i));
        QCOMPARE(row("vesk_folders", "F").value("status"), QStringLiteral("downloaded"));
        QCOMPARE(readFile(rig->path("Pics/a.bin")), a);
        QCOMPARE(readFile(rig->path("Pics/sub/b.txt")), b);
    }
    // A folder paused for space says what all its files still to come lack, not only the one that met the disk:
    // freeing that much would stop it again at its next file.
    void folderPausedSaysItsWholeShortfall()
    {
        const QString downloads = QDir::cleanPath(rig->downloadsFolder());
        QVERIFY(QDir().mkpath(downloads));
        // Other programs may free or take some space meanwhile: a tebibyte is 1.1 TB and two are 2.2 TB either way.
        const qint64 tebibyte = qint64(1) << 40, free = QStorageInfo(downloads).bytesAvailable();
        QVERIFY(addFolder("F", "down", "unknown", "owner", "Big",
                          {{"a.bin", free + tebibyte, "unknown"}, {"b.bin", tebibyte, "unknown"}}));
        rig->queue("F");
        QCOMPARE(rig->requests(), QList<Request>{}); // not a byte asked for
        const QString said = "Not enough space in downloads: 2.2 TB more needed";
        QCOMPARE(rig->engine.downloadProblem("F"), said);
        QCOMPARE(rig->shell.notices,
                 QStringList{"Download paused: Big is paused. " + said + ". It goes on by itself once it can be written."});
    }
};

QTEST_GUILESS_MAIN(tst_DownloadFiles)
#include "tst_downloadfiles.moc"
