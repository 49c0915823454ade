#include "store/vesksqlquerymodel.h"

#include "store/pictureurl.h"
#include "store/securitystate.h"
#include "store/storelogging.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <QRegularExpression>

#include <cmath>
#include <utility>

Q_LOGGING_CATEGORY(lcStore, "vesk.store")

namespace Vesk {

namespace {

// The interface reads columns by role names fixed at 33, 34, ... (after a user-role base of 32), whatever the
// value of Qt::UserRole; the roles below 32 keep the base model's meaning.
constexpr int kRoleBase = 32;
constexpr int kFirstColumnRole = kRoleBase + 1;

// Prepares, binds the id and executes; a failure reads as no row.
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

// The column that identifies a row; without one a row is identified by all its values.
int keyColumn(const QSqlRecord& columns)
{
    return columns.indexOf(QStringLiteral("id"));
}

// How a typed role reads its column.
enum class Typed {
    Flag,     // true when the text is the given word of the status vocabulary
    Number,   // a whole, non-negative number (sizes, counts, times in ms); 0 for anything else
    Picture,  // a path turned into the URL the interface loads (see pictureUrl)
    Security, // a peer's identity key with its pendingKey and verified columns: a SecurityState::State
};

struct TypedRole
{
    const char* name;
    const char* column;
    Typed kind;
    const char* word;     // for Flag
    const char* onlyWith; // a column the list must also have, for a word that means something in one table only
};

// The order fixes the role numbers (kFirstTypedRole + index): append only.
constexpr TypedRole kTypedRoles[] = {
    {"online", "status", Typed::Flag, "on", "ipAddress"}, // peers
    {"isBlocked", "blocked", Typed::Flag, "yes", nullptr},
    {"unreadCount", "unreadMessagesCount", Typed::Number, nullptr, nullptr},
    {"delivered", "status", Typed::Flag, "sent", "timesent"}, // chats and uploads
    {"byteSize", "filesize", Typed::Number, nullptr, nullptr},
    {"sentBytes", "bytesSent", Typed::Number, nullptr, nullptr},
    {"timesentMs", "timesent", Typed::Number, nullptr, nullptr},
    {"timestampMs", "timestamp", Typed::Number, nullptr, nullptr},
    {"avatarUrl", "avatarPath", Typed::Picture, nullptr, nullptr},
    {"security", "identityKey", Typed::Security, nullptr, "pendingKey"}, // peers
};

// column(name): the text of another column of the same row, for the roles that read more than one.
template <typename Column> QVariant typedValue(const TypedRole& role, const QVariant& text, const Column& column)
{
    switch (role.kind) {
    case Typed::Flag:
        return text.toString() == QLatin1String(role.word);
    case Typed::Number: {
        // The columns are text: "5000000", but also "5000000.0" or garbage from a peer.
        bool ok = false;
        const double n = text.toString().toDouble(&ok);
        return qint64(ok && std::isfinite(n) && n > 0 && n < 9e18 ? std::floor(n) : 0);
    }
    case Typed::Picture:
        return Vesk::pictureUrl(text.toString());
    case Typed::Security:
        return QVariant::fromValue(
            SecurityState::fromColumns(text, column(QStringLiteral("pendingKey")), column(QStringLiteral("verified"))));
    }
    return {};
}

// Typed role number -> index of the column it reads, for the typed roles these columns allow.
QHash<int, int> typedColumns(const QSqlRecord& columns)
{
    QHash<int, int> result;
    for (int i = 0; i < int(std::size(kTypedRoles)); ++i) {
        const TypedRole& role = kTypedRoles[i];
        const int column = columns.indexOf(QLatin1String(role.column));
        if (column >= 0 && (!role.onlyWith || columns.contains(QLatin1String(role.onlyWith))))
            result.insert(VeskSqlQueryModel::kFirstTypedRole + i, column);
    }
    return result;
}

const TypedRole& typedRole(int role)
{
    return kTypedRoles[role - VeskSqlQueryModel::kFirstTypedRole];
}

bool sameColumnNames(const QSqlRecord& a, const QSqlRecord& b)
{
    if (a.count() != b.count())
        return false;
    for (int i = 0; i < a.count(); ++i) {
        if (a.fieldName(i) != b.fieldName(i))
            return false;
    }
    return true;
}

} // namespace

VeskSqlQueryModel::VeskSqlQueryModel(QObject* parent) : QSqlQueryModel(parent)
{
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshCoalesceMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &VeskSqlQueryModel::refresh);
    connect(this, &QAbstractItemModel::modelReset, this, &VeskSqlQueryModel::checkCount);
    connect(this, &QAbstractItemModel::rowsInserted, this, &VeskSqlQueryModel::checkCount);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &VeskSqlQueryModel::checkCount);
}

void VeskSqlQueryModel::checkCount()
{
    const int now = rowCount();
    if (now == m_lastCount)
        return;
    m_lastCount = now;
    Q_EMIT countChanged();
}

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
    runQuery(false);
}

void VeskSqlQueryModel::refresh()
{
    runQuery(true);
}

void VeskSqlQueryModel::scheduleRefresh()
{
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void VeskSqlQueryModel::scheduleRefreshAll()
{
    m_forceNext = true;
    scheduleRefresh();
}

QSqlQuery VeskSqlQueryModel::execQuery(bool forwardOnly) const
{
    QSqlQuery q(m_db);
    q.setForwardOnly(forwardOnly);
    if (q.prepare(m_queryText)) {
        for (int i = 0; i < m_boundValues.size(); ++i)
            q.bindValue(i, m_boundValues.at(i));
        if (!q.exec())
            qCDebug(lcStore) << "query failed:" << m_queryText << q.lastError().text();
    } else {
        qCDebug(lcStore) << "prepare failed:" << m_queryText << q.lastError().text();
    }
    return q;
}

void VeskSqlQueryModel::runQuery(bool incremental)
{
    readRows(incremental);
    Q_EMIT refreshed();
}

void VeskSqlQueryModel::readRows(bool incremental)
{
    m_refreshTimer.stop();
    const bool force = std::exchange(m_forceNext, false);
    QSqlQuery q = execQuery(true);
    Rows rows;
    const QSqlRecord columns = q.record();
    while (q.isActive() && q.next()) {
        QVariantList values;
        values.reserve(columns.count());
        for (int i = 0; i < columns.count(); ++i)
            values.append(q.value(i));
        rows.append(std::move(values));
    }
    const bool sameColumns = m_shown && q.isActive() && sameColumnNames(columns, record());
    if (incremental && sameColumns && rows == m_rows && !force)
        return;

    const int key = keyColumn(columns);
    const auto sameRows = [&] {
        if (rows.size() != m_rows.size())
            return false;
        for (int i = 0; i < rows.size(); ++i) {
            if (key >= 0 ? rows.at(i).at(key) != m_rows.at(i).at(key) : rows.at(i) != m_rows.at(i))
                return false;
        }
        return true;
    };
    if (incremental && sameColumns && sameRows()) {
        swapRows(execQuery(false), rows);
        if (force) {
            if (!rows.isEmpty())
                Q_EMIT dataChanged(index(0, 0), index(int(rows.size()) - 1, int(columns.count()) - 1));
        }
        m_rows = std::move(rows);
        return;
    }
    // A failed query still goes to the base model: the list then shows no rows and has no column roles. Whoever
    // reads the list when it tells of the reset finds the new columns' roles (the base model's reset nests in this).
    beginResetModel();
    QSqlQueryModel::setQuery(execQuery(false));
    fetchAllRows();
    generateRoleNames();
    endResetModel();
    m_rows = std::move(rows);
    m_shown = true;
}

void VeskSqlQueryModel::fetchAllRows()
{
    // All rows at once, as the comparison read them. A query with rows left unread keeps its reading of the database
    // open, and while it is open the write-ahead log cannot start over: it grew with every write for as long as a
    // list held more rows than one fetch brings. Told to nobody: the caller tells the views of the rows as a whole.
    const QSignalBlocker quiet(this);
    while (canFetchMore())
        fetchMore();
}

void VeskSqlQueryModel::swapRows(QSqlQuery&& query, const Rows& rows)
{
    {
        // The rows are the same ones in the same order: the views need not start over, only re-read values.
        const QSignalBlocker quiet(this);
        QSqlQueryModel::setQuery(std::move(query));
    }
    fetchAllRows();
    const int lastColumn = record().count() - 1;
    for (int i = 0; i < rows.size(); ++i) {
        if (rows.at(i) == m_rows.at(i))
            continue;
        int last = i;
        while (last + 1 < rows.size() && rows.at(last + 1) != m_rows.at(last + 1))
            ++last;
        Q_EMIT dataChanged(index(i, 0), index(last, lastColumn));
        i = last;
    }
}

void VeskSqlQueryModel::generateRoleNames()
{
    m_roleNames.clear();
    const QSqlRecord columns = record();
    for (int i = 0; i < columns.count(); ++i)
        m_roleNames.insert(kFirstColumnRole + i, columns.fieldName(i).toUtf8());
    m_typedColumns = typedColumns(columns);
    for (auto it = m_typedColumns.cbegin(); it != m_typedColumns.cend(); ++it)
        m_roleNames.insert(it.key(), typedRole(it.key()).name);
}

QHash<int, QByteArray> VeskSqlQueryModel::roleNames() const
{
    return m_roleNames;
}

QVariant VeskSqlQueryModel::data(const QModelIndex& item, int role) const
{
    if (role < kRoleBase)
        return QSqlQueryModel::data(item, role);
    if (role >= kFirstTypedRole) {
        const auto typed = m_typedColumns.constFind(role);
        if (typed == m_typedColumns.cend())
            return {};
        const auto column = [this, &item](const QString& name) {
            const int other = record().indexOf(name);
            return other < 0 ? QVariant() : QSqlQueryModel::data(index(item.row(), other), Qt::DisplayRole);
        };
        return typedValue(typedRole(role), QSqlQueryModel::data(index(item.row(), *typed), Qt::DisplayRole), column);
    }
    const int column = role - kFirstColumnRole;
    return QSqlQueryModel::data(index(item.row(), column), Qt::DisplayRole);
}

QVariantMap VeskSqlQueryModel::readRow(const QString& table, const QString& id) const
{
    QVariantMap result;
    // The table name goes into the statement text: only the program's own tables.
    static const QRegularExpression tableName(QStringLiteral("^vesk_[a-z]+$"));
    if (!tableName.match(table).hasMatch()) {
        qCDebug(lcStore) << "not a table of the program:" << table;
        return result;
    }
    QSqlQuery q(m_db);
    if (!execById(q, QStringLiteral("select * from ") + table + QStringLiteral(" where id = :id limit 1"), id) ||
        !q.next())
        return result;
    const QSqlRecord row = q.record();
    for (int i = 0; i < row.count(); ++i)
        result.insert(row.fieldName(i), row.value(i));
    const QHash<int, int> typed = typedColumns(row);
    for (auto it = typed.cbegin(); it != typed.cend(); ++it)
        result.insert(
            QLatin1String(typedRole(it.key()).name),
            typedValue(typedRole(it.key()), row.value(*it), [&row](const QString& name) { return row.value(name); }));
    return result;
}

} // namespace Vesk
