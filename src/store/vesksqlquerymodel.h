#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQueryModel>
#include <QString>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

namespace Vesk {

// A SQL list model whose result column i is exposed as role 33 + i, named after the column, so that
// QML delegates read values by column name whatever the column order of the database file.
//
// A refresh tells views only what changed: nothing when the rows read back are the rows shown, a change of the
// rows' values when the same rows come back in the same order (views keep their scroll position, current item and
// delegates), and a reset otherwise. scheduleRefresh() merges the refreshes of a burst into one.
//
// Beside the column roles, a row offers typed values for the columns whose text the interface must not interpret
// itself: whether a peer is online or blocked and how far it can be trusted, whether a chat or an offer reached the
// peer, sizes and times as numbers, and a picture's URL that changes when the file is rewritten in place. They are
// numbered from kFirstTypedRole, far above any column role, and exist only in the lists that have their column.
// Rows are read and changed by their id through the Store; after a change the caller refreshes the lists that show it.
class VeskSqlQueryModel : public QSqlQueryModel
{
    Q_OBJECT
    Q_DISABLE_COPY(VeskSqlQueryModel)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    static constexpr int kFirstTypedRole = 1024;

    explicit VeskSqlQueryModel(QObject* parent = nullptr);
    ~VeskSqlQueryModel() override;

    // Runs the query (resetting the model) and rebuilds the role names. The bound values fill the query's
    // positional placeholders in order; refresh() binds them again on every re-run.
    void setQuery(const QString& query, const QSqlDatabase& db);
    void setQuery(const QString& query, const QSqlDatabase& db, const QVariantList& boundValues);
    void refresh();
    // Refreshes once, kRefreshCoalesceMs after the first of any number of calls (an immediate refresh() in between
    // makes it unnecessary). For changes that arrive in bursts, such as presence.
    void scheduleRefresh();
    // Like scheduleRefresh(), but the rows count as changed even if their text is the same: for a picture
    // rewritten under the same file name.
    void scheduleRefreshAll();
    bool refreshPending() const { return m_refreshTimer.isActive(); }
    static constexpr int kRefreshCoalesceMs = 100;

    QString queryText() const { return m_queryText; }
    QVariantList boundValues() const { return m_boundValues; }
    QSqlDatabase database() const { return m_db; }

    QVariant data(const QModelIndex& item, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    // The rows loaded so far, as views see them.
    int count() const { return rowCount(); }

    // One row of a table of this database, read now, as a delegate of such a list sees it: each column by name
    // and the typed values. Empty when there is no such row. For a row a list may not show (the peer of an open
    // conversation who went offline).
    Q_INVOKABLE QVariantMap readRow(const QString& table, const QString& id) const;
    // The table whose rows this list shows, set with its query by the program: the interface reads one of its
    // rows by id alone (rowById), without naming a table.
    void setRowTable(const QString& table) { m_rowTable = table; }
    Q_INVOKABLE QVariantMap rowById(const QString& id) const { return readRow(m_rowTable, id); }

Q_SIGNALS:
    void countChanged();
    // The query ran again, whether or not its rows changed: for what counts from the same tables.
    void refreshed();

private:
    using Rows = QList<QVariantList>;
    QSqlQuery execQuery(bool forwardOnly) const;
    void runQuery(bool incremental);
    void readRows(bool incremental);
    // Replaces the base model's result without a reset and reports the rows whose values differ.
    void swapRows(QSqlQuery&& query, const Rows& rows);
    void fetchAllRows();
    void generateRoleNames();
    void checkCount();

    QSqlDatabase m_db;
    QString m_queryText;
    QVariantList m_boundValues;
    QString m_rowTable;
    QHash<int, QByteArray> m_roleNames;
    QHash<int, int> m_typedColumns; // typed role -> the column it reads
    int m_lastCount = 0;
    Rows m_rows; // as last read, what the views show
    bool m_shown = false;
    bool m_forceNext = false;
    QTimer m_refreshTimer;
};

} // namespace Vesk
