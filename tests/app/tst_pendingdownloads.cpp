#include "app/globals.h"

#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>

using Vesk::Globals;

class TestPendingDownloads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void downloadAllPending_data();
    void downloadAllPending();
    void pauseAllPendingDownloads_data();
    void pauseAllPendingDownloads();

private:
    QStringList statuses() const;
    Globals* g = nullptr;
};

namespace {
// One row per status word, plus a second of the two the queue-wide statements move.
const QStringList kStartStatuses{QStringLiteral("unknown"), QStringLiteral("unknown"), QStringLiteral("queued"),
                                 QStringLiteral("downloaded"), QStringLiteral("tobedeleted")};
} // namespace

void TestPendingDownloads::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    g = Globals::instance();
}

void TestPendingDownloads::init()
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec(QStringLiteral("delete from vesk_downloads")));
    for (int i = 0; i < kStartStatuses.size(); ++i) {
        QVERIFY_SQL(q, prepare(QStringLiteral("insert into vesk_downloads (id, status, nodefrom, filename, filesize, "
                                              "downloadsize, timestamp) values (?, ?, '{peer}', ?, ?, 0, ?)")));
        q.addBindValue(QStringLiteral("id%1").arg(i));
        q.addBindValue(kStartStatuses.at(i));
        q.addBindValue(QStringLiteral("file%1").arg(i));
        q.addBindValue(1000 * (i + 1));
        q.addBindValue(i);
        QVERIFY_SQL(q, exec());
    }
    g->pausedDownloads->refresh();
    g->queuedDownloads->refresh();
    g->completedDownloads->refresh();
    g->setCurrentDownloadingFileId(QStringLiteral("id2"));
}

QStringList TestPendingDownloads::statuses() const
{
    QStringList result;
    QSqlQuery q(Database::connection());
    q.exec(QStringLiteral("select status from vesk_downloads order by id"));
    while (q.next())
        result << q.value(0).toString();
    return result;
}

void TestPendingDownloads::downloadAllPending_data()
{
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("unknown becomes queued")
        << QStringList{QStringLiteral("queued"), QStringLiteral("queued"), QStringLiteral("queued"),
                       QStringLiteral("downloaded"), QStringLiteral("tobedeleted")};
}

void TestPendingDownloads::downloadAllPending()
{
    QFETCH(QStringList, expected);
    QSignalSpy pending(g, &Globals::pendingValidationsCountChanged);
    QSignalSpy icons(g, &Globals::updateAppIconsSignal);
    QSignalSpy next(g, &Globals::readyToDownloadNextFile);
    QSignalSpy current(g, &Globals::currentDownloadingFileIdChanged);
    QCOMPARE(g->pausedDownloads->rowCount(), 2);

    g->downloadAllPending();

    QCOMPARE(statuses(), expected);
    QCOMPARE(g->pausedDownloads->rowCount(), 0);
    QCOMPARE(g->queuedDownloads->rowCount(), 3);
    QCOMPARE(g->numberOfPendingValidations(), 0);
    QCOMPARE(pending.count(), 1);
    QCOMPARE(icons.count(), 1);
    QCOMPARE(next.count(), 1);
    QCOMPARE(current.count(), 0);
    QCOMPARE(g->currentDownloadingFileId(), QStringLiteral("id2"));
}

void TestPendingDownloads::pauseAllPendingDownloads_data()
{
    QTest::addColumn<bool>("queueFirst");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("queued becomes unknown")
        << false
        << QStringList{QStringLiteral("unknown"), QStringLiteral("unknown"), QStringLiteral("unknown"),
                       QStringLiteral("downloaded"), QStringLiteral("tobedeleted")};
    QTest::newRow("after queueing all") << true
                                        << QStringList{QStringLiteral("unknown"), QStringLiteral("unknown"),
                                                       QStringLiteral("unknown"), QStringLiteral("downloaded"),
                                                       QStringLiteral("tobedeleted")};
}

void TestPendingDownloads::pauseAllPendingDownloads()
{
    QFETCH(bool, queueFirst);
    QFETCH(QStringList, expected);
    if (queueFirst)
        g->downloadAllPending();
    QSignalSpy pending(g, &Globals::pendingValidationsCountChanged);
    QSignalSpy icons(g, &Globals::updateAppIconsSignal);
    QSignalSpy next(g, &Globals::readyToDownloadNextFile);
    QSignalSpy current(g, &Globals::currentDownloadingFileIdChanged);

    g->pauseAllPendingDownloads();

    QCOMPARE(statuses(), expected);
    QCOMPARE(g->pausedDownloads->rowCount(), 3);
    QCOMPARE(g->queuedDownloads->rowCount(), 0);
    QCOMPARE(g->numberOfPendingValidations(), 3);
    QVERIFY(g->currentDownloadingFileId().isEmpty());
    QCOMPARE(current.count(), 1);
    QCOMPARE(pending.count(), 1);
    QCOMPARE(icons.count(), 1);
    QCOMPARE(next.count(), 0); // nothing is left to download
}

QTEST_MAIN(TestPendingDownloads)
#include "tst_pendingdownloads.moc"
