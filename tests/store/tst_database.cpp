#include "store/database.h"
#include "store/storequeries.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QStringList columnsOf(const QSqlDatabase& db, const QString& table)
{
    QStringList names;
    const QSqlRecord record = db.record(table);
    for (int i = 0; i < record.count(); ++i)
        names << record.fieldName(i);
    return names;
}

QStringList tablesOf(const QSqlDatabase& db)
{
    QStringList tables = db.tables();
    tables.sort();
    return tables;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Root ignores file permissions; dropping CAP_DAC_OVERRIDE from this thread's effective set makes a 0444 file
// really read-only for the code under test, which opens it on this thread.
class DacOverrideDropped
{
public:
    DacOverrideDropped()
    {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        m_header.pid = 0;
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        reduced[0].effective &= ~(1u << CAP_DAC_READ_SEARCH);
        reduced[0].effective &= ~(1u << CAP_FOWNER);
        m_active = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~DacOverrideDropped()
    {
        if (m_active)
            syscall(SYS_capset, &m_header, m_saved);
    }

private:
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
    bool m_active = false;
};

const QStringList kFreshPeerColumns = {
    "id", "alias", "avatarPath", "ipAddress", "status", "unreadMessagesCount", "sysinfo", "timestamp", "blocked"};

} // namespace

class tst_Database : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshFileGetsFourTables_data();
    void freshFileGetsFourTables();
    void freshFileLogsNothing();
    void journalIsWalWithNormalSync();
    void oldVersionFileIsMigrated();
    void startupResets();
    void queriesUseIndexes_data();
    void queriesUseIndexes();
    void unusableFileIsMovedAside_data();
    void unusableFileIsMovedAside();
    void emptyFileIsKept();
    void unwritableFolderFallsBackToMemory();
    void readOnlyFileStillReads();

private:
    void createOldVersionFile();

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_folder;
};

void tst_Database::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path() + QLatin1Char('/');
}

void tst_Database::cleanup()
{
    Database::close();
    QVERIFY(!QSqlDatabase::contains(QLatin1String(Database::kConnectionName)));
}

void tst_Database::freshFileGetsFourTables_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("columns");
    QTest::newRow("peers") << "vesk_peers" << kFreshPeerColumns;
    QTest::newRow("chats") << "vesk_chats" << QStringList{"id", "message", "peerfrom", "peerto", "status", "timesent"};
    QTest::newRow("downloads") << "vesk_downloads" << QStringList{"id",       "status",       "nodefrom", "filename",
                                                                  "filesize", "downloadsize", "timestamp"};
    QTest::newRow("uploads") << "vesk_uploads" << QStringList{"id",       "url",       "nodeto",   "filename",
                                                              "filesize", "bytesSent", "timesent", "status"};
}

void tst_Database::freshFileGetsFourTables()
{
    QFETCH(QString, table);
    QFETCH(QStringList, columns);
    QSqlDatabase db = Database::open(m_folder);
    QVERIFY(db.isOpen());
    QCOMPARE(db.connectionName(), QStringLiteral("veskdb"));
    QCOMPARE(db.databaseName(), m_folder + QStringLiteral("vesk.data"));
    QVERIFY(QFileInfo::exists(m_folder + QStringLiteral("vesk.data")));
    QCOMPARE(tablesOf(db), (QStringList{"vesk_chats", "vesk_downloads", "vesk_peers", "vesk_uploads"}));
    QCOMPARE(columnsOf(db, table), columns);
    QVERIFY(Database::connection().isOpen());
}

void tst_Database::freshFileLogsNothing()
{
    TestSupport::MessageCatcher catcher;
    Database::open(m_folder);
    QCOMPARE(catcher.criticals(), QStringList());
    Database::close();
    // A second start on the same file runs every migration against existing columns: still silent.
    Database::open(m_folder);
    QCOMPARE(catcher.criticals(), QStringList());
    QCOMPARE(columnsOf(Database::connection(), "vesk_peers"), kFreshPeerColumns);
}

void tst_Database::journalIsWalWithNormalSync()
{
    QSqlQuery q(Database::open(m_folder));
    QVERIFY_SQL(q, exec("pragma journal_mode"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("wal"));
    QVERIFY_SQL(q, exec("pragma synchronous"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 1); // NORMAL
}

void tst_Database::createOldVersionFile()
{
    {
        QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old");
        old.setDatabaseName(m_folder + "vesk.data");
        QVERIFY(old.open());
        QSqlQuery q(old);
        QVERIFY_SQL(q, exec("create table vesk_peers ( id text, alias text , avatarPath text, ipAddress text, "
                            "status text, unreadMessagesCount text, UNIQUE(id))"));
        QVERIFY_SQL(q, exec("create table vesk_downloads ( id text, status text, nodefrom text, filename text, "
                            "filesize int, UNIQUE(id))"));
        QVERIFY_SQL(q, exec("create table vesk_uploads ( id text, url text, nodeto text , filename text, "
                            "filesize int, UNIQUE(id))"));
        QVERIFY_SQL(q,
                    exec("insert into vesk_peers values ('{old-peer}', 'Old', 'qrc:/a.png', '10.0.0.7', 'on', '2')"));
        QVERIFY_SQL(q, exec("insert into vesk_downloads values ('d1', 'queued', '{old-peer}', 'a.bin', 500)"));
        QVERIFY_SQL(q, exec("insert into vesk_uploads values ('u1', '/tmp/a.bin', '{old-peer}', 'a.bin', 500)"));
    }
    QSqlDatabase::removeDatabase("old");
}

void tst_Database::oldVersionFileIsMigrated()
{
    createOldVersionFile();
    TestSupport::MessageCatcher catcher;
    QSqlDatabase db = Database::open(m_folder);
    QCOMPARE(catcher.criticals(), QStringList());

    // Added columns sit at the end, in the order the migrations added them.
    QCOMPARE(columnsOf(db, "vesk_peers"), kFreshPeerColumns);
    QCOMPARE(columnsOf(db, "vesk_downloads"),
             (QStringList{"id", "status", "nodefrom", "filename", "filesize", "timestamp", "downloadsize"}));
    QCOMPARE(columnsOf(db, "vesk_uploads"),
             (QStringList{"id", "url", "nodeto", "filename", "filesize", "bytesSent", "timesent", "status"}));
    QCOMPARE(columnsOf(db, "vesk_chats"), (QStringList{"id", "message", "peerfrom", "peerto", "status", "timesent"}));

    QSqlQuery q(db);
    QVERIFY_SQL(q, exec("select sysinfo, timestamp, blocked, alias from vesk_peers where id = '{old-peer}'"));
    QVERIFY(q.next());
    QVERIFY(q.value(0).isNull());
    QVERIFY(q.value(1).isNull());
    QVERIFY(q.value(2).isNull());
    QCOMPARE(q.value(3).toString(), QStringLiteral("Old"));

    // The online list reads blocked through coalesce, so a row older than the column is still listed.
    QVERIFY_SQL(q, exec("update vesk_peers set status = 'on'"));
    QVERIFY_SQL(q, prepare(QString::fromLatin1(StoreQueries::kReachablePeers)));
    q.bindValue(0, QStringLiteral("{this-node}"));
    QVERIFY_SQL(q, exec());
    QVERIFY(q.next());
    QCOMPARE(q.value("id").toString(), QStringLiteral("{old-peer}"));
    QVERIFY(!q.next());
}

void tst_Database::startupResets()
{
    {
        QSqlQuery q(Database::open(m_folder));
        QVERIFY_SQL(q, exec("insert into vesk_peers (id, status, unreadMessagesCount) values ('a', 'on', '0'), "
                            "('b', 'on', '0'), ('c', 'off', '0')"));
        QVERIFY_SQL(q, exec("insert into vesk_downloads (id, status, filesize) values ('q', 'queued', 1), "
                            "('d', 'downloaded', 2), ('u', 'unknown', 3), ('t', 'tobedeleted', 4)"));
    }
    Database::close();
    QSqlQuery q(Database::open(m_folder));
    QVERIFY_SQL(q, exec("select count(*) from vesk_peers where status = 'off'"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 3);
    QVERIFY_SQL(q, exec("select id, status from vesk_downloads order by id"));
    QStringList states;
    while (q.next())
        states << q.value(0).toString() + "=" + q.value(1).toString();
    QCOMPARE(states, (QStringList{"d=downloaded", "q=unknown", "t=tobedeleted", "u=unknown"}));
    QVERIFY_SQL(q, exec(QString::fromLatin1(StoreQueries::kPendingCount)));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 2);
}

void tst_Database::queriesUseIndexes_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("placeholders");
    QTest::newRow("chat history") << QString::fromLatin1(StoreQueries::kChatHistory) << 2;
    QTest::newRow("chat resend") << "select * from vesk_chats where peerfrom = ? and status = 'unknown' and "
                                    "timesent > ? order by timesent asc limit 5"
                                 << 2;
    QTest::newRow("offers") << "select * from vesk_uploads t1 where status = 'unknown' and timesent > ? and  "
                               "coalesce((select status from vesk_peers where  id = t1.nodeto  ), 'off') = 'on' "
                               "order by timesent asc limit 5"
                            << 1;
    QTest::newRow("upload withdrawal")
        << "select * from vesk_uploads where status = 'tobedeleted' order by timesent asc limit 5" << 0;
    QTest::newRow("download withdrawal")
        << "select * from vesk_downloads where status = 'tobedeleted' order by timestamp asc limit 5" << 0;
    QTest::newRow("next download") << "select id from vesk_downloads where status = 'queued' order by "
                                      "cast(filesize as INTEGER) asc  limit 1 offset 0"
                                   << 0;
    QTest::newRow("queued list") << QString::fromLatin1(StoreQueries::kQueuedDownloads) << 0;
    QTest::newRow("pending count") << QString::fromLatin1(StoreQueries::kPendingCount) << 0;
}

void tst_Database::queriesUseIndexes()
{
    QFETCH(QString, query);
    QFETCH(int, placeholders);
    QSqlQuery q(Database::open(m_folder));
    QVERIFY_SQL(q, prepare("explain query plan " + query));
    for (int i = 0; i < placeholders; ++i)
        q.bindValue(i, QStringLiteral("x"));
    QVERIFY_SQL(q, exec());
    QStringList plan;
    while (q.next())
        plan << q.value("detail").toString();
    QVERIFY(!plan.isEmpty());
    // A full pass over a table ("SCAN vesk_chats", "SCAN t1") is what the indexes exist to avoid.
    static const QRegularExpression fullScan(QStringLiteral("^SCAN (?!\\(subquery|CONSTANT)"));
    for (const QString& step : std::as_const(plan))
        QVERIFY2(!fullScan.match(step).hasMatch(), qPrintable(plan.join(" | ")));
}

void tst_Database::unusableFileIsMovedAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    QTest::newRow("text file") << QByteArray("these are my notes, not a database\n").repeated(20) << "not a SQLite";

    // A real database whose table pages were overwritten.
    QTemporaryDir scratch;
    const QString path = scratch.path() + "/damaged";
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "scratch");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY_SQL(q, exec("create table vesk_chats ( id text, message text , peerfrom text, peerto text, "
                            "status text, timesent text, UNIQUE(id))"));
        QVERIFY(db.transaction());
        for (int i = 0; i < 2000; ++i)
            QVERIFY_SQL(q, exec(QString("insert into vesk_chats values ('%1', 'hello there', 'a', 'b', 'sent', '%2')")
                                    .arg(i)
                                    .arg(1700000000000LL + i)));
        QVERIFY(db.commit());
    }
    QSqlDatabase::removeDatabase("scratch");
    QByteArray damaged = readAll(path);
    QVERIFY(damaged.size() > 8 * 4096);
    for (int i = 2 * 4096; i < 6 * 4096; ++i)
        damaged[i] = char(0x5a);
    QTest::newRow("damaged pages") << damaged << "damaged";

    QByteArray headerOnly = damaged.left(100);
    headerOnly.append(QByteArray(4000, '\xff'));
    QTest::newRow("damaged first page") << headerOnly << "damaged";
}

void tst_Database::unusableFileIsMovedAside()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    const QString path = m_folder + "vesk.data";
    QVERIFY(writeFile(path, content));

    TestSupport::MessageCatcher catcher;
    QSqlDatabase db = Database::open(m_folder);

    const QStringList aside = QDir(m_folder).entryList({"vesk.data.corrupt-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(readAll(m_folder + aside.first()), content); // the user's bytes are kept as they were

    QCOMPARE(catcher.criticals().size(), 1);
    const QString line = catcher.criticals().first();
    QVERIFY2(line.contains(reason) && line.contains(aside.first()) && line.contains(path), qPrintable(line));

    // A fresh, working file replaced it.
    QCOMPARE(db.databaseName(), path);
    QCOMPARE(tablesOf(db), (QStringList{"vesk_chats", "vesk_downloads", "vesk_peers", "vesk_uploads"}));
    QSqlQuery q(db);
    QVERIFY_SQL(q, exec("insert into vesk_peers (id) values ('new')"));
}

void tst_Database::emptyFileIsKept()
{
    QVERIFY(writeFile(m_folder + "vesk.data", QByteArray()));
    TestSupport::MessageCatcher catcher;
    QSqlDatabase db = Database::open(m_folder);
    QCOMPARE(catcher.criticals(), QStringList());
    QVERIFY(QDir(m_folder).entryList({"vesk.data.corrupt-*"}).isEmpty());
    QCOMPARE(tablesOf(db).size(), 4);
}

void tst_Database::unwritableFolderFallsBackToMemory()
{
    // A folder that can never be created, whoever runs the test: its parent is a plain file.
    QVERIFY(writeFile(m_folder + "plainfile", "x"));
    const QString folder = m_folder + "plainfile/VeskData/";

    TestSupport::MessageCatcher catcher;
    QSqlDatabase db = Database::open(folder);
    QVERIFY(!catcher.criticals().isEmpty());
    QVERIFY(catcher.criticals().join('\n').contains("Could not open the database " + folder + "vesk.data"));

    QVERIFY(db.isOpen());
    QCOMPARE(tablesOf(db).size(), 4);
    QSqlQuery q(db);
    QVERIFY_SQL(q, exec("insert into vesk_peers (id) values ('still works')"));
}

void tst_Database::readOnlyFileStillReads()
{
    {
        QSqlQuery q(Database::open(m_folder));
        QVERIFY_SQL(q, exec("insert into vesk_peers (id, alias, status) values ('p', 'Pat', 'on')"));
        QVERIFY_SQL(q, exec("pragma wal_checkpoint(TRUNCATE)"));
    }
    Database::close();
    const QString path = m_folder + "vesk.data";
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));

    DacOverrideDropped guard;
    {
        QFile probe(path);
        if (probe.open(QIODevice::ReadWrite))
            QSKIP("this process can write a read-only file");
    }
    TestSupport::MessageCatcher catcher;
    QSqlDatabase db = Database::open(m_folder);
    QVERIFY2(catcher.criticals().join('\n').contains("cannot be written"), qPrintable(catcher.criticals().join('\n')));
    QVERIFY(QDir(m_folder).entryList({"vesk.data.corrupt-*"}).isEmpty());

    QSqlQuery q(db);
    QVERIFY_SQL(q, exec("select alias, status from vesk_peers where id = 'p'"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("Pat"));
    QCOMPARE(q.value(1).toString(), QStringLiteral("on")); // the reset could not be written
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
