#pragma once

#include <QAbstractListModel>
#include <QStringList>
#include <QVariantList>

// Stands in for the program's SQL list models in the interface tests: rows are JavaScript objects, each key a
// role named like a column, values usually text as SQLite hands them over. Setting the rows resets the model as
// a refresh of the real models does, so views rebuild their delegates the same way.
class FakeTableModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(QStringList roles READ roles WRITE setRoles NOTIFY rolesChanged)
    Q_PROPERTY(QVariantList rows READ rows WRITE setRows NOTIFY rowsChanged)
    Q_PROPERTY(int count READ count NOTIFY rowsChanged)
    Q_PROPERTY(QStringList calls READ calls NOTIFY callsChanged)

public:
    explicit FakeTableModel(QObject* parent = nullptr);

    QStringList roles() const { return m_roles; }
    void setRoles(const QStringList& roles);
    QVariantList rows() const { return m_rows; }
    void setRows(const QVariantList& rows);
    int count() const { return int(m_rows.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The selected-files model's own operations, for when this fake stands in for it: flip or clear the
    // "selected" value of rows, recorded in calls.
    QStringList calls() const { return m_calls; }
    Q_INVOKABLE void toggleHighlightFlag(const QString& fileURL);
    Q_INVOKABLE void clearSelected();

Q_SIGNALS:
    void rolesChanged();
    void rowsChanged();
    void callsChanged();

private:
    QStringList m_roles;
    QVariantList m_rows;
    QStringList m_calls;
};
