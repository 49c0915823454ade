#include "transferrig.h"

#include "store/vesksqlquerymodel.h"
#include "transfer/transfernames.h"

#include <QSignalSpy>

using namespace TestSupport;
using Parameters = Vesk::MessageSink::Parameters;

namespace {

const QString kUploads = QStringLiteral("vesk_uploads");
const QString kDownloads = QStringLiteral("vesk_downloads");

} // namespace

// The receiver's side of an offer, and withdrawals from either side.
class tst_IncomingOffers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void receivedOfferIsStoredShownAndConfirmed();
    void offeredNamesAreStoredSafely_data();
    void offeredNamesAreStoredSafely();
    void reOffers_data();
    void reOffers();
    void refusedOffers_data();
    void refusedOffers();
    void overLongNameIsBounded();
    void withdrawalsTellTheOtherSideAndKeepTheFile();
    void eachSideRemovesTheOtherSidesRow();
    void markedRowsGoFiveAtATime_data();
    void markedRowsGoFiveAtATime();
    void clearingAllHidesEveryRowAtOnce_data();
    void clearingAllHidesEveryRowAtOnce();

private:
    std::unique_ptr<TransferRig> rig;
};

void tst_IncomingOffers::init()
{
    rig = std::make_unique<TransferRig>();
    rig->addPeer("owner");
}

void tst_IncomingOffers::cleanup()
{
    rig.reset();
}

void tst_IncomingOffers::receivedOfferIsStoredShownAndConfirmed()
{
    QSignalSpy pendingSpy(&rig->incoming, &Vesk::IncomingOffers::pendingCountChanged);
    rig->incoming.handleNewFileToDownload({{"action", "newFileToDownload"},
                                           {"fileId", "f-1"},
                                           {"fileName", "a:b?c*.txt"},
                                           {"fileSize", quint32(1234)},
                                           {"nodeFrom", "owner"}});

    QCOMPARE(row(kDownloads, "f-1"), (QHash<QString, QString>{{"id", "f-1"},
                                                              {"filename", "abc*.txt"},
                                                              {"filesize", "1234"},
                                                              {"nodefrom", "owner"},
                                                              {"status", "unknown"},
                                                              {"timestamp", QString::number(rig->clock.nowMs())},
                                                              {"downloadsize", "0"}}));
    QCOMPARE(rig->store->pausedDownloads->rowCount(), 1);
    QVERIFY(!pendingSpy.isEmpty());
    QCOMPARE(rig->shell.downloadPopups.size(), 1);
    QCOMPARE(rig->shell.downloadPopups.first().nodeId, QStringLiteral("owner"));
    QVERIFY(rig->shell.downloadPopups.first().html.contains("abc*.txt"));
    QCOMPARE(rig->sink.sent.size(), 1);
    QCOMPARE(rig->nodeAt(rig->sink.sent.first().address), QStringLiteral("owner"));
    QCOMPARE(rig->sink.sent.first().parameters, (Parameters{{"action", "confirmFileToSend"}, {"fileId", "f-1"}}));
}

void tst_IncomingOffers::offeredNamesAreStoredSafely_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("stored");
    QTest::newRow("empty") << ""
                           << "received file";
    QTest::newRow("dot dot") << ".."
                             << "received file";
    QTest::newRow("separators only") << "/\\"
                                     << "received file";
    QTest::newRow("climbing out") << "../../.bashrc"
                                  << ".....bashrc";
    QTest::newRow("markup") << "<img src=x>.png"
                            << "img src=x.png";
    QTest::newRow("line break") << "two\nlines.txt"
                                << "twolines.txt";
}

void tst_IncomingOffers::offeredNamesAreStoredSafely()
{
    QFETCH(QString, offered);
    QFETCH(QString, stored);
    rig->incoming.processNewFileToBeReceived("safe-1", offered, "owner", 10);
    const QString name = row(kDownloads, "safe-1").value("filename");
    QCOMPARE(name, stored);
    QVERIFY(Vesk::TransferNames::staysInFolder(rig->downloadsFolder(), name));
    QCOMPARE(rig->fileIds("confirmFileToSend"), QStringList{"safe-1"});
}

void tst_IncomingOffers::reOffers_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("storedAgain");
    QTest::newRow("queued") << "queued" << false;
    QTest::newRow("offered") << "unknown" << false;
    QTest::newRow("being withdrawn") << "tobedeleted" << false;
    QTest::newRow("downloaded") << "downloaded" << true;
}

void tst_IncomingOffers::reOffers()
{
    QFETCH(QString, status);
    QFETCH(bool, storedAgain);
    rig->incoming.processNewFileToBeReceived("q-1", "movie.mkv", "owner", 5000);
    // Received earlier under a numbered local name, as a second download of that name would be.
    QVERIFY(exec("update vesk_downloads set status = ?, downloadsize = '5000', filename = 'movie (2).mkv'", {status}));
    const auto before = row(kDownloads, "q-1");
    rig->sink.clear();
    rig->shell.downloadPopups.clear();
    rig->clock.advance(5000);

    rig->incoming.processNewFileToBeReceived("q-1", "other.mkv", "owner", 7000);

    // Every copy is confirmed; only a finished download becomes an offer again, under the name it has.
    QCOMPARE(rig->fileIds("confirmFileToSend"), QStringList{"q-1"});
    QCOMPARE(rig->shell.downloadPopups.size(), storedAgain ? 1 : 0);
    if (!storedAgain) {
        QCOMPARE(row(kDownloads, "q-1"), before);
        return;
    }
    const auto download = row(kDownloads, "q-1");
    QCOMPARE(download.value("status"), QStringLiteral("unknown"));
    QCOMPARE(download.value("filesize"), QStringLiteral("7000"));
    QCOMPARE(download.value("timestamp"), QString::number(rig->clock.nowMs()));
    QCOMPARE(download.value("filename"), QStringLiteral("movie (2).mkv"));
}

void tst_IncomingOffers::refusedOffers_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("blocked");
    QTest::newRow("blocked sender") << "b-1" << qint64(10) << "yes";
    QTest::newRow("negative size") << "neg" << qint64(-1) << "no";
    QTest::newRow("size beyond the wire") << "big" << Vesk::TransferNames::kWireSizeLimit << "no";
    QTest::newRow("over-long id") << QString(Vesk::IncomingOffers::kMaxFileIdLength + 1, 'f') << qint64(1) << "no";
}

void tst_IncomingOffers::refusedOffers()
{
    QFETCH(QString, id);
    QFETCH(qint64, size);
    QFETCH(QString, blocked);
    QVERIFY(exec("update vesk_peers set blocked = ?", {blocked}));
    QSignalSpy pendingSpy(&rig->incoming, &Vesk::IncomingOffers::pendingCountChanged);
    rig->incoming.processNewFileToBeReceived(id, "x.txt", "owner", size);
    QCOMPARE(count(kDownloads), 0);
    QVERIFY(rig->sink.sent.isEmpty());
    QVERIFY(rig->shell.downloadPopups.isEmpty());
    QCOMPARE(pendingSpy.size(), 0);
}

void tst_IncomingOffers::overLongNameIsBounded()
{
    const QString id(Vesk::IncomingOffers::kMaxFileIdLength, 'e');
    rig->incoming.processNewFileToBeReceived(id, QString(100000, 'n') + ".txt", "owner", 1);
    const QString stored = row(kDownloads, id).value("filename");
    QVERIFY(stored.endsWith(".txt"));
    QVERIFY(stored.toUtf8().size() <= 200);
    QVERIFY(rig->shell.downloadPopups.first().html.size() < 1000);
    QCOMPARE(rig->fileIds("confirmFileToSend"), QStringList{id});
}

void tst_IncomingOffers::withdrawalsTellTheOtherSideAndKeepTheFile()
{
    rig->addPeer("receiver");
    rig->insertUpload("w-1", "receiver", rig->clock.nowMs());
    rig->insertUpload("w-2", "receiver", rig->clock.nowMs());
    rig->store->uploadsData->refresh();
    rig->outgoing.deleteFileToSend("w-1");
    QCOMPARE(column("select id from vesk_uploads"), QStringList{"w-2"});
    QCOMPARE(rig->store->uploadsData->rowCount(), 1);
    QCOMPARE(rig->sink.sent.size(), 1);
    QCOMPARE(rig->nodeAt(rig->sink.sent.first().address), QStringLiteral("receiver"));
    QCOMPARE(rig->sink.sent.first().parameters, (Parameters{{"action", "removeFileToGet"}, {"fileId", "w-1"}}));

    rig->sink.clear();
    rig->incoming.processNewFileToBeReceived("k-1", "keep.txt", "owner", 100);
    QVERIFY(writeFile(rig->downloadsFolder() + "keep.txt", "partial"));
    rig->sink.clear();
    rig->incoming.deleteFileToDownload("k-1");
    QCOMPARE(count(kDownloads), 0);
    QCOMPARE(rig->store->pausedDownloads->rowCount(), 0);
    QCOMPARE(rig->nodeAt(rig->sink.sent.first().address), QStringLiteral("owner"));
    QCOMPARE(rig->sink.sent.first().parameters, (Parameters{{"action", "removeFileToSend"}, {"fileId", "k-1"}}));
    // What arrived so far stays where it is: it is the user's.
    QCOMPARE(readFile(rig->downloadsFolder() + "keep.txt"), QByteArray("partial"));
    rig->settle();
}

void tst_IncomingOffers::eachSideRemovesTheOtherSidesRow()
{
    // One database plays both sides: the owner's upload and the receiver's download share their id. Whichever
    // side withdraws, the message it sends removes the other side's row.
    for (const bool fromOwner : {true, false}) {
        QVERIFY(exec("delete from vesk_uploads") && exec("delete from vesk_downloads"));
        rig->insertUpload("both", "receiver", rig->clock.nowMs());
        rig->insertDownload("both", "owner", "queued");
        rig->sink.clear();
        if (fromOwner)
            rig->outgoing.deleteFileToSend("both");
        else
            rig->incoming.deleteFileToDownload("both");
        QCOMPARE(count(fromOwner ? kUploads : kDownloads), 0);
        QCOMPARE(count(fromOwner ? kDownloads : kUploads), 1);
        QCOMPARE(rig->sink.sent.size(), 1);
        const Parameters message = rig->sink.sent.first().parameters;
        if (fromOwner)
            rig->incoming.handleRemoveFileToGet(message);
        else
            rig->outgoing.handleRemoveFileToSend(message);
        QCOMPARE(count(kUploads) + count(kDownloads), 0);
        rig->settle();
    }
}

void tst_IncomingOffers::markedRowsGoFiveAtATime_data()
{
    QTest::addColumn<bool>("uploads");
    QTest::newRow("uploads") << true;
    QTest::newRow("downloads") << false;
}

void tst_IncomingOffers::markedRowsGoFiveAtATime()
{
    QFETCH(bool, uploads);
    QStringList expected;
    for (int i = 0; i < 12; ++i) {
        const QString id = QStringLiteral("m%1").arg(i, 2, 10, QLatin1Char('0'));
        expected.append(id);
        rig->clock.advance(1); // oldest first
        if (uploads)
            rig->insertUpload(id, "owner", rig->clock.nowMs(), "tobedeleted");
        else
            rig->insertDownload(id, "owner", "tobedeleted");
    }
    if (uploads)
        rig->insertUpload("unmarked", "owner", rig->clock.nowMs() - 1000);
    else
        rig->insertDownload("unmarked", "owner", "unknown");

    QList<int> perRound;
    for (int round = 0; round < 4; ++round) {
        const qsizetype before = rig->sink.sent.size();
        if (uploads)
            rig->outgoing.deleteWithdrawnUploads();
        else
            rig->incoming.deleteWithdrawnDownloads();
        perRound.append(int(rig->sink.sent.size() - before));
        rig->settle();
    }
    QCOMPARE(perRound, (QList<int>{5, 5, 2, 0}));
    QCOMPARE(rig->fileIds(uploads ? "removeFileToGet" : "removeFileToSend"), expected);
    QCOMPARE(column(uploads ? "select id from vesk_uploads" : "select id from vesk_downloads"),
             QStringList{"unmarked"});
}

void tst_IncomingOffers::clearingAllHidesEveryRowAtOnce_data()
{
    QTest::addColumn<bool>("uploads");
    QTest::newRow("uploads") << true;
    QTest::newRow("downloads") << false;
}

void tst_IncomingOffers::clearingAllHidesEveryRowAtOnce()
{
    QFETCH(bool, uploads);
    const QList<VeskSqlQueryModel*> lists =
        uploads ? QList<VeskSqlQueryModel*>{rig->store->uploadsData}
                : QList<VeskSqlQueryModel*>{rig->store->pausedDownloads, rig->store->queuedDownloads,
                                            rig->store->completedDownloads};
    for (const char* status : {"unknown", "queued", "sent", "downloaded", "tobedeleted"}) {
        if (uploads)
            rig->insertUpload(status, "owner", rig->clock.nowMs());
        else
            rig->insertDownload(status, "owner", status);
    }
    for (VeskSqlQueryModel* list : lists)
        list->refresh();

    if (uploads)
        rig->outgoing.clearAllPendingUploads();
    else
        rig->incoming.clearAllPendingDownloads();

    // Every list is empty at once; a finished download's row is simply gone, every other row waits to be
    // withdrawn, and nothing is told to the peer yet.
    for (VeskSqlQueryModel* list : lists)
        QCOMPARE(list->rowCount(), 0);
    const QStringList marked = uploads ? QStringList{"downloaded", "queued", "sent", "tobedeleted", "unknown"}
                                       : QStringList{"queued", "sent", "tobedeleted", "unknown"};
    const QString table = uploads ? kUploads : kDownloads;
    QCOMPARE(column("select id from " + table + " where status = 'tobedeleted' order by id"), marked);
    QCOMPARE(count(table), marked.size());
    QVERIFY(rig->sink.sent.isEmpty());
}

QTEST_GUILESS_MAIN(tst_IncomingOffers)
#include "tst_incomingoffers.moc"
