#include "store/filestandarditemmodel.h"
#include "store/securitystate.h"
#include "store/transferlists.h"
#include "store/vesksqlquerymodel.h"

#include "subsystemfixture.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QDateTime>
#include <QFile>
#include <QSqlQuery>

using namespace TestSupport;
using Vesk::FileSortFilterProxyModel;
using Vesk::FileStandardItem;
using Vesk::FileStandardItemModel;
using Vesk::kDownloadsTable;
using Vesk::kPeersTable;
using Vesk::kUploadsTable;
using Vesk::VeskSqlQueryModel;

// An id as it may arrive from the network: it must address its own row and nothing else.
static const QString kOdd = QStringLiteral("{it's \"odd\"'); drop table vesk_peers; --}");

// Reads a value as a delegate does: by the role named after the column.
static QString byName(const VeskSqlQueryModel& model, int row, const QByteArray& name)
{
    return model.data(model.index(row, 0), model.roleNames().key(name, -1)).toString();
}

// The lists the interface shows: rows read from the database, and the files picked for sending.
class tst_StoreModels : public QObject
{
    Q_OBJECT
    std::unique_ptr<SubsystemFixture> f;
    std::unique_ptr<VeskSqlQueryModel> m;

private slots:
    void init()
    {
        f = std::make_unique<SubsystemFixture>();
        f->addPeer("{a}");
        f->addPeer(kOdd, "off", "10.0.0.9", "yes");
        m = std::make_unique<VeskSqlQueryModel>();
        new QAbstractItemModelTester(m.get(), QAbstractItemModelTester::FailureReportingMode::QtTest, m.get());
    }
    void cleanup()
    {
        m.reset();
        f.reset();
    }

    // What a row tells the interface as typed values, so that no view compares the words stored in the columns:
    // exactly the program's words count, numbers survive odd text, and a word means something only in its table.
    void typedValues_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QVariantMap>("expected");
        const auto peer = [](const char* status, const char* blocked, const char* unread) {
            return QStringLiteral("select '{p}' as id, '%1' as status, '%2' as blocked, '10.0.0.1' as ipAddress, "
                                  "'%3' as unreadMessagesCount")
                .arg(status, blocked, unread);
        };
        QTest::newRow("peer on") << peer("on", "no", "3")
                                 << QVariantMap{{"online", true}, {"isBlocked", false}, {"unreadCount", 3}};
        QTest::newRow("peer off, blocked")
            << peer("off", "yes", "0") << QVariantMap{{"online", false}, {"isBlocked", true}};
        QTest::newRow("only the exact words")
            << peer("ON", "Yes", "x") << QVariantMap{{"online", false}, {"isBlocked", false}, {"unreadCount", 0}};
        QTest::newRow("chat sent") << "select 'sent' as status, '1712345678901' as timesent, 'hi' as message"
                                   << QVariantMap{{"delivered", true}, {"timesentMs", 1712345678901LL}, {"online", {}}};
        QTest::newRow("chat waiting") << "select 'unknown' as status, '1' as timesent"
                                      << QVariantMap{{"delivered", false}};
        QTest::newRow("upload sizes") << "select 'sent' as status, '5e6' as filesize, '4294967296' as bytesSent, "
                                         "'' as timesent"
                                      << QVariantMap{
                                             {"delivered", true}, {"byteSize", 5000000}, {"sentBytes", 4294967296LL}};
        QTest::newRow("sizes that are not sizes")
            << "select '-5' as filesize, 'many' as bytesSent" << QVariantMap{{"byteSize", 0}, {"sentBytes", 0}};
        // A download's "queued" is no online flag and no delivery.
        QTest::newRow("download") << "select 'queued' as status, '1200' as filesize, '17' as timestamp"
                                  << QVariantMap{
                                         {"byteSize", 1200}, {"timestampMs", 17}, {"online", {}}, {"delivered", {}}};
        // A new key waiting for the user outweighs codes compared for the old one.
        QTest::newRow("changed key") << "select 'ab12' as identityKey, 'cd34' as pendingKey, 'yes' as verified"
                                     << QVariantMap{{"security", QVariant::fromValue(Vesk::SecurityState::KeyChanged)}};
        QTest::newRow("compiled-in avatar")
            << "select ':/pics/a.png' as avatarPath" << QVariantMap{{"avatarUrl", "qrc:/pics/a.png"}};
    }
    void typedValues()
    {
        QFETCH(QString, query);
        QFETCH(QVariantMap, expected);
        m->setQuery(query, f->store->database());
        QCOMPARE(m->rowCount(), 1);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const int role = m->roleNames().key(it.key().toUtf8(), -1);
            QCOMPARE(role >= 0, it->isValid());
            if (role >= 0) {
                QCOMPARE(m->data(m->index(0, 0), role).typeId(),
                         it->typeId() == QMetaType::Int ? int(QMetaType::LongLong) : it->typeId());
                QCOMPARE(m->data(m->index(0, 0), role), *it);
            }
        }
    }

    // A peer's picture rewritten under the same name shows anew: its URL changes, and the list says so.
    void avatarRewrittenInPlace()
    {
        const QString path = f->dataFolder() + "avatar_{a} #1.png";
        QVERIFY(writeFile(path, pictureBytes(4, 4)));
        QVERIFY(exec("update vesk_peers set avatarPath = ? where id = '{a}'", {path}));
        m->setQuery("select * from vesk_peers where id = '{a}'", f->store->database());
        const QString before = byName(*m, 0, "avatarUrl");
        QVERIFY2(before.startsWith("file://") && before.contains("%23") && before.contains("?v="), qPrintable(before));

        QVERIFY(writeFile(path, pictureBytes(8, 8)));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
        file.close();
        ModelChanges changes(m.get());
        m->scheduleRefreshAll();
        QTRY_COMPARE(changes.count(), 1);
        QVERIFY(byName(*m, 0, "avatarUrl") != before);
    }

    // A row by its id, whatever the id holds: no row reads "" and changes nothing; an increment sums in SQL; a touch
    // takes the store's clock. No list changes until refreshed, yet a list reads any row as it would show it, and
    // only the program's tables can be named.
    void rowsById_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("after"); // alias, unread count, timestamp, record empty
        QTest::newRow("odd id") << kOdd << QStringList{"set", "3", "now", "false"};
        QTest::newRow("no such row") << "{nobody}" << QStringList{"", "", "", "true"};
    }
    void rowsById()
    {
        QFETCH(QString, id);
        QFETCH(QStringList, after);
        Vesk::Store& store = *f->store;
        m->setQuery("select * from vesk_peers where status = 'on'", store.database());
        ModelChanges changes(m.get());
        store.setField(kPeersTable, id, "alias", "set");
        store.incrementField(kPeersTable, id, "unreadMessagesCount", 3);
        f->clock.advance(5);
        store.touchTimestamp(kPeersTable, id);
        after.replaceInStrings("now", QString::number(f->clock.nowMs()));
        QCOMPARE(changes.count(), 0);
        const Vesk::TableRecord record = store.record(kPeersTable, id);
        QCOMPARE((QStringList{store.field(kPeersTable, id, "alias"),
                              m->readRow(kPeersTable, id).value("unreadCount").toString(),
                              store.field(kPeersTable, id, "timestamp"), QVariant(record.isEmpty()).toString()}),
                 after);
        QVERIFY(record.isEmpty() || record.value("ipAddress") == "10.0.0.9");
        QVERIFY(m->readRow("vesk_peers; drop table vesk_peers", id).isEmpty());
        // The peer lists read their own table by id alone; a list given no table reads nothing.
        QCOMPARE(store.nodesProxyData->rowById(id), m->readRow(kPeersTable, id));
        QVERIFY(m->rowById(id).isEmpty());
        store.deleteRow(kPeersTable, id);
        QVERIFY(store.record(kPeersTable, id).isEmpty());
        QCOMPARE(count("vesk_peers"), id == kOdd ? 1 : 2);
    }

    // The number of rows is a property that follows every refresh and is signalled only when it changes, so a view
    // can bind to it.
    void countFollowsRefreshes()
    {
        m->setQuery("select * from vesk_peers where status = ? and id <> ? order by id", f->store->database(),
                    {"on", kOdd});
        QSignalSpy counts(m.get(), &VeskSqlQueryModel::countChanged);
        QCOMPARE(m->property("count").toInt(), 1);
        f->addPeer("{b}");
        f->addPeer("{c}", "off");
        m->refresh();
        QCOMPARE(m->property("count").toInt(), 2);
        f->store->incrementField(kPeersTable, "{b}", "unreadMessagesCount", 2);
        m->refresh(); // same rows: no new count
        QCOMPARE(byName(*m, 1, "unreadMessagesCount"), QStringLiteral("2"));
        QVERIFY(exec("update vesk_peers set status = 'off'"));
        m->refresh();
        QCOMPARE(m->property("count").toInt(), 0);
        QCOMPARE(counts.count(), 2);
    }

    // A list of any length, once read, holds no reading of the database open, whether it was read anew or its
    // values only changed: an open reading keeps the write-ahead log from being started over, and the log then grows
    // with every write for as long as the program runs (17 MB for 600 messages beside 400 finished downloads).
    void longListKeepsNoReadingOpen()
    {
        QVERIFY(exec("with recursive n(i) as (select 1 union all select i + 1 from n where i < 1000) "
                     "insert into vesk_peers (id, alias, status) select 'p' || i, 'x', 'on' from n"));
        QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other");
        other.setDatabaseName(f->store->database().databaseName());
        QVERIFY(other.open());
        // Whether a checkpoint from another connection gets to the end of the log, which a reading kept open on an
        // older state of the database prevents.
        const auto logCanStartOver = [&other] {
            QSqlQuery q(other);
            return q.exec("pragma wal_checkpoint(TRUNCATE)") && q.next() && q.value(0).toInt() == 0;
        };
        m->setQuery("select * from vesk_peers order by id", f->store->database());
        QCOMPARE(m->rowCount(), 1002);
        f->addPeer("{b}");
        QVERIFY(logCanStartOver());
        m->refresh(); // another row: read anew
        QCOMPARE(m->rowCount(), 1003);
        QVERIFY(exec("update vesk_peers set alias = 'y' where id = 'p999'"));
        QVERIFY(logCanStartOver());
        m->refresh();                                            // the same rows, a value changed
        QCOMPARE(byName(*m, 999, "alias"), QStringLiteral("y")); // the last of the p rows, by text order
        QVERIFY(exec("update vesk_peers set alias = 'z' where id = 'p999'"));
        QVERIFY(logCanStartOver());
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase("other");
    }

    // A folder is one entry of its list, counted from its files' rows; its files (and those of a folder whose row is
    // gone) are no entries of their own but show beneath it, by path, and the counts follow a change of a file.
    // Files a.txt .. e.txt of 100 .. 500 bytes; the fourth half fetched.
    void folderEntries_data()
    {
        QTest::addColumn<int>("list"); // offered, queued, received, sending
        QTest::addColumn<QStringList>("fileStatus");
        QTest::addColumn<QList<qint64>>("counts"); // filesDone, bytesDone, then after e.txt is done
        const QString d = "downloaded";
        QTest::newRow("offered") << 0 << QStringList(5, "unknown") << QList<qint64>{0, 0, 1, 500};
        QTest::newRow("queued, 3 of 5") << 1 << QStringList{d, d, d, "queued", "queued"}
                                        << QList<qint64>{3, 600, 4, 1100};
        QTest::newRow("received") << 2 << QStringList(5, d) << QList<qint64>{5, 1500, 5, 1500};
        QTest::newRow("sending, 2 left") << 3 << QStringList{"", "", "", "sent", "sent"}
                                         << QList<qint64>{3, 800, 4, 1300};
    }
    void folderEntries()
    {
        QFETCH(int, list);
        QFETCH(QStringList, fileStatus);
        QFETCH(QList<qint64>, counts);
        const bool up = list == 3;
        const QString status = QStringList{"unknown", "queued", "downloaded", "sent"}.at(list);
        QList<FolderFile> files;
        QStringList shown;
        for (int i = 0; i < 5; ++i) {
            files.append({QStringLiteral("sub/%1.txt").arg(QChar('e' - i)), 100 * (5 - i), fileStatus.at(4 - i),
                          i == 1 ? 200 : 0});
            if (!fileStatus.at(i).isEmpty())
                shown << QStringLiteral("sub/%1.txt=%2").arg(QChar('a' + i)).arg(fileStatus.at(i) == "downloaded");
        }
        QVERIFY(addFolder("F", up ? "up" : "down", status, "{a}", "Holiday 2026", files));
        QVERIFY(addFolder("G", up ? "down" : "up", status, "{a}", "Other way", {{"x.txt", 7, status}}));
        const QString into = up ? "vesk_uploads (id, nodeto" : "vesk_downloads (id, nodefrom";
        for (const char* id : {"solo", "orphan"})
            QVERIFY(
                exec("insert into " + into + ", filename, filesize, status, folderId) values (?, '{a}', ?, 1, ?, ?)",
                     {id, id, status, QString(id) == "orphan" ? "{gone}" : ""}));
        VeskSqlQueryModel* const lists[] = {f->store->pausedDownloads, f->store->queuedDownloads,
                                            f->store->completedDownloads, f->store->uploadsData};
        for (VeskSqlQueryModel* model : lists)
            model->refresh();
        Vesk::TransferLists transfers(*f->store);
        const QList<Vesk::FolderListModel*> folders{transfers.pausedFolders(), transfers.queuedFolders(),
                                                    transfers.completedFolders(), transfers.uploadFolders()};
        const QList<QAbstractItemModel*> separate{transfers.pausedFiles(), transfers.queuedFiles(),
                                                  transfers.completedFiles(), transfers.uploadFiles()};
        QAbstractItemModelTester tester(separate[list], QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int other = 0; other < 4; ++other)
            QCOMPARE(folders[other]->rowCount(), other == list || other == 3 ? 1 : 0); // "G" goes the other way
        Vesk::FolderListModel& entries = *folders[list];
        const auto entry = [&] {
            QStringList values;
            for (const char* name : {"name", "peerAlias", "files", "byteSize", "filesDone", "bytesDone"})
                values << byName(entries, 0, name);
            return values;
        };
        QCOMPARE(entry(), (QStringList{"Holiday 2026", "alias of {a}", "5", "1500", QString::number(counts[0]),
                                       QString::number(counts[1])}));
        QCOMPARE(separate[list]->rowCount(), 1);
        QCOMPARE(separate[list]->index(0, 0).data(separate[list]->roleNames().key("id")).toString(), "solo");

        std::unique_ptr<QObject> beneath(entries.filesOf("F"));
        auto* inside = qobject_cast<VeskSqlQueryModel*>(beneath.get());
        QStringList paths;
        for (int row = 0; row < inside->rowCount(); ++row)
            paths << byName(*inside, row, "path") + "=" + byName(*inside, row, "done");
        QCOMPARE(paths.join(','), shown.join(',').replace("true", "1").replace("false", "0"));

        // e.txt arrives (a download) or the peer has it (an upload): the list that shows it is refreshed, and the
        // folder's entry and its files follow.
        if (up)
            f->store->deleteRow(kUploadsTable, "F/sub/e.txt");
        else
            f->store->setField(kDownloadsTable, "F/sub/e.txt", "status", "downloaded");
        lists[list]->refresh();
        QTRY_COMPARE(entry().mid(4), (QStringList{QString::number(counts[2]), QString::number(counts[3])}));
        QTRY_COMPARE(inside->rowCount(), int(shown.size()) - (up ? 1 : 0));
    }

    // The files picked for sending: what stays ticked when files are taken off, and the list sorted by name in
    // any case.
    void pickedFiles()
    {
        FileStandardItemModel files;
        FileSortFilterProxyModel sorted;
        sorted.setSourceModel(&files);
        QAbstractItemModelTester tester(&sorted, QAbstractItemModelTester::FailureReportingMode::QtTest);
        sorted.sort(0);
        for (const char* name : {"b.txt", "C.txt", "a.txt", "D.txt"})
            files.appendRow(new FileStandardItem(QStringLiteral("file:///f/") + name, name, 1, "", name[0] != 'C'));
        files.toggleHighlightFlag("file:///f/a.txt");
        files.removeFile("file:///f/b.txt");
        files.removeFile("file:///f/missing.txt");
        QCOMPARE(files.selectedCount(), 1);
        QStringList names;
        for (int row = 0; row < sorted.rowCount(); ++row)
            names << sorted.index(row, 0).data(FileStandardItemModel::FileNameRole).toString();
        QCOMPARE(names, (QStringList{"a.txt", "C.txt", "D.txt"}));
    }
};

QTEST_GUILESS_MAIN(tst_StoreModels)
#include "tst_storemodels.moc"
