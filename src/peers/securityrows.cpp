#include "peers/securityrows.h"

#include "store/store.h"
#include "store/vesksqlquerymodel.h"

#include <QSqlQuery>

namespace Vesk {

namespace {

QVariant hexOrNull(const QByteArray& key)
{
    return key.isEmpty() ? QVariant() : QVariant(QString::fromLatin1(key.toHex()));
}

} // namespace

QList<SecurityRows::Row> SecurityRows::load() const
{
    QList<Row> rows;
    QSqlQuery q(m_store.database());
    if (!q.exec(QStringLiteral("select id, identityKey, pendingKey, ipAddress from vesk_peers "
                               "where identityKey is not null and identityKey != ''")))
        return rows;
    while (q.next())
        rows.append({q.value(0).toString(), QByteArray::fromHex(q.value(1).toByteArray()),
                     QByteArray::fromHex(q.value(2).toByteArray()), q.value(3).toString()});
    return rows;
}

bool SecurityRows::save(const QString& nodeId, const QByteArray& key, const QByteArray& pending, quint32 capabilities)
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("update vesk_peers set identityKey = ?, pendingKey = ?, capabilities = ? where id = ?"));
    q.bindValue(0, QString::fromLatin1(key.toHex()));
    q.bindValue(1, hexOrNull(pending));
    q.bindValue(2, capabilities);
    q.bindValue(3, nodeId);
    if (!q.exec() || q.numRowsAffected() < 1)
        return false;
    m_store.nodeData->scheduleRefresh();
    return true;
}

void SecurityRows::setPending(const QString& nodeId, const QByteArray& key)
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("update vesk_peers set pendingKey = ? where id = ?"));
    q.bindValue(0, hexOrNull(key));
    q.bindValue(1, nodeId);
    q.exec();
    m_store.nodeData->scheduleRefresh();
}

bool SecurityRows::acceptPending(const QString& nodeId, const QByteArray& key)
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("update vesk_peers set identityKey = ?, pendingKey = null, verified = null where id = ?"));
    q.bindValue(0, QString::fromLatin1(key.toHex()));
    q.bindValue(1, nodeId);
    if (!q.exec())
        return false;
    m_store.nodeData->refresh();
    return true;
}

bool SecurityRows::isVerified(const QString& nodeId) const
{
    return m_store.peerField(nodeId, QStringLiteral("verified")) == QLatin1String("yes");
}

bool SecurityRows::markVerified(const QString& nodeId)
{
    if (!m_store.setField(kPeersTable, nodeId, QStringLiteral("verified"), QStringLiteral("yes")))
        return false;
    m_store.nodeData->refresh();
    return true;
}

void SecurityRows::forgetAddress(const QString& nodeId, const QString& address)
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("update vesk_peers set ipAddress = '', status = 'off' where id = ? and ipAddress = ?"));
    q.bindValue(0, nodeId);
    q.bindValue(1, address);
    q.exec();
    m_store.nodeData->scheduleRefresh();
    m_store.nodesProxyData->scheduleRefresh();
}

QString SecurityRows::nodeStoredAt(const QString& address, const QString& exceptId) const
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("select id from vesk_peers where ipAddress = ? and id != ? limit 1"));
    q.bindValue(0, address);
    q.bindValue(1, exceptId);
    return q.exec() && q.next() ? q.value(0).toString() : QString();
}

} // namespace Vesk
