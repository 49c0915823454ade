#include "store/database.h"

#include "store/storequeries.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

using Vesk::Database;
namespace StoreQueries = Vesk::StoreQueries;
using namespace TestSupport;

// Statements on a connection of their own, as another program (or an earlier version of this one) would run them.
static bool onOwnConnection(const QString& path, const QStringList& statements, std::function<bool()> whileOpen = {})
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "other");
        db.setDatabaseName(path);
        ok = db.open();
        for (const QString& statement : statements)
            ok = ok && exec(statement, {}, db);
        ok = ok && (!whileOpen || whileOpen());
    }
    QSqlDatabase::removeDatabase("other");
    return ok;
}

class tst_Database : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder, m_path;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_folder = m_dir->path() + '/';
        m_path = Database::filePath(m_folder);
    }
    void cleanup() { Database::close(); }

    // An old file gains the later columns and keeps its rows; at every start peers are offline, queued offers paused
    // (and named, so that the program can queue them again).
    void oldFileIsMigrated()
    {
        const auto columnsOf = [](const QString& table) { // sorted: a migration adds its column at the end
            return column("select name from pragma_table_info(?) order by name", {table});
        };
        QHash<QString, QStringList> fresh;
        for (const QString& table : Database::open(m_folder + "fresh/").tables())
            fresh.insert(table, columnsOf(table));
        Database::close();
        QVERIFY(onOwnConnection(
            m_path,
            {"create table vesk_peers (id text, alias text, avatarPath text, ipAddress text, status text, "
             "unreadMessagesCount text)",
             "create table vesk_downloads (id text, status text, nodefrom text, filename text, filesize int)",
             "create table vesk_uploads (id text, url text, nodeto text, filename text, filesize int)",
             "insert into vesk_peers values ('{old}', 'Olga', 'qrc:/a.png', '10.0.0.7', 'on', '2')",
             "insert into vesk_downloads (id, status) values ('q', 'queued'), ('d', 'downloaded'), ('u', 'unknown'), "
             "('t', 'tobedeleted')"}));
        QStringList interrupted{"stale"};
        Database::open(m_folder, &interrupted);
        QCOMPARE(interrupted, QStringList{"q"});
        for (auto table = fresh.cbegin(); table != fresh.cend(); ++table)
            QCOMPARE(columnsOf(table.key()), table.value());
        QCOMPARE(column("select status from vesk_peers"), QStringList{"off"});
        QCOMPARE(column("select id || '=' || status from vesk_downloads order by id"),
                 (QStringList{"d=downloaded", "q=unknown", "t=tobedeleted", "u=unknown"}));
        QCOMPARE(row("vesk_peers", "{old}").value("alias"), QStringLiteral("Olga"));
        QVERIFY(exec("update vesk_peers set status = 'on'"));
        QCOMPARE(column(StoreQueries::kReachablePeers, {"{me}"}), QStringList{"{old}"}); // older than "blocked": not
    }

    // Not a database, or damaged: moved aside as it was, logged and replaced. An empty file is simply used.
    void damagedFileIsMovedAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason"); // empty: kept
        QTest::newRow("text") << QByteArray("my notes, not a database\n").repeated(50) << "not a SQLite";
        QVERIFY(onOwnConnection(m_dir->filePath("scratch"),
                                {"create table t (x)", "with recursive n(i) as (select 1 "
                                                       "union all select i + 1 from n where i < 2000) insert "
                                                       "into t select 'hello there' from n"}));
        QByteArray damaged = readFile(m_dir->filePath("scratch"));
        damaged.replace(2 * 4096, 4 * 4096, QByteArray(4 * 4096, 'Z'));
        QTest::newRow("damaged pages") << damaged << "damaged";
        QTest::newRow("damaged first page") << damaged.left(100) + QByteArray(4000, '\xff') << "damaged";
        QTest::newRow("empty") << QByteArray() << "";
    }
    void damagedFileIsMovedAside()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        QVERIFY(writeFile(m_path, content));
        MessageCatcher catcher;
        const QSqlDatabase db = Database::open(m_folder);
        const QStringList aside = QDir(m_folder).entryList({"vesk.data.corrupt-*"}, QDir::Files);
        QCOMPARE(aside.size(), reason.isEmpty() ? 0 : 1);
        const QString log = catcher.criticals().join('\n');
        QVERIFY2(reason.isEmpty() ? log.isEmpty()
                                  : log.contains(reason) && log.contains(m_folder + aside.first()) &&
                                        readFile(m_folder + aside.first()) == content,
                 qPrintable(log));
        QVERIFY(db.databaseName() == m_path && exec("insert into vesk_peers (id) values ('new')"));
    }

    // A file another program holds is never moved: the program runs on a database in memory, and says so.
    void lockedFileIsLeftAlone()
    {
        QVERIFY(onOwnConnection(m_path, {"create table mine (x)", "begin exclusive"}, [this] {
            MessageCatcher catcher;
            return Database::open(m_folder).isOpen() && exec("insert into vesk_peers (id) values ('still works')") &&
                   catcher.criticals().join('\n').contains("Could not open the database " + m_path) &&
                   QDir(m_folder).entryList({"vesk.data.corrupt-*"}).isEmpty();
        }));
        QVERIFY(QFileInfo::exists(m_path));
    }
};

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
