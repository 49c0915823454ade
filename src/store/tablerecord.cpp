#include "store/tablerecord.h"

#include <QDebug>

namespace Vesk {

TableRecord::TableRecord(const QString& table) : m_table(table) {}

void TableRecord::insert(const QString& field, const QString& value)
{
    m_fields.insert(field, value);
}

QString TableRecord::value(const QString& field) const
{
    const auto it = m_fields.constFind(field);
    if (it == m_fields.constEnd()) {
        qCritical().noquote() << QStringLiteral("invalid field ") + field + QStringLiteral(" for table ") + m_table;
        return QString();
    }
    return it.value();
}

} // namespace Vesk
