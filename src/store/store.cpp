#include "store/store.h"

#include "common/clock.h"
#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"

#include <QSqlQuery>

namespace Vesk {

namespace {

QString sql(const char* text)
{
    return QString::fromLatin1(text);
}

VeskSqlQueryModel* makeModel(QObject* owner, const QString& table, const char* query, const QSqlDatabase& db,
                             const Clock& clock)
{
    auto* model = new VeskSqlQueryModel(owner);
    model->setRowTable(table);
    model->setClock(clock);
    model->setQuery(sql(query), db);
    return model;
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
    : QObject(parent), nodeData(makeModel(this, kPeersTable, StoreQueries::kAllPeers, db, clock)),
      nodesProxyData(makeModel(this, kPeersTable, StoreQueries::kOnlinePeers, db, clock)),
      uploadsData(makeModel(this, kUploadsTable, StoreQueries::kUploads, db, clock)),
      pausedDownloads(makeModel(this, kDownloadsTable, StoreQueries::kPausedDownloads, db, clock)),
      queuedDownloads(makeModel(this, kDownloadsTable, StoreQueries::kQueuedDownloads, db, clock)),
      completedDownloads(makeModel(this, kDownloadsTable, StoreQueries::kCompletedDownloads, db, clock)),
      chatsModel(makeModel(this, kChatsTable, StoreQueries::kNoChats, db, clock)), m_db(db)
{
}

Store::~Store() = default;

void Store::setPeerQueries(const QString& hostId)
{
    nodeData->setQuery(sql(StoreQueries::kListedPeers), m_db, {hostId});
    nodesProxyData->setQuery(sql(StoreQueries::kReachablePeers), m_db, {hostId});
}

TableRecord Store::peerRecord(const QString& id) const
{
    return nodeData->getRecord(kPeersTable, id);
}

TableRecord Store::downloadRecord(const QString& id) const
{
    return queuedDownloads->getRecord(kDownloadsTable, id);
}

TableRecord Store::uploadRecord(const QString& id) const
{
    return uploadsData->getRecord(kUploadsTable, id);
}

QString Store::peerField(const QString& id, const QString& column) const
{
    return nodeData->getField(kPeersTable, id, column);
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
