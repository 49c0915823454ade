#include "transferrig.h"

#include "store/filestandarditemmodel.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/transfernames.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

using namespace TestSupport;
using Vesk::OutgoingOffers;

namespace {

const QString kUploads = QStringLiteral("vesk_uploads");

} // namespace

// The sender's side of an offer: picking files, offering them to peers, the offer loop and its confirmations.
class tst_Offers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void pickedFileCarriesItsRoles();
    void pickingRefusesWhatCannotBeSent_data();
    void pickingRefusesWhatCannotBeSent();
    void twoFilesToThreePeers();
    void sameFileOfferedAgainResetsItsRow();
    void onlyHighlightedUnchangedFilesAreOffered();
    void offerLoopSendsFiveOldestThenTheRest();
    void offersWaitForPeersThatAreOff();
    void oneHourCutOff_data();
    void oneHourCutOff();
    void confirmationMarksUploadSent();
    void receiverFinishingTellsTheSender();

private:
    QString makeFile(const QString& name, const QByteArray& contents = QByteArray("data"));
    void pick(const QString& path) { rig->outgoing.processNewFileToSend(QUrl::fromLocalFile(path)); }
    void offerTo(const QString& peer)
    {
        rig->outgoing.togglePeerSelection(peer);
        rig->outgoing.sendHighlightedFiles();
    }

    std::unique_ptr<TransferRig> rig;
    std::unique_ptr<QTemporaryDir> files;
};

void tst_Offers::init()
{
    rig = std::make_unique<TransferRig>();
    files = std::make_unique<QTemporaryDir>();
}

void tst_Offers::cleanup()
{
    rig.reset();
    files.reset();
}

QString tst_Offers::makeFile(const QString& name, const QByteArray& contents)
{
    const QString path = files->filePath(name);
    return writeFile(path, contents) ? QFileInfo(path).absoluteFilePath() : QString();
}

void tst_Offers::pickedFileCarriesItsRoles()
{
    const QString path = makeFile("Holiday.JPG", QByteArray(1234, 'x'));
    QSignalSpy countSpy(&rig->outgoing, &OutgoingOffers::selectedFilesCountChanged);
    pick(path);
    // Picking shows the files tab.
    QCOMPARE(rig->shell.tabs, QList<int>{OutgoingOffers::kFilesTabIndex});
    QCOMPARE(rig->outgoing.filesData.rowCount(), 1);
    const QModelIndex item = rig->outgoing.filesData.index(0, 0);
    QCOMPARE(item.data(FileStandardItemModel::FileURLRole).toString(), QUrl::fromLocalFile(path).toString());
    QCOMPARE(item.data(FileStandardItemModel::FileNameRole).toString(), QStringLiteral("Holiday.JPG"));
    QCOMPARE(item.data(FileStandardItemModel::TotalByteSizeRole).toLongLong(), 1234);
    QCOMPARE(item.data(FileStandardItemModel::SelectedRole), QVariant(true));
    QCOMPARE(item.data(FileStandardItemModel::ThumbnailRole).toString(),
             QStringLiteral("qrc:/qml/Vesk/pics/fileicons/image.png"));
    QVERIFY(!countSpy.isEmpty());

    // The same file again adds nothing; a folder adds nothing.
    pick(path);
    rig->outgoing.processNewFileToSend(QUrl::fromLocalFile(files->path()));
    QCOMPARE(rig->outgoing.filesData.rowCount(), 1);
    QVERIFY(rig->shell.notices.isEmpty());

    // The list knows files by their URL text: the same file written with a "." step is a second entry, and its
    // icon, looked up by the clean path, stays the placeholder.
    rig->outgoing.processNewFileToSend(QUrl::fromLocalFile(files->path() + "/./Holiday.JPG"));
    QCOMPARE(rig->outgoing.filesData.rowCount(), 2);
    QCOMPARE(rig->outgoing.filesData.index(1, 0).data(FileStandardItemModel::ThumbnailRole).toString(),
             QStringLiteral("qrc:/qml/Vesk/pics/fileicons/fileicon_bg.png"));
}

void tst_Offers::pickingRefusesWhatCannotBeSent_data()
{
    QTest::addColumn<QString>("name"); // a file of that name and size is made; empty: use the url
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("noticeMentions"); // empty: added without a notice
    QTest::newRow("largest describable size") << "big.iso" << qint64(4294967295) << QUrl() << "";
    QTest::newRow("4 GiB") << "huge.iso" << qint64(4294967296) << QUrl() << "4,294,967,296";
    QTest::newRow("missing file") << "" << qint64(0) << QUrl::fromLocalFile("/nonexistent/gone.txt") << "gone.txt";
    QTest::newRow("web address") << "" << qint64(0) << QUrl("https://example.org/a.txt") << "https://example.org/a.txt";
}

void tst_Offers::pickingRefusesWhatCannotBeSent()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QUrl, url);
    QFETCH(QString, noticeMentions);
    QString path;
    if (!name.isEmpty()) {
        path = files->filePath(name);
        QFile file(path); // sparse: the size is real, the disk blocks are not
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        url = QUrl::fromLocalFile(path);
    }
    rig->outgoing.processNewFileToSend(url);
    if (noticeMentions.isEmpty()) {
        QVERIFY(rig->shell.notices.isEmpty());
        offerTo("peer");
        QCOMPARE(row(kUploads, Vesk::TransferNames::uploadId("peer", path)).value("filesize"), QString::number(size));
        return;
    }
    QCOMPARE(rig->outgoing.filesData.rowCount(), 0);
    QCOMPARE(rig->shell.notices.size(), 1);
    QVERIFY2(rig->shell.notices.first().contains(noticeMentions), qPrintable(rig->shell.notices.first()));
}

void tst_Offers::twoFilesToThreePeers()
{
    for (const char* peer : {"p1", "p2", "p3"})
        rig->addPeer(peer);
    const QString a = makeFile("a.txt", "aaa");
    const QString b = makeFile("b.pdf", "bbbbb");
    pick(a);
    pick(b);
    for (const char* peer : {"p1", "p2", "p3"})
        rig->outgoing.togglePeerSelection(peer);
    rig->shell.tabs.clear();
    rig->outgoing.sendHighlightedFiles();

    QCOMPARE(rig->shell.tabs, QList<int>{OutgoingOffers::kUploadsTabIndex});
    QCOMPARE(count(kUploads), 6);
    for (const char* peer : {"p1", "p2", "p3"}) {
        for (const QString& path : {a, b}) {
            const auto upload = row(kUploads, Vesk::TransferNames::uploadId(peer, path));
            QCOMPARE(upload.value("url"), path);
            QCOMPARE(upload.value("nodeto"), QString(peer));
            QCOMPARE(upload.value("filename"), QFileInfo(path).fileName());
            QCOMPARE(upload.value("filesize"), QString::number(QFileInfo(path).size()));
            QCOMPARE(upload.value("status"), QStringLiteral("unknown"));
            QCOMPARE(upload.value("bytessent"), QStringLiteral("0"));
            QCOMPARE(upload.value("timesent"), QString::number(rig->clock.nowMs()));
        }
    }
    // The list and the choice of peers start empty again.
    QCOMPARE(rig->outgoing.filesData.rowCount(), 0);
    QCOMPARE(rig->outgoing.selectedPeersCount(), 0);
    QCOMPARE(rig->store->uploadsData->rowCount(), 6);
    // The offer loop ran at once: the five oldest offers are out already.
    const auto offers = rig->sink.withAction("newFileToDownload");
    QCOMPARE(offers.size(), 5);
    for (const auto& offer : offers) {
        const auto upload = row(kUploads, offer.value("fileId").toString());
        QCOMPARE(rig->nodeAt(offer.address), upload.value("nodeto"));
        QCOMPARE(offer.value("fileName").toString(), upload.value("filename"));
        QCOMPARE(offer.value("fileSize").toLongLong(), upload.value("filesize").toLongLong());
        QCOMPARE(offer.value("nodeFrom").toString(), rig->profile.id);
    }
}

void tst_Offers::sameFileOfferedAgainResetsItsRow()
{
    const QString path = makeFile("again.txt");
    const QString id = Vesk::TransferNames::uploadId("p1", path);
    pick(path);
    offerTo("p1");
    QVERIFY(exec("update vesk_uploads set status = 'sent', bytesSent = 5000 where id = ?", {id}));
    rig->clock.advance(1000);
    pick(path);
    offerTo("p1");
    QCOMPARE(count(kUploads), 1);
    const auto upload = row(kUploads, id);
    QCOMPARE(upload.value("status"), QStringLiteral("unknown"));
    QCOMPARE(upload.value("bytessent"), QStringLiteral("0"));
    QCOMPARE(upload.value("timesent"), QString::number(rig->clock.nowMs()));
}

void tst_Offers::onlyHighlightedUnchangedFilesAreOffered()
{
    const QString kept = makeFile("kept.txt");
    const QString unticked = makeFile("unticked.txt");
    const QString vanishes = makeFile("vanishes.txt");
    const QString grows = makeFile("grows.bin");
    for (const QString& path : {kept, unticked, vanishes, grows})
        pick(path);
    rig->outgoing.filesData.toggleHighlightFlag(QUrl::fromLocalFile(unticked).toString());
    QVERIFY(QFile::remove(vanishes));
    {
        QFile file(grows);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(Vesk::TransferNames::kWireSizeLimit));
    }
    offerTo("p1");
    QCOMPARE(column("select url from vesk_uploads"), QStringList{kept});
    // One notice names every file that changed since it was picked, and only those.
    QCOMPARE(rig->shell.notices.size(), 1);
    const QString shown = rig->shell.notices.first();
    QVERIFY2(shown.contains("vanishes.txt") && shown.contains("grows.bin"), qPrintable(shown));
    QVERIFY(!shown.contains("kept.txt") && !shown.contains("unticked.txt"));
    QCOMPARE(rig->outgoing.filesData.rowCount(), 0);
}

void tst_Offers::offerLoopSendsFiveOldestThenTheRest()
{
    rig->addPeer("on1");
    rig->addPeer("on2");
    // Recorded out of order, so the order of the answer comes from the times.
    const QList<int> ages{3, 7, 1, 6, 2, 5, 4};
    for (int i = 0; i < ages.size(); ++i)
        rig->insertUpload(QStringLiteral("u%1").arg(ages[i]), i % 2 ? "on1" : "on2",
                          rig->clock.nowMs() - ages[i] * 1000);

    rig->outgoing.resendOffers();
    const QStringList oldest{"u7", "u6", "u5", "u4", "u3"};
    QCOMPARE(rig->fileIds("newFileToDownload"), oldest);
    for (const auto& offer : std::as_const(rig->sink.sent))
        QCOMPARE(rig->nodeAt(offer.address), row(kUploads, offer.value("fileId").toString()).value("nodeto"));

    // Unconfirmed, the same five go out again; nothing is written.
    rig->sink.clear();
    rig->outgoing.resendOffers();
    QCOMPARE(rig->fileIds("newFileToDownload"), oldest);
    QCOMPARE(column("select count(*) from vesk_uploads where status = 'unknown'"), QStringList{"7"});

    for (const QString& id : oldest)
        rig->outgoing.handleConfirmFileToSend({{"action", "confirmFileToSend"}, {"fileId", id}});
    rig->sink.clear();
    rig->outgoing.resendOffers();
    QCOMPARE(rig->fileIds("newFileToDownload"), (QStringList{"u2", "u1"}));
}

void tst_Offers::offersWaitForPeersThatAreOff()
{
    rig->addPeer("sleepy", "off", "10.77.2.3");
    rig->insertUpload("toOff", "sleepy", rig->clock.nowMs() - 1000);
    rig->insertUpload("toNobody", "no such peer", rig->clock.nowMs() - 1000);
    rig->outgoing.resendOffers();
    QVERIFY(rig->sink.sent.isEmpty());

    rig->addPeer("sleepy", "on", "10.77.2.3");
    rig->outgoing.resendOffers();
    QCOMPARE(rig->fileIds("newFileToDownload"), QStringList{"toOff"});
}

void tst_Offers::oneHourCutOff_data()
{
    QTest::addColumn<qint64>("age");
    QTest::addColumn<bool>("sent");
    QTest::newRow("just under an hour") << OutgoingOffers::kOfferWindowMs - 1 << true;
    QTest::newRow("exactly an hour") << OutgoingOffers::kOfferWindowMs << false;
}

void tst_Offers::oneHourCutOff()
{
    QFETCH(qint64, age);
    QFETCH(bool, sent);
    rig->addPeer("on1");
    rig->insertUpload("aged", "on1", rig->clock.nowMs() - age);
    rig->outgoing.resendOffers();
    QCOMPARE(rig->sink.sent.size(), sent ? 1 : 0);
    QCOMPARE(row(kUploads, "aged").value("status"), QStringLiteral("unknown"));
}

void tst_Offers::confirmationMarksUploadSent()
{
    rig->addPeer("on1");
    rig->insertUpload("c1", "on1", rig->clock.nowMs());
    rig->outgoing.handleConfirmFileToSend({{"action", "confirmFileToSend"}, {"fileId", "c1"}});
    QCOMPARE(row(kUploads, "c1").value("status"), QStringLiteral("sent"));
    rig->outgoing.resendOffers();
    QVERIFY(rig->sink.sent.isEmpty());
    // A confirmation for an id without a row changes nothing.
    rig->outgoing.handleConfirmFileToSend({{"action", "confirmFileToSend"}, {"fileId", "nothing"}});
    QCOMPARE(count(kUploads), 1);
}

void tst_Offers::receiverFinishingTellsTheSender()
{
    rig->addPeer("bob");
    QVERIFY(exec("update vesk_peers set alias = 'Bob' where id = 'bob'"));
    rig->insertUpload("f1", "bob", rig->clock.nowMs());
    rig->insertUpload("f2", "bob", rig->clock.nowMs());
    QSignalSpy delivered(&rig->outgoing, &OutgoingOffers::delivered);

    rig->outgoing.handleRemoveFileToSend({{"action", "fileTransferComplete"}, {"fileId", "f1"}});
    QCOMPARE(count(kUploads), 1);
    QCOMPARE(delivered.size(), 1);
    QCOMPARE(delivered.first(), (QVariantList{"bob", "f1.bin"}));
    QCOMPARE(rig->shell.chatPopups.size(), 1);
    QCOMPARE(rig->shell.chatPopups.first().html, QStringLiteral("Bob received <b>f1.bin</b>"));

    // A withdrawal by the receiver removes the row without claiming it arrived.
    rig->outgoing.handleRemoveFileToSend({{"action", "removeFileToSend"}, {"fileId", "f2"}});
    QCOMPARE(count(kUploads), 0);
    QCOMPARE(delivered.size(), 1);
    QCOMPARE(rig->shell.chatPopups.size(), 1);
}

QTEST_GUILESS_MAIN(tst_Offers)
#include "tst_offers.moc"
