#include "app/globals.h"

#include "app/platform.h"
#include "store/database.h"
#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"

#include "testsupport.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

using Vesk::Globals;

namespace {

constexpr qint64 kBaseTime = 1700000000000;
const QString kQuoteId = QStringLiteral("{o'brien\"); delete from vesk_peers; --}");

struct BoxSeen
{
    bool shown = false;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    bool hasParent = true;
};

constexpr int kEscape = -1;

// Answers the next modal message box by clicking one of its buttons (or pressing Escape for kEscape), and records
// what it showed.
void answerNextBox(int answer, BoxSeen* seen)
{
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->stop();
        poll->deleteLater();
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->buttons = box->standardButtons();
        seen->hasParent = box->parentWidget() != nullptr;
        if (answer == kEscape)
            QTest::keyClick(box, Qt::Key_Escape);
        else
            box->button(QMessageBox::StandardButton(answer))->click();
    });
    poll->start();
}

bool exec(const QString& statement, const QVariantList& values = {})
{
    QSqlQuery q(Database::connection());
    if (!q.prepare(statement))
        return false;
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    return q.exec();
}

QStringList column(const QString& statement, const QVariantList& values = {})
{
    QSqlQuery q(Database::connection());
    QStringList result;
    if (!q.prepare(statement))
        return {QStringLiteral("<prepare failed>")};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        return {QStringLiteral("<exec failed>")};
    while (q.next())
        result << q.value(0).toString();
    return result;
}

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
    return exec(QStringLiteral("insert into vesk_peers (id, alias, avatarPath, ipAddress, status, unreadMessagesCount, "
                               "sysinfo, timestamp, blocked) values (?, ?, 'qrc:/p.png', '127.0.0.9', ?, ?, 'Linux', "
                               "?, ?)"),
                {id, alias, status, unread, timestamp, blocked});
}

bool addDownload(const QString& id, const QString& status, qint64 size, qint64 timestamp)
{
    return exec(QStringLiteral("insert into vesk_downloads (id, status, nodefrom, filename, filesize, downloadsize, "
                               "timestamp) values (?, ?, '{peer}', ?, ?, 0, ?)"),
                {id, status, QString(id + QStringLiteral(".bin")), size, timestamp});
}

bool addUpload(const QString& id, const QString& status, qint64 bytesSent)
{
    return exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filename, filesize, bytesSent, timesent, "
                               "status) values (?, '/tmp/f', '{peer}', 'f', 100, ?, 1, ?)"),
                {id, bytesSent, status});
}

bool addChat(const QString& id, const QString& from, const QString& to, qint64 timeSent)
{
    return exec(QStringLiteral("insert into vesk_chats values (?, 'text', ?, ?, 'sent', ?)"),
                {id, from, to, QString::number(timeSent)});
}

} // namespace

class tst_GlobalsStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void modelsAndFirstQueries();
    void countsFollowRows_data();
    void countsFollowRows();
    void listedPeersOrder();
    void unreadPeerLeavesListAfterOpening();
    void chatHistoryShowsNewestHundredOldestFirst();
    void selectingSamePeerTwice();
    void completedDownloadsLimitedToTen();
    void clearedRowsAreHidden();
    void refreshPeersMarksAllOff();
    void typedReads();
    void typedReadsOfMissingRowsLogNothing();
    void nodeAddress_data();
    void nodeAddress();
    void quoteInNodeId();
    void clearAllPendingUploads_data();
    void clearAllPendingUploads();
    void clearAllPendingDownloads_data();
    void clearAllPendingDownloads();
    void blockUser_data();
    void blockUser();

private:
    Globals* g = nullptr;
    std::vector<std::unique_ptr<QAbstractItemModelTester>> m_testers;
};

void tst_GlobalsStore::initTestCase()
{
    g = Globals::instance();
    QVERIFY(g->nodeData && g->nodesProxyData && g->uploadsData && g->pausedDownloads && g->queuedDownloads &&
            g->completedDownloads && g->chatsModel);
    QCOMPARE(g->nodeData->queryText(), QString::fromLatin1(StoreQueries::kAllPeers));
    QCOMPARE(g->nodesProxyData->queryText(), QString::fromLatin1(StoreQueries::kOnlinePeers));
    for (VeskSqlQueryModel* model : {g->nodeData, g->nodesProxyData, g->uploadsData, g->pausedDownloads,
                                     g->queuedDownloads, g->completedDownloads, g->chatsModel})
        m_testers.push_back(
            std::make_unique<QAbstractItemModelTester>(model, QAbstractItemModelTester::FailureReportingMode::QtTest));

    g->init();
    // Only the store is under test: keep the retry and clean-up timers from touching the fixtures.
    for (QTimer* timer : {&g->downloadUITimer, &g->unsentChatTimer, &g->unsentUploadsTimer, &g->refreshPeersTimer,
                          &g->uploadsToDeleteTimer, &g->downloadsToDeleteTimer, &g->wakeUpTimer})
        timer->stop();
    QVERIFY(!g->hostId().isEmpty());
}

void tst_GlobalsStore::init()
{
    for (const char* table : {"vesk_peers", "vesk_chats", "vesk_downloads", "vesk_uploads"})
        QVERIFY(exec(QStringLiteral("delete from ") + QLatin1String(table)));
    QVERIFY(addPeer(g->hostId(), "on", "0", kBaseTime, "no", "me"));
    g->setCurrentSelectedChatPeer(QString());
    for (VeskSqlQueryModel* model : {g->nodeData, g->nodesProxyData, g->uploadsData, g->pausedDownloads,
                                     g->queuedDownloads, g->completedDownloads, g->chatsModel})
        model->refresh();
}

void tst_GlobalsStore::modelsAndFirstQueries()
{
    QCOMPARE(g->uploadsData->queryText(), QString::fromLatin1(StoreQueries::kUploads));
    QCOMPARE(g->pausedDownloads->queryText(), QString::fromLatin1(StoreQueries::kPausedDownloads));
    QCOMPARE(g->queuedDownloads->queryText(), QString::fromLatin1(StoreQueries::kQueuedDownloads));
    QCOMPARE(g->completedDownloads->queryText(), QString::fromLatin1(StoreQueries::kCompletedDownloads));
    QCOMPARE(g->nodeData->queryText(), QString::fromLatin1(StoreQueries::kListedPeers));
    QCOMPARE(g->nodeData->boundValues(), QVariantList{g->hostId()});
    QCOMPARE(g->nodesProxyData->queryText(), QString::fromLatin1(StoreQueries::kReachablePeers));
    QCOMPARE(g->nodesProxyData->boundValues(), QVariantList{g->hostId()});
    QCOMPARE(g->nodeData->database().connectionName(), QStringLiteral("veskdb"));
    QCOMPARE(g->nodeData->database().databaseName(), dataFolderPath() + QStringLiteral("vesk.data"));
    QCOMPARE(g->uploadsData->roleNames().value(38), QByteArray("bytesSent"));
    QCOMPARE(g->pausedDownloads->roleNames().value(35), QByteArray("nodefrom"));
    QCOMPARE(g->chatsModel->roleNames().value(34), QByteArray("message"));
}

void tst_GlobalsStore::countsFollowRows_data()
{
    QTest::addColumn<QVariantList>("unreadCounts");
    QTest::addColumn<QStringList>("downloadStates");
    QTest::addColumn<int>("unread");
    QTest::addColumn<int>("pending");
    QTest::newRow("nothing") << QVariantList{} << QStringList{} << 0 << 0;
    QTest::newRow("text counts add up") << QVariantList{"3", "4", "10"} << QStringList{"unknown"} << 17 << 1;
    QTest::newRow("NULL counts") << QVariantList{QVariant()} << QStringList{"queued", "downloaded"} << 0 << 0;
    QTest::newRow("only unknown is pending")
        << QVariantList{"1"} << QStringList{"unknown", "unknown", "queued", "tobedeleted", "downloaded"} << 1 << 2;
}

void tst_GlobalsStore::countsFollowRows()
{
    QFETCH(QVariantList, unreadCounts);
    QFETCH(QStringList, downloadStates);
    QFETCH(int, unread);
    QFETCH(int, pending);
    for (int i = 0; i < unreadCounts.size(); ++i)
        QVERIFY(addPeer(QStringLiteral("{p%1}").arg(i), "off", unreadCounts.at(i), kBaseTime));
    for (int i = 0; i < downloadStates.size(); ++i)
        QVERIFY(addDownload(QStringLiteral("d%1").arg(i), downloadStates.at(i), 10, kBaseTime));
    QCOMPARE(g->totalNumberOfUnReadMessages(), unread);
    QCOMPARE(g->numberOfPendingValidations(), pending);
    QCOMPARE(g->property("totalNumberOfUnReadMessages").toInt(), unread);
    QCOMPARE(g->property("numberOfPendingValidations").toInt(), pending);
}

void tst_GlobalsStore::listedPeersOrder()
{
    QVERIFY(addPeer("{a}", "on", "0", 100));
    QVERIFY(addPeer("{b}", "on", "0", 300));
    QVERIFY(addPeer("{blocked}", "on", "0", 200, "yes"));
    QVERIFY(addPeer("{legacy}", "on", "0", 50, QVariant()));
    QVERIFY(addPeer("{nine}", "off", "9", 10));
    QVERIFY(addPeer("{ten}", "off", "10", 20));
    QVERIFY(addPeer("{quiet}", "off", "0", 999));
    QVERIFY(addPeer("{busy}", "on", "2", 1));
    g->nodeData->refresh();
    g->nodesProxyData->refresh();

    // Online first; unread counts order as text, so "9" comes above "10".
    QCOMPARE(modelColumn(g->nodeData, "id"),
             (QStringList{"{busy}", "{b}", "{blocked}", "{a}", "{legacy}", "{nine}", "{ten}"}));
    // Online and not blocked; a row older than the blocked column counts as not blocked.
    QCOMPARE(modelColumn(g->nodesProxyData, "id"), (QStringList{"{busy}", "{b}", "{a}", "{legacy}"}));
}

void tst_GlobalsStore::unreadPeerLeavesListAfterOpening()
{
    QVERIFY(addPeer("{offline}", "off", "3", 10));
    g->nodeData->refresh();
    QCOMPARE(modelColumn(g->nodeData, "id"), QStringList{"{offline}"});
    QSignalSpy unreadChanged(g, &Globals::totalNumberOfUnReadMessagesChanged);
    g->setCurrentSelectedChatPeer("{offline}");
    QCOMPARE(unreadChanged.count(), 1);
    QCOMPARE(g->totalNumberOfUnReadMessages(), 0);
    QCOMPARE(modelColumn(g->nodeData, "id"), QStringList{"{offline}"}); // until the next refresh
    g->nodeData->refresh();
    QCOMPARE(modelColumn(g->nodeData, "id"), QStringList());
}

void tst_GlobalsStore::chatHistoryShowsNewestHundredOldestFirst()
{
    QVERIFY(addPeer("{p}", "on", "0", 1));
    for (int i = 0; i < 150; ++i) {
        const bool mine = i % 2 == 0;
        QVERIFY(addChat(QStringLiteral("c%1").arg(i), mine ? g->hostId() : "{p}", mine ? "{p}" : g->hostId(),
                        kBaseTime + i * 10));
        QVERIFY(addChat(QStringLiteral("q%1").arg(i), "{q}", g->hostId(), kBaseTime + i * 10 + 5));
    }
    QVERIFY(addChat("self", "{p}", "{p}", kBaseTime + 2000)); // from and to the peer: listed once
    g->setCurrentSelectedChatPeer("{p}");
    QCOMPARE(g->currentSelectedChatPeer(), QStringLiteral("{p}"));
    QCOMPARE(g->chatsModel->rowCount(), 100);
    const QStringList times = modelColumn(g->chatsModel, "timesent");
    QCOMPARE(times.first(), QString::number(kBaseTime + 510));
    QCOMPARE(times.at(98), QString::number(kBaseTime + 1490));
    QCOMPARE(times.last(), QString::number(kBaseTime + 2000));
    QStringList sorted = times;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(times, sorted);
    const QStringList ids = modelColumn(g->chatsModel, "id");
    QCOMPARE(ids.count("self"), 1);
    QVERIFY(std::all_of(ids.begin(), ids.end() - 1, [](const QString& id) { return id.startsWith('c'); }));
}

void tst_GlobalsStore::selectingSamePeerTwice()
{
    QVERIFY(addPeer("{p}", "off", "4", 1));
    QVERIFY(addChat("c1", "{p}", g->hostId(), kBaseTime));
    g->setCurrentSelectedTabIndex(2);

    QSignalSpy chatResets(g->chatsModel, &QAbstractItemModel::modelReset);
    QSignalSpy peerChanged(g, &Globals::currentSelectedChatPeerChanged);
    QSignalSpy unreadChanged(g, &Globals::totalNumberOfUnReadMessagesChanged);
    QSignalSpy iconsChanged(g, &Globals::updateAppIconsSignal);
    QSignalSpy proxyResets(g->nodesProxyData, &QAbstractItemModel::modelReset);
    QSignalSpy nodeResets(g->nodeData, &QAbstractItemModel::modelReset);

    g->setCurrentSelectedChatPeer("{p}");
    QCOMPARE(g->currentSelectedTabIndex(), 0);
    QCOMPARE(chatResets.count(), 1);
    QCOMPARE(peerChanged.count(), 1);
    QCOMPARE(g->chatsModel->rowCount(), 1);
    QCOMPARE(column("select unreadMessagesCount from vesk_peers where id = '{p}'"), QStringList{"0"});
    QCOMPARE(unreadChanged.count(), 1);
    QCOMPARE(iconsChanged.count(), 1);
    QCOMPARE(proxyResets.count(), 1);
    QCOMPARE(nodeResets.count(), 0);

    QVERIFY(exec("update vesk_peers set unreadMessagesCount = '2' where id = '{p}'"));
    QVERIFY(addChat("c2", "{p}", g->hostId(), kBaseTime + 1));
    g->setCurrentSelectedChatPeer("{P}"); // the same peer, written in other letters
    QCOMPARE(chatResets.count(), 1);      // not re-queried
    QCOMPARE(peerChanged.count(), 1);
    QCOMPARE(g->chatsModel->rowCount(), 1);
    QCOMPARE(unreadChanged.count(), 2);
    QCOMPARE(iconsChanged.count(), 2);
    QCOMPARE(proxyResets.count(), 2);

    g->setCurrentSelectedChatPeer("{p}");
    QCOMPARE(column("select unreadMessagesCount from vesk_peers where id = '{p}'"), QStringList{"0"});
    QCOMPARE(unreadChanged.count(), 3);

    g->setCurrentSelectedChatPeer(QString());
    QCOMPARE(peerChanged.count(), 2);
    QCOMPARE(nodeResets.count(), 1); // selecting nobody also refreshes the peer list
    QCOMPARE(g->chatsModel->rowCount(), 0);
}

void tst_GlobalsStore::completedDownloadsLimitedToTen()
{
    for (int i = 0; i < 15; ++i)
        QVERIFY(addDownload(QStringLiteral("done%1").arg(i), "downloaded", 1000 - i, kBaseTime + (i * 7) % 15));
    g->completedDownloads->refresh();
    QCOMPARE(g->completedDownloads->rowCount(), 10);
    const QStringList stamps = modelColumn(g->completedDownloads, "timestamp");
    for (int i = 0; i < stamps.size(); ++i)
        QCOMPARE(stamps.at(i).toLongLong(), kBaseTime + 14 - i);
}

void tst_GlobalsStore::clearedRowsAreHidden()
{
    QVERIFY(addUpload("u-small", "unknown", 5));
    QVERIFY(addUpload("u-big", "sent", 500));
    QVERIFY(addUpload("u-gone", "tobedeleted", 1000));
    QVERIFY(addDownload("p-100", "unknown", 100, 1));
    QVERIFY(addDownload("p-20", "unknown", 20, 2));
    QVERIFY(addDownload("q-3", "queued", 3, 3));
    QVERIFY(addDownload("gone", "tobedeleted", 1, 4));
    QVERIFY(addDownload("done", "downloaded", 1, 5));
    for (VeskSqlQueryModel* model : {g->uploadsData, g->pausedDownloads, g->queuedDownloads, g->completedDownloads})
        model->refresh();
    QCOMPARE(modelColumn(g->uploadsData, "id"), (QStringList{"u-big", "u-small"}));
    QCOMPARE(modelColumn(g->pausedDownloads, "id"), (QStringList{"p-20", "p-100"})); // by size as a number
    QCOMPARE(modelColumn(g->queuedDownloads, "id"), QStringList{"q-3"});
    QCOMPARE(modelColumn(g->completedDownloads, "id"), QStringList{"done"});
}

void tst_GlobalsStore::refreshPeersMarksAllOff()
{
    QVERIFY(addPeer("{a}", "on", "0", 1));
    QVERIFY(addPeer("{b}", "on", "1", 2));
    g->nodeData->refresh();
    g->nodesProxyData->refresh();
    QCOMPARE(g->nodesProxyData->rowCount(), 2);
    QSignalSpy proxyResets(g->nodesProxyData, &QAbstractItemModel::modelReset);
    QSignalSpy nodeResets(g->nodeData, &QAbstractItemModel::modelReset);
    g->refreshPeers();
    QCOMPARE(column("select distinct status from vesk_peers"), QStringList{"off"});
    QCOMPARE(proxyResets.count(), 1);
    QCOMPARE(nodeResets.count(), 1);
    QCOMPARE(g->nodesProxyData->rowCount(), 0);
    QCOMPARE(modelColumn(g->nodeData, "id"), QStringList{"{b}"}); // still has an unread message
}

void tst_GlobalsStore::typedReads()
{
    QVERIFY(exec("insert into vesk_peers (id, alias, avatarPath, ipAddress, status, unreadMessagesCount) values "
                 "('{old}', 'Olga', 'file:///avatars/o.png', '127.0.0.7', 'on', '0')"));
    QVERIFY(addPeer("{blocker}", "off", "0", 1, "yes", "Bo"));
    QVERIFY(addDownload("file1", "downloaded", 10, 1));
    QVERIFY(addUpload("up1", "sent", 7));

    QCOMPARE(g->getAliasForNode("{old}"), QStringLiteral("Olga"));
    QCOMPARE(g->getAvatarForNode("{old}"), QStringLiteral("file:///avatars/o.png"));
    QCOMPARE(g->getStatusForNode("{old}"), QStringLiteral("on"));
    QCOMPARE(g->getIpAddressForNode("{old}"), QStringLiteral("127.0.0.7"));
    QCOMPARE(g->getBlockedStatusForNode("{old}"), QStringLiteral("no")); // NULL: older than the column
    QCOMPARE(g->getBlockedStatusForNode("{blocker}"), QStringLiteral("yes"));
    QCOMPARE(g->getFilePathForDownloadedFile("file1"), downloadsFolderPath() + QStringLiteral("file1.bin"));
    QCOMPARE(g->getPeerRecord("{blocker}").value("alias"), QStringLiteral("Bo"));
    QCOMPARE(g->getDownloadRecord("file1").value("status"), QStringLiteral("downloaded"));
    QCOMPARE(g->getUploadRecord("up1").value("bytesSent"), QStringLiteral("7"));
}

void tst_GlobalsStore::typedReadsOfMissingRowsLogNothing()
{
    TestSupport::MessageCatcher catcher;
    QCOMPARE(g->getAliasForNode("{nobody}"), QString());
    QCOMPARE(g->getAvatarForNode("{nobody}"), QString());
    QCOMPARE(g->getStatusForNode("{nobody}"), QString());
    QCOMPARE(g->getIpAddressForNode("{nobody}"), QString());
    QCOMPARE(g->getBlockedStatusForNode("{nobody}"), QStringLiteral("no"));
    QCOMPARE(g->getFilePathForDownloadedFile("nofile"), QString());
    QVERIFY(g->getPeerRecord("{nobody}").isEmpty());
    QVERIFY(g->getDownloadRecord("nofile").isEmpty());
    QVERIFY(g->getUploadRecord("nofile").isEmpty());
    QCOMPARE(catcher.criticals(), QStringList());
}

void tst_GlobalsStore::nodeAddress_data()
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

void tst_GlobalsStore::nodeAddress()
{
    QFETCH(QString, id);
    QFETCH(QString, expected);
    const QString insert = QStringLiteral("insert into vesk_peers (id, ipAddress) values (?, ?)");
    QVERIFY(exec(insert, {"{a}", "127.0.0.5"}));
    QVERIFY(exec(insert, {"{empty}", ""}));
    QVERIFY(exec(insert, {"{garbage}", "not an address"}));
    QVERIFY(exec(insert, {kQuoteId, "127.0.0.6"}));
    const QHostAddress address = g->getNodeAddress(id);
    if (expected.isEmpty())
        QVERIFY(address.isNull());
    else
        QCOMPARE(address, QHostAddress(expected));
}

void tst_GlobalsStore::quoteInNodeId()
{
    QVERIFY(addPeer(kQuoteId, "on", "1", 5, "no", "O'Brien"));
    QVERIFY(addPeer("{other}", "on", "0", 4));
    QVERIFY(addChat("c1", kQuoteId, g->hostId(), kBaseTime));
    QVERIFY(addChat("c2", "{other}", g->hostId(), kBaseTime));
    g->nodesProxyData->refresh();
    QCOMPARE(modelColumn(g->nodesProxyData, "id"), (QStringList{kQuoteId, "{other}"}));

    g->setCurrentSelectedChatPeer(kQuoteId);
    QCOMPARE(modelColumn(g->chatsModel, "id"), QStringList{"c1"});
    QCOMPARE(g->getAliasForNode(kQuoteId), QStringLiteral("O'Brien"));
    QCOMPARE(g->totalNumberOfUnReadMessages(), 0);

    BoxSeen seen;
    answerNextBox(QMessageBox::Ok, &seen);
    g->blockUser(kQuoteId);
    QVERIFY(seen.shown);
    QCOMPARE(g->getBlockedStatusForNode(kQuoteId), QStringLiteral("yes"));
    QCOMPARE(g->getBlockedStatusForNode("{other}"), QStringLiteral("no"));
    QCOMPARE(column("select count(*) from vesk_peers"), QStringList{"3"}); // nothing else touched
    QCOMPARE(column("select count(*) from vesk_chats"), QStringList{"2"});
}

void tst_GlobalsStore::clearAllPendingUploads_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("states");
    QTest::newRow("Ok") << int(QMessageBox::Ok) << QStringList{"tobedeleted", "tobedeleted", "tobedeleted"};
    QTest::newRow("Cancel") << int(QMessageBox::Cancel) << QStringList{"sent", "tobedeleted", "unknown"};
    QTest::newRow("Escape") << kEscape << QStringList{"sent", "tobedeleted", "unknown"};
}

void tst_GlobalsStore::clearAllPendingUploads()
{
    QFETCH(int, answer);
    QFETCH(QStringList, states);
    QVERIFY(addUpload("u1", "unknown", 1));
    QVERIFY(addUpload("u2", "sent", 2));
    QVERIFY(addUpload("u3", "tobedeleted", 3));
    g->uploadsData->refresh();
    QSignalSpy resets(g->uploadsData, &QAbstractItemModel::modelReset);

    BoxSeen seen;
    answerNextBox(answer, &seen);
    g->clearAllPendingUploads();
    QVERIFY(seen.shown);
    QCOMPARE(seen.title, QStringLiteral("Clear Pending Uploads"));
    QCOMPARE(seen.text, QStringLiteral("Do you really want to clear all pending uploadings ?"));
    QCOMPARE(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QVERIFY(!seen.hasParent);

    QCOMPARE(column("select status from vesk_uploads order by status"), states);
    const bool ok = answer == QMessageBox::Ok;
    QCOMPARE(resets.count(), ok ? 1 : 0);
    QCOMPARE(g->uploadsData->rowCount(), ok ? 0 : 2);
}

void tst_GlobalsStore::clearAllPendingDownloads_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("Ok") << int(QMessageBox::Ok)
                        << QStringList{"gone=tobedeleted", "paused=tobedeleted", "queued=tobedeleted"};
    QTest::newRow("Cancel") << int(QMessageBox::Cancel)
                            << QStringList{"done=downloaded", "gone=tobedeleted", "paused=unknown", "queued=queued"};
    QTest::newRow("Escape") << kEscape
                            << QStringList{"done=downloaded", "gone=tobedeleted", "paused=unknown", "queued=queued"};
}

void tst_GlobalsStore::clearAllPendingDownloads()
{
    QFETCH(int, answer);
    QFETCH(QStringList, rows);
    QVERIFY(addDownload("paused", "unknown", 1, 1));
    QVERIFY(addDownload("queued", "queued", 2, 2));
    QVERIFY(addDownload("done", "downloaded", 3, 3));
    QVERIFY(addDownload("gone", "tobedeleted", 4, 4));
    for (VeskSqlQueryModel* model : {g->pausedDownloads, g->queuedDownloads, g->completedDownloads})
        model->refresh();

    BoxSeen seen;
    answerNextBox(answer, &seen);
    g->clearAllPendingDownloads();
    QVERIFY(seen.shown);
    QCOMPARE(seen.title, QStringLiteral("Clear Pending Downloads"));
    QCOMPARE(seen.text, QStringLiteral("Do you really want to clear all pending Downloads ?"));
    QCOMPARE(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QVERIFY(!seen.hasParent);

    QCOMPARE(column("select id || '=' || status from vesk_downloads order by id"), rows);
    const int shown = answer == QMessageBox::Ok ? 0 : 1;
    QCOMPARE(g->pausedDownloads->rowCount(), shown);
    QCOMPARE(g->queuedDownloads->rowCount(), shown);
    QCOMPARE(g->completedDownloads->rowCount(), shown);
}

void tst_GlobalsStore::blockUser_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("blocked");
    QTest::addColumn<QStringList>("reachable");
    QTest::newRow("Ok") << int(QMessageBox::Ok) << "yes" << QStringList{"{b}"};
    QTest::newRow("Cancel") << int(QMessageBox::Cancel) << "no" << QStringList{"{a}", "{b}"};
    QTest::newRow("Escape") << kEscape << "no" << QStringList{"{a}", "{b}"};
}

void tst_GlobalsStore::blockUser()
{
    QFETCH(int, answer);
    QFETCH(QString, blocked);
    QFETCH(QStringList, reachable);
    QVERIFY(addPeer("{a}", "on", "0", 2));
    QVERIFY(addPeer("{b}", "on", "0", 1));
    g->nodesProxyData->refresh();
    g->nodeData->refresh();

    BoxSeen seen;
    answerNextBox(answer, &seen);
    g->blockUser("{a}");
    QVERIFY(seen.shown);
    QCOMPARE(seen.title, QStringLiteral("Block this user"));
    QCOMPARE(seen.text, QStringLiteral("Do you really want to block this user"));
    QCOMPARE(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QVERIFY(!seen.hasParent);

    QCOMPARE(g->getBlockedStatusForNode("{a}"), blocked);
    QCOMPARE(modelColumn(g->nodesProxyData, "id"), reachable);
    // The full peer list keeps blocked peers and shows the new flag at once.
    QCOMPARE(modelColumn(g->nodeData, "blocked"), (QStringList{blocked, "no"}));
}

QTEST_MAIN(tst_GlobalsStore)
#include "tst_globalsstore.moc"
