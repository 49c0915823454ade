#include "transferrig.h"

#include "store/vesksqlquerymodel.h"
#include "transfer/transfernames.h"

using namespace TestSupport;
using Parameters = Vesk::MessageSink::Parameters;

// The receiver's side of an offer, and withdrawals from either side (the other side's handling of them is
// tested with offers and downloads).
class tst_IncomingOffers : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;

private Q_SLOTS:
    void init() { rig = std::make_unique<TransferRig>(); }
    void cleanup() { rig.reset(); }

    // An offer is stored under a name that stays in the downloads folder, shown (bounded, whatever its length)
    // and confirmed to its owner.
    void offerIsStoredShownAndConfirmed_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("stored");
        const auto add = [](const char* tag, const QString& offered, const QString& stored) {
            QTest::newRow(tag) << offered << stored;
        };
        add("ordinary", "a:b?c*.txt", "abc*.txt");
        add("climbing out", "../../.bashrc", ".....bashrc");
        add("markup", "<img src=x>.png", "img src=x.png");
        add("dot dot", "..", "received file");
        add("as long as a message", QString(100000, 'n') + ".txt", QString(196, 'n') + ".txt");
    }
    void offerIsStoredShownAndConfirmed()
    {
        QFETCH(QString, offered);
        QFETCH(QString, stored);
        rig->incoming.handleNewFileToDownload({{"action", "newFileToDownload"},
                                               {"fileId", "f-1"},
                                               {"fileName", offered},
                                               {"fileSize", quint32(1234)},
                                               {"nodeFrom", "owner"}});
        QCOMPARE(column("select filename || '|' || filesize || '|' || nodefrom || '|' || status || '|' || timestamp "
                        "|| '|' || downloadsize from vesk_downloads where id = 'f-1'"),
                 QStringList{stored + "|1234|owner|unknown|" + QString::number(rig->clock.nowMs()) + "|0"});
        QVERIFY(Vesk::TransferNames::staysInFolder(rig->downloadsFolder(), stored));
        QCOMPARE(rig->store->pausedDownloads->rowCount(), 1);
        QCOMPARE(rig->shell.downloadPopups.size(), 1);
        QCOMPARE(rig->shell.downloadPopups.first().nodeId, QStringLiteral("owner"));
        QVERIFY(rig->shell.downloadPopups.first().html.contains(stored.toHtmlEscaped()));
        QVERIFY(rig->shell.downloadPopups.first().html.size() < 1000);
        QCOMPARE(rig->sink.sent.size(), 1);
        QCOMPARE(rig->sink.sent.first().address, rig->ownerAddress);
        QCOMPARE(rig->sink.sent.first().parameters, (Parameters{{"action", "confirmFileToSend"}, {"fileId", "f-1"}}));
    }

    // Every copy of an offer is confirmed; only a finished download becomes an offer again, under its name.
    void reOffers_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("storedAgain");
        QTest::newRow("queued") << "queued" << false;
        QTest::newRow("offered") << "unknown" << false;
        QTest::newRow("being withdrawn") << "tobedeleted" << false;
        QTest::newRow("downloaded") << "downloaded" << true;
    }
    void reOffers()
    {
        QFETCH(QString, status);
        QFETCH(bool, storedAgain);
        rig->offer("q-1", "movie.mkv", 5000);
        // Received earlier under a numbered local name, as a second download of that name would be.
        QVERIFY(
            exec("update vesk_downloads set status = ?, downloadsize = '5000', filename = 'movie (2).mkv'", {status}));
        const auto before = row("vesk_downloads", "q-1");
        rig->sink.clear();
        rig->shell.downloadPopups.clear();
        rig->clock.advance(5000);
        rig->offer("q-1", "other.mkv", 7000);
        QCOMPARE(rig->fileIds("confirmFileToSend"), QStringList{"q-1"});
        QCOMPARE(rig->shell.downloadPopups.size(), storedAgain ? 1 : 0);
        auto expected = before;
        if (storedAgain) {
            expected["status"] = "unknown";
            expected["filesize"] = "7000";
            expected["timestamp"] = QString::number(rig->clock.nowMs());
        }
        QCOMPARE(row("vesk_downloads", "q-1"), expected);
    }

    void refusedOffers_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("blocked");
        QTest::newRow("blocked sender") << "b-1" << qint64(10) << "yes";
        QTest::newRow("negative size") << "neg" << qint64(-1) << "no";
        QTest::newRow("size beyond the wire") << "big" << Vesk::TransferNames::kWireSizeLimit << "no";
        QTest::newRow("over-long id") << QString(Vesk::IncomingOffers::kMaxFileIdLength + 1, 'f') << qint64(1) << "no";
        QTest::newRow("empty id") << "" << qint64(1) << "no";
    }
    void refusedOffers()
    {
        QFETCH(QString, id);
        QFETCH(qint64, size);
        QFETCH(QString, blocked);
        QVERIFY(exec("update vesk_peers set blocked = ?", {blocked}));
        rig->offer(id, "x.txt", size);
        QCOMPARE(count("vesk_downloads"), 0);
        QVERIFY(rig->sink.sent.isEmpty());
        QVERIFY(rig->shell.downloadPopups.isEmpty());
    }

    // Clearing all empties the lists at once and marks the rows (a finished download's row simply goes); each
    // tick then withdraws five, oldest first, each told to its peer. Bytes received so far stay: they are the
    // user's.
    void clearingAllWithdrawsFiveATick_data()
    {
        QTest::addColumn<bool>("uploads");
        QTest::newRow("uploads") << true;
        QTest::newRow("downloads") << false;
    }
    void clearingAllWithdrawsFiveATick()
    {
        QFETCH(bool, uploads);
        const QHostAddress receiver = rig->addPeer("receiver");
        QStringList withdrawn;
        for (int i = 0; i < 12; ++i) {
            withdrawn.append(QStringLiteral("m%1").arg(i, 2, 10, QLatin1Char('0')));
            rig->clock.advance(1);
            if (uploads)
                rig->insertUpload(withdrawn.last(), "receiver", rig->clock.nowMs(), i % 2 ? "sent" : "unknown");
            else
                rig->insertDownload(withdrawn.last(), "owner", i % 2 ? "queued" : "unknown");
        }
        rig->insertUpload("done", "receiver", 0, "downloaded");
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
        QList<qsizetype> perTick;
        for (int tick = 0; tick < 4; ++tick) {
            const qsizetype before = rig->sink.sent.size();
            uploads ? rig->outgoing.deleteWithdrawnUploads() : rig->incoming.deleteWithdrawnDownloads();
            perTick.append(rig->sink.sent.size() - before);
            rig->settle();
        }
        QCOMPARE(perTick, (uploads ? QList<qsizetype>{5, 5, 3, 0} : QList<qsizetype>{5, 5, 2, 0}));
        QCOMPARE(rig->fileIds(uploads ? "removeFileToGet" : "removeFileToSend"), withdrawn);
        for (const auto& s : std::as_const(rig->sink.sent))
            QCOMPARE(s.address, uploads ? receiver : rig->ownerAddress);
        QCOMPARE(count(table), 0);
        QCOMPARE(readFile(rig->path("m00.bin")), QByteArray("partial"));
    }
};

QTEST_GUILESS_MAIN(tst_IncomingOffers)
#include "tst_incomingoffers.moc"
