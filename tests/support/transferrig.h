#pragma once

#include "common/bufferpool.h"
#include "net/messageorigin.h"
#include "proto/veskv1.pb.h"
#include "subsystemfixture.h"
#include "testsupport.h"
#include "transfer/downloadengine.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"
#include "transfer/packetserver.h"
#include "transfer/transfermessages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QUrl>

namespace TestSupport {

constexpr qint64 kPacket = Vesk::TransferMessages::kPacketSize;

// A packet request as the owner receives it.
struct Request
{
    QString fileId;
    qint64 fileSeek = -1, bufferSize = -1;
    bool operator==(const Request& o) const
    {
        return fileId == o.fileId && fileSeek == o.fileSeek && bufferSize == o.bufferSize;
    }
};
inline char* toString(const Request& r)
{
    return qstrdup(qPrintable(QStringLiteral("(%1 @%2 +%3)").arg(r.fileId).arg(r.fileSeek).arg(r.bufferSize)));
}

// The transfer subsystems wired as the program wires them, over a fresh fixture (no port, no controller); what they
// send lands in the sink, and the owner of offered files answers only when a test plays it.
struct TransferRig : SubsystemFixture
{
    TransferRig()
        : packets(*store, sink, frames, clock), outgoing(*store, sink, clock, profile, shell, capabilities, packets),
          engine(*store, sink, frames, clock, shell, capabilities, downloadsFolder()), incoming(*store, sink, clock, shell, engine)
    {
        shell.autoOpen = false;
        ownerAddress = addPeer("owner");
    }

    // The peers the offer tests send to: Bob ("on1") and Carol ("on2") online, "off1" offline and "blocker" blocked.
    // Gives Bob's address, or a null one when their names could not be written.
    QHostAddress addOfferPeers()
    {
        const QHostAddress bob = addPeer("on1");
        addPeer("on2");
        addPeer("off1", "off");
        addPeer("blocker", "on", QString(), "yes");
        return exec("update vesk_peers set alias = case id when 'on1' then 'Bob' else 'Carol' end where id like 'on_'")
                   ? bob
                   : QHostAddress();
    }
    void insertUpload(const QString& id, const QString& nodeTo, qint64 timeSent, const QString& status = "unknown",
                      const QString& url = {}, qint64 size = 1000)
    {
        exec(
            "insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) values (?, ?, "
            "?, ?, ?, 0, ?, ?)",
            {id, url.isEmpty() ? "/tmp/" + id : url, nodeTo, size, QString(id + ".bin"), status, timeSent});
    }
    void insertDownload(const QString& id, const QString& nodeFrom, const QString& status)
    {
        exec("insert into vesk_downloads (id, filename, filesize, nodefrom, status, timestamp, downloadsize) values "
             "(?, ?, '1000', ?, ?, ?, '0')",
             {id, QString(id + ".bin"), nodeFrom, status, clock.nowMs()});
    }
    QStringList fileIds(const QString& action) const { return sink.values(action, "fileId"); }
    // The owner's user picks a file, or a folder (true once it is walked), and sends what is picked to these peers.
    bool pick(const QString& path)
    {
        QSignalSpy walked(&outgoing, &Vesk::OutgoingOffers::folderAdded);
        outgoing.processNewFileToSend(QUrl::fromLocalFile(path));
        return !QFileInfo(path).isDir() || walked.wait();
    }
    void sendTo(const QStringList& peers)
    {
        for (const QString& peer : peers)
            outgoing.togglePeerSelection(peer);
        outgoing.sendHighlightedFiles();
    }
    // Waits for received bytes to reach their file, then runs the steps queued after them.
    void settle()
    {
        engine.flushWrites();
        runQueuedCalls();
    }

    void offer(const QString& id, const QString& name, qint64 size)
    {
        incoming.processNewFileToBeReceived(id, name, "owner", size);
    }
    void queue(const QString& id)
    {
        engine.queueFileToDownload(id);
        settle();
    }
    QList<Request> requests() const
    {
        QList<Request> found;
        for (const auto& s : sink.withAction("sendDataPacket"))
            found.append(
                {s.value("fileId").toString(), s.value("fileSeek").toLongLong(), s.value("bufferSize").toLongLong()});
        return found;
    }
    // A message as if it came on the stream of that node.
    static Vesk::Parameters from(const QString& nodeId, Vesk::Parameters message)
    {
        message.insert(Vesk::MessageOrigin::kStreamNode, nodeId);
        return message;
    }
    // The same from the peer an upload (or a folder) of ours goes to.
    Vesk::Parameters fromReceiverOf(const QString& id, const Vesk::Parameters& message) const
    {
        return from(column("select nodeto from vesk_uploads where id = ? union all select nodeid from vesk_folders "
                           "where id = ? and direction = 'up'",
                           {id, id})
                        .value(0),
                    message);
    }
    void deliver(const QString& id, qint64 seek, const QByteArray& bytes)
    {
        engine.handleReceiveDataPacket(from(
            "owner", {{"action", "receiveDataPacket"}, {"binaryData", bytes}, {"fileSeek", seek}, {"fileId", id}}));
        settle();
    }
    void answer(const Request& r, const QByteArray& source)
    {
        deliver(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
    }
    // Answers, as a prompt owner, each request from the given one on, and the requests those answers bring.
    void answerAll(const QByteArray& source, qsizetype from = 0)
    {
        for (qsizetype i = from; i < requests().size(); ++i)
            answer(requests().at(i), source);
    }
    // Plays both sides of a folder until nothing more is sent: what the owner side sends reaches this receiver as if
    // from "owner", what the receiver sends reaches the owner side. Both keep their folder rows in one table here,
    // so the receiver knows the folder as "r" + its id.
    void relay()
    {
        for (qsizetype next = 0; next < sink.sent.size(); ++next) { // grows while it is worked off
            Vesk::Parameters m = sink.sent.at(next).parameters;
            const QString action = m.value("action").toString();
            if (action == "newFolderToDownload") {
                com::tavimor::vesk::FolderListing listing;
                const QByteArray bytes = m.value("folderListing").toByteArray();
                listing.ParseFromArray(bytes.constData(), int(bytes.size()));
                listing.set_folderid("r" + listing.folderid());
                m.insert("folderListing", QByteArray::fromStdString(listing.SerializeAsString()));
                m.insert("fileId", QString("r" + m.value("fileId").toString()));
                m.insert("nodeFrom", "owner");
                incoming.handleNewFolderToDownload(from("owner", m));
            } else if (action == "confirmFolderToSend") {
                m.insert("fileId", m.value("fileId").toString().mid(1));
                outgoing.handleConfirmFolderToSend(fromReceiverOf(m.value("fileId").toString(), m));
            } else if (action == "sendDataPacket")
                packets.handleSendDataPacket(fromReceiverOf(m.value("fileId").toString(), m));
            else if (action == "receiveDataPacket")
                engine.handleReceiveDataPacket(from("owner", m));
            else if (action == "removeFileToGet")
                incoming.handleRemoveFileToGet(from("owner", m));
            else if (action == "fileTransferComplete") {
                const QString id = m.value("fileId").toString();
                if (id.startsWith('r') && !column("select id from vesk_folders where id = ?", {id.mid(1)}).isEmpty())
                    m.insert("fileId", id.mid(1));
                outgoing.handleRemoveFileToSend(fromReceiverOf(m.value("fileId").toString(), m));
            }
            settle();
        }
    }
    void tick() // the progress tick
    {
        engine.progressTick();
        settle();
    }
    QString status(const QString& id) const { return row("vesk_downloads", id).value("status"); }
    QString path(const QString& name) const { return folder + name; }
    QStringList entries() const { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    // Where the engine writes; a test that moves the engine to another folder sets it too.
    QString folder = downloadsFolder();
    QHostAddress ownerAddress;
    Vesk::BufferPool frames;
    // What each peer's program can take, as the rig's test says (a plain peer when not listed).
    struct Capabilities : Vesk::PeerCapabilities
    {
        quint32 capabilitiesOf(const QString& nodeId) const override { return of.value(nodeId); }
        QHash<QString, quint32> of;
    } capabilities;
    Vesk::PacketServer packets;
    Vesk::OutgoingOffers outgoing;
    Vesk::DownloadEngine engine;
    Vesk::IncomingOffers incoming;
};

} // namespace TestSupport
