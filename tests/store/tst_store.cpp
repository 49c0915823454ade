#include "store/store.h"

#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"
#include "subsystemfixture.h"
#include "testsupport.h"

#include <QTest>

using namespace TestSupport;

namespace {

const QString kQuoteId = QStringLiteral("{o'brien}");

QStringList modelColumn(const VeskSqlQueryModel* model, const QByteArray& name)
{
    const int role = model->roleNames().key(name, -1);
    QStringList values;
    for (int row = 0; row < model->rowCount(); ++row)
        values << model->data(model->index(row, 0), role).toString();
    return values;
}

bool addPeer(const QString& id, const QString& status, const QVariant& unread, qint64 timestamp,
             const QVariant& blocked = QStringLiteral("no"), const QString& alias = QStringLiteral("someone"))
{
    return exec("insert into vesk_peers (id, alias, avatarPath, ipAddress, status, unreadMessagesCount, sysinfo, "
                "timestamp, blocked) values (?, ?, 'qrc:/p.png', '127.0.0.9', ?, ?, 'Linux', ?, ?)",
                {id, alias, status, unread, timestamp, blocked});
}

bool addDownload(const QString& id, const QString& status, qint64 size, qint64 timestamp)
{
    return exec("insert into vesk_downloads (id, status, nodefrom, filename, filesize, downloadsize, timestamp) "
                "values (?, ?, '{peer}', ?, ?, 0, ?)",
                {id, status, QString(id + ".bin"), size, timestamp});
}

bool addUpload(const QString& id, const QString& status, qint64 bytesSent)
{
    return exec("insert into vesk_uploads (id, url, nodeto, filename, filesize, bytesSent, timesent, status) values "
                "(?, '/tmp/f', '{peer}', 'f', 100, ?, 1, ?)",
                {id, bytesSent, status});
}

bool addChat(const QString& id, const QString& from, const QString& to, qint64 timeSent)
{
    return exec("insert into vesk_chats values (?, 'text', ?, ?, 'sent', ?)",
                {id, from, to, QString::number(timeSent)});
}

} // namespace

// What the lists of the interface show, and the typed reads the features make, over a real database.
class tst_Store : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void countsFollowRows_data();
    void countsFollowRows();
    void listedPeersOrder();
    void chatHistoryShowsNewestHundredOldestFirst();
    void transferListsShowWhatTheyShould();
    void typedReads();
    void nodeAddress_data();
    void nodeAddress();

private:
    void refreshAll();

    std::unique_ptr<SubsystemFixture> f;
    const QString me = QStringLiteral("{me}");
};

void tst_Store::init()
{
    f = std::make_unique<SubsystemFixture>();
    f->store->setPeerQueries(me);
    QVERIFY(addPeer(me, "on", "0", 1, "no", "me"));
}

void tst_Store::cleanup()
{
    f.reset();
}

void tst_Store::refreshAll()
{
    for (VeskSqlQueryModel* model :
         {f->store->nodeData, f->store->nodesProxyData, f->store->uploadsData, f->store->pausedDownloads,
          f->store->queuedDownloads, f->store->completedDownloads})
        model->refresh();
}

void tst_Store::countsFollowRows_data()
{
    QTest::addColumn<QVariantList>("unreadCounts");
    QTest::addColumn<QStringList>("downloadStates");
    QTest::addColumn<int>("unread");
    QTest::addColumn<int>("pending");
    QTest::newRow("nothing") << QVariantList{} << QStringList{} << 0 << 0;
    QTest::newRow("text counts add up") << QVariantList{"3", "4", "10"} << QStringList{"unknown"} << 17 << 1;
    QTest::newRow("NULL counts") << QVariantList{QVariant()} << QStringList{"queued", "downloaded"} << 0 << 0;
    QTest::newRow("only offered is pending")
        << QVariantList{"1"} << QStringList{"unknown", "unknown", "queued", "tobedeleted", "downloaded"} << 1 << 2;
}

void tst_Store::countsFollowRows()
{
    QFETCH(QVariantList, unreadCounts);
    QFETCH(QStringList, downloadStates);
    QFETCH(int, unread);
    QFETCH(int, pending);
    for (int i = 0; i < unreadCounts.size(); ++i)
        QVERIFY(addPeer(QStringLiteral("{p%1}").arg(i), "off", unreadCounts.at(i), 1));
    for (int i = 0; i < downloadStates.size(); ++i)
        QVERIFY(addDownload(QStringLiteral("d%1").arg(i), downloadStates.at(i), 10, 1));
    QCOMPARE(f->store->totalUnreadMessages(), unread);
    QCOMPARE(f->store->pendingValidations(), pending);
}

void tst_Store::listedPeersOrder()
{
    QVERIFY(addPeer("{a}", "on", "0", 100));
    QVERIFY(addPeer("{b}", "on", "0", 300));
    QVERIFY(addPeer("{blocked}", "on", "0", 200, "yes"));
    QVERIFY(addPeer("{legacy}", "on", "0", 50, QVariant()));
    QVERIFY(addPeer("{nine}", "off", "9", 10));
    QVERIFY(addPeer("{ten}", "off", "10", 20));
    QVERIFY(addPeer("{quiet}", "off", "0", 999));
    QVERIFY(addPeer("{talked}", "off", "0", 5));
    QVERIFY(addPeer("{heard}", "off", "0", 6));
    QVERIFY(addPeer("{busy}", "on", "2", 1));
    QVERIFY(addPeer(kQuoteId, "on", "0", 0));
    // Offline people stay listed once there is a conversation with them, in either direction.
    QVERIFY(addChat("c1", me, "{talked}", 1));
    QVERIFY(addChat("c2", "{heard}", me, 1));
    refreshAll();

    // Online first; unread counts order as text, so "9" comes above "10"; never this node.
    QCOMPARE(modelColumn(f->store->nodeData, "id"), (QStringList{"{busy}", "{b}", "{blocked}", "{a}", "{legacy}",
                                                                 kQuoteId, "{nine}", "{ten}", "{heard}", "{talked}"}));
    // Online and not blocked; a row older than the blocked column counts as not blocked.
    QCOMPARE(modelColumn(f->store->nodesProxyData, "id"), (QStringList{"{busy}", "{b}", "{a}", "{legacy}", kQuoteId}));
}

void tst_Store::chatHistoryShowsNewestHundredOldestFirst()
{
    constexpr qint64 kBase = 1700000000000;
    for (int i = 0; i < 150; ++i) {
        const bool mine = i % 2 == 0;
        QVERIFY(addChat(QStringLiteral("c%1").arg(i), mine ? me : "{p}", mine ? "{p}" : me, kBase + i * 10));
        QVERIFY(addChat(QStringLiteral("q%1").arg(i), "{q}", me, kBase + i * 10 + 5));
    }
    QVERIFY(addChat("self", "{p}", "{p}", kBase + 2000)); // from and to the peer: listed once
    VeskSqlQueryModel* chats = f->store->chatsModel;
    chats->setQuery(QString::fromLatin1(StoreQueries::kChatHistory), f->store->database(), {"{p}", "{p}"});
    QCOMPARE(chats->rowCount(), 100);
    const QStringList times = modelColumn(chats, "timesent");
    QCOMPARE(times.first(), QString::number(kBase + 510));
    QCOMPARE(times.last(), QString::number(kBase + 2000));
    QStringList sorted = times;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(times, sorted);
    const QStringList ids = modelColumn(chats, "id");
    QCOMPARE(ids.count("self"), 1);
    QVERIFY(std::all_of(ids.begin(), ids.end() - 1, [](const QString& id) { return id.startsWith('c'); }));
}

void tst_Store::transferListsShowWhatTheyShould()
{
    QVERIFY(addUpload("u-small", "unknown", 5));
    QVERIFY(addUpload("u-big", "sent", 500));
    QVERIFY(addUpload("u-gone", "tobedeleted", 1000));
    QVERIFY(addDownload("p-100", "unknown", 100, 1));
    QVERIFY(addDownload("p-20", "unknown", 20, 2));
    QVERIFY(addDownload("q-3", "queued", 3, 3));
    QVERIFY(addDownload("gone", "tobedeleted", 1, 4));
    for (int i = 0; i < 15; ++i)
        QVERIFY(addDownload(QStringLiteral("done%1").arg(i), "downloaded", 1000 - i, 100 + (i * 7) % 15));
    refreshAll();
    QCOMPARE(modelColumn(f->store->uploadsData, "id"), (QStringList{"u-big", "u-small"}));
    QCOMPARE(modelColumn(f->store->pausedDownloads, "id"), (QStringList{"p-20", "p-100"})); // by size as a number
    QCOMPARE(modelColumn(f->store->queuedDownloads, "id"), QStringList{"q-3"});
    // The ten latest arrivals, newest first.
    const QStringList stamps = modelColumn(f->store->completedDownloads, "timestamp");
    QCOMPARE(stamps.size(), 10);
    for (int i = 0; i < stamps.size(); ++i)
        QCOMPARE(stamps.at(i).toLongLong(), 114 - i);
}

void tst_Store::typedReads()
{
    QVERIFY(exec("insert into vesk_peers (id, alias, avatarPath, ipAddress, status, unreadMessagesCount) values "
                 "('{old}', 'Olga', 'file:///avatars/o.png', '127.0.0.7', 'on', '0')"));
    QVERIFY(addPeer(kQuoteId, "off", "0", 1, "yes", "O'Brien"));
    QVERIFY(addDownload("file1", "downloaded", 10, 1));
    QVERIFY(addUpload("up1", "sent", 7));

    TestSupport::MessageCatcher catcher;
    QCOMPARE(f->store->peerField("{old}", "alias"), QStringLiteral("Olga"));
    QVERIFY(!f->store->isBlocked("{old}")); // NULL: older than the column
    QVERIFY(f->store->isBlocked(kQuoteId));
    QCOMPARE(f->store->peerRecord(kQuoteId).value("alias"), QStringLiteral("O'Brien"));
    QCOMPARE(f->store->downloadRecord("file1").value("status"), QStringLiteral("downloaded"));
    QCOMPARE(f->store->uploadRecord("up1").value("bytesSent"), QStringLiteral("7"));
    // Missing rows read as empty, and say nothing in the log.
    QCOMPARE(f->store->peerField("{nobody}", "alias"), QString());
    QVERIFY(!f->store->isBlocked("{nobody}"));
    QVERIFY(f->store->peerRecord("{nobody}").isEmpty());
    QVERIFY(f->store->downloadRecord("nofile").isEmpty());
    QVERIFY(f->store->uploadRecord("nofile").isEmpty());
    QCOMPARE(catcher.criticals(), QStringList());
}

void tst_Store::nodeAddress_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("expected");
    QTest::newRow("known") << "{a}"
                           << "127.0.0.5";
    QTest::newRow("unknown") << "{nobody}"
                             << "";
    QTest::newRow("empty address") << "{empty}"
                                   << "";
    QTest::newRow("garbage address") << "{garbage}"
                                     << "";
    QTest::newRow("quote in id") << kQuoteId << "127.0.0.6";
}

void tst_Store::nodeAddress()
{
    QFETCH(QString, id);
    QFETCH(QString, expected);
    const QString insert = "insert into vesk_peers (id, ipAddress) values (?, ?)";
    QVERIFY(exec(insert, {"{a}", "127.0.0.5"}));
    QVERIFY(exec(insert, {"{empty}", ""}));
    QVERIFY(exec(insert, {"{garbage}", "not an address"}));
    QVERIFY(exec(insert, {kQuoteId, "127.0.0.6"}));
    QCOMPARE(f->store->nodeAddress(id), expected.isEmpty() ? QHostAddress() : QHostAddress(expected));
}

QTEST_GUILESS_MAIN(tst_Store)
#include "tst_store.moc"
