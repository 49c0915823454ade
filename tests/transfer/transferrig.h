#pragma once

#include "subsystemfixture.h"
#include "testsupport.h"
#include "transfer/downloadengine.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"
#include "transfer/packetserver.h"

#include <QCoreApplication>

namespace TestSupport {

// The transfer subsystems wired to each other as the program wires them, over a fresh fixture: no port, no
// controller. Messages they send land in the fixture's sink.
struct TransferRig : SubsystemFixture
{
    TransferRig()
        : packets(*store, sink, clock), outgoing(*store, sink, clock, profile, shell, packets),
          engine(*store, sink, clock, shell, downloadsFolder()), incoming(*store, sink, clock, shell, engine)
    {
        shell.autoOpen = false;
    }

    void insertUpload(const QString& id, const QString& nodeTo, qint64 timeSent,
                      const QString& status = QStringLiteral("unknown"))
    {
        exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, "
                            "timesent) values (?, ?, ?, 1000, ?, 0, ?, ?)"),
             {id, QString(QStringLiteral("/tmp/") + id), nodeTo, QString(id + QStringLiteral(".bin")), status,
              timeSent});
    }
    void insertDownload(const QString& id, const QString& nodeFrom, const QString& status)
    {
        exec(QStringLiteral("insert into vesk_downloads (id, filename, filesize, nodefrom, status, timestamp, "
                            "downloadsize) values (?, ?, '1000', ?, ?, ?, '0')"),
             {id, QString(id + QStringLiteral(".bin")), nodeFrom, status, clock.nowMs()});
    }
    // The file ids of every message with that action, in order.
    QStringList fileIds(const QString& action) const { return sink.values(action, "fileId"); }
    // Lets queued steps run (the engine's next download, and the step that one queues in turn).
    static void settle()
    {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }

    Vesk::PacketServer packets;
    Vesk::OutgoingOffers outgoing;
    Vesk::DownloadEngine engine;
    Vesk::IncomingOffers incoming;
};

} // namespace TestSupport
