#include "transferrig.h"

#include <QTemporaryDir>

using namespace TestSupport;
using Parameters = Vesk::Parameters;

// Where a transfer's messages may come from: only its own peer moves an offer, a download or an upload.
class tst_TransferOrigin : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;
    QTemporaryDir files;
    QHostAddress receiver;

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<TransferRig>();
        receiver = rig->addOfferPeers();
        QVERIFY(!receiver.isNull());
    }
    void cleanup() { rig.reset(); }
    // A transfer's messages act only when they come from its own peer: on that peer's stream, or in plain from its
    // address. Ids are made of names anyone may know: the same message from a third computer, on a stream of its own
    // or in plain, changes nothing, and then from the right peer it does (refused for its sender alone).
    void onlyTheTransfersPeerActs_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("onStream");
        for (const char* action : {"receiveDataPacket", "removeFileToGet", "newFileToDownload", "sendDataPacket",
                                   "confirmFileToSend", "fileTransferComplete", "removeFileToSend"}) {
            QTest::addRow("%s on a stream", action) << QString(action) << true;
            QTest::addRow("%s in plain", action) << QString(action) << false;
        }
    }
    void onlyTheTransfersPeerActs()
    {
        QFETCH(QString, action);
        QFETCH(bool, onStream);
        const QByteArray source(3000, 'a');
        QVERIFY(writeFile(files.filePath("up"), source));
        rig->insertUpload("up", "on1", 0, "unknown", files.filePath("up"), source.size());
        rig->offer("down", "down.bin", source.size());
        if (action == "receiveDataPacket")
            rig->queue("down");
        rig->settle();
        rig->sink.clear();
        const bool ownerSide =
            QStringList{"sendDataPacket", "confirmFileToSend", "fileTransferComplete", "removeFileToSend"}.contains(
                action);
        const auto state = [&] {
            QStringList seen = column("select id || status || nodeto || filesize from vesk_uploads") +
                               column("select id || status || nodefrom || filesize from vesk_downloads");
            for (const QString& name : rig->entries())
                seen << name + readFile(rig->path(name));
            return seen << QString::number(rig->sink.sent.size()) << QString::number(rig->shell.chatPopups.size());
        };
        const auto send = [&](const QString& node, const QHostAddress& address) {
            Parameters message{{"action", action},    {"fileId", ownerSide ? "up" : "down"},
                               {"fileSeek", 0},       {"bufferSize", source.size()},
                               {"timeSent", 1},       {"binaryData", QByteArray(source.size(), 'E')},
                               {"fileName", "x.bin"}, {"fileSize", 5000}};
            if (action == "newFileToDownload")
                message.insert("nodeFrom", node);
            message = onStream ? TransferRig::from(node, message) : message;
            if (!onStream)
                message.insert("senderIPAddress", address.toString());
            if (action == "receiveDataPacket")
                rig->engine.handleReceiveDataPacket(message);
            else if (action == "removeFileToGet")
                rig->incoming.handleRemoveFileToGet(message);
            else if (action == "newFileToDownload")
                rig->incoming.handleNewFileToDownload(message);
            else if (action == "sendDataPacket")
                rig->packets.handleSendDataPacket(message);
            else if (action == "confirmFileToSend")
                rig->outgoing.handleConfirmFileToSend(message);
            else
                rig->outgoing.handleRemoveFileToSend(message);
            rig->settle();
        };
        const QStringList before = state();
        send("intruder", QHostAddress("10.0.0.99"));
        QCOMPARE(state(), before);
        send(ownerSide ? "on1" : "owner", ownerSide ? receiver : rig->ownerAddress);
        QVERIFY(state() != before);
    }
};

QTEST_GUILESS_MAIN(tst_TransferOrigin)
#include "tst_transferorigin.moc"
