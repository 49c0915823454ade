// Times the store's hot statements on a database of realistic worst-case size: 1,000 peers, 1,000,000 chat rows and
// 100,000 downloads. Prints one line per statement with the median of repeated runs.
#include "common/clock.h"
#include "store/database.h"
#include "store/store.h"
#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <functional>
#include <vector>

using Vesk::Database;
namespace StoreQueries = Vesk::StoreQueries;
using Vesk::VeskSqlQueryModel;

namespace {

constexpr int kPeers = 1000;
constexpr int kChats = 1000000;
constexpr int kDownloads = 100000;
constexpr int kUploads = 10000;
constexpr int kRuns = 200;
constexpr qint64 kNow = 1750000000000;
constexpr qint64 kHourMs = 3600000;
const QString kHost = QStringLiteral("{host-node}");

QTextStream out(stdout);

bool run(QSqlQuery& q, const QString& statement)
{
    if (q.exec(statement))
        return true;
    out << "FAILED: " << statement << ": " << q.lastError().text() << Qt::endl;
    return false;
}

// Builds the rows with recursive counting queries inside one transaction; peer i is "{peer-i}".
bool populate(QSqlDatabase& db)
{
    QSqlQuery q(db);
    const QString count =
        QStringLiteral("with recursive n(i) as (select 0 union all select i + 1 from n where i < %1) ");
    return db.transaction() &&
           run(q, count.arg(kPeers - 1) +
                      "insert into vesk_peers select '{peer-' || i || '}', 'Peer ' || i, 'qrc:/a.png', '127.0.0.' || "
                      "(i % 250 + 1), case when i % 2 = 0 then 'on' else 'off' end, cast(i % 4 as text), 'Linux', " +
                      QString::number(kNow) + " - i, 'no' from n") &&
           run(q, "insert into vesk_peers values ('" + kHost +
                      "', 'Me', 'qrc:/a.png', '127.0.0.1', 'on', '0', 'Linux', 0, 'no')") &&
           // Chats alternate direction; every 50th outgoing one is still unconfirmed; the newest are within the hour.
           run(q, count.arg(kChats - 1) +
                      "insert into vesk_chats select '{chat-' || i || '}', 'message number ' || i, "
                      "case when i % 2 = 0 then '" +
                      kHost + "' else '{peer-' || (i % " + QString::number(kPeers) +
                      ") || '}' end, case when i % 2 = 0 then '{peer-' || (i % " + QString::number(kPeers) +
                      ") || '}' else '" + kHost + "' end, case when i % 100 = 0 then 'unknown' else 'sent' end, cast(" +
                      QString::number(kNow - kChats * 10LL) + " + i * 10 as text) from n") &&
           run(q, count.arg(kDownloads - 1) +
                      "insert into vesk_downloads select 'dl-' || i, case i % 20 when 0 then 'unknown' when 1 then "
                      "'queued' when 2 then 'tobedeleted' else 'downloaded' end, '{peer-' || (i % " +
                      QString::number(kPeers) + ") || '}', 'file' || i || '.bin', (i * 7919) % 100000000, 0, " +
                      QString::number(kNow) + " - i * 1000 from n") &&
           run(q, count.arg(kUploads - 1) +
                      "insert into vesk_uploads select 'ul-' || i, '/home/u/f' || i, '{peer-' || (i % " +
                      QString::number(kPeers) + ") || '}', 'f' || i, 1000, 0, " + QString::number(kNow) +
                      " - i * 1000, case when i % 3 = 0 then 'unknown' else 'sent' end from n") &&
           db.commit();
}

double medianMs(const std::function<void(int)>& body)
{
    std::vector<qint64> samples;
    samples.reserve(kRuns);
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer timer;
        timer.start();
        body(i);
        samples.push_back(timer.nsecsElapsed());
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2] / 1e6;
}

// Executes a prepared statement and reads every row, as the callers do.
int drain(QSqlQuery& q)
{
    q.exec();
    int rows = 0;
    while (q.next())
        ++rows;
    return rows;
}

void report(const char* what, double ms, double goalMs, int rows = -1)
{
    out << QString::fromLatin1(what).leftJustified(44) << QString::number(ms, 'f', 4).rightJustified(10) << " ms"
        << QString::number(goalMs, 'f', 1).rightJustified(8) << " ms   " << (ms <= goalMs ? "ok  " : "SLOW")
        << (rows >= 0 ? QStringLiteral("  (%1 rows)").arg(rows) : QString()) << Qt::endl;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');

    QElapsedTimer timer;
    timer.start();
    {
        // Rows go in before the indexes exist, as in a file from an older version; the next open builds them.
        QSqlDatabase db = Database::open(folder);
        QSqlQuery q(db);
        q.exec(QStringLiteral("select name from sqlite_master where type = 'index' and sql is not null"));
        QStringList indexes;
        while (q.next())
            indexes << q.value(0).toString();
        for (const QString& index : std::as_const(indexes))
            run(q, QStringLiteral("drop index ") + index);
        if (!populate(db))
            return 1;
    }
    out << "built " << kPeers << " peers, " << kChats << " chats, " << kDownloads << " downloads, " << kUploads
        << " uploads in " << timer.elapsed() << " ms" << Qt::endl;
    Database::close();

    timer.restart();
    Database::open(folder);
    out << "first open, building the indexes: " << timer.elapsed() << " ms" << Qt::endl;
    Database::close();

    timer.restart();
    QSqlDatabase db = Database::open(folder); // what every start pays: integrity check, migrations, resets
    out << "start-up open: " << timer.elapsed() << " ms" << Qt::endl;
    out << "database file: " << QFileInfo(Database::filePath(folder)).size() / (1024 * 1024) << " MiB" << Qt::endl;
    QSqlQuery setup(db);
    timer.restart();
    run(setup, QStringLiteral("pragma quick_check"));
    out << "of which the integrity check: " << timer.elapsed() << " ms" << Qt::endl;
    run(setup, QStringLiteral("update vesk_peers set status = 'on' where cast(substr(id, 7) as int) % 2 = 0"));
    run(setup, QStringLiteral("update vesk_downloads set status = 'queued' where cast(substr(id, 4) as int) % 20 = 1"));

    out << Qt::endl
        << QStringLiteral("statement").leftJustified(44) << QStringLiteral("median").rightJustified(13)
        << QStringLiteral("goal").rightJustified(11) << Qt::endl;

    VeskSqlQueryModel chats;
    int rows = 0;
    double ms = medianMs([&](int i) {
        const QString peer = QStringLiteral("{peer-%1}").arg((i * 37) % kPeers);
        chats.setQuery(QString::fromLatin1(StoreQueries::kChatHistory), db, {peer, peer});
        rows = chats.rowCount();
    });
    report("chat history of one peer (model)", ms, 5.0, rows);

    QSqlQuery resend(db);
    resend.prepare(QStringLiteral("select * from vesk_chats where peerfrom = ? and status = 'unknown' and "
                                  "timesent > ? order by timesent asc limit 5"));
    ms = medianMs([&](int) {
        resend.bindValue(0, kHost);
        resend.bindValue(1, QString::number(kNow - kHourMs));
        rows = drain(resend);
    });
    report("chat resend", ms, 5.0, rows);

    QSqlQuery offers(db);
    offers.prepare(QStringLiteral("select * from vesk_uploads t1 where status = 'unknown' and timesent > ? and  "
                                  "coalesce((select status from vesk_peers where  id = t1.nodeto  ), 'off') = 'on' "
                                  "order by timesent asc limit 5"));
    ms = medianMs([&](int) {
        offers.bindValue(0, kNow - kHourMs);
        rows = drain(offers);
    });
    report("offers to resend", ms, 5.0, rows);

    QSqlQuery next(db);
    next.prepare(QStringLiteral("select id from vesk_downloads where status = 'queued' order by "
                                "cast(filesize as INTEGER) asc  limit 1 offset 0"));
    ms = medianMs([&](int) { rows = drain(next); });
    report("next queued download", ms, 5.0, rows);

    QSqlQuery unread(db);
    unread.prepare(QString::fromLatin1(StoreQueries::kUnreadSum));
    ms = medianMs([&](int) { rows = drain(unread); });
    report("unread sum", ms, 5.0, rows);

    QSqlQuery pending(db);
    pending.prepare(QString::fromLatin1(StoreQueries::kPendingCount));
    ms = medianMs([&](int) { rows = drain(pending); });
    report("pending validations count", ms, 5.0, rows);

    VeskSqlQueryModel peers;
    peers.setQuery(QString::fromLatin1(StoreQueries::kListedPeers), db, {kHost});
    Vesk::Store store(db, Vesk::Clock::system());
    ms = medianMs([&](int i) {
        store.setField(QStringLiteral("vesk_chats"), QStringLiteral("{chat-%1}").arg(i * 4999),
                       QStringLiteral("status"), QStringLiteral("sent"));
    });
    report("setField (chat status by id)", ms, 0.2);

    QSqlQuery increment(db);
    increment.prepare(QStringLiteral("update vesk_peers set unreadMessagesCount = unreadMessagesCount + :incrValue "
                                     "where id = :id"));
    ms = medianMs([&](int i) {
        increment.bindValue(QStringLiteral(":incrValue"), 1);
        increment.bindValue(QStringLiteral(":id"), QStringLiteral("{peer-%1}").arg(i % kPeers));
        increment.exec();
    });
    report("increment statement (peer unread)", ms, 0.2);

    ms = medianMs([&](int i) {
        store.incrementField(QStringLiteral("vesk_peers"), QStringLiteral("{peer-%1}").arg(i % kPeers),
                             QStringLiteral("unreadMessagesCount"), 1);
        peers.refresh();
    });
    report("incrementField incl. refresh of peer list", ms, 5.0, peers.rowCount());
    return 0;
}
