#include "transferrig.h"

#include "transfer/transfernames.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

using namespace TestSupport;
using Vesk::TransferNames::uploadId;

// The owner's side of an offer: picking files, offering them (again) to peers until confirmed, and hearing that a
// peer has the whole file. Withdrawals are tested with the receiver's side.
class tst_Offers : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;
    QTemporaryDir files;

    // A sparse file of that size: the size is real, the disk blocks are not.
    QString makeFile(const QString& name, qint64 size = 4)
    {
        QFile file(files.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.resize(size) ? file.fileName() : QString();
    }
    void pick(const QString& path) { rig->outgoing.processNewFileToSend(QUrl::fromLocalFile(path)); }
    void sendTo(const QStringList& peers)
    {
        for (const QString& peer : peers)
            rig->outgoing.togglePeerSelection(peer);
        rig->outgoing.sendHighlightedFiles();
    }
    void confirm(const QString& id)
    {
        rig->outgoing.handleConfirmFileToSend({{"action", "confirmFileToSend"}, {"fileId", id}});
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<TransferRig>();
        rig->addPeer("on1");
        rig->addPeer("on2");
        rig->addPeer("off1", "off");
    }
    void cleanup() { rig.reset(); }

    void offerLoop_data()
    {
        // uploads: id:peer:age in ms ("ghost" has no peer row); confirmed after the first round.
        for (const char* column : {"uploads", "confirmed", "firstRound", "secondRound"})
            QTest::addColumn<QStringList>(column);
        const QStringList seven{"u3:on1:3000", "u7:on2:7000", "u1:on1:1000", "u6:on2:6000",
                                "u2:on1:2000", "u5:on2:5000", "u4:on1:4000"};
        const QStringList oldest{"u7", "u6", "u5", "u4", "u3"};
        QTest::newRow("five oldest, again until confirmed") << seven << QStringList() << oldest << oldest;
        QTest::newRow("the rest once confirmed") << seven << oldest << oldest << QStringList{"u2", "u1"};
        QTest::newRow("only to peers that are on") << QStringList{"off:off1:10", "ghost:ghost:20", "on:on1:30"}
                                                   << QStringList() << QStringList{"on"} << QStringList{"on"};
        QTest::newRow("for an hour") << QStringList{"old:on1:3600000", "young:on1:3599999"} << QStringList{"young"}
                                     << QStringList{"young"} << QStringList();
    }
    void offerLoop()
    {
        QFETCH(QStringList, uploads);
        QFETCH(QStringList, confirmed);
        QFETCH(QStringList, firstRound);
        QFETCH(QStringList, secondRound);
        for (const QString& upload : uploads) {
            const QStringList f = upload.split(':');
            rig->insertUpload(f[0], f[1], rig->clock.nowMs() - f[2].toLongLong());
        }
        rig->outgoing.resendOffers();
        QCOMPARE(rig->fileIds("newFileToDownload"), firstRound);
        for (const auto& offer : std::as_const(rig->sink.sent)) {
            const auto upload = row("vesk_uploads", offer.value("fileId").toString());
            QCOMPARE(rig->nodeAt(offer.address), upload.value("nodeto"));
            QCOMPARE(offer.value("fileName").toString(), upload.value("filename"));
            QCOMPARE(offer.value("fileSize").toString(), upload.value("filesize"));
            QCOMPARE(offer.value("nodeFrom").toString(), rig->profile.id);
        }
        for (const QString& id : confirmed)
            confirm(id);
        rig->sink.clear();
        rig->outgoing.resendOffers();
        QCOMPARE(rig->fileIds("newFileToDownload"), secondRound);
    }

    // A picked file is offered to each chosen peer at once; what cannot be described on the wire or read is
    // refused with a notice that names it, when picked or when it changed before it was sent.
    void picking_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("change"); // what happens between picking and sending
        QTest::addColumn<QString>("notice"); // empty: offered without a notice
        const auto add = [](const char* tag, qint64 size, const char* change, const char* notice) {
            QTest::newRow(tag) << size << QString(change) << QString(notice);
        };
        add("small", 4, "", "");
        add("largest describable size", 4294967295, "", "");
        add("4 GiB", 4294967296, "", "4,294,967,296");
        add("grew to 4 GiB", 4, "grow", "f.bin");
        add("vanished", 4, "remove", "f.bin");
        add("offered again after it was sent", 4, "again", "");
    }
    void picking()
    {
        QFETCH(qint64, size);
        QFETCH(QString, change);
        QFETCH(QString, notice);
        const QString path = makeFile("f.bin", size);
        pick(path);
        QFile file(path);
        if (change == "grow")
            QVERIFY(file.resize(Vesk::TransferNames::kWireSizeLimit));
        if (change == "remove")
            QVERIFY(file.remove());
        if (change == "again") { // sent and confirmed: offering it again makes it an offer anew
            sendTo({"on1", "on2"});
            for (const QString& id : rig->fileIds("newFileToDownload"))
                confirm(id);
            rig->sink.clear();
            rig->clock.advance(1000);
            pick(path);
        }
        sendTo({"on1", "on2"});
        QCOMPARE(rig->shell.notices.size(), notice.isEmpty() ? 0 : 1);
        QVERIFY(notice.isEmpty() || rig->shell.notices.first().contains(notice));
        const QStringList offered =
            notice.isEmpty() ? QStringList{uploadId("on1", path), uploadId("on2", path)} : QStringList();
        QCOMPARE(count("vesk_uploads"), offered.size());
        QCOMPARE(column("select id from vesk_uploads where filesize = ? and status = 'unknown' and timesent = ? "
                        "order by nodeto",
                        {size, rig->clock.nowMs()}),
                 offered);
        QCOMPARE(rig->fileIds("newFileToDownload").size(), offered.size());
    }

    // The receiver saying it has the whole file tells the user; the receiver withdrawing does not.
    void receiverEndsTheUpload()
    {
        QVERIFY(exec("update vesk_peers set alias = 'Bob' where id = 'on1'"));
        rig->insertUpload("f1", "on1", rig->clock.nowMs());
        rig->insertUpload("f2", "on1", rig->clock.nowMs());
        QSignalSpy delivered(&rig->outgoing, &Vesk::OutgoingOffers::delivered);
        rig->outgoing.handleRemoveFileToSend({{"action", "fileTransferComplete"}, {"fileId", "f1"}});
        rig->outgoing.handleRemoveFileToSend({{"action", "removeFileToSend"}, {"fileId", "f2"}});
        QCOMPARE(count("vesk_uploads"), 0);
        QCOMPARE(delivered.size(), 1);
        QCOMPARE(delivered.first(), (QVariantList{"on1", "f1.bin"}));
        QCOMPARE(rig->shell.chatPopups.size(), 1);
        QCOMPARE(rig->shell.chatPopups.first().html, QStringLiteral("Bob received <b>f1.bin</b>"));
    }
};

QTEST_GUILESS_MAIN(tst_Offers)
#include "tst_offers.moc"
