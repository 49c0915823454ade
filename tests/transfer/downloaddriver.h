#pragma once

#include "transferrig.h"

#include "store/vesksqlquerymodel.h"
#include "transfer/transfermessages.h"

#include <QDir>
#include <QObject>

// What the download tests share: the transfer subsystems over a fresh fixture with an owner peer that never
// answers on its own, and the steps of playing that owner by hand (answering the engine's requests with packets
// of a source).
namespace TestSupport {

constexpr qint64 kPacket = Vesk::TransferMessages::kPacketSize;
inline const QString kOwner = QStringLiteral("owner");
inline const QString kDownloads = QStringLiteral("vesk_downloads");

struct Request
{
    QString fileId;
    qint64 fileSeek = -1;
    qint64 bufferSize = -1;
    bool operator==(const Request& o) const
    {
        return fileId == o.fileId && fileSeek == o.fileSeek && bufferSize == o.bufferSize;
    }
};

inline char* toString(const Request& r)
{
    return qstrdup(qPrintable(QStringLiteral("(%1 @%2 +%3)").arg(r.fileId).arg(r.fileSeek).arg(r.bufferSize)));
}

class DownloadDriver : public QObject
{
    Q_OBJECT

protected Q_SLOTS:
    void init()
    {
        rig = std::make_unique<TransferRig>();
        ownerAddress = rig->addPeer(kOwner);
    }
    void cleanup() { rig.reset(); }

protected:
    void offer(const QString& id, const QString& name, qint64 size, const QString& from = kOwner)
    {
        rig->incoming.processNewFileToBeReceived(id, name, from, size);
    }
    // Queues a download and lets the engine take its step.
    void queue(const QString& id)
    {
        rig->engine.queueFileToDownload(id);
        settle();
    }
    QList<Request> requests() const
    {
        QList<Request> found;
        for (const auto& s : rig->sink.withAction(QStringLiteral("sendDataPacket")))
            found.append(
                {s.value("fileId").toString(), s.value("fileSeek").toLongLong(), s.value("bufferSize").toLongLong()});
        return found;
    }
    // Answers the last request from `source`, as the owner would, and lets the engine take its next step.
    bool answerLastRequest(const QByteArray& source)
    {
        const QList<Request> asked = requests();
        if (asked.isEmpty())
            return false;
        const Request last = asked.last();
        deliverPacket(last.fileId, last.fileSeek, source.mid(last.fileSeek, last.bufferSize));
        return true;
    }
    // Answers the request made for that offset, as the owner would.
    bool answerRequestAt(const QByteArray& source, qint64 seek)
    {
        for (const Request& r : requests()) {
            if (r.fileSeek == seek) {
                deliverPacket(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
                return true;
            }
        }
        return false;
    }
    // Plays a prompt owner: answers every request from the given one on, in the order they were made, including
    // those the answers bring, until the engine asks for nothing more.
    void answerAll(const QByteArray& source, qsizetype from = 0)
    {
        for (QList<Request> asked = requests(); from < asked.size(); asked = requests()) {
            const Request r = asked.at(from++);
            deliverPacket(r.fileId, r.fileSeek, source.mid(r.fileSeek, r.bufferSize));
        }
    }
    void deliverPacket(const QString& id, qint64 seek, const QByteArray& bytes)
    {
        rig->engine.handleReceiveDataPacket({{"action", "receiveDataPacket"},
                                             {"binaryData", bytes},
                                             {"fileSeek", seek},
                                             {"fileId", id},
                                             {"timeSent", rig->clock.nowMs()}});
        settle();
    }
    // One run of the 2000 ms progress tick.
    void tick()
    {
        rig->engine.progressTick();
        settle();
    }
    // Received bytes go to the file on a writer thread: waits for them, then lets the engine take its steps.
    void settle()
    {
        rig->engine.flushWrites();
        TransferRig::settle();
    }
    QString status(const QString& id) const { return row(kDownloads, id).value(QStringLiteral("status")); }
    QString path(const QString& name) const { return rig->downloadsFolder() + name; }
    QStringList entries() const
    {
        return QDir(rig->downloadsFolder()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }

    std::unique_ptr<TransferRig> rig;
    QHostAddress ownerAddress;
};

} // namespace TestSupport
