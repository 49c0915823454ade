#pragma once

#include "transferfixture.h"

#include <QObject>

// What the download tests share: the controller with a recording outbox and an owner peer that never answers on its
// own, and the steps of playing that owner by hand (answering the engine's requests with packets of a source).
namespace TransferFixture {

constexpr qint64 kPacket = 1000000;
inline const QString kOwner = QStringLiteral("owner");

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

inline QString downloadStatus(const QString& id)
{
    return row(QStringLiteral("vesk_downloads"), id).value(QStringLiteral("status"));
}

inline QStringList downloadsFolderEntries()
{
    return QDir(downloadsFolderPath()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

class DownloadDriver : public QObject
{
protected:
    void startUp()
    {
        outbox = new TransferRecorder;
        g = startController();
        addPeer(g, kOwner, QStringLiteral("on"), QStringLiteral("10.77.5.1"));
    }

    void reset()
    {
        now() += 2 * 3600000;
        QCoreApplication::processEvents();
        clearTables();
        QDir(downloadsFolderPath()).removeRecursively();
        QDir().mkpath(downloadsFolderPath());
        g->pausedDownloads->refresh();
        g->queuedDownloads->refresh();
        g->completedDownloads->refresh();
        g->setCurrentDownloadingFileId(QString());
        g->settings->setValue(QLatin1String(Vesk::Globals::kAutoOpenKey), false);
        outbox->deliver = false;
        outbox->clear();
    }

    void shutDown()
    {
        delete outbox;
        Vesk::setClockOverride({});
    }

    void offer(const QString& id, const QString& name, qint64 size, const QString& from = kOwner)
    {
        g->processNewFileToBeReceived(id, name, from, size);
    }

    // Queues a download and lets the engine take its step.
    void queue(const QString& id)
    {
        g->queueFileToDownload(id);
        QCoreApplication::processEvents();
    }

    QList<Request> requests() const
    {
        QList<Request> found;
        for (const auto& s : outbox->withAction(QStringLiteral("sendDataPacket")))
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

    void deliverPacket(const QString& id, qint64 seek, const QByteArray& bytes)
    {
        g->processMessage({{"action", "receiveDataPacket"},
                           {"binaryData", bytes},
                           {"fileSeek", seek},
                           {"fileId", id},
                           {"timeSent", now()},
                           {"senderIPAddress", "10.77.5.1"}});
        QCoreApplication::processEvents();
    }

    // One run of the 2000 ms progress tick.
    bool tick()
    {
        const bool ran = QMetaObject::invokeMethod(g, "downloadUIUpdateTimeout", Qt::DirectConnection);
        QCoreApplication::processEvents();
        return ran;
    }

    Vesk::Globals* g = nullptr;
    TransferRecorder* outbox = nullptr;
};

} // namespace TransferFixture
