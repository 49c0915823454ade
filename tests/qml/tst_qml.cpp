#include "store/filestandarditemmodel.h"
#include "store/vesksqlquerymodel.h"

#include <QJsonDocument>
#include <QQmlEngine>
#include <QSqlError>
#include <QtQuickTest>

// FakeTableModel selects its rows (objects, a key per column) out of their JSON text through the program's own
// VeskSqlQueryModel, so the views under test get the roles and the values of the program's SQL lists.
class FakeTableModel : public VeskSqlQueryModel
{
    Q_OBJECT
    Q_PROPERTY(QVariantList rows MEMBER m_rows WRITE setRows)

public:
    void setRows(const QVariantList& rows)
    {
        QStringList columns;
        for (const QString& column : rows.value(0).toMap().keys())
            columns << QStringLiteral("json_extract(value, '$.%1') as %1").arg(column);
        const QString json = QString::fromUtf8(QJsonDocument::fromVariant(rows).toJson());
        m_rows = rows;
        setQuery(
            QStringLiteral("select %1 from json_each(?)").arg(columns.isEmpty() ? "null as id" : columns.join(',')),
            QSqlDatabase::database(QStringLiteral("qmltest")), {json});
        if (lastError().isValid())
            qWarning() << "fake rows:" << lastError().text();
    }

private:
    QVariantList m_rows;
};

static void registerFakes()
{
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("qmltest")).setDatabaseName(":memory:");
    qmlRegisterType<FakeTableModel>("Vesk.Testing", 1, 0, "FakeTableModel");
    qmlRegisterType<FileStandardItemModel>("Vesk.Testing", 1, 0, "FileStandardItemModel");
}
Q_COREAPP_STARTUP_FUNCTION(registerFakes)

QUICK_TEST_MAIN(tst_qml)

#include "tst_qml.moc"
