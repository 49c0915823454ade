#include "transferfixture.h"

#include "app/notificationdialog.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"
#include "transfer/transfernames.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>
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

void insertUpload(const QString& id, const QString& nodeTo, qint64 timeSent, const QString& status = "unknown")
{
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values (?, ?, ?, ?, ?, 0, ?, ?)"),
         {id, QString(QStringLiteral("/tmp/") + id), nodeTo, 1000, QString(id + QStringLiteral(".bin")), status,
          timeSent});
}

void insertDownload(const QString& id, const QString& nodeFrom, qint64 timestamp, const QString& status)
{
    exec(QStringLiteral("insert into vesk_downloads (id, filename, filesize, nodefrom, status, timestamp, "
                        "downloadsize) values (?, ?, '1000', ?, ?, ?, '0')"),
         {id, QString(id + QStringLiteral(".bin")), nodeFrom, status, timestamp});
}

QStringList fileIds(const QList<TransferRecorder::Sent>& sent)
{
    QStringList ids;
    for (const auto& s : sent)
        ids.append(s.value("fileId").toString());
    return ids;
}

} // namespace

class tst_Offers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // Picking files.
    void folderAddsNothing();
    void addedFileCarriesItsRoles();
    void fileAlreadyListedAddsNothing();
    void thumbnailNeedsTheExactUrlText();
    void sizeLimit_data();
    void sizeLimit();
    void missingOrForeignFilesAreNotAdded_data();
    void missingOrForeignFilesAreNotAdded();

    // Offering.
    void twoFilesToThreePeers();
    void sameFileOfferedAgainResetsItsRow();
    void onlyHighlightedFilesAreOffered();
    void filesThatChangedSincePickingAreNotOffered();

    // The offer loop.
    void offerLoopSendsFiveOldestThenTheRest();
    void offersWaitForPeersThatAreOff();
    void oneHourCutOff_data();
    void oneHourCutOff();
    void confirmationMarksUploadSent();

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
    QString makeFile(const QString& name, const QByteArray& contents = QByteArray("data"));
    void pick(const QString& path);

    Globals* g = nullptr;
    TransferRecorder* outbox = nullptr;
    QTemporaryDir files;
};

void tst_Offers::initTestCase()
{
    QVERIFY(files.isValid());
    outbox = new TransferRecorder;
    g = startController();
    new QAbstractItemModelTester(&g->filesData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->uploadsData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->pausedDownloads, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
}

void tst_Offers::init()
{
    now() += 2 * kHourMs;
    clearTables();
    g->filesData.removeRows(0, g->filesData.rowCount());
    g->selectedPeers.clear();
    g->uploadsData->refresh();
    g->pausedDownloads->refresh();
    notices();
    outbox->clear();
}

void tst_Offers::cleanupTestCase()
{
    delete outbox;
    Vesk::setClockOverride({});
}

QString tst_Offers::makeFile(const QString& name, const QByteArray& contents)
{
    return writeFile(files.filePath(name), contents);
}

void tst_Offers::pick(const QString& path)
{
    g->processNewFileToSend(QUrl::fromLocalFile(path));
}

void tst_Offers::folderAddsNothing()
{
    g->setCurrentSelectedTabIndex(0);
    QSignalSpy countSpy(g, &Globals::selectedFilesCountChanged);
    g->processNewFileToSend(QUrl::fromLocalFile(files.path()));
    QCOMPARE(g->filesData.rowCount(), 0);
    QCOMPARE(countSpy.size(), 1);
    QCOMPARE(g->currentSelectedTabIndex(), 1);
    QVERIFY(notices().isEmpty());
}

void tst_Offers::addedFileCarriesItsRoles()
{
    const QString path = makeFile(QStringLiteral("Holiday.JPG"), QByteArray(1234, 'x'));
    QSignalSpy countSpy(g, &Globals::selectedFilesCountChanged);
    QSignalSpy modelSpy(&g->filesData, &FileStandardItemModel::selectedCountChanged);
    pick(path);
    QCOMPARE(g->filesData.rowCount(), 1);
    const QModelIndex item = g->filesData.index(0, 0);
    QCOMPARE(item.data(FileStandardItemModel::FileURLRole).toString(), QUrl::fromLocalFile(path).toString());
    QVERIFY(item.data(FileStandardItemModel::FileURLRole).toString().startsWith(QStringLiteral("file:///")));
    QCOMPARE(item.data(FileStandardItemModel::FileNameRole).toString(), QStringLiteral("Holiday.JPG"));
    QCOMPARE(item.data(FileStandardItemModel::TotalByteSizeRole).toLongLong(), 1234);
    QCOMPARE(item.data(FileStandardItemModel::SelectedRole), QVariant(true));
    QCOMPARE(item.data(FileStandardItemModel::ThumbnailRole).toString(),
             QStringLiteral("qrc:/qml/Vesk/pics/fileicons/image.png"));
    QCOMPARE(g->numberOfSelectedFiles(), 1);
    // The model's own signal reaches the controller's too, so the controller's count changes at least twice.
    QCOMPARE(modelSpy.size(), 1);
    QCOMPARE(countSpy.size(), 2);
}

void tst_Offers::fileAlreadyListedAddsNothing()
{
    const QString path = makeFile(QStringLiteral("twice.txt"));
    pick(path);
    QSignalSpy countSpy(g, &Globals::selectedFilesCountChanged);
    pick(path);
    QCOMPARE(g->filesData.rowCount(), 1);
    QCOMPARE(countSpy.size(), 0);
}

void tst_Offers::thumbnailNeedsTheExactUrlText()
{
    // A path with a "." step names the same file, but its URL text differs from the one made from the clean path.
    const QString path = makeFile(QStringLiteral("slides.pptx"));
    const QUrl url = QUrl::fromLocalFile(files.path() + QStringLiteral("/./slides.pptx"));
    QVERIFY(url.toString() != QUrl::fromLocalFile(path).toString());
    QCOMPARE(QFileInfo(url.toLocalFile()).absoluteFilePath(), path);
    g->processNewFileToSend(url);
    QCOMPARE(g->filesData.rowCount(), 1);
    QCOMPARE(g->filesData.index(0, 0).data(FileStandardItemModel::ThumbnailRole).toString(),
             QStringLiteral("qrc:/qml/Vesk/pics/fileicons/fileicon_bg.png"));
    // The same file added through its plain URL is a second entry, and gets its icon.
    pick(path);
    QCOMPARE(g->filesData.rowCount(), 2);
    QCOMPARE(g->filesData.index(1, 0).data(FileStandardItemModel::ThumbnailRole).toString(),
             QStringLiteral("qrc:/qml/Vesk/pics/fileicons/powerpoint.png"));
}

void tst_Offers::sizeLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("added");
    QTest::newRow("largest describable size") << qint64(4294967295) << true;
    QTest::newRow("4 GiB") << qint64(4294967296) << false;
    QTest::newRow("6 GB") << qint64(6000000000) << false;
}

void tst_Offers::sizeLimit()
{
    QFETCH(qint64, size);
    QFETCH(bool, added);
    // Sparse: the size is real, the disk blocks are not.
    const QString path = files.filePath(QStringLiteral("huge-%1.iso").arg(size));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
    }
    QCOMPARE(QFileInfo(path).size(), size);

    pick(path);
    QCOMPARE(g->filesData.rowCount(), added ? 1 : 0);
    const QStringList shown = notices();
    if (added) {
        QVERIFY(shown.isEmpty());
        g->togglePeerSelection(QStringLiteral("peer"));
        g->sendHighlightedFiles();
        QCOMPARE(row(kUploads, Vesk::TransferNames::uploadId(QStringLiteral("peer"), path)).value("filesize"),
                 QString::number(size));
    } else {
        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown.first().contains(QFileInfo(path).fileName()), qPrintable(shown.first()));
        QVERIFY2(shown.first().contains(QStringLiteral("4,294,967,296")), qPrintable(shown.first()));
        QVERIFY2(shown.first().contains(QStringLiteral("4 GiB")), qPrintable(shown.first()));
    }
    QFile::remove(path);
}

void tst_Offers::missingOrForeignFilesAreNotAdded_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("named");
    QTest::newRow("missing file") << QUrl::fromLocalFile(QStringLiteral("/nonexistent/gone.txt")) << "gone.txt";
    QTest::newRow("web address") << QUrl(QStringLiteral("https://example.org/a.txt")) << "https://example.org/a.txt";
}

void tst_Offers::missingOrForeignFilesAreNotAdded()
{
    QFETCH(QUrl, url);
    QFETCH(QString, named);
    g->processNewFileToSend(url);
    QCOMPARE(g->filesData.rowCount(), 0);
    const QStringList shown = notices();
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown.first().contains(named), qPrintable(shown.first()));
}

void tst_Offers::twoFilesToThreePeers()
{
    for (const char* peer : {"p1", "p2", "p3"})
        addPeer(g, QLatin1String(peer), QStringLiteral("on"), QStringLiteral("10.77.2.1"));
    const QString a = makeFile(QStringLiteral("a.txt"), "aaa");
    const QString b = makeFile(QStringLiteral("b.pdf"), "bbbbb");
    pick(a);
    pick(b);
    for (const char* peer : {"p1", "p2", "p3"})
        g->togglePeerSelection(QLatin1String(peer));
    QSignalSpy peersSpy(g, &Globals::selectedPeersCountChanged);

    g->sendHighlightedFiles();

    QCOMPARE(g->currentSelectedTabIndex(), 2);
    QCOMPARE(count(kUploads), 6);
    for (const char* peer : {"p1", "p2", "p3"}) {
        for (const QString& path : {a, b}) {
            const auto upload = row(kUploads, Vesk::TransferNames::uploadId(QLatin1String(peer), path));
            QCOMPARE(upload.value("url"), path);
            QCOMPARE(upload.value("nodeto"), QLatin1String(peer));
            QCOMPARE(upload.value("filename"), QFileInfo(path).fileName());
            QCOMPARE(upload.value("filesize"), QString::number(QFileInfo(path).size()));
            QCOMPARE(upload.value("status"), QStringLiteral("unknown"));
            QCOMPARE(upload.value("bytessent"), QStringLiteral("0"));
            QCOMPARE(upload.value("timesent"), QString::number(now()));
        }
    }
    QCOMPARE(g->filesData.rowCount(), 0);
    QCOMPARE(g->numberOfSelectedFiles(), 0);
    QVERIFY(g->selectedPeers.isEmpty());
    QCOMPARE(g->selectedPeersCount(), 0);
    QCOMPARE(peersSpy.size(), 1);
    QCOMPARE(g->uploadsData->rowCount(), 6);
    // The offer loop ran at once: the five oldest offers are out already.
    const auto offers = outbox->withAction(QStringLiteral("newFileToDownload"));
    QCOMPARE(offers.size(), 5);
    for (const auto& offer : offers) {
        const auto upload = row(kUploads, offer.value("fileId").toString());
        QCOMPARE(offer.nodeId, upload.value("nodeto"));
        QCOMPARE(offer.value("fileName").toString(), upload.value("filename"));
        QCOMPARE(offer.value("fileSize").toLongLong(), upload.value("filesize").toLongLong());
        QCOMPARE(offer.value("nodeFrom").toString(), g->hostId());
    }
}

void tst_Offers::sameFileOfferedAgainResetsItsRow()
{
    const QString path = makeFile(QStringLiteral("again.txt"));
    const QString id = Vesk::TransferNames::uploadId(QStringLiteral("p1"), path);
    pick(path);
    g->togglePeerSelection(QStringLiteral("p1"));
    g->sendHighlightedFiles();
    exec(QStringLiteral("update vesk_uploads set status = 'sent', bytesSent = 5000 where id = ?"), {id});

    now() += 1000;
    pick(path);
    g->togglePeerSelection(QStringLiteral("p1"));
    g->sendHighlightedFiles();

    QCOMPARE(count(kUploads), 1);
    const auto upload = row(kUploads, id);
    QCOMPARE(upload.value("status"), QStringLiteral("unknown"));
    QCOMPARE(upload.value("bytessent"), QStringLiteral("0"));
    QCOMPARE(upload.value("timesent"), QString::number(now()));
}

void tst_Offers::onlyHighlightedFilesAreOffered()
{
    const QString kept = makeFile(QStringLiteral("kept.txt"));
    const QString dropped = makeFile(QStringLiteral("dropped.txt"));
    pick(kept);
    pick(dropped);
    g->filesData.toggleHighlightFlag(QUrl::fromLocalFile(dropped).toString());
    g->togglePeerSelection(QStringLiteral("p1"));
    g->sendHighlightedFiles();
    QCOMPARE(column(QStringLiteral("select url from vesk_uploads")), QStringList{kept});
    QCOMPARE(g->filesData.rowCount(), 0);
}

void tst_Offers::filesThatChangedSincePickingAreNotOffered()
{
    const QString stays = makeFile(QStringLiteral("stays.txt"));
    const QString vanishes = makeFile(QStringLiteral("vanishes.txt"));
    const QString grows = makeFile(QStringLiteral("grows.bin"));
    pick(stays);
    pick(vanishes);
    pick(grows);
    QVERIFY(QFile::remove(vanishes));
    {
        QFile file(grows);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(Vesk::TransferNames::kWireSizeLimit));
    }
    g->togglePeerSelection(QStringLiteral("p1"));
    g->sendHighlightedFiles();

    QCOMPARE(column(QStringLiteral("select url from vesk_uploads")), QStringList{stays});
    const QStringList shown = notices();
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown.first().contains(QStringLiteral("vanishes.txt")), qPrintable(shown.first()));
    QVERIFY2(shown.first().contains(QStringLiteral("grows.bin")), qPrintable(shown.first()));
    QVERIFY(!shown.first().contains(QStringLiteral("stays.txt")));
    QCOMPARE(g->filesData.rowCount(), 0);
    QFile::remove(grows);
}

void tst_Offers::offerLoopSendsFiveOldestThenTheRest()
{
    addPeer(g, QStringLiteral("on1"), QStringLiteral("on"), QStringLiteral("10.77.2.1"));
    addPeer(g, QStringLiteral("on2"), QStringLiteral("on"), QStringLiteral("10.77.2.2"));
    // Recorded out of order, so the order of the answer comes from the times.
    const QList<int> ages{3, 7, 1, 6, 2, 5, 4};
    for (int i = 0; i < ages.size(); ++i)
        insertUpload(QStringLiteral("u%1").arg(ages[i]), i % 2 ? QStringLiteral("on1") : QStringLiteral("on2"),
                     now() - ages[i] * 1000);

    g->unsentUploadsTimeout();
    const QStringList oldest{"u7", "u6", "u5", "u4", "u3"};
    QCOMPARE(fileIds(outbox->withAction(QStringLiteral("newFileToDownload"))), oldest);
    for (const auto& offer : outbox->sent)
        QCOMPARE(offer.nodeId, row(kUploads, offer.value("fileId").toString()).value("nodeto"));

    // Unconfirmed, the same five go out again; nothing is written.
    outbox->clear();
    g->unsentUploadsTimeout();
    QCOMPARE(fileIds(outbox->sent), oldest);
    QCOMPARE(column(QStringLiteral("select count(*) from vesk_uploads where status = 'unknown'")).value(0),
             QStringLiteral("7"));

    for (const QString& id : oldest)
        g->processMessage({{"action", "confirmFileToSend"}, {"fileId", id}, {"senderIPAddress", "10.77.2.1"}});
    outbox->clear();
    g->unsentUploadsTimeout();
    QCOMPARE(fileIds(outbox->sent), (QStringList{"u2", "u1"}));
}

void tst_Offers::offersWaitForPeersThatAreOff()
{
    addPeer(g, QStringLiteral("sleepy"), QStringLiteral("off"), QStringLiteral("10.77.2.3"));
    insertUpload(QStringLiteral("toOff"), QStringLiteral("sleepy"), now() - 1000);
    insertUpload(QStringLiteral("toNobody"), QStringLiteral("no such peer"), now() - 1000);
    g->unsentUploadsTimeout();
    QVERIFY(outbox->sent.isEmpty());

    addPeer(g, QStringLiteral("sleepy"), QStringLiteral("on"), QStringLiteral("10.77.2.3"));
    g->unsentUploadsTimeout();
    QCOMPARE(fileIds(outbox->sent), QStringList{"toOff"});
}

void tst_Offers::oneHourCutOff_data()
{
    QTest::addColumn<qint64>("age");
    QTest::addColumn<bool>("sent");
    QTest::newRow("just under an hour") << kHourMs - 1 << true;
    QTest::newRow("exactly an hour") << kHourMs << false;
    QTest::newRow("older") << kHourMs + 1 << false;
}

void tst_Offers::oneHourCutOff()
{
    QFETCH(qint64, age);
    QFETCH(bool, sent);
    addPeer(g, QStringLiteral("on1"), QStringLiteral("on"), QStringLiteral("10.77.2.1"));
    insertUpload(QStringLiteral("aged"), QStringLiteral("on1"), now() - age);
    g->unsentUploadsTimeout();
    QCOMPARE(outbox->sent.size(), sent ? 1 : 0);
    QCOMPARE(row(kUploads, QStringLiteral("aged")).value("status"), QStringLiteral("unknown"));
}

void tst_Offers::confirmationMarksUploadSent()
{
    addPeer(g, QStringLiteral("on1"), QStringLiteral("on"), QStringLiteral("10.77.2.1"));
    insertUpload(QStringLiteral("c1"), QStringLiteral("on1"), now());
    g->uploadsData->refresh();
    QSignalSpy reset(g->uploadsData, &QAbstractItemModel::modelReset);
    g->processMessage({{"action", "confirmFileToSend"}, {"fileId", "c1"}, {"senderIPAddress", "10.77.9.9"}});
    QCOMPARE(row(kUploads, QStringLiteral("c1")).value("status"), QStringLiteral("sent"));
    QVERIFY(reset.size() >= 1);
    g->unsentUploadsTimeout();
    QVERIFY(outbox->sent.isEmpty());
    // A confirmation for an id without a row changes nothing.
    g->processMessage({{"action", "confirmFileToSend"}, {"fileId", "nothing"}, {"senderIPAddress", "10.77.9.9"}});
    QCOMPARE(count(kUploads), 1);
}

void tst_Offers::receivedOfferIsStoredShownAndConfirmed()
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

void tst_Offers::offeredNamesAreStoredSafely_data()
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

void tst_Offers::offeredNamesAreStoredSafely()
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

void tst_Offers::reOfferOfPendingDownloadOnlyConfirms_data()
{
    QTest::addColumn<QString>("status");
    QTest::newRow("queued") << "queued";
    QTest::newRow("unknown") << "unknown";
    QTest::newRow("tobedeleted") << "tobedeleted";
}

void tst_Offers::reOfferOfPendingDownloadOnlyConfirms()
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

void tst_Offers::reOfferOfDownloadedFileIsStoredAgain()
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

void tst_Offers::blockedSenderGetsNothing()
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

void tst_Offers::offerWithImpossibleSizeIsRefused()
{
    g->processNewFileToBeReceived(QStringLiteral("neg"), QStringLiteral("n.txt"), QStringLiteral("owner"), -1);
    g->processNewFileToBeReceived(QStringLiteral("big"), QStringLiteral("b.txt"), QStringLiteral("owner"),
                                  Vesk::TransferNames::kWireSizeLimit);
    QCOMPARE(count(kDownloads), 0);
    QVERIFY(outbox->sent.isEmpty());
}

void tst_Offers::overLongIdsAndNamesAreBounded()
{
    g->processNewFileToBeReceived(QString(129, QLatin1Char('f')), QStringLiteral("x.txt"), QStringLiteral("verbose"), 1);
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

void tst_Offers::withdrawingAnUploadTellsTheReceiver()
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

void tst_Offers::withdrawingADownloadTellsTheOwnerAndKeepsTheFile()
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

void tst_Offers::eachSideRemovesTheOtherSidesRow()
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

void tst_Offers::completionAndRemovalHaveTheSameEffect()
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

void tst_Offers::markedUploadsGoFiveAtATime()
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

void tst_Offers::markedDownloadsGoFiveAtATime()
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

QTEST_MAIN(tst_Offers)
#include "tst_offers.moc"
