#include "peers/chatsearch.h"

namespace Vesk {

ChatSearch::ChatSearch(QObject* parent) : QObject(parent) {}

void ChatSearch::setModel(QAbstractItemModel* model)
{
    if (m_model == model)
        return;
    for (const QMetaObject::Connection& connection : std::as_const(m_connections))
        disconnect(connection);
    m_connections.clear();
    m_model = model;
    if (model) {
        const auto rowsChanged = [this] {
            search(true);
        };
        m_connections << connect(model, &QAbstractItemModel::modelReset, this, rowsChanged)
                      << connect(model, &QAbstractItemModel::rowsInserted, this, rowsChanged)
                      << connect(model, &QAbstractItemModel::rowsRemoved, this, rowsChanged)
                      << connect(model, &QAbstractItemModel::rowsMoved, this, rowsChanged)
                      << connect(model, &QAbstractItemModel::layoutChanged, this, rowsChanged)
                      // A refresh that finds the same rows changes only values (a delivery confirmed): the view
                      // stays where the reader put it unless that changed the matches.
                      << connect(model, &QAbstractItemModel::dataChanged, this, [this] { search(false); })
                      << connect(model, &QObject::destroyed, this, [this] {
                             // The pointer is already null; the model's connections are gone with it.
                             m_connections.clear();
                             Q_EMIT modelChanged();
                             search(true);
                         });
    }
    Q_EMIT modelChanged();
    search(true);
}

void ChatSearch::setText(const QString& text)
{
    if (m_text == text)
        return;
    m_text = text;
    Q_EMIT textChanged();
    search(true);
}

bool ChatSearch::holds(const QString& message, const QString& text)
{
    // Lower case on both sides, as the view marks the occurrences; a case-insensitive compare folds a few letters
    // further (the long s as an s) and would count matches the view does not mark.
    return !text.isEmpty() && message.toLower().contains(text.toLower());
}

void ChatSearch::search(bool announce)
{
    const int keep = currentRow();
    QList<int> rows;
    const int role = m_model ? m_model->roleNames().key(kTextRole, -1) : -1;
    for (int row = 0; role >= 0 && row < m_model->rowCount(); ++row) {
        if (holds(m_model->index(row, 0).data(role).toString(), m_text))
            rows.append(row);
    }
    const int kept = int(rows.indexOf(keep));
    const int current = kept >= 0 ? kept : int(rows.size()) - 1;
    if (!announce && rows == m_rows && current == m_current)
        return;
    m_rows = std::move(rows);
    m_current = current;
    Q_EMIT matchesChanged();
}

void ChatSearch::step(int by)
{
    if (m_rows.isEmpty())
        return;
    const int n = int(m_rows.size());
    m_current = ((m_current + by) % n + n) % n;
    Q_EMIT matchesChanged();
}

} // namespace Vesk
