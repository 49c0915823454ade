// A received frame's payload: both readings of a record, writing it back, and the handlers the program runs on it
// (chat, peers, offers, folders, packets), wired over a test fixture as the controller wires them.

#include "fuzzsupport.h"

#include "net/messagedispatcher.h"
#include "peers/chat.h"
#include "peers/peerrecords.h"
#include "transfer/folderlisting.h"
#include "transferrig.h"

#include <QFile>

using Vesk::Parameters;

namespace {

struct Program : TestSupport::TransferRig
{
    Program() : chat(*store, sink, clock, profile, shell), peers(*store, sink, clock, profile, dataFolder())
    {
        dispatcher.setAddressRefresh(
            [this](const QString& nodeId, const QString& address) { peers.refreshAddress(nodeId, address); });
        const auto on = [this](const char* action, auto handler) {
            dispatcher.registerHandler(QString::fromLatin1(action), handler);
        };
        on("newChatMessage", [this](const Parameters& m) { chat.handleNewChatMessage(m); });
        on("confirmChat", [this](const Parameters& m) { chat.handleConfirmChat(m); });
        on("newFileToDownload", [this](const Parameters& m) { incoming.handleNewFileToDownload(m); });
        on("confirmFileToSend", [this](const Parameters& m) { outgoing.handleConfirmFileToSend(m); });
        on("sendDataPacket", [this](const Parameters& m) { packets.handleSendDataPacket(m); });
        on("avatarRequested", [this](const Parameters& m) { peers.handleAvatarRequested(m); });
        on("avatarObtained", [this](const Parameters& m) { peers.handleAvatarObtained(m); });
        on("receiveDataPacket", [this](const Parameters& m) { engine.handleReceiveDataPacket(m); });
        on("fileTransferComplete", [this](const Parameters& m) { outgoing.handleRemoveFileToSend(m); });
        on("removeFileToSend", [this](const Parameters& m) { outgoing.handleRemoveFileToSend(m); });
        on("removeFileToGet", [this](const Parameters& m) { incoming.handleRemoveFileToGet(m); });
        on("newFolderToDownload", [this](const Parameters& m) { incoming.handleNewFolderToDownload(m); });
        on("confirmFolderToSend", [this](const Parameters& m) { outgoing.handleConfirmFolderToSend(m); });
        on("addMeRequest", [this](const Parameters& m) { peers.handleAddMeRequest(m); });
        on("addMeRequestConfirmed", [this](const Parameters& m) { peers.handleAddMeRequestConfirmed(m); });
        // A file we offer and a file offered to us, so packets and their requests have something to meet.
        QFile shared(dataFolder() + "shared.bin");
        if (shared.open(QIODevice::WriteOnly))
            shared.write(TestSupport::pattern(300000, 7));
        shared.close();
        insertUpload("{up}", "owner", 0, "unknown", shared.fileName(), 300000);
        offer("{down}", "report.pdf", 2500000);
        queue("{down}");
    }
    Vesk::Chat chat;
    Vesk::PeerRecords peers;
    Vesk::MessageDispatcher dispatcher;
};

} // namespace

QList<QByteArray> Fuzz::seeds()
{
    const QByteArray packet = TestSupport::pattern(70000, 3);
    Vesk::FolderListing::Folder folder;
    folder.name = "photos";
    folder.files = {{"{f1}", "a/b.jpg", 10, 5, {}}, {"{f2}", "c.txt", 20, 6, {}}};
    folder.emptyFolders = {"a/empty"};
    folder.totalSize = 30;
    QList<QByteArray> all;
    for (const Parameters& p : QList<Parameters>{
             {{"action", "newChatMessage"},
              {"nodeFrom", "owner"},
              {"message", "hi <b>there</b>"},
              {"chatId", "{c}"},
              {"timeSent", qint64(5)}},
             {{"action", "confirmChat"}, {"nodeFrom", "owner"}, {"chatId", "{c}"}},
             {{"action", "newFileToDownload"},
              {"nodeFrom", "owner"},
              {"fileId", "{n}"},
              {"fileName", "../x.pdf"},
              {"fileSize", qint64(1234)},
              {"fileExtension", "pdf"}},
             {{"action", "newFileToDownload"},
              {"nodeFrom", "owner"},
              {"fileId", "{L}"},
              {"fileName", "big.iso"},
              {"fileSize", qint64(1) << 40}},
             {{"action", "confirmFileToSend"}, {"nodeFrom", "owner"}, {"fileId", "{up}"}},
             {{"action", "sendDataPacket"},
              {"nodeFrom", "owner"},
              {"fileId", "{up}"},
              {"fileSeek", qint64(1000)},
              {"bufferSize", 4096}},
             {{"action", "receiveDataPacket"},
              {"nodeFrom", "owner"},
              {"fileId", "{down}"},
              {"fileSeek", qint64(0)},
              {"binaryData", packet}},
             {{"action", "receiveDataPacket"},
              {"nodeFrom", "owner"},
              {"fileId", "{down}"},
              {"fileSeek", qint64(0)},
              {"binaryData", QByteArray("abc")}},
             {{"action", "fileTransferComplete"}, {"nodeFrom", "owner"}, {"fileId", "{up}"}},
             {{"action", "removeFileToGet"}, {"nodeFrom", "owner"}, {"fileId", "{down}"}},
             {{"action", "removeFileToSend"}, {"nodeFrom", "owner"}, {"fileId", "{up}"}},
             {{"action", "avatarRequested"}, {"nodeFrom", "owner"}},
             {{"action", "avatarObtained"},
              {"nodeFrom", "owner"},
              {"fileExtension", "png"},
              {"binaryData", QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQ"
                                                    "DwAEhQGAhKmMIQAAAABJRU5ErkJggg==")}},
             {{"action", "addMeRequest"}, {"nodeFrom", "owner"}, {"alias", "Owner"}, {"sysinfo", "Linux"}},
             {{"action", "addMeRequestConfirmed"}, {"nodeFrom", "owner"}, {"alias", "Owner"}, {"sysinfo", "Linux"}},
             {{"action", "newFolderToDownload"},
              {"nodeFrom", "owner"},
              {"fileId", "{d}"},
              {"folderListing", Vesk::FolderListing::parts("{d}", folder).value(0)}},
             {{"action", "confirmFolderToSend"}, {"nodeFrom", "owner"}, {"fileId", "{d}"}, {"packetId", "0"}},
             {{"action", "requestMyInfo"}, {"nodeFrom", "owner"}, {"sealedTo", QByteArray(8, 's')}}})
        all.append(record(p));
    return all;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Program program;
    const QByteArray received = Fuzz::bytes(data, size);

    // The frame reader's way (the buffer handed over) and the copying way read the same message.
    const Parameters message = Vesk::byteArrayToParameters(received);
    QByteArray handed = received;
    handed.detach();
    Fuzz::check(Vesk::byteArrayToParameters(std::move(handed)) == message, "both readings agree");
    if (message.contains(QLatin1String(Vesk::kSealedRecordKey)))
        return 0;

    // What we read, written again, reads back as the same message, in a record and in a frame alike.
    const QByteArray written = Vesk::parametersToByteArray(message);
    Fuzz::check(Vesk::byteArrayToParameters(written) == message, "a written message reads back the same");
    Fuzz::check(Vesk::parametersToFrame(message).mid(Vesk::kFrameHeaderSize) == written, "frame holds the record");

    Parameters dispatched = message;
    dispatched.insert("senderIPAddress", program.ownerAddress.toString());
    program.dispatcher.dispatch(dispatched);
    program.settle();
    return 0;
}
