#include "app/qmltypes.h"
#include "store/filestandarditemmodel.h"
#include "store/transferlists.h"
#include "store/vesksqlquerymodel.h"

#include <QJsonDocument>
#include <QQmlEngine>
#include <QSqlError>
#include <QSqlQuery>
#include <QtQuickTest>

using Vesk::FileStandardItemModel;
using Vesk::VeskSqlQueryModel;
// FakeTableModel selects its rows (objects, a key per column) out of their JSON text through the program's own
// VeskSqlQueryModel, so the views under test get the roles and the values of the program's SQL lists. Given a
// table name, it also stores them as that table, so that what a view reads by id (rowById, readRow) finds them too.
class FakeTableModel : public VeskSqlQueryModel
{
    Q_OBJECT
    Q_PROPERTY(QVariantList rows MEMBER m_rows WRITE setRows)
    Q_PROPERTY(QString table MEMBER m_table WRITE setTable)

public:
    void setRows(const QVariantList& rows)
    {
        m_rows = rows;
        load();
    }
    void setTable(const QString& table)
    {
        m_table = table;
        setRowTable(table);
        load();
    }

private:
    void load()
    {
        QStringList columns;
        for (const QString& column : m_rows.value(0).toMap().keys())
            columns << QStringLiteral("json_extract(value, '$.%1') as %1").arg(column);
        const QString json = QString::fromUtf8(QJsonDocument::fromVariant(m_rows).toJson());
        const QString select =
            QStringLiteral("select %1 from json_each(?)").arg(columns.isEmpty() ? "null as id" : columns.join(','));
        const QSqlDatabase db = QSqlDatabase::database(QStringLiteral("qmltest"));
        if (m_table.isEmpty()) {
            setQuery(select, db, {json});
        } else {
            QSqlQuery q(db);
            q.exec(QStringLiteral("drop table if exists ") + m_table);
            q.prepare(QStringLiteral("create table %1 as %2").arg(m_table, select));
            q.addBindValue(json);
            if (!q.exec())
                qWarning() << "fake table:" << q.lastError().text();
            setQuery(QStringLiteral("select * from ") + m_table, db);
        }
        if (lastError().isValid())
            qWarning() << "fake rows:" << lastError().text();
    }

    QVariantList m_rows;
    QString m_table;
};

// The program's list of folders of one kind ("offered", "queued", "received", "sending") over the tables stored
// by FakeTableModel.
class FakeFolderList : public Vesk::FolderListModel
{
    Q_OBJECT
    Q_PROPERTY(QString kind MEMBER m_kind WRITE setKindName)

public:
    FakeFolderList() : FolderListModel(Kind::Offered, QSqlDatabase::database(QStringLiteral("qmltest"))) {}
    void setKindName(const QString& kind)
    {
        m_kind = kind;
        const QStringList kinds{"offered", "queued", "received", "sending"};
        setKind(Kind(kinds.indexOf(kind)));
        if (lastError().isValid())
            qWarning() << "fake folders:" << lastError().text();
    }

private:
    QString m_kind;
};

static void registerFakes()
{
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("qmltest")).setDatabaseName(":memory:");
    qmlRegisterType<FakeTableModel>("Vesk.Testing", 1, 0, "FakeTableModel");
    qmlRegisterType<FileStandardItemModel>("Vesk.Testing", 1, 0, "FileStandardItemModel");
    qmlRegisterType<FakeFolderList>("Vesk.Testing", 1, 0, "FakeFolderList");
    Vesk::Qml::registerTypes();
}
Q_COREAPP_STARTUP_FUNCTION(registerFakes)

QUICK_TEST_MAIN(tst_qml)

#include "tst_qml.moc"
