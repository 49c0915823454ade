#include "faketablemodel.h"

namespace {
// The SQL models number their roles from 33 in column order; keep the same numbering.
constexpr int kFirstRole = Qt::UserRole + 1;
} // namespace

FakeTableModel::FakeTableModel(QObject* parent) : QAbstractListModel(parent) {}

void FakeTableModel::setRoles(const QStringList& roles)
{
    if (roles == m_roles)
        return;
    beginResetModel();
    m_roles = roles;
    endResetModel();
    Q_EMIT rolesChanged();
}

void FakeTableModel::setRows(const QVariantList& rows)
{
    beginResetModel();
    m_rows = rows;
    endResetModel();
    Q_EMIT rowsChanged();
}

int FakeTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant FakeTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const int column = role - kFirstRole;
    if (column < 0 || column >= m_roles.size())
        return {};
    return m_rows.at(index.row()).toMap().value(m_roles.at(column));
}

QHash<int, QByteArray> FakeTableModel::roleNames() const
{
    QHash<int, QByteArray> names;
    for (int i = 0; i < m_roles.size(); ++i)
        names.insert(kFirstRole + i, m_roles.at(i).toUtf8());
    return names;
}

void FakeTableModel::toggleHighlightFlag(const QString& fileURL)
{
    m_calls.append(QStringLiteral("toggleHighlightFlag(%1)").arg(fileURL));
    Q_EMIT callsChanged();
    for (int row = 0; row < m_rows.size(); ++row) {
        QVariantMap values = m_rows.at(row).toMap();
        if (values.value(QStringLiteral("fileURL")).toString() != fileURL)
            continue;
        values.insert(QStringLiteral("selected"), !values.value(QStringLiteral("selected")).toBool());
        m_rows[row] = values;
        const QModelIndex changed = index(row);
        Q_EMIT dataChanged(changed, changed);
        return;
    }
}

void FakeTableModel::clearSelected()
{
    m_calls.append(QStringLiteral("clearSelected()"));
    Q_EMIT callsChanged();
    for (int row = 0; row < m_rows.size(); ++row) {
        QVariantMap values = m_rows.at(row).toMap();
        values.insert(QStringLiteral("selected"), false);
        m_rows[row] = values;
    }
    if (!m_rows.isEmpty())
        Q_EMIT dataChanged(index(0), index(int(m_rows.size()) - 1));
}
