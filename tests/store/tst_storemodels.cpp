#include "store/filestandarditemmodel.h"
#include "store/vesksqlquerymodel.h"

#include "subsystemfixture.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>

using namespace TestSupport;
using Vesk::kPeersTable;

// An id as it may arrive from the network: it must address its own row and nothing else.
static const QString kOdd = QStringLiteral("{it's \"odd\"'); drop table vesk_peers; --}");

// Reads a value as a delegate does: by the role named after the column.
static QString byName(const VeskSqlQueryModel& model, int row, const QByteArray& name)
{
    return model.data(model.index(row, 0), model.roleNames().key(name, -1)).toString();
}

// The lists the interface shows: rows read from the database, and the files picked for sending.
class tst_StoreModels : public QObject
{
    Q_OBJECT
    std::unique_ptr<SubsystemFixture> f;
    std::unique_ptr<VeskSqlQueryModel> m;

private slots:
    void init()
    {
        f = std::make_unique<SubsystemFixture>();
        f->addPeer("{a}");
        f->addPeer(kOdd, "off", "10.0.0.9", "yes");
        m = std::make_unique<VeskSqlQueryModel>();
        new QAbstractItemModelTester(m.get(), QAbstractItemModelTester::FailureReportingMode::QtTest, m.get());
    }
    void cleanup()
    {
        m.reset();
        f.reset();
    }

    // Whatever order the columns come in (a migrated file adds them at the end), each role reads its own column.
    void rolesReadTheirColumn()
    {
        m->setQuery("select timestamp, status, alias, ipAddress, id, blocked from vesk_peers where id = ?",
                    f->store->database(), {kOdd});
        QCOMPARE(m->rowCount(), 1);
        QCOMPARE(m->roleNames().size(), 6);
        for (const QByteArray& name : m->roleNames())
            QCOMPARE(byName(*m, 0, name), row("vesk_peers", kOdd).value(QString::fromLatin1(name).toLower()));
    }

    // A model shows what its query found when it last ran, with the same bound values each time.
    void refreshRunsTheSameQuery()
    {
        m->setQuery("select * from vesk_chats where peerfrom = ?", f->store->database(), {kOdd});
        QVERIFY(exec("insert into vesk_chats (id, message, peerfrom) values ('c', 'hi', ?), ('d', '', '{a}')", {kOdd}));
        QCOMPARE(m->rowCount(), 0);
        m->refresh();
        QCOMPARE(m->rowCount(), 1);
        QCOMPARE(byName(*m, 0, "message"), QStringLiteral("hi"));
    }

    // The operations on one row by its id, with the refresh each promises.
    void byIdOperations()
    {
        m->setQuery("select * from vesk_peers order by id", f->store->database());
        m->setField(kPeersTable, kOdd, "alias", "Quinn");
        QCOMPARE(m->getField(kPeersTable, kOdd, "alias"), QStringLiteral("Quinn"));
        QCOMPARE(byName(*m, 1, "alias"), "alias of " + kOdd); // not refreshed
        m->setFieldAndRefresh(kPeersTable, kOdd, "status", "on");
        QCOMPARE(byName(*m, 1, "status"), QStringLiteral("on"));
        m->incrementField(kPeersTable, kOdd, "unreadMessagesCount", 2);
        QCOMPARE(byName(*m, 1, "unreadMessagesCount"), QStringLiteral("2"));
        m->setClock(f->clock);
        f->clock.setNowMs(1712345678901);
        m->touchTimestamp(kPeersTable, kOdd);
        QCOMPARE(m->getRecord(kPeersTable, kOdd).value("timestamp"), QStringLiteral("1712345678901"));
        m->setFieldAndRefresh(kPeersTable, "{nobody}", "alias", "Ghost");
        m->deleteRecord(kPeersTable, kOdd);
        QCOMPARE(m->rowCount(), 1);
        QVERIFY(m->getRecord(kPeersTable, kOdd).isEmpty() && m->getField(kPeersTable, kOdd, "alias").isEmpty());
        QCOMPARE(column("select id || '=' || alias from vesk_peers"), QStringList{"{a}=alias of {a}"});
    }

    // The files picked for sending: what stays ticked when files are taken off, and the list sorted by name in
    // any case.
    void pickedFiles()
    {
        FileStandardItemModel files;
        FileSortFilterProxyModel sorted;
        sorted.setSourceModel(&files);
        QAbstractItemModelTester tester(&sorted, QAbstractItemModelTester::FailureReportingMode::QtTest);
        sorted.sort(0);
        for (const char* name : {"b.txt", "C.txt", "a.txt", "D.txt"})
            files.appendRow(new FileStandardItem(QStringLiteral("file:///f/") + name, name, 1, "", name[0] != 'C'));
        files.toggleHighlightFlag("file:///f/a.txt");
        files.removeFile("file:///f/b.txt");
        files.removeFile("file:///f/missing.txt");
        QCOMPARE(files.selectedCount(), 1);
        QStringList names;
        for (int row = 0; row < sorted.rowCount(); ++row)
            names << sorted.index(row, 0).data(FileStandardItemModel::FileNameRole).toString();
        QCOMPARE(names, (QStringList{"a.txt", "C.txt", "D.txt"}));
    }
};

QTEST_GUILESS_MAIN(tst_StoreModels)
#include "tst_storemodels.moc"
