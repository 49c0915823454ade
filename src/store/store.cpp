#include "store/store.h"

#include "common/clock.h"
#include "store/storelogging.h"
#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace Vesk {

namespace {

QString sql(const char* text)
{
    return QString::fromLatin1(text);
}

VeskSqlQueryModel* makeModel(QObject* owner, const QString& table, const char* query, const QSqlDatabase& db)
{
    auto* model = new VeskSqlQueryModel(owner);
    model->setRowTable(table);
    model->setQuery(sql(query), db);
    return model;
}

// Prepares, binds the id and the values (by name) and executes. Failures are logged; whether it ran is returned for
// callers that must not go on as if it had.
bool execById(QSqlQuery& q, const QString& statement, const QString& id, const QVariantMap& values = {})
{
    if (!q.prepare(statement)) {
        qCDebug(lcStore) << "prepare failed:" << statement << q.lastError().text();
        return false;
    }
    q.bindValue(QStringLiteral(":id"), id);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        q.bindValue(it.key(), it.value());
    if (!q.exec()) {
        qCDebug(lcStore) << "exec failed:" << statement << q.lastError().text();
        return false;
    }
    return true;
}

// Runs a statement whose single answer is a number; no row or NULL counts as 0.
int scalarCount(const QSqlDatabase& db, const char* statement)
{
    QSqlQuery q(db);
    if (!q.exec(sql(statement)) || !q.next())
        return 0;
    return q.value(0).toInt();
}

} // namespace

Store::Store(const QSqlDatabase& db, const Clock& clock, QObject* parent)
    : QObject(parent), nodeData(makeModel(this, kPeersTable, StoreQueries::kAllPeers, db)),
      nodesProxyData(makeModel(this, kPeersTable, StoreQueries::kOnlinePeers, db)),
      uploadsData(makeModel(this, kUploadsTable, StoreQueries::kUploads, db)),
      pausedDownloads(makeModel(this, kDownloadsTable, StoreQueries::kPausedDownloads, db)),
      queuedDownloads(makeModel(this, kDownloadsTable, StoreQueries::kQueuedDownloads, db)),
      completedDownloads(makeModel(this, kDownloadsTable, StoreQueries::kCompletedDownloads, db)),
      chatsModel(makeModel(this, kChatsTable, StoreQueries::kNoChats, db)), m_db(db), m_clock(clock)
{
}

Store::~Store() = default;

void Store::setPeerQueries(const QString& hostId)
{
    nodeData->setQuery(sql(StoreQueries::kListedPeers), m_db, {hostId});
    nodesProxyData->setQuery(sql(StoreQueries::kReachablePeers), m_db, {hostId});
}

TableRecord Store::record(const QString& table, const QString& id) const
{
    QSqlQuery q(m_db);
    if (!execById(q, QStringLiteral("select * from  ") + table + QStringLiteral(" where id = :id limit 1"), id) ||
        !q.next())
        return TableRecord(table);
    // Labelled by the statement's own column names, whatever the column order of the database file.
    return TableRecord(table, q.record());
}

QString Store::field(const QString& table, const QString& id, const QString& column) const
{
    QSqlQuery q(m_db);
    QString value;
    if (execById(q,
                 QStringLiteral("select ") + column + QStringLiteral("  from ") + table +
                     QStringLiteral("  where id = :id"),
                 id)) {
        while (q.next())
            value = q.value(0).toString();
    }
    return value;
}

bool Store::setField(const QString& table, const QString& id, const QString& column, const QString& value)
{
    QSqlQuery q(m_db);
    return execById(q,
                    QStringLiteral("update ") + table + QStringLiteral(" set ") + column +
                        QStringLiteral(" = :newValue where id = :id"),
                    id, {{QStringLiteral(":newValue"), value}});
}

void Store::incrementField(const QString& table, const QString& id, const QString& column, int increment)
{
    QSqlQuery q(m_db);
    execById(q,
             QStringLiteral("update ") + table + QStringLiteral(" set ") + column + QStringLiteral(" = ") + column +
                 QStringLiteral(" + :incrValue where id = :id"),
             id, {{QStringLiteral(":incrValue"), increment}});
}

void Store::deleteRow(const QString& table, const QString& id)
{
    QSqlQuery q(m_db);
    execById(q, QStringLiteral("delete from ") + table + QStringLiteral(" where id = :id"), id);
}

void Store::touchTimestamp(const QString& table, const QString& id)
{
    // Bound as text; the column is declared int, so SQLite stores a number.
    QSqlQuery q(m_db);
    execById(q, QStringLiteral("update ") + table + QStringLiteral(" set timestamp = :newValue where id = :id"), id,
             {{QStringLiteral(":newValue"), QString::number(m_clock.nowMs())}});
}

TableRecord Store::peerRecord(const QString& id) const
{
    return record(kPeersTable, id);
}

TableRecord Store::downloadRecord(const QString& id) const
{
    return record(kDownloadsTable, id);
}

TableRecord Store::uploadRecord(const QString& id) const
{
    return record(kUploadsTable, id);
}

QString Store::peerField(const QString& id, const QString& column) const
{
    return field(kPeersTable, id, column);
}

bool Store::isBlocked(const QString& nodeId) const
{
    return peerField(nodeId, QStringLiteral("blocked")) == QLatin1String("yes");
}

QHostAddress Store::nodeAddress(const QString& nodeId) const
{
    QSqlQuery q(m_db);
    QString address;
    if (q.prepare(QStringLiteral("select ipAddress from vesk_peers where id = ?"))) {
        q.bindValue(0, nodeId);
        if (q.exec()) {
            while (q.next())
                address = q.value(0).toString();
        }
    }
    return address.isEmpty() ? QHostAddress() : QHostAddress(address);
}

QString Store::receivedFolderName(const QString& folderId) const
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("select localname from vesk_folders where id = ? and direction = 'down'"));
    q.bindValue(0, folderId);
    return q.exec() && q.next() ? q.value(0).toString() : QString();
}

QStringList Store::folderIds(const QString& direction, const QString& status) const
{
    QStringList ids;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("select id from vesk_folders where direction = ? and status = ?"));
    q.bindValue(0, direction);
    q.bindValue(1, status);
    if (q.exec())
        while (q.next())
            ids.append(q.value(0).toString());
    return ids;
}

QStringList Store::withdrawnFileIds(const QString& table, const QString& timeColumn, int limit) const
{
    QStringList ids;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("select id from %1 where status = 'tobedeleted' and folderId is null order by %2 asc "
                             "limit ?")
                  .arg(table, timeColumn));
    q.bindValue(0, limit);
    if (q.exec())
        while (q.next())
            ids.append(q.value(0).toString());
    return ids;
}

int Store::totalUnreadMessages() const
{
    return scalarCount(m_db, StoreQueries::kUnreadSum);
}

int Store::pendingValidations() const
{
    return scalarCount(m_db, StoreQueries::kPendingCount);
}

} // namespace Vesk
