#include "transferrig.h"

#include "proto/veskv1.pb.h"
#include "net/peercapabilities.h"
#include "store/database.h"
#include "transfer/slicedwork.h"
#include "transfer/folderlisting.h"
#include "transfer/transfernames.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace TestSupport;
namespace TransferNames = Vesk::TransferNames;

// A folder offered as one: the offer listing its files (or its files one by one to a plain peer), the listing the
// receiver refuses, the tree it makes for the folder, and the relative paths of its files.
class tst_Folders : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;
    QTemporaryDir files;
    // A picked folder "Holiday 2026" (two files, an empty folder, a link out of it), in the files to send once walked.
    QString pickFolder()
    {
        const QString root = files.filePath("Holiday 2026");
        QDir().mkpath(root + "/sub");
        QDir().mkpath(root + "/empty");
        QFile::link("/etc", root + "/out");
        if (!writeFile(root + "/sub/b.txt", "bee") ||
            !writeFile(root + QString::fromUtf8("/\xc3\xa9t\xc3\xa9.jpg"), "summer"))
            return QString();
        return rig->pick(root) ? root : QString();
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<TransferRig>();
        rig->addPeer("on1");
    }
    void cleanup() { rig.reset(); }
    // A folder is one entry to send; a peer that takes folders gets one offer listing them (each round until
    // confirmed, also after a restart), any other peer each file on its own. It arrives with its structure in a
    // folder of its own beside one of the same name (never merged), each side told once.
    void folderOffers_data()
    {
        QTest::addColumn<quint32>("capabilities");
        QTest::addColumn<QStringList>("actions");
        QTest::newRow("peer taking folders") << quint32(Vesk::CapabilityFolders) << QStringList{"newFolderToDownload"};
        QTest::newRow("plain peer") << quint32(0) << QStringList{"newFileToDownload", "newFileToDownload"};
    }
    void folderOffers()
    {
        QFETCH(quint32, capabilities);
        QFETCH(QStringList, actions);
        QVERIFY(writeFile(rig->downloadsFolder() + "Holiday 2026", "not a folder"));
        QVERIFY(QDir().mkpath(rig->downloadsFolder() + "Holiday 2026 (2)/sub"));
        QVERIFY(!pickFolder().isEmpty());
        const QModelIndex entry = rig->outgoing.filesData.index(0, 0);
        QCOMPARE(entry.data(Vesk::FileStandardItemModel::IsFolderRole), QVariant(true));
        QCOMPARE(entry.data(Vesk::FileStandardItemModel::FileCountRole), QVariant(2));
        QCOMPARE(entry.data(Vesk::FileStandardItemModel::TotalByteSizeRole).toLongLong(), 9);
        rig->capabilities.of["on1"] = capabilities;
        rig->sendTo({"on1"});
        QCOMPARE(rig->sink.actions(), actions);
        QCOMPARE(count("vesk_folders"), capabilities ? 1 : 0);
        QCOMPARE(column("select coalesce(path, '-') from vesk_uploads order by filename"),
                 capabilities ? (QStringList{"sub/b.txt", QString::fromUtf8("\xc3\xa9t\xc3\xa9.jpg")})
                              : (QStringList{"-", "-"}));
        if (!capabilities) {
            QCOMPARE(rig->sink.values("newFileToDownload", "fileName"),
                     (QStringList{"b.txt", QString::fromUtf8("\xc3\xa9t\xc3\xa9.jpg")}));
            return;
        }
        Vesk::FolderListing::Part part;
        QString why;
        QVERIFY(Vesk::FolderListing::read(rig->sink.sent.first().value("folderListing").toByteArray(), &part, &why));
        QCOMPARE(part.name, QStringLiteral("Holiday 2026"));
        QCOMPARE(part.emptyFolders, QStringList{"empty"});
        QCOMPARE(part.entries.size(), 2);
        rig->sink.clear();
        rig->outgoing.resendOffers();
        QCOMPARE(rig->sink.actions(), actions);
        rig->sink.clear();
        { // the owner started again: the listing it sends is made from its rows, the empty folder still in it
            Vesk::OutgoingOffers restarted(*rig->store, rig->sink, rig->clock, rig->profile, rig->shell,
                                           rig->capabilities, rig->packets);
            restarted.resendOffers();
            QCOMPARE(rig->sink.actions(), actions);
        }
        rig->relay(); // the receiver confirms
        rig->sink.clear();
        rig->outgoing.resendOffers();
        QVERIFY(rig->sink.sent.isEmpty());
        QCOMPARE(column("select distinct status from vesk_uploads"), QStringList{"sent"});
        const QString folderId = column("select id from vesk_folders where direction = 'down'").value(0);
        QCOMPARE(row("vesk_folders", folderId).value("localname"), QStringLiteral("Holiday 2026 (3)"));
        QCOMPARE(rig->store->pendingValidations(), 1);
        QCOMPARE(rig->shell.downloadPopups.size(), 1);
        QCOMPARE(rig->shell.downloadPopups.first().html,
                 QStringLiteral("alias of owner offers the folder <b>Holiday 2026</b> (2 files, 9 bytes)"));
        QCOMPARE(rig->shell.offers.size(), 1); // told like a file, so one notice takes both
        QCOMPARE(QStringList({rig->shell.offers[0].name, QString::number(rig->shell.offers[0].bytes),
                              QString::number(rig->shell.offers[0].folderFiles)}),
                 (QStringList{"Holiday 2026", "9", "2"}));
        const QString tree = rig->downloadsFolder() + "Holiday 2026 (3)/";
        QVERIFY(!QFileInfo::exists(tree)); // nothing made before the user accepts
        rig->engine.queueFileToDownload(folderId);
        rig->settle();
        QVERIFY(QFileInfo(tree + "empty").isDir());
        rig->relay();
        QCOMPARE(readFile(tree + "sub/b.txt"), QByteArray("bee"));
        QCOMPARE(readFile(tree + QString::fromUtf8("\xc3\xa9t\xc3\xa9.jpg")), QByteArray("summer"));
        QCOMPARE(readFile(rig->downloadsFolder() + "Holiday 2026"), QByteArray("not a folder"));
        QCOMPARE(filesIn(rig->downloadsFolder() + "Holiday 2026 (2)/sub"), QStringList());
        QCOMPARE(row("vesk_folders", folderId).value("status"), QStringLiteral("downloaded"));
        QCOMPARE(rig->shell.chatPopups.size(), 2); // "Folder Downloaded" here, "received the folder" there
    }
    // A folder of thousands of files: its rows are written, marked, queued and dropped a slice at a time, so that
    // neither window waits for all of them; cut short half way, nothing of it is left half done.
    void manyFiles_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::newRow("the whole way") << "";
        QTest::newRow("owner stopped while recording") << "stopped";
        QTest::newRow("withdrawn") << "withdrawn";
        QTest::newRow("paused while queued") << "paused";
        QTest::newRow("paused while all are queued") << "paused all";
        QTest::newRow("removed by the receiver, then stopped") << "removed";
        QTest::newRow("receiver stopped while downloading") << "resumed";
    }
    void manyFiles()
    {
        QFETCH(QString, cut);
        const int n = Vesk::SlicedWork::kRowsPerSlice * 2 + 5;
        const QString root = files.filePath("Many");
        QVERIFY(QDir().mkpath(root));
        for (int i = 0; i < n; ++i)
            QVERIFY(writeFile(root + QStringLiteral("/%1.txt").arg(i, 5, 10, QLatin1Char('0')), QByteArray::number(i)));
        QVERIFY(rig->pick(root));
        rig->capabilities.of["on1"] = Vesk::CapabilityFolders;
        rig->sendTo({"on1"});
        // The first slice is in; the listing goes once all are (a listed file is always served).
        QVERIFY(count("vesk_uploads") > 0 && count("vesk_uploads") < n);
        QVERIFY(rig->sink.sent.isEmpty());
        if (cut == "stopped") {
            QSqlDatabase db = Vesk::Database::connection();
            QVERIFY(Vesk::Database::prepareSchema(db)); // the next start
            QCOMPARE(count("vesk_uploads") + count("vesk_folders"), 0);
            return;
        }
        rig->settle();
        QCOMPARE(count("vesk_uploads"), n);
        QCOMPARE(rig->sink.actions(), QStringList(2, "newFolderToDownload"));
        const QString folderId = column("select id from vesk_folders").value(0);
        if (cut == "withdrawn") {
            const QString fileId = column("select id from vesk_uploads order by path desc limit 1").value(0);
            const auto ask = [&] {
                rig->packets.handleSendDataPacket(rig->fromReceiverOf(
                    fileId, {{"action", "sendDataPacket"}, {"fileId", fileId}, {"fileSeek", 0}, {"bufferSize", 4}}));
                rig->settle();
            };
            rig->sink.clear();
            ask(); // served, and known to the owner from then on
            QCOMPARE(rig->sink.actions(), QStringList{"receiveDataPacket"});
            rig->sink.clear();
            rig->outgoing.deleteFileToSend(folderId);
            ask();
            QCOMPARE(rig->sink.actions(), QStringList{"removeFileToGet"}); // the last file's row was still there
            QCOMPARE(count("vesk_uploads") + count("vesk_folders"), 0);
            return;
        }
        rig->relay();
        QCOMPARE(column("select distinct status from vesk_uploads"), QStringList{"sent"});
        QCOMPARE(row("vesk_folders", folderId).value("status"), QStringLiteral("sent"));
        rig->sink.clear();
        if (cut == "removed") {
            rig->incoming.deleteFileToDownload("r" + folderId);
            QCOMPARE(column("select direction from vesk_folders"), QStringList{"up"});
            QVERIFY(count("vesk_downloads") > 0 && count("vesk_downloads") < n);
            QSqlDatabase db = Vesk::Database::connection();
            QVERIFY(Vesk::Database::prepareSchema(db));
            QCOMPARE(count("vesk_downloads"), 0);
            return;
        }
        if (cut == "paused all")
            rig->engine.downloadAllPending();
        else
            rig->engine.queueFileToDownload("r" + folderId);
        if (cut.startsWith("paused")) {
            rig->engine.pauseFileToDownload("r" + folderId);
            rig->settle();
            QCOMPARE(column("select distinct status from vesk_downloads"), QStringList{"unknown"});
            QCOMPARE(row("vesk_folders", "r" + folderId).value("status"), QStringLiteral("unknown"));
            return;
        }
        rig->settle();
        if (cut == "resumed") { // the next start goes on where it stopped, the folder shown as downloading
            QStringList interrupted;
            QSqlDatabase db = Vesk::Database::connection();
            QVERIFY(Vesk::Database::prepareSchema(db, &interrupted));
            QCOMPARE(interrupted.size(), n);
            rig->engine.resumeInterrupted(interrupted);
            QCOMPARE(row("vesk_folders", "r" + folderId).value("status"), QStringLiteral("queued"));
        }
        rig->relay();
        QCOMPARE(row("vesk_folders", "r" + folderId).value("status"), QStringLiteral("downloaded"));
        QCOMPARE(filesIn(rig->downloadsFolder() + "Many").size(), n);
        QCOMPARE(readFile(rig->downloadsFolder() + "Many/02004.txt"), QByteArray("2004"));
        QCOMPARE(count("vesk_uploads"), 0);
        QCOMPARE(column("select direction from vesk_folders"), QStringList{"down"});
    }
    // A listing out of bounds is refused as a whole: nothing stored or made, no confirmation, a short log line. So
    // is one that cannot be stored (a full disk): unconfirmed, it is offered again.
    void badListings_data()
    {
        QTest::addColumn<QString>("fault");
        for (const char* fault :
             {"garbage", "climbing path", "too many entries", "sizes past the total", "part past the parts",
              "another folder's id", "no id", "one path for many files", "the peer's folders waiting",
              "folders of all peers waiting", "the database cannot be written"})
            QTest::newRow(fault) << QString(fault);
    }
    void badListings()
    {
        QFETCH(QString, fault);
        // Folders waiting for the user, of this owner or of as many peers (node ids cost nothing to make up).
        const bool ownWaiting = fault == "the peer's folders waiting";
        const int waiting = ownWaiting                                ? Vesk::IncomingOffers::kMaxWaitingFolders
                            : fault == "folders of all peers waiting" ? Vesk::IncomingOffers::kMaxWaitingFoldersAll
                                                                      : 0;
        QVERIFY(exec(
            "with recursive n(i) as (select 0 union all select i + 1 from n where i < ?) insert into "
            "vesk_folders (id, nodeid, direction, name, localname, files, filesize, status, timestamp) "
            "select 'w' || i, iif(?, 'owner', 'n' || i), 'down', 'w', 'w' || i, 1, 1, 'unknown', 0 from n where i > 0",
            {waiting, ownWaiting}));
        com::tavimor::vesk::FolderListing listing;
        listing.set_folderid(fault == "no id" ? "" : "d1");
        listing.set_name("x");
        const int entries = fault == "too many entries"          ? Vesk::FolderListing::kMaxEntriesPerPart + 1
                            : fault == "one path for many files" ? Vesk::IncomingOffers::kMaxSamePath + 1
                                                                 : 2;
        listing.set_files(fault == "too many entries" ? 2 : entries);
        listing.set_totalsize(fault == "sizes past the total" ? 5 : 3 * entries);
        listing.set_parts(1);
        listing.set_part(fault == "part past the parts" ? 1 : 0);
        for (int i = 0; i < entries; ++i) {
            auto* entry = listing.add_entries();
            entry->set_fileid("f" + std::to_string(i));
            entry->set_path(fault == "climbing path"             ? "../.."
                            : fault == "one path for many files" ? "a:b"
                                                                 : "p" + std::to_string(i));
            entry->set_size(3);
        }
        const std::string bytes = listing.SerializeAsString();
        MessageCatcher catcher;
        QVERIFY(exec(fault == "the database cannot be written" ? "pragma query_only = 1" : "select 1"));
        rig->incoming.handleNewFolderToDownload(
            {{"action", "newFolderToDownload"},
             {"nodeFrom", "owner"},
             {"fileId", fault == "another folder's id" ? "d2" : "d1"},
             {"folderListing", fault == "garbage" ? QByteArray("\xff\xff\xff") : QByteArray::fromStdString(bytes)}});
        QVERIFY(exec("pragma query_only = 0"));
        QCOMPARE(count("vesk_folders") + count("vesk_downloads"), waiting);
        QVERIFY(rig->sink.sent.isEmpty());
        QCOMPARE(QDir(rig->downloadsFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(catcher.criticals().size(), 1);
        QVERIFY(catcher.criticals().first().size() < 400);
    }
    // No more empty folders are made than the bound, however many parts a host sends, each with new ones; and none
    // before the user accepts the folder.
    void emptyFoldersBounded()
    {
        const int perPart = 4000, parts = Vesk::IncomingOffers::kMaxEmptyFolders / perPart + 2;
        MessageCatcher catcher;
        for (int part : {0, 1, 2, 3, 0}) {
            com::tavimor::vesk::FolderListing listing;
            listing.set_folderid("d1");
            listing.set_name("x");
            listing.set_files(1);
            listing.set_totalsize(3);
            listing.set_parts(parts);
            listing.set_part(part);
            if (part == 0) {
                auto* entry = listing.add_entries();
                entry->set_fileid("f");
                entry->set_path("f.txt");
                entry->set_size(3);
            }
            for (int i = 0; i < perPart; ++i)
                listing.add_emptyfolders("e" + std::to_string(part * perPart + i));
            rig->incoming.handleNewFolderToDownload(
                {{"action", "newFolderToDownload"},
                 {"nodeFrom", "owner"},
                 {"fileId", "d1"},
                 {"folderListing", QByteArray::fromStdString(listing.SerializeAsString())}});
        }
        QCOMPARE(rig->sink.values("confirmFolderToSend", "packetId"), (QStringList{"0", "1", "2", "3", "0"}));
        QVERIFY(!QFileInfo::exists(rig->downloadsFolder() + "x")); // made once accepted
        rig->engine.queueFileToDownload("d1");
        rig->settle();
        QCOMPARE(QDir(rig->downloadsFolder() + "x").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(),
                 Vesk::IncomingOffers::kMaxEmptyFolders);
        QVERIFY(QFileInfo(rig->downloadsFolder() + "x/e0").isDir());
        QVERIFY(!catcher.criticals().isEmpty());
    }
    // Another downloads folder picked while a folder comes in: the folder's tree moves there whole, partial file
    // and empty folders too, under a name of its own (the user has a folder of that name there), and goes on.
    void downloadsFolderChanged()
    {
        const QByteArray a = pattern(100), b = pattern(kPacket + 10, 2);
        QVERIFY(addFolder("F", "down", "unknown", "owner", "Pics",
                          {{"a.txt", a.size(), "unknown"}, {"sub/b.bin", b.size(), "unknown"}}));
        QVERIFY(QDir().mkpath(rig->downloadsFolder() + "Pics/empty"));
        rig->queue("F");
        for (qsizetype i = 0; i < rig->requests().size(); ++i) // a whole, and b's first packet
            if (const Request r = rig->requests().at(i); r.fileSeek == 0)
                rig->answer(r, r.fileId == "F/a.txt" ? a : b);
        const QString chosen = rig->downloadsFolder() + "chosen/";
        QVERIFY(QDir().mkpath(chosen + "Pics") && writeFile(chosen + "Pics/keep.txt", "theirs"));
        rig->sink.clear();
        rig->engine.setDownloadsFolder(chosen);
        rig->settle();
        QCOMPARE(rig->requests().value(0), (Request{"F/sub/b.bin", kPacket, 10}));
        rig->answerAll(b);
        QCOMPARE(row("vesk_folders", "F").value("status"), QStringLiteral("downloaded"));
        QCOMPARE(readFile(chosen + "Pics (2)/a.txt"), a);
        QCOMPARE(readFile(chosen + "Pics (2)/sub/b.bin"), b);
        QVERIFY(QFileInfo(chosen + "Pics (2)/empty").isDir());
        QCOMPARE(filesIn(chosen + "Pics"), QStringList{"keep.txt"});
        QVERIFY(!QFileInfo::exists(rig->downloadsFolder() + "Pics"));
    }
    // A received folder's paths: each component cleaned like a file name, never leaving the folder, never a device
    // of Windows; what cleans to nothing, or is too long for any file system, is refused (null).
    void relativePaths_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("cleaned");
        const QString jp = QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac/\xc3\xa9t\xc3\xa9 2026.jpg");
        const QList<QPair<QString, QString>> rows{
            {"photos/2026/a.jpg", "photos/2026/a.jpg"},
            {jp, jp},
            {"../../etc/passwd", "etc/passwd"},
            {"/etc/shadow", "etc/shadow"},
            {"C:\\Windows\\win.ini", "Windows/win.ini"},
            {"\\\\server\\share\\x", "server/share/x"},
            {"d/C:/x", "d/C/x"},
            {"CON/nul.txt", "_CON/_nul.txt"},
            {"docs/Com1.tar.gz/lpt9 ", "docs/_Com1.tar.gz/_lpt9 "},
            {"console/nullable.txt", "console/nullable.txt"},
            {"a\nb/c\td?e*.txt", "ab/cde*.txt"},
            {QString(300, 'x') + ".txt", QString(196, 'x') + ".txt"},
            {QString("abcdefghi/").repeated(100) + "z", QString()},
            {"../..//./", QString()},
            {" / \r", QString()},
        };
        for (const auto& [offered, cleaned] : rows)
            QTest::newRow(qPrintable(offered.left(40))) << offered << cleaned;
    }
    void relativePaths()
    {
        QFETCH(QString, offered);
        QFETCH(QString, cleaned);
        QCOMPARE(TransferNames::cleanRelativePath(offered), cleaned);
        QCOMPARE(TransferNames::cleanRelativePath(cleaned), cleaned); // idempotent
        const QString path = rig->downloadsFolder() + "f/" + cleaned;
        if (!cleaned.isNull()) // stays inside, and the file system takes it
            QVERIFY(QDir().mkpath(QFileInfo(path).path()) && writeFile(path, "x"));
    }
};

QTEST_GUILESS_MAIN(tst_Folders)
#include "tst_folders.moc"
