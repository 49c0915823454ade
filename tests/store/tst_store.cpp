#include "store/store.h"
#include "subsystemfixture.h"
#include "testsupport.h"

using namespace TestSupport;

// The single-row reads and counts every subsystem makes; missing rows read as empty and nothing is logged.
class tst_Store : public QObject
{
    Q_OBJECT
private slots:
    void typedReads()
    {
        SubsystemFixture f;
        const QString odd = QStringLiteral("{o'brien}");
        f.addPeer(odd, "off", "10.0.0.9", "yes");
        // A row older than the blocked column, one with an address that is none, one with none.
        QVERIFY(exec("insert into vesk_peers (id, alias, ipAddress, unreadMessagesCount) values "
                     "('{old}', 'Olga', 'not an address', '13'), ('{none}', 'Nils', '', NULL)"));
        QVERIFY(exec("insert into vesk_downloads (id, status) values ('d1', 'downloaded'), ('d2', 'unknown'), "
                     "('d3', 'unknown'), ('d4', 'queued'), ('d5', 'tobedeleted')"));
        QVERIFY(exec("insert into vesk_uploads (id, bytesSent) values ('u1', 7)"));
        MessageCatcher catcher;
        QCOMPARE(f.store->peerField("{old}", "alias"), QStringLiteral("Olga"));
        QCOMPARE(f.store->peerRecord(odd).value("alias"), "alias of " + odd);
        QVERIFY(f.store->isBlocked(odd) && !f.store->isBlocked("{old}"));
        QCOMPARE(f.store->nodeAddress(odd), QHostAddress("10.0.0.9"));
        QCOMPARE(f.store->downloadRecord("d1").value("status"), QStringLiteral("downloaded"));
        QCOMPARE(f.store->uploadRecord("u1").value("bytesSent"), QStringLiteral("7"));
        QCOMPARE(f.store->totalUnreadMessages(), 13); // counts are stored as text
        QCOMPARE(f.store->pendingValidations(), 2);   // offers not yet accepted or refused
        for (const QString& id : {"{old}", "{none}", "{nobody}"})
            QCOMPARE(f.store->nodeAddress(id), QHostAddress());
        QVERIFY(f.store->peerField("{nobody}", "alias").isEmpty() && !f.store->isBlocked("{nobody}"));
        QVERIFY(f.store->peerRecord("{nobody}").isEmpty() && f.store->downloadRecord("x").isEmpty() &&
                f.store->uploadRecord("x").isEmpty());
        QCOMPARE(catcher.criticals(), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_Store)
#include "tst_store.moc"
