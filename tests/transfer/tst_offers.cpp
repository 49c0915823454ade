#include "transferrig.h"

#include "net/peercapabilities.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/transfernames.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>

using Vesk::VeskSqlQueryModel;
using namespace TestSupport;
using Vesk::TransferNames::uploadId;
namespace TransferNames = Vesk::TransferNames;
using Parameters = Vesk::Parameters;

// Both sides of an offer (offered again until confirmed, stored and confirmed, withdrawn from either side), the owner
// serving packets and refusing nonsense, and the local name an offered one becomes. Folders: tst_folders; whose
// messages move a transfer: tst_transferorigin.
class tst_Offers : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;
    QTemporaryDir files;
    QHostAddress receiver;
    // A sparse file of that size: the size is real, the disk blocks are not.
    QString makeFile(const QString& name, qint64 size)
    {
        QFile file(files.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.resize(size) ? file.fileName() : QString();
    }
    void confirm(const QString& id)
    {
        rig->outgoing.handleConfirmFileToSend(
            rig->fromReceiverOf(id, {{"action", "confirmFileToSend"}, {"fileId", id}}));
    }
    // The receiver asks for a packet (a field left invalid is left out).
    void ask(const QString& id, const QVariant& seek, const QVariant& size, qint64 timeSent = 1)
    {
        Parameters message{{"action", "sendDataPacket"}, {"fileId", id},
                           {"timeSent", timeSent},       {"fileSeek", seek},
                           {"bufferSize", size},         {"senderIPAddress", receiver.toString()}};
        message.removeIf([](const auto& field) { return !field.value().isValid(); });
        rig->packets.handleSendDataPacket(message);
    }
    // The bytes of the one answer a request brought, or a null array when it brought none, several or a wrong one.
    QByteArray request(const QString& id, const QVariant& seek, const QVariant& size, qint64 timeSent = 1)
    {
        rig->sink.clear();
        ask(id, seek, size, timeSent);
        const auto answer = rig->sink.sent.value(0);
        const bool right = rig->sink.sent.size() == 1 && answer.action() == "receiveDataPacket" &&
                           answer.address == receiver && answer.value("fileId") == id &&
                           answer.value("fileSeek").toLongLong() == seek.toLongLong() &&
                           answer.value("timeSent").toLongLong() == timeSent;
        return right ? answer.value("binaryData").toByteArray() : QByteArray();
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<TransferRig>();
        receiver = rig->addOfferPeers();
        QVERIFY(!receiver.isNull());
    }
    void cleanup() { rig.reset(); }
    void offerLoop_data()
    {
        // uploads: id:peer:age in ms ("ghost" has no peer row); confirmed after the first round.
        for (const char* column : {"uploads", "confirmed", "firstRound", "secondRound"})
            QTest::addColumn<QStringList>(column);
        const QStringList seven{"u3:on1:3000", "u7:on2:7000", "u1:on1:1000", "u6:on2:6000",
                                "u2:on1:2000", "u5:on2:5000", "u4:on1:4000"};
        const QStringList oldest{"u7", "u6", "u5", "u4", "u3"};
        QTest::newRow("five oldest, again until confirmed") << seven << QStringList() << oldest << oldest;
        QTest::newRow("the rest once confirmed") << seven << oldest << oldest << QStringList{"u2", "u1"};
        QTest::newRow("only to peers that are on") << QStringList{"off:off1:10", "ghost:ghost:20", "on:on1:30"}
                                                   << QStringList() << QStringList{"on"} << QStringList{"on"};
        QTest::newRow("for an hour") << QStringList{"old:on1:3600000", "young:on1:3599999"} << QStringList{"young"}
                                     << QStringList{"young"} << QStringList();
    }
    void offerLoop()
    {
        QFETCH(QStringList, uploads);
        QFETCH(QStringList, confirmed);
        for (const QString& upload : uploads) {
            const QStringList f = upload.split(':');
            rig->insertUpload(f[0], f[1], rig->clock.nowMs() - f[2].toLongLong());
        }
        rig->outgoing.resendOffers();
        QTEST(rig->fileIds("newFileToDownload"), "firstRound");
        for (const QString& id : confirmed)
            confirm(id);
        rig->sink.clear();
        rig->outgoing.resendOffers();
        QTEST(rig->fileIds("newFileToDownload"), "secondRound");
    }
    // A picked file is offered to each chosen peer at once; one that cannot be read, or of 4 GiB or more to a peer
    // whose program cannot take it, is left out with a notice saying which and why (also if it changed meanwhile).
    void picking_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QStringList>("capable"); // peers whose program takes large files
        QTest::addColumn<QString>("change");      // what happens between picking and sending
        QTest::addColumn<QStringList>("offeredTo");
        QTest::addColumn<QString>("notice"); // empty: offered without a notice
        const QStringList both{"on1", "on2"};
        const QString cannot = "f.bin: %1's program cannot receive files of 4 GiB or more";
        const auto add = [](const char* tag, qint64 size, const QStringList& capable, const char* change,
                            const QStringList& offeredTo, const QString& notice) {
            QTest::newRow(tag) << size << capable << QString(change) << offeredTo << notice;
        };
        add("small", 4, {}, "", both, "");
        add("largest plain size", 4294967295, {}, "", both, "");
        add("4 GiB to plain peers", 4294967296, {}, "", {}, cannot.arg("Bob") + "\n" + cannot.arg("Carol"));
        add("5 GiB, one takes it", 5368709120, {"on2"}, "", {"on2"}, cannot.arg("Bob"));
        add("5 GiB, both take it", 5368709120, both, "", both, "");
        add("grew to 4 GiB", 4, {"on1"}, "grow", {"on1"}, cannot.arg("Carol"));
        add("vanished", 4, {}, "remove", {}, "f.bin: it does not exist or cannot be read");
        add("offered again after it was sent", 4, {}, "again", both, "");
    }
    void picking()
    {
        QFETCH(qint64, size);
        QFETCH(QStringList, capable);
        QFETCH(QString, change);
        QFETCH(QStringList, offeredTo);
        QFETCH(QString, notice);
        for (const QString& peer : capable)
            rig->capabilities.of[peer] = Vesk::CapabilityLargeFiles;
        const QString path = makeFile("f.bin", size);
        rig->pick(path);
        QCOMPARE(rig->shell.notices, QStringList());
        QFile file(path);
        if (change == "grow")
            QVERIFY(file.resize(TransferNames::kPlainSizeLimit));
        if (change == "remove")
            QVERIFY(file.remove());
        if (change == "again") { // sent and confirmed: offering it again makes it an offer anew
            rig->sendTo({"on1", "on2"});
            for (const QString& id : rig->fileIds("newFileToDownload"))
                confirm(id);
            rig->sink.clear();
            rig->clock.advance(1000);
            rig->pick(path);
        }
        rig->sendTo({"on1", "on2"});
        // One notice, a line for each file and peer left out (the peers in any order).
        QCOMPARE(rig->shell.notices.size(), notice.isEmpty() ? 0 : 1);
        if (!notice.isEmpty()) {
            QStringList lines = rig->shell.notices.first().split('\n');
            QCOMPARE(lines.takeFirst(), QStringLiteral("Files not sent: These files were not offered:"));
            lines.sort();
            QCOMPARE(lines.join('\n'), notice);
        }
        QStringList offered;
        for (const QString& peer : offeredTo)
            offered.append(uploadId(peer, path));
        offered.sort();
        QCOMPARE(count("vesk_uploads"), offered.size());
        QCOMPARE(column("select id from vesk_uploads where filesize = ? and status = 'unknown' and timesent = ? "
                        "order by id",
                        {QFileInfo(path).size(), rig->clock.nowMs()}),
                 offered);
        // Only the peers that take the file hear of it, with its whole size.
        QStringList told = rig->fileIds("newFileToDownload");
        told.sort();
        QCOMPARE(told, offered);
        for (const auto& offer : rig->sink.withAction("newFileToDownload")) {
            QCOMPARE(offer.value("fileId").toString(), uploadId(rig->nodeAt(offer.address), path));
            QCOMPARE(offer.value("fileName").toString(), QStringLiteral("f.bin"));
            QCOMPARE(offer.value("fileSize").toLongLong(), QFileInfo(path).size());
            QCOMPARE(offer.value("nodeFrom").toString(), rig->profile.id);
        }
        QCOMPARE(rig->fileIds("removeFileToGet"), QStringList()); // the same version again: nothing withdrawn
    }
    void namesInAnyScript_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::newRow("differing outside Latin-1") << QStringList{"照片.jpg", "文件.jpg", "Фото.jpg", "Дача.jpg"};
        QTest::newRow("emoji") << QStringList{"\U0001F600.txt", "\U0001F603.txt"};
        QTest::newRow("Latin-1") << QStringList{"Résumé.txt", "Resume.txt"};
    }
    // Each file is its own offer, whatever script its name is in; a name that fits in Latin-1 keeps the id that
    // offers made and stored before carry.
    void namesInAnyScript()
    {
        QFETCH(QStringList, names);
        for (const QString& name : names)
            QVERIFY(rig->pick(makeFile(name, 4)));
        rig->sendTo({"on1"});
        QStringList told = rig->fileIds("newFileToDownload");
        told.removeDuplicates();
        QCOMPARE(told.size(), names.size());
        QCOMPARE(count("vesk_uploads"), names.size());
        for (const QString& name : names) {
            const QByteArray latin1 = ("on1_" + files.filePath(name)).toLatin1();
            if (QString::fromLatin1(latin1) == "on1_" + files.filePath(name))
                QCOMPARE(uploadId("on1", files.filePath(name)),
                         QCryptographicHash::hash(latin1, QCryptographicHash::Md5).toHex());
        }
    }
    // The receiver saying it has the whole file tells the user; the receiver withdrawing does not.
    void receiverEndsTheUpload()
    {
        rig->insertUpload("f1", "on1", rig->clock.nowMs());
        rig->insertUpload("f2", "on1", rig->clock.nowMs());
        QSignalSpy delivered(&rig->outgoing, &Vesk::OutgoingOffers::delivered);
        rig->outgoing.handleRemoveFileToSend(
            TransferRig::from("on1", {{"action", "fileTransferComplete"}, {"fileId", "f1"}}));
        rig->outgoing.handleRemoveFileToSend(
            TransferRig::from("on1", {{"action", "removeFileToSend"}, {"fileId", "f2"}}));
        QCOMPARE(count("vesk_uploads"), 0);
        QCOMPARE(delivered.size(), 1);
        QCOMPARE(delivered.first(), (QVariantList{"on1", "f1.bin"}));
        QCOMPARE(rig->shell.chatPopups.size(), 1);
        QCOMPARE(rig->shell.chatPopups.first().html, QStringLiteral("Bob received <b>f1.bin</b>"));
    }
    // An offer is stored under a name that stays in the folder, shown (bounded) and confirmed; one from a blocked
    // peer or that cannot be stored is dropped. Every copy is confirmed; only a finished download becomes an offer
    // again. (A waiting or queued one offered with another size: tst_downloadfiles, partialName.)
    void receivedOffer_data()
    {
        // earlier: the status of a copy received 5 s before, stored as "movie (2).mkv" with all its 5000 bytes
        for (const char* column : {"earlier", "from", "id", "offered"})
            QTest::addColumn<QString>(column);
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("stored"); // the row then, %1 the time now, %2 5 s before; empty: dropped unanswered
        const auto add = [](const char* tag, const char* earlier, const char* from, const QString& id,
                            const QString& offered, qint64 size, const QString& stored) {
            QTest::newRow(tag) << QString(earlier) << QString(from) << id << offered << size << stored;
        };
        add("ordinary", "", "owner", "f-1", "<a:b?c*\"|>\\/.txt", 1234, "abc*.txt|1234|owner|unknown|%1|0");
        add("as long as a message", "", "owner", "f-1", QString(100000, 'n') + ".txt", 1,
            QString(196, 'n') + ".txt|1|owner|unknown|%1|0");
        add("blocked sender", "", "blocker", "b-1", "x.txt", 10, "");
        add("negative size", "", "owner", "neg", "x.txt", -1, "");
        add("5 GiB", "", "owner", "f-1", "x.txt", 5368709120, "x.txt|5368709120|owner|unknown|%1|0");
        add("absurd size", "", "owner", "big", "x.txt", TransferNames::kLargestFileSize + 1, "");
        add("over-long id", "", "owner", QString(Vesk::IncomingOffers::kMaxFileIdLength + 1, 'f'), "x.txt", 1, "");
        add("empty id", "", "owner", "", "x.txt", 1, "");
        add("again, being withdrawn", "tobedeleted", "owner", "q-1", "other.mkv", 7000,
            "movie (2).mkv|5000|owner|tobedeleted|%2|5000");
        add("again, downloaded", "downloaded", "owner", "q-1", "other.mkv", 7000,
            "movie (2).mkv|7000|owner|unknown|%1|5000");
    }
    void receivedOffer()
    {
        QFETCH(QString, earlier);
        QFETCH(QString, from);
        QFETCH(QString, id);
        QFETCH(QString, offered);
        QFETCH(qint64, size);
        QFETCH(QString, stored);
        if (!earlier.isEmpty()) {
            rig->offer(id, "movie.mkv", 5000);
            QVERIFY(exec("update vesk_downloads set status = ?, downloadsize = '5000', filename = 'movie (2).mkv'",
                         {earlier}));
            rig->store->pausedDownloads->refresh();
            rig->clock.advance(5000);
            rig->sink.clear();
            rig->shell.downloadPopups.clear();
            rig->shell.offers.clear();
        }
        MessageCatcher catcher;
        rig->incoming.handleNewFileToDownload({{"action", "newFileToDownload"},
                                               {"fileId", id},
                                               {"fileName", offered},
                                               {"fileSize", size},
                                               {"nodeFrom", from}});
        const QString now = QString::number(rig->clock.nowMs()), before = QString::number(rig->clock.nowMs() - 5000);
        QCOMPARE(column("select filename || '|' || filesize || '|' || nodefrom || '|' || status || '|' || timestamp "
                        "|| '|' || downloadsize from vesk_downloads"),
                 stored.isEmpty() ? QStringList()
                                  : QStringList{QString(stored).replace("%1", now).replace("%2", before)});
        QCOMPARE(catcher.criticals(), QStringList()); // refusals are warnings; an offer is no error
        const bool shown = stored.contains("%1");     // stored as a new offer
        QCOMPARE(rig->store->pausedDownloads->rowCount(), stored.contains("|unknown|") ? 1 : 0);
        QCOMPARE(rig->shell.downloadPopups.size(), shown ? 1 : 0);
        QCOMPARE(rig->sink.sent.size(), stored.isEmpty() ? 0 : 1);
        if (stored.isEmpty())
            return;
        QCOMPARE(rig->sink.sent.first().address, rig->ownerAddress);
        QCOMPARE(rig->sink.sent.first().parameters,
                 (Vesk::Parameters{{"action", "confirmFileToSend"}, {"fileId", id}}));
        if (!shown)
            return;
        QCOMPARE(rig->shell.downloadPopups.first().nodeId, QStringLiteral("owner"));
        QVERIFY(rig->shell.downloadPopups.first().html.contains(stored.section('|', 0, 0).toHtmlEscaped()));
        QVERIFY(rig->shell.downloadPopups.first().html.size() < 1000);
        const Vesk::OfferedItem item = rig->shell.offers.value(0);
        QCOMPARE(QStringList({item.name, QString::number(item.bytes), QString::number(item.folderFiles)}),
                 (QStringList{stored.section('|', 0, 0), QString::number(size), "-1"}));
    }
    // An offer there is no room for is neither stored, shown nor confirmed, so its owner offers it again: past the
    // files waiting from its peer or from all peers (queued ones and a folder's do not wait for the user), or when
    // the database cannot be written (a full disk).
    void offerWithoutRoomIsNotConfirmed_data()
    {
        QTest::addColumn<int>("waiting"); // rows already there, with their peer and status
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("taken");
        const int peer = Vesk::IncomingOffers::kMaxWaitingFiles, all = Vesk::IncomingOffers::kMaxWaitingFilesAll;
        QTest::newRow("the peer's bound") << peer << "owner"
                                          << "unknown" << false;
        QTest::newRow("below the peer's bound") << peer - 1 << "owner"
                                                << "unknown" << true;
        QTest::newRow("queued ones do not wait for the user") << peer << "owner"
                                                              << "queued" << true;
        QTest::newRow("all peers' bound") << all << "others"
                                          << "unknown" << false;
        QTest::newRow("the database cannot be written") << 0 << "owner"
                                                        << "unknown" << false;
    }
    void offerWithoutRoomIsNotConfirmed()
    {
        QFETCH(int, waiting);
        QFETCH(QString, from);
        QFETCH(QString, status);
        QFETCH(bool, taken);
        if (waiting == 0)
            QVERIFY(exec("pragma query_only = 1"));
        else
            QVERIFY(exec("with recursive n(i) as (select 1 union all select i + 1 from n where i < ?) insert into "
                         "vesk_downloads (id, filename, filesize, nodefrom, status, timestamp, downloadsize) select "
                         "'w' || i, 'w.txt', 1, case when ? = 'others' then 'other' || (i % 7) else ? end, ?, 1, 0 "
                         "from n",
                         {waiting, from, from, status}));
        MessageCatcher catcher;
        rig->incoming.handleNewFileToDownload({{"action", "newFileToDownload"},
                                               {"fileId", "new"},
                                               {"fileName", "new.txt"},
                                               {"fileSize", 10},
                                               {"nodeFrom", "owner"}});
        QVERIFY(exec("pragma query_only = 0"));
        QCOMPARE(count("vesk_downloads"), waiting + (taken ? 1 : 0));
        QCOMPARE(rig->fileIds("confirmFileToSend"), taken ? QStringList{"new"} : QStringList());
        QCOMPARE(rig->shell.downloadPopups.size() + rig->shell.offers.size() > 0, taken);
        QCOMPARE(catcher.criticals().filter("Refused a file from owner").size(), taken ? 0 : 1);
    }
    // Clearing all empties the lists at once and marks the rows (a finished download's goes); each tick withdraws
    // five, oldest first, told to the peer. A file of a download's name it never started into stays.
    void clearingAllWithdrawsFiveATick_data()
    {
        QTest::addColumn<bool>("uploads");
        QTest::newRow("uploads") << true;
        QTest::newRow("downloads") << false;
    }
    void clearingAllWithdrawsFiveATick()
    {
        QFETCH(bool, uploads);
        QStringList withdrawn;
        for (int i = 0; i < 12; ++i) {
            withdrawn.append(QStringLiteral("m%1").arg(i, 2, 10, QLatin1Char('0')));
            rig->clock.advance(1);
            if (uploads)
                rig->insertUpload(withdrawn.last(), "on1", rig->clock.nowMs(), i % 2 ? "sent" : "unknown");
            else
                rig->insertDownload(withdrawn.last(), "owner", i % 2 ? "queued" : "unknown");
        }
        rig->insertUpload("done", "on1", 0, "downloaded");
        rig->insertDownload("done", "owner", "downloaded");
        if (uploads)
            withdrawn.prepend("done");
        QVERIFY(writeFile(rig->path("m00.bin"), "partial"));
        const auto lists = uploads ? QList<VeskSqlQueryModel*>{rig->store->uploadsData}
                                   : QList<VeskSqlQueryModel*>{rig->store->pausedDownloads, rig->store->queuedDownloads,
                                                               rig->store->completedDownloads};
        for (VeskSqlQueryModel* list : lists)
            list->refresh();
        uploads ? rig->outgoing.clearAllPendingUploads() : rig->incoming.clearAllPendingDownloads();
        for (VeskSqlQueryModel* list : lists)
            QCOMPARE(list->rowCount(), 0);
        const QString table = uploads ? "vesk_uploads" : "vesk_downloads";
        QCOMPARE(count(table), withdrawn.size());
        QList<int> left; // rows after each tick
        for (int tick = 0; tick < 4; ++tick) {
            uploads ? rig->outgoing.deleteWithdrawnUploads() : rig->incoming.deleteWithdrawnDownloads();
            rig->settle();
            left.append(count(table));
        }
        QCOMPARE(left, (uploads ? QList<int>{8, 3, 0, 0} : QList<int>{7, 2, 0, 0}));
        QCOMPARE(rig->fileIds(uploads ? "removeFileToGet" : "removeFileToSend"), withdrawn);
        for (const auto& s : std::as_const(rig->sink.sent))
            QCOMPARE(rig->nodeAt(s.address), QString(uploads ? "on1" : "owner"));
        QCOMPARE(readFile(rig->path("m00.bin")), QByteArray("partial"));
    }
    // Each request is answered at once, at the receiver's stored address, with the bytes asked (cut only where a
    // chunk ends) and its timeSent; progress stays at the furthest packet; whole packets reuse a few buffers.
    void servingPackets_data()
    {
        QTest::addColumn<int>("window");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("size"); // asked for each time
        QTest::newRow("strict peer, one packet at a time") << 1 << qint64(0) << kPacket;
        QTest::newRow("window of 16, newest first") << 16 << qint64(0) << kPacket;
        QTest::newRow("starting inside a held chunk, quarter packets") << 1 << qint64(123457) << kPacket / 4;
    }
    void servingPackets()
    {
        QFETCH(int, window);
        QFETCH(qint64, start);
        QFETCH(qint64, size);
        const QByteArray source = pattern(37 * kPacket + 999, 9);
        QVERIFY(writeFile(files.filePath("up"), source));
        rig->insertUpload("up", "on1", 0, "sent", files.filePath("up"), source.size());
        QSet<const char*> buffers; // of whole packets
        for (qint64 next = start; next < source.size();) {
            // How far the receiver got is written now and then: the newest offset, answered first, once it is due.
            // The last window's comes from the write that follows the end of the requests.
            const bool last = next + window * size >= source.size();
            if (!last)
                rig->clock.advance(Vesk::PacketServer::kBytesSentWriteMs);
            QList<QPair<qint64, qint64>> asked; // one window, newest first: offset and the length that comes back
            for (int i = 0; i < window && next < source.size(); ++i) {
                const qint64 length = qMin(size, kPacket - next % kPacket);
                asked.prepend({next, length});
                next += length;
            }
            QByteArrayList answers; // on their way until the window is answered
            for (const auto& [seek, length] : std::as_const(asked)) {
                answers += request("up", quint32(seek), quint32(qMin(size, source.size() - seek)), 4242 + seek);
                QCOMPARE(answers.last(), source.mid(seek, length));
                if (answers.last().size() == kPacket)
                    buffers.insert(answers.last().constData());
            }
            if (last)
                QTRY_COMPARE(row("vesk_uploads", "up").value("bytessent"), QString::number(asked.first().first));
            QCOMPARE(row("vesk_uploads", "up").value("bytessent"), QString::number(asked.first().first));
        }
        QVERIFY2(buffers.size() <= window, qPrintable(QString::number(buffers.size())));
        // An upload that is gone is not served any more, even straight after its packets were.
        rig->outgoing.handleRemoveFileToSend(
            rig->fromReceiverOf("up", {{"action", "removeFileToSend"}, {"fileId", "up"}}));
        MessageCatcher catcher;
        QVERIFY(request("up", 0, kPacket).isNull());
        QVERIFY(rig->sink.sent.isEmpty());
    }
    // While the receiver's connection has no room, requests wait unread, in order and bounded; with room they are
    // answered first, before newer ones; a connection that ended takes its waiting requests with it.
    void requestsWaitForRoom()
    {
        const QByteArray source = pattern(10, 5); // a byte asked at each offset
        QVERIFY(writeFile(files.filePath("up"), source));
        rig->insertUpload("up", "on1", 0, "sent", files.filePath("up"), source.size());
        bool room = false;
        QStringList asked; // nodes whose room was looked at
        rig->packets.setRoom([&](const QString& nodeId) { return asked += nodeId, room; });
        for (int seek : {3, 1, 2})
            ask("up", seek, 1);
        QVERIFY(rig->sink.sent.isEmpty());
        QCOMPARE(rig->packets.chunks().chunkCount(), 0); // nothing read for them yet
        QCOMPARE(asked.value(0), QStringLiteral("on1"));
        room = true;
        ask("up", 7, 1); // the earlier ones go before it
        QCOMPARE(rig->sink.values("receiveDataPacket", "fileSeek"), QStringList({"3", "1", "2", "7"}));
        QCOMPARE(rig->sink.sent.first().value("binaryData").toByteArray(), source.mid(3, 1));
        QCOMPARE(rig->packets.waitingRequests("on1"), 0);
        rig->sink.clear();
        room = false;
        for (int i = 0; i < Vesk::PacketServer::kMaxWaitingRequests + 6; ++i)
            ask("up", i % 10, 1);
        QCOMPARE(rig->packets.waitingRequests("on1"), Vesk::PacketServer::kMaxWaitingRequests);
        room = true;
        rig->packets.serveWaiting("on1");
        QCOMPARE(rig->sink.values("receiveDataPacket", "fileSeek").size(), Vesk::PacketServer::kMaxWaitingRequests);
        QCOMPARE(rig->sink.values("receiveDataPacket", "fileSeek").first(), QStringLiteral("6")); // the oldest went
        rig->sink.clear();
        room = false;
        ask("up", 9, 1);
        rig->packets.dropWaiting("on1");
        room = true;
        rig->packets.serveWaiting("on1");
        QVERIFY(rig->sink.sent.isEmpty());
    }
    // Nonsense gets no answer, reads nothing and records no progress; what is logged about it stays short.
    void badRequestsGetNoAnswer_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QVariant>("bufferSize");
        QTest::addColumn<QVariant>("fileSeek");
        QTest::newRow("zero size") << "up" << QVariant(0) << QVariant(0);
        QTest::newRow("negative size") << "up" << QVariant(-1) << QVariant(0);
        QTest::newRow("more than a packet") << "up" << QVariant(kPacket + 1) << QVariant(0);
        QTest::newRow("negative offset") << "up" << QVariant(10) << QVariant(-1);
        QTest::newRow("offset at the end") << "up" << QVariant(10) << QVariant(5000);
        QTest::newRow("no offset") << "up" << QVariant(10) << QVariant();
        QTest::newRow("unknown upload") << "ghost" << QVariant(10) << QVariant(0);
        QTest::newRow("id as long as a message") << QString(1000000, 'x') << QVariant(10) << QVariant(0);
    }
    void badRequestsGetNoAnswer()
    {
        QFETCH(QString, id);
        QFETCH(QVariant, bufferSize);
        QFETCH(QVariant, fileSeek);
        QVERIFY(writeFile(files.filePath("up"), pattern(5000)));
        rig->insertUpload("up", "on1", 0, "sent", files.filePath("up"), 5000);
        MessageCatcher catcher;
        QVERIFY(request(id, fileSeek, bufferSize).isNull());
        QVERIFY(rig->sink.sent.isEmpty());
        QCOMPARE(rig->packets.chunks().chunkCount(), 0);
        QCOMPARE(row("vesk_uploads", "up").value("bytessent"), QStringLiteral("0"));
        for (const QString& line : catcher.all())
            QVERIFY2(line.size() < 300, qPrintable(line.left(300)));
        if (id != "up")
            QVERIFY(catcher.criticals().join('\n').contains("was not found"));
    }
    // A file changed since offered (size or time) is never served mixed: withdrawn and offered as it is now, or for
    // good when grown past what the peer takes. A folder's file comes again at its place in the tree (flat to a plain
    // peer), the receiver starting it afresh.
    void changedFileIsOfferedAgain_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<qint64>("newSize"); // -1: withdrawn for good
        QTest::addColumn<QString>("folder"); // empty: a file picked on its own
        QTest::newRow("unchanged") << "" << 3 * kPacket << "";
        QTest::newRow("grew") << "grow" << 3 * kPacket + 4 << "";
        QTest::newRow("rewritten, same size") << "rewrite" << 3 * kPacket << "";
        QTest::newRow("shrank") << "shrink" << kPacket + 5 << "";
        QTest::newRow("grew to 4 GiB, plain peer") << "huge" << qint64(-1) << "";
        QTest::newRow("folder's file rewritten, peer taking folders") << "rewrite" << 3 * kPacket << "as one";
        QTest::newRow("folder's file grew, peer taking folders") << "grow" << 3 * kPacket + 4 << "as one";
        QTest::newRow("folder's file rewritten, plain peer") << "rewrite" << 3 * kPacket << "flat";
    }
    void changedFileIsOfferedAgain()
    {
        QFETCH(QString, change);
        QFETCH(qint64, newSize);
        QFETCH(QString, folder);
        const QString path = files.filePath(folder.isEmpty() ? "f.bin" : "Album/sub/f.bin");
        const QByteArray source = pattern(3 * kPacket, 1);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && writeFile(path, source));
        const QString id = uploadId("on1", path);
        QVERIFY(folder.isEmpty() ? rig->pick(path) : rig->pick(files.filePath("Album")));
        rig->capabilities.of["on1"] = folder == "as one" ? quint32(Vesk::CapabilityFolders) : 0;
        rig->sendTo({"on1"});
        const QString received = "r" + column("select id from vesk_folders").value(0); // as the rig's receiver names it
        if (folder == "as one") { // the receiver has begun the folder: the first packet is on its disk
            rig->relay();
            rig->queue(received);
        } else {
            confirm(id);
        }
        QCOMPARE(request(id, 0, kPacket), source.left(kPacket));
        if (folder == "as one")
            rig->deliver(id, 0, source.left(kPacket));

        const QDateTime modified = QFileInfo(path).lastModified().addSecs(5);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        if (change == "grow")
            QVERIFY(file.seek(file.size()) && file.write("more") == 4);
        if (change == "rewrite")
            QVERIFY(file.write(pattern(3 * kPacket, 2)) == 3 * kPacket);
        if (change == "shrink" || change == "huge")
            QVERIFY(file.resize(change == "huge" ? TransferNames::kPlainSizeLimit : newSize));
        if (!change.isEmpty())
            QVERIFY(file.flush() && file.setFileTime(modified, QFileDevice::FileModificationTime));
        file.close();

        const QByteArray second = request(id, kPacket, kPacket);
        if (change.isEmpty()) {
            QCOMPARE(second, source.mid(kPacket, kPacket));
            return;
        }
        QCOMPARE(rig->sink.actions(), QStringList{"removeFileToGet"});
        QCOMPARE(rig->nodeAt(rig->sink.sent.first().address), QStringLiteral("on1"));
        if (newSize < 0) {
            QCOMPARE(count("vesk_uploads"), 0);
            QCOMPARE(rig->shell.notices, QStringList{"Files not sent: These files were not offered:\nf.bin: Bob's "
                                                     "program cannot receive files of 4 GiB or more"});
            return;
        }
        if (folder == "as one")
            rig->relay(); // the receiver drops what it has of the old version
        const auto upload = row("vesk_uploads", id);
        QCOMPARE(upload.value("filesize"), QString::number(newSize));
        QCOMPARE(upload.value("status"), QStringLiteral("unknown"));
        QCOMPARE(upload.value("modified"), QString::number(modified.toMSecsSinceEpoch()));
        QCOMPARE(upload.value("path"), folder == "as one" ? QStringLiteral("sub/f.bin") : QString());
        QVERIFY(request(id, 0, kPacket).isNull());
        QVERIFY(rig->sink.sent.isEmpty());
        rig->outgoing.resendOffers();
        if (folder == "as one") {
            QCOMPARE(rig->sink.actions(), QStringList{"newFolderToDownload"});
            rig->relay();
            const QString tree = rig->downloadsFolder() + "Album/";
            QCOMPARE(readFile(tree + "sub/f.bin"), readFile(path));
            QCOMPARE(filesIn(rig->downloadsFolder()), QStringList());
            QCOMPARE(filesIn(tree + "sub"), QStringList{"f.bin"});
            QCOMPARE(row("vesk_folders", received).value("filesize"), QString::number(newSize));
            return;
        }
        QCOMPARE(rig->sink.values("newFileToDownload", "fileSize"), QStringList{QString::number(newSize)});
        QCOMPARE(rig->sink.values("newFileToDownload", "fileName"), QStringList{"f.bin"});
        confirm(id);
        QCOMPARE(request(id, 0, kPacket), readFile(path).left(kPacket));
    }
    // The local name an offered one becomes stays in the folder and the file system takes it, also moved aside to
    // its backup name; a long name is cut to 200 bytes, keeping its suffix and whole characters.
    void names_data()
    {
        // inside: whether the offered name, used as it is, would denote a file directly in the folder.
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("safe");
        QTest::addColumn<bool>("inside");
        const QString fallback = QString::fromLatin1(TransferNames::kFallbackName);
        const auto add = [](const char* tag, const QString& offered, const QString& safe, bool inside) {
            QTest::newRow(tag) << offered << safe << inside;
        };
        add("ordinary", "Report (final).pdf", "Report (final).pdf", true);
        add("characters other systems forbid", "a:b?c*\"|<>.txt", "a:b?c*\"|<>.txt", true);
        add("climbing out", "../../etc/passwd", "....etcpasswd", false);
        add("sub folder", "/sub/x", "subx", false);
        add("windows path", "..\\Users\\x.doc", "..Usersx.doc", false);
        add("control characters", "a\nb\tc\x7f.txt", "abc.txt", true);
        add("nul", QString("a") + QChar(0) + "b", "ab", false);
        add("empty", "", fallback, false);
        add("dot", ".", fallback, false);
        add("dot dot", "..", fallback, false);
        add("blank", " \r\n", fallback, true);
        add("three dots are a name", "...", "...", true);
        const QString wide = QString(150, QChar(0x65e5)) + ".txt";
        const QString emoji = QString::fromUtf8("\xf0\x9f\x98\x80"), pairs = "a" + emoji.repeated(100);
        add("long, three bytes a character", wide, QString(65, QChar(0x65e5)) + ".txt", true);
        add("long surrogate pairs, no suffix", pairs, "a" + emoji.repeated(49), true);
    }
    void names()
    {
        QFETCH(QString, offered);
        QFETCH(QString, safe);
        QCOMPARE(TransferNames::safeLocalName(offered), safe);
        QTEST(TransferNames::staysInFolder(rig->downloadsFolder(), offered), "inside");
        QVERIFY(TransferNames::staysInFolder(rig->downloadsFolder(), safe));
        QVERIFY(writeFile(rig->downloadsFolder() + safe, "x"));
        QVERIFY(writeFile(rig->downloadsFolder() + TransferNames::backupName(safe, QDateTime::currentDateTime()), "x"));
    }
};

QTEST_GUILESS_MAIN(tst_Offers)
#include "tst_offers.moc"
