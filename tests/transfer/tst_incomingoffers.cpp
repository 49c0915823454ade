#include "transferfixture.h"

#include "app/notificationdialog.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"
#include "transfer/transfernames.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTextEdit>

using namespace TransferFixture;
using Vesk::Globals;
using Vesk::Parameters;

namespace {

constexpr qint64 kHourMs = 3600000;
const QString kUploads = QStringLiteral("vesk_uploads");
const QString kDownloads = QStringLiteral("vesk_downloads");

QString downloadPopupText(Globals* g, const QString& nodeId)
{
    NotificationDialog* popup = g->downloadPopups.value(nodeId);
    return popup ? popup->textView()->toPlainText() : QString();
}

} // namespace

class tst_IncomingOffers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // Receiving offers.
    void receivedOfferIsStoredShownAndConfirmed();
    void offeredNamesAreStoredSafely_data();
    void offeredNamesAreStoredSafely();
    void reOfferOfPendingDownloadOnlyConfirms_data();
    void reOfferOfPendingDownloadOnlyConfirms();
    void reOfferOfDownloadedFileIsStoredAgain();
    void blockedSenderGetsNothing();
    void offerWithImpossibleSizeIsRefused();
    void overLongIdsAndNamesAreBounded();

    // Withdrawals.
    void withdrawingAnUploadTellsTheReceiver();
    void withdrawingADownloadTellsTheOwnerAndKeepsTheFile();
    void eachSideRemovesTheOtherSidesRow();
    void completionAndRemovalHaveTheSameEffect();
    void markedUploadsGoFiveAtATime();
    void markedDownloadsGoFiveAtATime();

private:
    Globals* g = nullptr;
    TransferRecorder* outbox = nullptr;
};

void tst_IncomingOffers::initTestCase()
{
    outbox = new TransferRecorder;
    g = startController();
    new QAbstractItemModelTester(g->uploadsData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->pausedDownloads, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->completedDownloads, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
}

void tst_IncomingOffers::init()
{
    now() += 2 * kHourMs;
    QCoreApplication::processEvents();
    clearTables();
    g->uploadsData->refresh();
    g->pausedDownloads->refresh();
    g->queuedDownloads->refresh();
    g->completedDownloads->refresh();
    outbox->clear();
}

void tst_IncomingOffers::cleanupTestCase()
{
    delete outbox;
    Vesk::setClockOverride({});
}

void tst_IncomingOffers::receivedOfferIsStoredShownAndConfirmed()
{
    addPeer(g, QStringLiteral("owner"), QStringLiteral("on"), QStringLiteral("10.77.3.1"));
    QSignalSpy pendingSpy(g, &Globals::pendingValidationsCountChanged);
    const int pendingBefore = g->numberOfPendingValidations();

    g->processMessage({{"action", "newFileToDownload"},
                       {"fileId", "f-1"},
                       {"fileName", "a:b?c*.txt"},
                       {"fileSize", quint32(1234)},
                       {"nodeFrom", "owner"},
                       {"senderIPAddress", "10.77.3.1"}});

    const auto download = row(kDownloads, QStringLiteral("f-1"));
    QCOMPARE(download.value("filename"), QStringLiteral("abc*.txt"));
    QCOMPARE(download.value("filesize"), QStringLiteral("1234"));
    QCOMPARE(download.value("nodefrom"), QStringLiteral("owner"));
    QCOMPARE(download.value("status"), QStringLiteral("unknown"));
    QCOMPARE(download.value("downloadsize"), QStringLiteral("0"));
    QCOMPARE(download.value("timestamp"), QString::number(now()));
    QCOMPARE(g->pausedDownloads->rowCount(), 1);
    QCOMPARE(g->numberOfPendingValidations(), pendingBefore + 1);
    QVERIFY(pendingSpy.size() >= 1);

    const QString popup = downloadPopupText(g, QStringLiteral("owner"));
    QVERIFY2(popup.contains(QStringLiteral("I have sent you a file called :")), qPrintable(popup));
    QVERIFY2(popup.contains(QStringLiteral("abc*.txt")), qPrintable(popup));
    QVERIFY2(popup.contains(QStringLiteral("Please download it using Vesk.")), qPrintable(popup));

    const auto confirms = outbox->withAction(QStringLiteral("confirmFileToSend"));
    QCOMPARE(confirms.size(), 1);
    QCOMPARE(confirms.first().nodeId, QStringLiteral("owner"));
    QCOMPARE(confirms.first().value("fileId").toString(), QStringLiteral("f-1"));
    QCOMPARE(confirms.first().parameters.size(), 2);
}

void tst_IncomingOffers::offeredNamesAreStoredSafely_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("stored");
    QTest::newRow("empty") << ""
                           << "received file";
    QTest::newRow("dot") << "."
                         << "received file";
    QTest::newRow("dot dot") << ".."
                             << "received file";
    QTest::newRow("separators only") << "/\\"
                                     << "received file";
    QTest::newRow("climbing out") << "../../.bashrc"
                                  << ".....bashrc";
    QTest::newRow("markup") << "<img src=x>.png"
                            << "img src=x.png";
    QTest::newRow("line break") << "two\nlines.txt"
                                << "twolines.txt";
}

void tst_IncomingOffers::offeredNamesAreStoredSafely()
{
    QFETCH(QString, offered);
    QFETCH(QString, stored);
    g->processNewFileToBeReceived(QStringLiteral("safe-1"), offered, QStringLiteral("owner"), 10);
    const QString name = row(kDownloads, QStringLiteral("safe-1")).value("filename");
    QCOMPARE(name, stored);
    QVERIFY(Vesk::TransferNames::staysInFolder(downloadsFolderPath(), name));
    QVERIFY(downloadPopupText(g, QStringLiteral("owner"))
                .endsWith(stored + QStringLiteral("\nPlease download it using Vesk.")));
    QCOMPARE(outbox->withAction(QStringLiteral("confirmFileToSend")).size(), 1);
}

void tst_IncomingOffers::reOfferOfPendingDownloadOnlyConfirms_data()
{
    QTest::addColumn<QString>("status");
    QTest::newRow("queued") << "queued";
    QTest::newRow("unknown") << "unknown";
    QTest::newRow("tobedeleted") << "tobedeleted";
}

void tst_IncomingOffers::reOfferOfPendingDownloadOnlyConfirms()
{
    QFETCH(QString, status);
    g->processNewFileToBeReceived(QStringLiteral("q-1"), QStringLiteral("first.txt"), QStringLiteral("owner"), 10);
    exec(QStringLiteral("update vesk_downloads set status = ? where id = 'q-1'"), {status});
    const auto before = row(kDownloads, QStringLiteral("q-1"));
    const QString popupBefore = downloadPopupText(g, QStringLiteral("owner"));
    outbox->clear();
    now() += 5000;

    g->processNewFileToBeReceived(QStringLiteral("q-1"), QStringLiteral("second.txt"), QStringLiteral("owner"), 99);

    QCOMPARE(row(kDownloads, QStringLiteral("q-1")), before);
    QCOMPARE(downloadPopupText(g, QStringLiteral("owner")), popupBefore);
    QCOMPARE(fileIds(outbox->withAction(QStringLiteral("confirmFileToSend"))), QStringList{"q-1"});
}

void tst_IncomingOffers::reOfferOfDownloadedFileIsStoredAgain()
{
    g->processNewFileToBeReceived(QStringLiteral("d-1"), QStringLiteral("movie.mkv"), QStringLiteral("owner"), 5000);
    // Received earlier under a numbered local name, as a second download of that name would be.
    exec(QStringLiteral("update vesk_downloads set status = 'downloaded', downloadsize = '5000', filename = "
                        "'movie (2).mkv' where id = 'd-1'"));
    const int popupLines = downloadPopupText(g, QStringLiteral("owner")).count(QStringLiteral("movie (2).mkv"));
    outbox->clear();
    now() += 5000;

    g->processNewFileToBeReceived(QStringLiteral("d-1"), QStringLiteral("movie.mkv"), QStringLiteral("owner"), 7000);

    const auto download = row(kDownloads, QStringLiteral("d-1"));
    QCOMPARE(download.value("status"), QStringLiteral("unknown"));
    QCOMPARE(download.value("downloadsize"), QStringLiteral("5000"));
    QCOMPARE(download.value("filesize"), QStringLiteral("7000"));
    QCOMPARE(download.value("timestamp"), QString::number(now()));
    QCOMPARE(download.value("filename"), QStringLiteral("movie (2).mkv"));
    QCOMPARE(downloadPopupText(g, QStringLiteral("owner")).count(QStringLiteral("movie (2).mkv")), popupLines + 1);
    QCOMPARE(fileIds(outbox->withAction(QStringLiteral("confirmFileToSend"))), QStringList{"d-1"});
}

void tst_IncomingOffers::blockedSenderGetsNothing()
{
    addPeer(g, QStringLiteral("pest"), QStringLiteral("on"), QStringLiteral("10.77.3.9"));
    exec(QStringLiteral("update vesk_peers set blocked = 'yes' where id = 'pest'"));
    QSignalSpy pendingSpy(g, &Globals::pendingValidationsCountChanged);
    g->processMessage({{"action", "newFileToDownload"},
                       {"fileId", "b-1"},
                       {"fileName", "spam.exe"},
                       {"fileSize", quint32(10)},
                       {"nodeFrom", "pest"},
                       {"senderIPAddress", "10.77.3.9"}});
    QCOMPARE(count(kDownloads), 0);
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(pendingSpy.size(), 0);
    QVERIFY(!downloadPopupText(g, QStringLiteral("pest")).contains(QStringLiteral("spam.exe")));
}

void tst_IncomingOffers::offerWithImpossibleSizeIsRefused()
{
    g->processNewFileToBeReceived(QStringLiteral("neg"), QStringLiteral("n.txt"), QStringLiteral("owner"), -1);
    g->processNewFileToBeReceived(QStringLiteral("big"), QStringLiteral("b.txt"), QStringLiteral("owner"),
                                  Vesk::TransferNames::kWireSizeLimit);
    QCOMPARE(count(kDownloads), 0);
    QVERIFY(outbox->sent.isEmpty());
}

void tst_IncomingOffers::overLongIdsAndNamesAreBounded()
{
    g->processNewFileToBeReceived(QString(129, QLatin1Char('f')), QStringLiteral("x.txt"), QStringLiteral("verbose"),
                                  1);
    QCOMPARE(count(kDownloads), 0);
    QVERIFY(outbox->sent.isEmpty());

    const QString longName = QString(100000, QLatin1Char('n')) + QStringLiteral(".txt");
    g->processNewFileToBeReceived(QString(128, QLatin1Char('e')), longName, QStringLiteral("verbose"), 1);
    const QString stored = row(kDownloads, QString(128, QLatin1Char('e'))).value("filename");
    QVERIFY(stored.endsWith(QStringLiteral(".txt")));
    QVERIFY(stored.toUtf8().size() <= 200);
    QVERIFY(downloadPopupText(g, QStringLiteral("verbose")).size() < 1000);
    QCOMPARE(outbox->withAction(QStringLiteral("confirmFileToSend")).size(), 1);
}

void tst_IncomingOffers::withdrawingAnUploadTellsTheReceiver()
{
    insertUpload(QStringLiteral("w-1"), QStringLiteral("receiver"), now());
    insertUpload(QStringLiteral("w-2"), QStringLiteral("receiver"), now());
    g->uploadsData->refresh();
    QSignalSpy pendingSpy(g, &Globals::pendingValidationsCountChanged);
    QSignalSpy iconsSpy(g, &Globals::updateAppIconsSignal);

    g->deleteFileToSend(QStringLiteral("w-1"));

    QVERIFY(row(kUploads, QStringLiteral("w-1")).isEmpty());
    QCOMPARE(g->uploadsData->rowCount(), 1);
    QCOMPARE(outbox->sent.size(), 1);
    QCOMPARE(outbox->sent.first().action(), QStringLiteral("removeFileToGet"));
    QCOMPARE(outbox->sent.first().nodeId, QStringLiteral("receiver"));
    QCOMPARE(outbox->sent.first().value("fileId").toString(), QStringLiteral("w-1"));
    QCOMPARE(pendingSpy.size(), 1);
    QCOMPARE(iconsSpy.size(), 1);
}

void tst_IncomingOffers::withdrawingADownloadTellsTheOwnerAndKeepsTheFile()
{
    g->processNewFileToBeReceived(QStringLiteral("k-1"), QStringLiteral("keep.txt"), QStringLiteral("owner"), 100);
    QDir().mkpath(downloadsFolderPath());
    writeFile(downloadPath(QStringLiteral("keep.txt")), "partial");
    outbox->clear();
    QSignalSpy nextSpy(g, &Globals::readyToDownloadNextFile);

    g->deleteFileToDownload(QStringLiteral("k-1"));

    QVERIFY(row(kDownloads, QStringLiteral("k-1")).isEmpty());
    QCOMPARE(g->pausedDownloads->rowCount(), 0);
    QCOMPARE(outbox->sent.size(), 1);
    QCOMPARE(outbox->sent.first().action(), QStringLiteral("removeFileToSend"));
    QCOMPARE(outbox->sent.first().nodeId, QStringLiteral("owner"));
    QCOMPARE(nextSpy.size(), 1);
    QCOMPARE(readFile(downloadPath(QStringLiteral("keep.txt"))), QByteArray("partial"));
    QCoreApplication::processEvents(); // let the queued engine run find nothing to do
}

void tst_IncomingOffers::eachSideRemovesTheOtherSidesRow()
{
    // One database plays both sides: the owner's upload and the receiver's download share their id.
    for (const char* action : {"fromOwner", "fromReceiver"}) {
        clearTables();
        insertUpload(QStringLiteral("both"), QStringLiteral("receiver"), now());
        insertDownload(QStringLiteral("both"), QStringLiteral("owner"), now(), QStringLiteral("queued"));
        outbox->clear();
        if (QLatin1String(action) == QLatin1String("fromOwner")) {
            g->deleteFileToSend(QStringLiteral("both"));
            QVERIFY(row(kUploads, QStringLiteral("both")).isEmpty());
            QVERIFY(!row(kDownloads, QStringLiteral("both")).isEmpty());
        } else {
            g->deleteFileToDownload(QStringLiteral("both"));
            QVERIFY(row(kDownloads, QStringLiteral("both")).isEmpty());
            QVERIFY(!row(kUploads, QStringLiteral("both")).isEmpty());
        }
        QCOMPARE(outbox->sent.size(), 1);
        Parameters delivered = outbox->sent.first().parameters;
        delivered.insert(QStringLiteral("senderIPAddress"), QStringLiteral("10.77.4.4"));
        g->processMessage(delivered);
        QCOMPARE(count(kUploads), 0);
        QCOMPARE(count(kDownloads), 0);
        QCoreApplication::processEvents();
    }
}

void tst_IncomingOffers::completionAndRemovalHaveTheSameEffect()
{
    for (const char* action : {"fileTransferComplete", "removeFileToSend", "FILETRANSFERCOMPLETE"}) {
        insertUpload(QStringLiteral("gone"), QStringLiteral("receiver"), now());
        insertUpload(QStringLiteral("stays"), QStringLiteral("receiver"), now());
        g->uploadsData->refresh();
        QSignalSpy filesSpy(g, &Globals::selectedFilesCountChanged);
        QSignalSpy pendingSpy(g, &Globals::pendingValidationsCountChanged);
        g->processMessage({{"action", QLatin1String(action)}, {"fileId", "gone"}, {"senderIPAddress", "10.7.7.7"}});
        QVERIFY2(row(kUploads, QStringLiteral("gone")).isEmpty(), action);
        QCOMPARE(column(QStringLiteral("select id from vesk_uploads")), QStringList{"stays"});
        QCOMPARE(g->uploadsData->rowCount(), 1);
        QCOMPARE(filesSpy.size(), 1);
        QCOMPARE(pendingSpy.size(), 1);
        QVERIFY(outbox->sent.isEmpty());
        clearTables();
    }
}

void tst_IncomingOffers::markedUploadsGoFiveAtATime()
{
    for (int i = 0; i < 12; ++i)
        insertUpload(QStringLiteral("m%1").arg(i, 2, 10, QLatin1Char('0')), QStringLiteral("peer%1").arg(i % 3),
                     now() - (100 - i), QStringLiteral("tobedeleted"));
    insertUpload(QStringLiteral("unmarked"), QStringLiteral("peer0"), now() - 1000);

    QList<int> perTick;
    QStringList order;
    for (int tick = 0; tick < 4; ++tick) {
        outbox->clear();
        g->uploadsToBeDeletedTimeout();
        perTick.append(int(outbox->sent.size()));
        for (const auto& s : outbox->sent) {
            QCOMPARE(s.action(), QStringLiteral("removeFileToGet"));
            QCOMPARE(s.nodeId, QStringLiteral("peer%1").arg(s.value("fileId").toString().mid(1).toInt() % 3));
            order.append(s.value("fileId").toString());
        }
    }
    QCOMPARE(perTick, (QList<int>{5, 5, 2, 0}));
    QStringList expected;
    for (int i = 0; i < 12; ++i)
        expected.append(QStringLiteral("m%1").arg(i, 2, 10, QLatin1Char('0')));
    QCOMPARE(order, expected);
    QCOMPARE(column(QStringLiteral("select id from vesk_uploads")), QStringList{"unmarked"});
}

void tst_IncomingOffers::markedDownloadsGoFiveAtATime()
{
    for (int i = 0; i < 12; ++i)
        insertDownload(QStringLiteral("m%1").arg(i, 2, 10, QLatin1Char('0')), QStringLiteral("owner"),
                       now() - (100 - i), QStringLiteral("tobedeleted"));
    insertDownload(QStringLiteral("unmarked"), QStringLiteral("owner"), now() - 1000, QStringLiteral("unknown"));

    QList<int> perTick;
    QStringList order;
    for (int tick = 0; tick < 4; ++tick) {
        outbox->clear();
        g->downloadsToBeDeletedTimeout();
        perTick.append(int(outbox->sent.size()));
        for (const auto& s : outbox->sent) {
            QCOMPARE(s.action(), QStringLiteral("removeFileToSend"));
            order.append(s.value("fileId").toString());
        }
        QCoreApplication::processEvents();
    }
    QCOMPARE(perTick, (QList<int>{5, 5, 2, 0}));
    QCOMPARE(order.first(), QStringLiteral("m00"));
    QCOMPARE(order.last(), QStringLiteral("m11"));
    QCOMPARE(column(QStringLiteral("select id from vesk_downloads")), QStringList{"unmarked"});
}

QTEST_MAIN(tst_IncomingOffers)
#include "tst_incomingoffers.moc"
