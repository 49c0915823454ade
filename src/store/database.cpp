#include "store/database.h"

#include "store/storelogging.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

namespace Vesk {

namespace {

constexpr const char* kDriver = "QSQLITE";
constexpr const char* kInMemory = ":memory:";
const QByteArray kSqliteHeader("SQLite format 3\0", 16);

const char* const kCreateStatements[] = {
    "create table if not exists vesk_uploads ( id text, url text, nodeto text , filename text, filesize int, "
    "bytesSent int, timesent int, status text, folderId text, path text, UNIQUE(id));",
    "create table if not exists vesk_downloads ( id text, status text, nodefrom text, filename text, filesize int, "
    "downloadsize int, timestamp int, folderId text, path text, UNIQUE(id));",
    "create table if not exists vesk_peers ( id text, alias text , avatarPath text, ipAddress text, status text, "
    "unreadMessagesCount text, sysinfo text, timestamp int, blocked text, identityKey text, pendingKey text, "
    "verified text, capabilities int, UNIQUE(id));",
    "create table if not exists vesk_chats ( id text, message text , peerfrom text, peerto text, status text, "
    "timesent text, UNIQUE(id));",
    // One row per folder offered ("up", nodeid the receiver, localname its path here) or received ("down", nodeid
    // the owner, localname the folder made for it under the downloads folder); its files are upload or download
    // rows that name it in folderId, with their path inside it.
    "create table if not exists vesk_folders ( id text, nodeid text, direction text, name text, localname text, "
    "files int, filesize int, status text, timestamp int, UNIQUE(id));",
};

// Each adds a column that older files lack; on an up-to-date file each fails with a duplicate-column error, which
// is expected and ignored.
const char* const kMigrations[] = {
    "alter table vesk_peers add column sysinfo text",
    "alter table vesk_downloads add column timestamp int",
    "alter table vesk_downloads add column downloadsize int",
    "alter table vesk_peers add column timestamp int",
    "alter table vesk_peers add column blocked text",
    "alter table vesk_uploads add column bytesSent int",
    "alter table vesk_uploads add column timesent int",
    "alter table vesk_uploads add column status text",
    // A peer's pinned identity key (hex), a different key it later came with and the user has not accepted yet,
    // and whether the user compared the codes ("yes").
    "alter table vesk_peers add column identityKey text",
    "alter table vesk_peers add column pendingKey text",
    "alter table vesk_peers add column verified text",
    // What a pinned peer's program announced it can take, kept for while it is away.
    "alter table vesk_peers add column capabilities int",
    // When the offered file was last modified (ms since the epoch), to notice it changed before it was delivered.
    "alter table vesk_uploads add column modified int",
    // The folder a file belongs to, and its path inside that folder ("photos/a.jpg"); empty for a separate file.
    "alter table vesk_uploads add column folderId text",
    "alter table vesk_uploads add column path text",
    "alter table vesk_downloads add column folderId text",
    "alter table vesk_downloads add column path text",
    // An offered folder's empty folders (a JSON array of their paths inside it), for its listing after a restart.
    "alter table vesk_folders add column emptyFolders text",
};

// Keep the chat history and resend lookups, the offer loop and the download queue away from full table scans.
const char* const kIndexes[] = {
    "create index if not exists vesk_chats_from_time on vesk_chats (peerfrom, timesent)",
    "create index if not exists vesk_chats_to_time on vesk_chats (peerto, timesent)",
    "create index if not exists vesk_chats_from_status_time on vesk_chats (peerfrom, status, timesent)",
    "create index if not exists vesk_uploads_status_time on vesk_uploads (status, timesent)",
    "create index if not exists vesk_downloads_status_size on vesk_downloads (status, cast(filesize as INTEGER))",
    "create index if not exists vesk_downloads_status_time on vesk_downloads (status, timestamp)",
    // A folder's files: the next one to fetch, and whether any is left, are found without reading the others.
    "create index if not exists vesk_uploads_folder on vesk_uploads (folderId, status)",
    "create index if not exists vesk_downloads_folder_queue on vesk_downloads (folderId, status, path)",
    "create index if not exists vesk_downloads_folder_path on vesk_downloads (folderId, path)",
    "create index if not exists vesk_downloads_separate_queue on vesk_downloads (status, cast(filesize as INTEGER)) "
    "where folderId is null",
    // Whether a peer is a stranger (see StrangerRows): its rows at an address, and whatever names it.
    "create index if not exists vesk_peers_address on vesk_peers (ipAddress)",
    "create index if not exists vesk_downloads_nodefrom on vesk_downloads (nodefrom)",
    "create index if not exists vesk_uploads_nodeto on vesk_uploads (nodeto)",
    "create index if not exists vesk_folders_nodeid on vesk_folders (nodeid)",
};

const char* const kStartupResets[] = {
    "update vesk_peers set status='off' where 1",
    "update vesk_downloads set status='unknown' where status='queued'",
    "update vesk_folders set status='unknown' where status='queued'",
    // The files of a folder whose row is gone: the folder was being recorded or dropped when the program stopped.
    "delete from vesk_uploads where folderId is not null and folderId not in (select id from vesk_folders)",
    "delete from vesk_downloads where folderId is not null and folderId not in (select id from vesk_folders)",
};

bool hasSqliteHeader(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true; // unreadable: let SQLite report it rather than move a file we cannot judge
    return file.read(kSqliteHeader.size()) == kSqliteHeader;
}

enum class Health { Good, Damaged, Unavailable };

bool isDamageError(const QSqlError& error)
{
    constexpr int kSqliteCorrupt = 11;
    constexpr int kSqliteNotADatabase = 26;
    const int primary = error.nativeErrorCode().toInt() & 0xff;
    return primary == kSqliteCorrupt || primary == kSqliteNotADatabase;
}

// Opens the connection and reads the whole file once. Only a file that SQLite itself calls damaged counts as
// Damaged; a locked or unreachable file is Unavailable and is never moved.
Health openAndCheck(QSqlDatabase& db, QString* why)
{
    if (!db.open()) {
        *why = db.lastError().text();
        return isDamageError(db.lastError()) ? Health::Damaged : Health::Unavailable;
    }
    QSqlQuery q(db);
    // quick_check reads every page, so damage anywhere in the file is found now rather than by statements failing
    // silently later; it costs milliseconds on a database of usual size.
    if (!q.exec(QStringLiteral("pragma quick_check"))) {
        *why = q.lastError().text();
        return isDamageError(q.lastError()) ? Health::Damaged : Health::Unavailable;
    }
    const QString verdict = q.next() ? q.value(0).toString() : QString();
    if (verdict != QLatin1String("ok")) {
        constexpr int kMaxReasonLength = 160;
        *why = verdict.simplified().left(kMaxReasonLength);
        return Health::Damaged;
    }
    return Health::Good;
}

} // namespace

QSqlDatabase Database::connection()
{
    return QSqlDatabase::database(QLatin1String(kConnectionName), true);
}

void Database::close()
{
    {
        QSqlDatabase db = QSqlDatabase::database(QLatin1String(kConnectionName), false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(kConnectionName));
}

QSqlDatabase Database::open(const QString& dataFolder, QStringList* interrupted)
{
    const QString path = filePath(dataFolder);
    if (!QDir().mkpath(dataFolder))
        qCritical().noquote() << QStringLiteral("Could not create the data folder ") + dataFolder;

    const QFileInfo info(path);
    if (info.exists() && info.size() > 0 && !hasSqliteHeader(path)) {
        const QString aside = moveAside(path);
        if (!aside.isEmpty())
            qCritical().noquote() << QStringLiteral("The database ") + path +
                                         QStringLiteral(" is not a SQLite database; it was moved to ") + aside +
                                         QStringLiteral(" and a new one was created");
    }

    QSqlDatabase db = QSqlDatabase::contains(QLatin1String(kConnectionName))
                          ? QSqlDatabase::database(QLatin1String(kConnectionName), false)
                          : QSqlDatabase::addDatabase(QLatin1String(kDriver), QLatin1String(kConnectionName));
    db.setDatabaseName(path);

    QString why;
    Health health = openAndCheck(db, &why);
    if (health == Health::Damaged) {
        db.close();
        const QString aside = moveAside(path);
        if (aside.isEmpty()) {
            health = Health::Unavailable;
        } else {
            qCritical().noquote() << QStringLiteral("The database ") + path + QStringLiteral(" is damaged (") + why +
                                         QStringLiteral("); it was moved to ") + aside +
                                         QStringLiteral(" and a new one was created");
            health = openAndCheck(db, &why);
        }
    }
    if (health != Health::Good) {
        // Peers, chats and transfers all go through the database, so an in-memory one keeps the program working
        // for this session instead of leaving it deaf.
        qCritical().noquote() << QStringLiteral("Could not open the database ") + path + QStringLiteral(": ") + why +
                                     QStringLiteral("; nothing will be saved in this session");
        db.close();
        db.setDatabaseName(QLatin1String(kInMemory));
        db.open();
    }

    if (!prepareSchema(db, interrupted))
        qCritical().noquote() << QStringLiteral("The database ") + path +
                                     QStringLiteral(" cannot be written; changes will not be saved");
    return db;
}

bool Database::prepareSchema(QSqlDatabase& db, QStringList* interrupted)
{
    QSqlQuery q(db);
    // A status change is written for nearly every packet and message, so a single-row update must cost
    // microseconds, not a disk sync: WAL with synchronous=NORMAL keeps each statement atomic and durable across a
    // program crash, and gives up only the last commits on a power loss.
    q.exec(QStringLiteral("pragma journal_mode=WAL"));
    q.exec(QStringLiteral("pragma synchronous=NORMAL"));
    // A folder of ten thousand files is some megabytes of rows, looked up by random ids; with the library's default
    // of 2 MB of cached pages nearly every lookup read a page from the file again.
    q.exec(QStringLiteral("pragma cache_size=-16384"));

    for (const char* statement : kCreateStatements)
        q.exec(QLatin1String(statement));
    for (const char* statement : kMigrations)
        q.exec(QLatin1String(statement));
    for (const char* statement : kIndexes) {
        if (!q.exec(QLatin1String(statement)))
            qCDebug(lcStore) << "index not created:" << statement << q.lastError().text();
    }
    if (interrupted) {
        interrupted->clear();
        if (q.exec(QStringLiteral("select id from vesk_downloads where status = 'queued' order by cast(filesize as "
                                  "INTEGER) asc")))
            while (q.next())
                interrupted->append(q.value(0).toString());
    }
    bool written = true;
    for (const char* statement : kStartupResets)
        written = q.exec(QLatin1String(statement)) && written;
    return written;
}

QString Database::moveAside(const QString& path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString aside = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);

    if (!QFile::rename(path, aside)) {
        qCritical().noquote() << QStringLiteral("Could not move the unusable database ") + path +
                                     QStringLiteral(" aside");
        return QString();
    }
    // The journal files belong to the old file; a fresh database must not pick them up.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        const QString sibling = path + QLatin1String(suffix);
        if (QFileInfo::exists(sibling))
            QFile::rename(sibling, aside + QLatin1String(suffix));
    }
    return aside;
}

} // namespace Vesk
