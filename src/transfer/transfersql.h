#pragma once

#include <QSqlQuery>
#include <QString>
#include <QVariantList>

namespace Vesk {

// Binds values to the placeholders of the statement q holds, in order, and runs it: for a statement prepared once
// and run for many rows.
inline bool execBound(QSqlQuery& q, const QVariantList& values)
{
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    return q.exec();
}

// Prepares the statement, binds values to its placeholders in order and runs it.
inline bool execBound(QSqlQuery& q, const QString& statement, const QVariantList& values)
{
    return q.prepare(statement) && execBound(q, values);
}

// A null text for an empty one, so that the column it is bound to holds null.
inline QVariant nullIfEmpty(const QString& text)
{
    return text.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(text);
}

} // namespace Vesk
