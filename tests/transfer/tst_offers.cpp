#include "transferfixture.h"

#include "store/vesksqlquerymodel.h"
#include "testsupport.h"
#include "transfer/transfernames.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace TransferFixture;
using Vesk::Globals;
using Vesk::Parameters;

namespace {

constexpr qint64 kHourMs = 3600000;
const QString kUploads = QStringLiteral("vesk_uploads");

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

QTEST_MAIN(tst_Offers)
#include "tst_offers.moc"
