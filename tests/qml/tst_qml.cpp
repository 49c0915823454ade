#include "store/filestandarditemmodel.h"
#include "store/vesksqlquerymodel.h"

#include <QQmlEngine>
#include <QSqlError>
#include <QtQuickTest>

// Runs the tst_*.qml files here against qml/Vesk/desktop with a fake controller and the program's own list models.
// FakeTableModel selects its rows (objects, a key per column) as bound values through VeskSqlQueryModel, so the
// views get the role numbering and the values of the program's SQL lists.
class FakeTableModel : public VeskSqlQueryModel
{
    Q_OBJECT
    Q_PROPERTY(QVariantList rows MEMBER m_rows WRITE setRows)

public:
    void setRows(const QVariantList& rows)
    {
        const QString connection = QStringLiteral("qmltest");
        if (!QSqlDatabase::contains(connection))
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection)
                .setDatabaseName(QStringLiteral(":memory:"));
        const QStringList columns = rows.isEmpty() ? QStringList() : rows.first().toMap().keys();
        QStringList selects;
        QVariantList values;
        for (const QVariant& row : rows) {
            QStringList fields;
            for (const QString& column : columns) {
                fields << QStringLiteral("? as ") + column;
                values << row.toMap().value(column);
            }
            selects << QStringLiteral("select ") + fields.join(u',');
        }
        m_rows = rows;
        setQuery(rows.isEmpty() ? QStringLiteral("select null as id where 0")
                                : selects.join(QStringLiteral(" union all ")),
                 QSqlDatabase::database(connection), values);
        if (lastError().isValid())
            qWarning() << "fake rows:" << lastError().text();
    }

private:
    QVariantList m_rows;
};

static void registerFakes()
{
    qmlRegisterType<FakeTableModel>("Vesk.Testing", 1, 0, "FakeTableModel");
    qmlRegisterType<FileStandardItemModel>("Vesk.Testing", 1, 0, "FileStandardItemModel");
    qmlRegisterType<FileSortFilterProxyModel>("Vesk.Testing", 1, 0, "FileSortFilterProxyModel");
}
Q_COREAPP_STARTUP_FUNCTION(registerFakes)

QUICK_TEST_MAIN(tst_qml)

#include "tst_qml.moc"
