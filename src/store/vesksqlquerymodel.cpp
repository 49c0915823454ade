#include "store/vesksqlquerymodel.h"

#include "store/storelogging.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

Q_LOGGING_CATEGORY(lcStore, "vesk.store")

namespace {

// The interface reads columns by role names fixed at 33, 34, ... (after a user-role base of 32), whatever the
// value of Qt::UserRole; the roles below 32 keep the base model's meaning.
constexpr int kRoleBase = 32;
constexpr int kFirstColumnRole = kRoleBase + 1;

// Prepares, binds the id (and value) and executes; failures are left to the caller to ignore, as every
// single-row operation is fire-and-forget.
bool execById(QSqlQuery& q, const QString& statement, const QString& id)
{
    if (!q.prepare(statement)) {
        qCDebug(lcStore) << "prepare failed:" << statement << q.lastError().text();
        return false;
    }
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec()) {
        qCDebug(lcStore) << "exec failed:" << statement << q.lastError().text();
        return false;
    }
    return true;
}

} // namespace

VeskSqlQueryModel::VeskSqlQueryModel(QObject* parent) : QSqlQueryModel(parent) {}

VeskSqlQueryModel::~VeskSqlQueryModel() = default;

void VeskSqlQueryModel::setQuery(const QString& query, const QSqlDatabase& db)
{
    setQuery(query, db, QVariantList());
}

void VeskSqlQueryModel::setQuery(const QString& query, const QSqlDatabase& db, const QVariantList& boundValues)
{
    m_queryText = query;
    m_db = db;
    m_boundValues = boundValues;
    runQuery();
}

void VeskSqlQueryModel::refresh()
{
    runQuery();
}

void VeskSqlQueryModel::runQuery()
{
    QSqlQuery q(m_db);
    if (q.prepare(m_queryText)) {
        for (int i = 0; i < m_boundValues.size(); ++i)
            q.bindValue(i, m_boundValues.at(i));
        if (!q.exec())
            qCDebug(lcStore) << "query failed:" << m_queryText << q.lastError().text();
    } else {
        qCDebug(lcStore) << "prepare failed:" << m_queryText << q.lastError().text();
    }
    // A failed query still goes to the base model: the list then shows no rows and has no column roles.
    QSqlQueryModel::setQuery(std::move(q));
    generateRoleNames();
}

void VeskSqlQueryModel::generateRoleNames()
{
    m_roleNames.clear();
    const QSqlRecord columns = record();
    for (int i = 0; i < columns.count(); ++i)
        m_roleNames.insert(kFirstColumnRole + i, columns.fieldName(i).toUtf8());
}

QHash<int, QByteArray> VeskSqlQueryModel::roleNames() const
{
    return m_roleNames;
}

QVariant VeskSqlQueryModel::data(const QModelIndex& item, int role) const
{
    if (role < kRoleBase)
        return QSqlQueryModel::data(item, role);
    const int column = role - kFirstColumnRole;
    return QSqlQueryModel::data(index(item.row(), column), Qt::DisplayRole);
}

void VeskSqlQueryModel::touchTimestamp(const QString& table, const QString& id)
{
    QSqlQuery q(m_db);
    if (!q.prepare(QStringLiteral("update ") + table + QStringLiteral(" set timestamp = :newValue where id = :id")))
        return;
    q.bindValue(QStringLiteral(":newValue"), QString::number(m_clock->nowMs()));
    q.bindValue(QStringLiteral(":id"), id);
    q.exec();
}

QString VeskSqlQueryModel::getField(const QString& table, const QString& id, const QString& field) const
{
    QSqlQuery q(m_db);
    QString value;
    if (!execById(q,
                  QStringLiteral("select ") + field + QStringLiteral("  from ") + table +
                      QStringLiteral("  where id = :id"),
                  id))
        return value;
    while (q.next())
        value = q.value(0).toString();
    return value;
}

void VeskSqlQueryModel::setField(const QString& table, const QString& id, const QString& field, const QString& value)
{
    QSqlQuery q(m_db);
    if (!q.prepare(QStringLiteral("update ") + table + QStringLiteral(" set ") + field +
                   QStringLiteral(" = :newValue where id = :id")))
        return;
    q.bindValue(QStringLiteral(":newValue"), value);
    q.bindValue(QStringLiteral(":id"), id);
    q.exec();
}

void VeskSqlQueryModel::setFieldAndRefresh(const QString& table, const QString& id, const QString& field,
                                           const QString& value)
{
    setField(table, id, field, value);
    refresh();
}

void VeskSqlQueryModel::incrementField(const QString& table, const QString& id, const QString& field, int increment)
{
    {
        QSqlQuery q(m_db);
        if (q.prepare(QStringLiteral("update ") + table + QStringLiteral(" set ") + field + QStringLiteral(" = ") +
                      field + QStringLiteral(" + :incrValue where id = :id"))) {
            q.bindValue(QStringLiteral(":incrValue"), increment);
            q.bindValue(QStringLiteral(":id"), id);
            q.exec();
        }
    }
    refresh();
}

void VeskSqlQueryModel::deleteRecord(const QString& table, const QString& id)
{
    {
        QSqlQuery q(m_db);
        execById(q, QStringLiteral("delete from ") + table + QStringLiteral(" where id = :id"), id);
    }
    refresh();
}

TableRecord VeskSqlQueryModel::getRecord(const QString& table, const QString& id) const
{
    TableRecord result(table);
    QSqlQuery q(m_db);
    if (!execById(q, QStringLiteral("select * from  ") + table + QStringLiteral(" where id = :id limit 1"), id))
        return result;
    // Column names come from the statement itself, so a record is labelled correctly whichever model runs it.
    while (q.next()) {
        const QSqlRecord row = q.record();
        for (int i = 0; i < row.count(); ++i)
            result.insert(row.fieldName(i), row.value(i).toString());
    }
    return result;
}
