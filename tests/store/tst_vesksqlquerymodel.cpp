#include "store/vesksqlquerymodel.h"

#include "common/clock.h"
#include "store/database.h"
#include "store/storequeries.h"

#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kPeers = QStringLiteral("vesk_peers");
const QString kAllPeers = QStringLiteral("select * from vesk_peers order by id");
const QString kQuoteId = QStringLiteral("{it's \"odd\"'); drop table vesk_peers; --}");

int roleFor(const QAbstractItemModel& model, const QByteArray& name)
{
    return model.roleNames().key(name, -1);
}

int countRows(const QString& table)
{
    QSqlQuery q(Database::connection());
    if (!q.exec("select count(*) from " + table) || !q.next())
        return -1;
    return q.value(0).toInt();
}

} // namespace

class tst_VeskSqlQueryModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rolesFollowColumns();
    void rolesFollowMigratedColumnOrder();
    void dataByRole();
    void failedQueryHasNoRowsNorRoles();
    void boundValuesSurviveRefresh();
    void modelStaysConsistent();

    void getField_data();
    void getField();
    void setFieldDoesNotRefresh();
    void setFieldAndRefresh();
    void setFieldOnMissingRowInsertsNothing();
    void incrementFieldCountsAsNumber();
    void refreshTellsOnlyWhatChanged_data();
    void refreshTellsOnlyWhatChanged();
    void deleteRecord();
    void touchTimestamp();
    void getRecord();
    void getRecordMissingRowIsEmpty();
    void getRecordOnModelOfOtherTable();
    void quoteInIdIsHarmless();

    void tableRecordValue();
    void tableRecordUnknownFieldLogs_data();
    void tableRecordUnknownFieldLogs();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<VeskSqlQueryModel> m_model;
};

void tst_VeskSqlQueryModel::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QSqlDatabase db = Database::open(m_dir->path() + '/');
    QSqlQuery q(db);
    QVERIFY_SQL(q, exec("insert into vesk_peers values ('{a}', 'Ann', 'qrc:/a.png', '10.1.0.1', 'on', '0', 'Linux', "
                        "100, 'no'), ('{b}', 'Bob', 'qrc:/b.png', '10.1.0.2', 'off', '5', 'Windows', 200, NULL)"));
    m_model.reset(new VeskSqlQueryModel);
    m_model->setQuery(kAllPeers, db);
    QCOMPARE(m_model->rowCount(), 2);
}

void tst_VeskSqlQueryModel::cleanup()
{
    m_model.reset();
    Database::close();
}

void tst_VeskSqlQueryModel::rolesFollowColumns()
{
    const QHash<int, QByteArray> expected = {{33, "id"},        {34, "alias"},     {35, "avatarPath"},
                                             {36, "ipAddress"}, {37, "status"},    {38, "unreadMessagesCount"},
                                             {39, "sysinfo"},   {40, "timestamp"}, {41, "blocked"}};
    QCOMPARE(m_model->roleNames(), expected);

    m_model->setQuery(QString::fromLatin1(StoreQueries::kNoChats), Database::connection());
    QCOMPARE(m_model->rowCount(), 0);
    const QHash<int, QByteArray> chatRoles = {{33, "id"},     {34, "message"}, {35, "peerfrom"},
                                              {36, "peerto"}, {37, "status"},  {38, "timesent"}};
    QCOMPARE(m_model->roleNames(), chatRoles);
}

void tst_VeskSqlQueryModel::rolesFollowMigratedColumnOrder()
{
    cleanup();
    m_dir.reset(new QTemporaryDir);
    const QString folder = m_dir->path() + '/';
    {
        QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old");
        old.setDatabaseName(folder + "vesk.data");
        QVERIFY(old.open());
        QSqlQuery q(old);
        QVERIFY_SQL(q, exec("create table vesk_downloads ( id text, status text, nodefrom text, filename text, "
                            "filesize int, UNIQUE(id))"));
        QVERIFY_SQL(q, exec("insert into vesk_downloads values ('d1', 'unknown', '{a}', 'movie.mkv', 4096)"));
    }
    QSqlDatabase::removeDatabase("old");
    QSqlDatabase db = Database::open(folder);
    QSqlQuery q(db);
    QVERIFY_SQL(q, exec("update vesk_downloads set timestamp = 777, downloadsize = 4096"));

    VeskSqlQueryModel model;
    model.setQuery(QString::fromLatin1(StoreQueries::kPausedDownloads), db);
    QCOMPARE(model.rowCount(), 1);
    // timestamp came before downloadsize in this file's history, so the numbers differ from a fresh file's ...
    QCOMPARE(model.roleNames().value(38), QByteArray("timestamp"));
    QCOMPARE(model.roleNames().value(39), QByteArray("downloadsize"));
    // ... and a reader that goes by name still gets the right values.
    const QModelIndex row = model.index(0, 0);
    QCOMPARE(model.data(row, roleFor(model, "timestamp")).toLongLong(), 777);
    QCOMPARE(model.data(row, roleFor(model, "filename")).toString(), QStringLiteral("movie.mkv"));
    QCOMPARE(model.data(row, roleFor(model, "downloadsize")).toLongLong(), 4096);
}

void tst_VeskSqlQueryModel::dataByRole()
{
    const QModelIndex first = m_model->index(0, 0);
    QCOMPARE(m_model->data(first, 34).toString(), QStringLiteral("Ann"));
    QCOMPARE(m_model->data(first, 40).toLongLong(), 100);
    QCOMPARE(m_model->data(m_model->index(1, 3), 33).toString(), QStringLiteral("{b}")); // column of index ignored
    QVERIFY(m_model->data(m_model->index(1, 0), 41).isNull());                           // NULL blocked
    QVERIFY(!m_model->data(first, 32).isValid());                                        // column -1
    QVERIFY(!m_model->data(first, 42).isValid());                                        // past the last column
    QCOMPARE(m_model->data(m_model->index(0, 1), Qt::DisplayRole).toString(), QStringLiteral("Ann"));
}

void tst_VeskSqlQueryModel::failedQueryHasNoRowsNorRoles()
{
    TestSupport::MessageCatcher catcher;
    m_model->setQuery(QStringLiteral("select * from no_such_table"), Database::connection());
    QCOMPARE(m_model->rowCount(), 0);
    QCOMPARE(m_model->columnCount(), 0);
    QVERIFY(m_model->roleNames().isEmpty());
    QCOMPARE(catcher.criticals(), QStringList());
}

void tst_VeskSqlQueryModel::boundValuesSurviveRefresh()
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec("insert into vesk_chats values ('c1', 'hi', '{me}', '{a}', 'sent', '1000'), "
                        "('c2', 'other', '{me}', '{b}', 'sent', '1001')"));
    m_model->setQuery(QString::fromLatin1(StoreQueries::kChatHistory), Database::connection(),
                      {QStringLiteral("{a}"), QStringLiteral("{a}")});
    QCOMPARE(m_model->rowCount(), 1);
    QVERIFY_SQL(q, exec("insert into vesk_chats values ('c3', 'back', '{a}', '{me}', 'unknown', '1002'), "
                        "('c4', 'x', '{b}', '{me}', 'sent', '1003')"));
    QCOMPARE(m_model->rowCount(), 1); // models never watch the database
    m_model->refresh();
    QCOMPARE(m_model->rowCount(), 2);
    QCOMPARE(m_model->data(m_model->index(1, 0), roleFor(*m_model, "message")).toString(), QStringLiteral("back"));
}

void tst_VeskSqlQueryModel::modelStaysConsistent()
{
    QAbstractItemModelTester tester(m_model.data(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_model->setFieldAndRefresh(kPeers, "{a}", "alias", "Anna");
    m_model->deleteRecord(kPeers, "{b}");
    m_model->setQuery(QString::fromLatin1(StoreQueries::kNoChats), Database::connection());
    m_model->setQuery(QStringLiteral("select * from no_such_table"), Database::connection());
    m_model->setQuery(kAllPeers, Database::connection());
    QCOMPARE(m_model->rowCount(), 1);
}

void tst_VeskSqlQueryModel::getField_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");
    QTest::newRow("text") << "{a}"
                          << "alias"
                          << "Ann";
    QTest::newRow("int column") << "{b}"
                                << "timestamp"
                                << "200";
    QTest::newRow("NULL") << "{b}"
                          << "blocked"
                          << "";
    QTest::newRow("missing row") << "{nobody}"
                                 << "alias"
                                 << "";
    QTest::newRow("missing column") << "{a}"
                                    << "nosuchcolumn"
                                    << "";
    QTest::newRow("empty id") << ""
                              << "alias"
                              << "";
}

void tst_VeskSqlQueryModel::getField()
{
    QFETCH(QString, id);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    TestSupport::MessageCatcher catcher;
    QCOMPARE(m_model->getField(kPeers, id, field), expected);
    QCOMPARE(catcher.criticals(), QStringList());
}

void tst_VeskSqlQueryModel::setFieldDoesNotRefresh()
{
    QSignalSpy resets(m_model.data(), &QAbstractItemModel::modelReset);
    m_model->setField(kPeers, "{a}", "alias", "Anna");
    QCOMPARE(m_model->getField(kPeers, "{a}", "alias"), QStringLiteral("Anna"));
    QCOMPARE(resets.count(), 0);
    QCOMPARE(m_model->data(m_model->index(0, 0), 34).toString(), QStringLiteral("Ann"));
}

void tst_VeskSqlQueryModel::setFieldAndRefresh()
{
    QSignalSpy changes(m_model.data(), &QAbstractItemModel::dataChanged);
    m_model->setFieldAndRefresh(kPeers, "{b}", "blocked", "yes");
    QCOMPARE(changes.count(), 1);
    QCOMPARE(m_model->data(m_model->index(1, 0), roleFor(*m_model, "blocked")).toString(), QStringLiteral("yes"));
    QCOMPARE(m_model->getField(kPeers, "{a}", "blocked"), QStringLiteral("no"));
}

void tst_VeskSqlQueryModel::setFieldOnMissingRowInsertsNothing()
{
    m_model->setFieldAndRefresh(kPeers, "{nobody}", "alias", "Ghost");
    QCOMPARE(countRows(kPeers), 2);
    QCOMPARE(m_model->rowCount(), 2);
}

void tst_VeskSqlQueryModel::incrementFieldCountsAsNumber()
{
    QSignalSpy changes(m_model.data(), &QAbstractItemModel::dataChanged);
    m_model->incrementField(kPeers, "{b}", "unreadMessagesCount", 1);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(m_model->getField(kPeers, "{b}", "unreadMessagesCount"), QStringLiteral("6"));
    m_model->incrementField(kPeers, "{b}", "unreadMessagesCount", 5);
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec("select unreadMessagesCount, typeof(unreadMessagesCount) from vesk_peers where id = '{b}'"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("11"));
    QCOMPARE(q.value(1).toString(), QStringLiteral("text")); // the column keeps its text affinity
}

void tst_VeskSqlQueryModel::refreshTellsOnlyWhatChanged_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<int>("resets");
    QTest::addColumn<int>("changedRows"); // rows reported by dataChanged, first one
    QTest::addColumn<bool>("scheduled");

    QTest::newRow("nothing changed") << "update vesk_peers set alias = 'Ann' where id = '{a}'" << 0 << 0 << false;
    QTest::newRow("missing row") << "update vesk_peers set alias = 'X' where id = '{nobody}'" << 0 << 0 << false;
    QTest::newRow("a value") << "update vesk_peers set alias = 'Anna' where id = '{a}'" << 0 << 1 << false;
    QTest::newRow("another row") << "update vesk_peers set id = '{c}' where id = '{a}'" << 1 << 0 << false;
    QTest::newRow("a row goes") << "delete from vesk_peers where id = '{b}'" << 1 << 0 << false;
    QTest::newRow("scheduled value") << "update vesk_peers set sysinfo = 'BSD' where id = '{b}'" << 0 << 1 << true;
}

void tst_VeskSqlQueryModel::refreshTellsOnlyWhatChanged()
{
    QFETCH(QString, statement);
    QFETCH(int, resets);
    QFETCH(int, changedRows);
    QFETCH(bool, scheduled);
    QAbstractItemModelTester tester(m_model.data(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy resetSpy(m_model.data(), &QAbstractItemModel::modelReset);
    QSignalSpy changeSpy(m_model.data(), &QAbstractItemModel::dataChanged);
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec(statement));
    if (scheduled) {
        // A burst of requests gives one refresh, after the burst.
        for (int i = 0; i < 20; ++i)
            m_model->scheduleRefresh();
        QCOMPARE(changeSpy.count(), 0);
        QTRY_VERIFY(!m_model->refreshPending());
    } else {
        m_model->refresh();
    }
    QCOMPARE(resetSpy.count(), resets);
    QCOMPARE(changeSpy.count(), changedRows > 0 ? 1 : 0);
    if (changedRows > 0) {
        const auto range = changeSpy.first();
        QCOMPARE(range.at(1).value<QModelIndex>().row() - range.at(0).value<QModelIndex>().row() + 1, changedRows);
    }
    // What the model shows is what the database holds, whichever way it was told.
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QString id = m_model->data(m_model->index(row, 0), roleFor(*m_model, "id")).toString();
        QCOMPARE(m_model->data(m_model->index(row, 0), roleFor(*m_model, "alias")).toString(),
                 m_model->getField(kPeers, id, "alias"));
        QCOMPARE(m_model->data(m_model->index(row, 0), roleFor(*m_model, "sysinfo")).toString(),
                 m_model->getField(kPeers, id, "sysinfo"));
    }
    QCOMPARE(m_model->rowCount(), countRows(kPeers));
}

void tst_VeskSqlQueryModel::deleteRecord()
{
    QSignalSpy resets(m_model.data(), &QAbstractItemModel::modelReset);
    m_model->deleteRecord(kPeers, "{a}");
    QCOMPARE(resets.count(), 1);
    QCOMPARE(m_model->rowCount(), 1);
    QVERIFY(m_model->getRecord(kPeers, "{a}").isEmpty());
    m_model->deleteRecord(kPeers, "{nobody}");
    QCOMPARE(countRows(kPeers), 1);
}

void tst_VeskSqlQueryModel::touchTimestamp()
{
    Vesk::ManualClock clock(1712345678901);
    m_model->setClock(clock);
    QSignalSpy resets(m_model.data(), &QAbstractItemModel::modelReset);
    m_model->touchTimestamp(kPeers, "{a}");
    QCOMPARE(resets.count(), 0);
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec("select timestamp, typeof(timestamp) from vesk_peers where id = '{a}'"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toLongLong(), 1712345678901);
    QCOMPARE(q.value(1).toString(), QStringLiteral("integer"));
    QCOMPARE(m_model->getField(kPeers, "{b}", "timestamp"), QStringLiteral("200"));
}

void tst_VeskSqlQueryModel::getRecord()
{
    TestSupport::MessageCatcher catcher;
    const TableRecord peer = m_model->getRecord(kPeers, "{a}");
    QVERIFY(!peer.isEmpty());
    QCOMPARE(peer.table(), kPeers);
    QCOMPARE(peer.fields().size(), 9);
    QCOMPARE(peer.value("alias"), QStringLiteral("Ann"));
    QCOMPARE(peer.value("ipAddress"), QStringLiteral("10.1.0.1"));
    QCOMPARE(peer.value("timestamp"), QStringLiteral("100"));
    QCOMPARE(peer.value("blocked"), QStringLiteral("no"));
    QCOMPARE(m_model->getRecord(kPeers, "{b}").value("blocked"), QString());
    QCOMPARE(catcher.criticals(), QStringList());
}

void tst_VeskSqlQueryModel::getRecordMissingRowIsEmpty()
{
    const TableRecord nobody = m_model->getRecord(kPeers, "{nobody}");
    QVERIFY(nobody.isEmpty());
    QCOMPARE(nobody.table(), kPeers);
    QVERIFY(m_model->getRecord("no_such_table", "{a}").isEmpty());
}

void tst_VeskSqlQueryModel::getRecordOnModelOfOtherTable()
{
    // Values are labelled with the columns of the row read, not of whatever this model lists.
    m_model->setQuery(QString::fromLatin1(StoreQueries::kNoChats), Database::connection());
    const TableRecord peer = m_model->getRecord(kPeers, "{b}");
    QCOMPARE(peer.value("alias"), QStringLiteral("Bob"));
    QCOMPARE(peer.value("sysinfo"), QStringLiteral("Windows"));
}

void tst_VeskSqlQueryModel::quoteInIdIsHarmless()
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, prepare("insert into vesk_peers (id, alias, unreadMessagesCount) values (?, 'Quinn', '0')"));
    q.bindValue(0, kQuoteId);
    QVERIFY_SQL(q, exec());

    m_model->setFieldAndRefresh(kPeers, kQuoteId, "alias", "Quinn Q");
    QCOMPARE(m_model->getField(kPeers, kQuoteId, "alias"), QStringLiteral("Quinn Q"));
    m_model->incrementField(kPeers, kQuoteId, "unreadMessagesCount", 2);
    QCOMPARE(m_model->getRecord(kPeers, kQuoteId).value("unreadMessagesCount"), QStringLiteral("2"));
    m_model->setQuery(QString::fromLatin1(StoreQueries::kChatHistory), Database::connection(), {kQuoteId, kQuoteId});
    QCOMPARE(m_model->rowCount(), 0);
    m_model->deleteRecord(kPeers, kQuoteId);
    QCOMPARE(countRows(kPeers), 2); // the table and the other rows are untouched
    QCOMPARE(m_model->getField(kPeers, "{a}", "alias"), QStringLiteral("Ann"));
}

void tst_VeskSqlQueryModel::tableRecordValue()
{
    TableRecord record(QStringLiteral("vesk_uploads"));
    QVERIFY(record.isEmpty());
    record.insert("filename", "a.txt");
    record.insert("filename", "b.txt");
    record.insert("status", "");
    QVERIFY(!record.isEmpty());
    TestSupport::MessageCatcher catcher;
    const TableRecord copy = record;
    QCOMPARE(copy.value("filename"), QStringLiteral("b.txt"));
    QCOMPARE(copy.value("status"), QString());
    QCOMPARE(catcher.criticals(), QStringList());
}

void tst_VeskSqlQueryModel::tableRecordUnknownFieldLogs_data()
{
    QTest::addColumn<bool>("empty");
    QTest::newRow("row without that column") << false;
    QTest::newRow("no row") << true;
}

void tst_VeskSqlQueryModel::tableRecordUnknownFieldLogs()
{
    QFETCH(bool, empty);
    TableRecord record(QStringLiteral("vesk_peers"));
    if (!empty)
        record.insert("alias", "Ann");
    TestSupport::MessageCatcher catcher;
    QCOMPARE(record.value("filename"), QString());
    QCOMPARE(catcher.criticals(), QStringList{"invalid field filename for table vesk_peers"});
}

QTEST_GUILESS_MAIN(tst_VeskSqlQueryModel)
#include "tst_vesksqlquerymodel.moc"
