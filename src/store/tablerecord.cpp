#include "store/tablerecord.h"

#include <QDebug>
#include <QSqlRecord>
#include <QVariant>

namespace Vesk {

TableRecord::TableRecord(const QString& table) : m_table(table) {}

TableRecord::TableRecord(const QString& table, const QSqlRecord& row) : m_table(table)
{
    for (int i = 0; i < row.count(); ++i)
        m_fields.insert(row.fieldName(i), row.value(i).toString());
}

void TableRecord::insert(const QString& field, const QString& value)
{
    m_fields.insert(field, value);
}

QString TableRecord::value(const QString& field) const
{
    const auto it = m_fields.constFind(field);
    if (it == m_fields.constEnd()) {
        // No row has no fields: asking one of it is how callers learn there is none. A row without the column is
        // a mistake in the program.
        if (m_fields.isEmpty())
            return QString();
        qCritical().noquote() << QStringLiteral("invalid field ") + field + QStringLiteral(" for table ") + m_table;
        return QString();
    }
    return it.value();
}

} // namespace Vesk
