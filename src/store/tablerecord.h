#pragma once

#include <QHash>
#include <QString>

class QSqlRecord;

namespace Vesk {

// One row of a table, as column name -> text. An empty record means "no such row".
class TableRecord
{
public:
    TableRecord() = default;
    explicit TableRecord(const QString& table);
    // The row a query stands on, labelled by the statement's own column names.
    TableRecord(const QString& table, const QSqlRecord& row);

    void insert(const QString& field, const QString& value);
    bool isEmpty() const { return m_fields.isEmpty(); }
    bool contains(const QString& field) const { return m_fields.contains(field); }

    // The column's text; "" of an empty record. Asking a row for a column it does not have logs a critical line
    // and yields "".
    QString value(const QString& field) const;

    QString table() const { return m_table; }
    QHash<QString, QString> fields() const { return m_fields; }

private:
    QHash<QString, QString> m_fields;
    QString m_table;
};

} // namespace Vesk
