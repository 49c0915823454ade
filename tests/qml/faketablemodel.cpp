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
