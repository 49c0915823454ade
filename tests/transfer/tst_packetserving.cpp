#include "transferrig.h"

#include "transfer/chunkcache.h"
#include "transfer/transfermessages.h"

#include <QTemporaryDir>

using namespace TestSupport;
using Parameters = Vesk::MessageSink::Parameters;

namespace {

constexpr qint64 kPacket = Vesk::TransferMessages::kPacketSize;
const QString kUploads = QStringLiteral("vesk_uploads");

} // namespace

// The owner's side of the packet exchange: answering requests from memory-bounded chunks, refusing nonsense.
class tst_PacketServing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void servingPackets_data();
    void servingPackets();
    void badRequestsGetNoAnswer_data();
    void badRequestsGetNoAnswer();
    void requestForUnknownUploadIsLogged();
    void chunkMemoryStaysBounded_data();
    void chunkMemoryStaysBounded();
    void idleChunksAreFreedByTheTimer();

private:
    QString makeUpload(const QString& id, const QByteArray& contents,
                       const QString& name = QStringLiteral("served.bin"))
    {
        const QString path = files->filePath(name);
        if (!QFileInfo::exists(path))
            writeFile(path, contents);
        exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, "
                            "timesent) values (?, ?, 'receiver', ?, ?, 0, 'sent', 0)"),
             {id, path, contents.size(), name});
        return path;
    }

    std::unique_ptr<TransferRig> rig;
    std::unique_ptr<QTemporaryDir> files;
    QHostAddress receiver;
};

void tst_PacketServing::init()
{
    rig = std::make_unique<TransferRig>();
    files = std::make_unique<QTemporaryDir>();
    receiver = rig->addPeer("receiver");
}

void tst_PacketServing::cleanup()
{
    rig.reset();
    files.reset();
}

void tst_PacketServing::servingPackets_data()
{
    QTest::addColumn<int>("window");
    QTest::newRow("strict peer, one packet at a time") << 1;
    QTest::newRow("window of 16, newest first") << 16;
}

// Every request is answered at once, to the receiver's stored address rather than the one it came from, with the
// bytes at its offset and its own timeSent. A window is answered out of order: the upload's progress stays at the
// furthest packet served.
void tst_PacketServing::servingPackets()
{
    QFETCH(int, window);
    const QByteArray source = pattern(37 * kPacket + 999, 9);
    makeUpload("up", source);
    const auto request = [this](qint64 seek, qint64 size) {
        rig->sink.clear();
        rig->packets.handleSendDataPacket({{"action", "sendDataPacket"},
                                           {"bufferSize", quint32(size)},
                                           {"fileSeek", quint32(seek)},
                                           {"fileId", "up"},
                                           {"timeSent", 424242 + seek},
                                           {"senderIPAddress", "10.77.5.9"}});
    };
    for (qint64 next = 0; next < source.size();) {
        QList<qint64> offsets; // one window, newest first
        for (int i = 0; i < window && next < source.size(); ++i, next += kPacket)
            offsets.prepend(next);
        for (const qint64 seek : std::as_const(offsets)) {
            request(seek, qMin(kPacket, source.size() - seek));
            QCOMPARE(rig->sink.sent.size(), 1);
            const auto answer = rig->sink.sent.first();
            QCOMPARE(answer.action(), QStringLiteral("receiveDataPacket"));
            QCOMPARE(answer.address, receiver);
            QCOMPARE(answer.value("fileId").toString(), QStringLiteral("up"));
            QCOMPARE(answer.value("fileSeek").toLongLong(), seek);
            QCOMPARE(answer.value("timeSent").toLongLong(), 424242 + seek);
            QCOMPARE(answer.value("binaryData").toByteArray(), source.mid(seek, kPacket));
        }
        QCOMPARE(row(kUploads, QStringLiteral("up")).value("bytessent"), QString::number(offsets.first()));
    }
    // An upload that is gone is not served any more, even straight after its packets were.
    QVERIFY(exec(QStringLiteral("delete from vesk_uploads where id = 'up'")));
    TestSupport::MessageCatcher catcher;
    request(0, kPacket);
    QVERIFY(rig->sink.sent.isEmpty());
}

void tst_PacketServing::badRequestsGetNoAnswer_data()
{
    QTest::addColumn<QVariant>("bufferSize");
    QTest::addColumn<QVariant>("fileSeek");
    QTest::newRow("zero size") << QVariant(0) << QVariant(0);
    QTest::newRow("negative size") << QVariant(-1) << QVariant(0);
    QTest::newRow("more than a packet") << QVariant(kPacket + 1) << QVariant(0);
    QTest::newRow("negative offset") << QVariant(10) << QVariant(-1);
    QTest::newRow("offset at the end") << QVariant(10) << QVariant(5000);
    QTest::newRow("offset beyond the end") << QVariant(10) << QVariant(4000000000LL);
    QTest::newRow("no size") << QVariant() << QVariant(0);
    QTest::newRow("no offset") << QVariant(10) << QVariant();
    QTest::newRow("size as text") << QVariant("lots") << QVariant(0);
}

void tst_PacketServing::badRequestsGetNoAnswer()
{
    QFETCH(QVariant, bufferSize);
    QFETCH(QVariant, fileSeek);
    makeUpload("up", pattern(5000));
    Parameters request{{"action", "sendDataPacket"}, {"fileId", "up"}, {"timeSent", 1}};
    if (bufferSize.isValid())
        request.insert(QStringLiteral("bufferSize"), bufferSize);
    if (fileSeek.isValid())
        request.insert(QStringLiteral("fileSeek"), fileSeek);
    rig->packets.handleSendDataPacket(request);
    QVERIFY(rig->sink.sent.isEmpty());
    QCOMPARE(rig->packets.chunks().chunkCount(), 0);
    QCOMPARE(row(kUploads, QStringLiteral("up")).value("bytessent"), QStringLiteral("0"));
}

void tst_PacketServing::requestForUnknownUploadIsLogged()
{
    TestSupport::MessageCatcher catcher;
    rig->packets.handleSendDataPacket(
        {{"action", "sendDataPacket"}, {"fileId", "ghost"}, {"fileSeek", 0}, {"bufferSize", 10}});
    QVERIFY(rig->sink.sent.isEmpty());
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY2(catcher.criticals().first().contains(QStringLiteral("The local file for")),
             qPrintable(catcher.criticals().first()));
    QVERIFY(catcher.criticals().first().contains(QStringLiteral("ghost")));
    QVERIFY(catcher.criticals().first().contains(QStringLiteral("was not found")));

    // An id as long as a message can be is not copied whole into the log.
    catcher.clear();
    rig->packets.handleSendDataPacket({{"action", "sendDataPacket"},
                                       {"fileId", QString(1000000, QLatin1Char('x'))},
                                       {"fileSeek", 0},
                                       {"bufferSize", 10}});
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY(catcher.criticals().first().size() < 200);
}

void tst_PacketServing::chunkMemoryStaysBounded_data()
{
    QTest::addColumn<int>("uploads");
    QTest::addColumn<qint64>("packetSize");
    QTest::newRow("one large file, whole packets") << 1 << kPacket;
    QTest::newRow("one large file, small packets") << 1 << qint64(300000);
    QTest::newRow("twelve receivers at once") << 12 << qint64(400000);
}

void tst_PacketServing::chunkMemoryStaysBounded()
{
    QFETCH(int, uploads);
    QFETCH(qint64, packetSize);
    const qint64 size = uploads == 1 ? 40 * kPacket + 123 : 3 * kPacket + 7;
    const QByteArray source = pattern(size, 7);
    for (int i = 0; i < uploads; ++i)
        makeUpload(QStringLiteral("big%1").arg(i), source, "large.bin");

    QList<qint64> offsets(uploads, 0);
    QList<QByteArray> received(uploads);
    bool more = true;
    while (more) {
        more = false;
        for (int i = 0; i < uploads; ++i) {
            if (offsets[i] >= size)
                continue;
            more = true;
            rig->sink.clear();
            rig->packets.handleSendDataPacket({{"action", "sendDataPacket"},
                                               {"bufferSize", qMin(packetSize, size - offsets[i])},
                                               {"fileSeek", offsets[i]},
                                               {"fileId", QStringLiteral("big%1").arg(i)},
                                               {"timeSent", 1}});
            QCOMPARE(rig->sink.sent.size(), 1);
            const QByteArray bytes = rig->sink.sent.first().value("binaryData").toByteArray();
            QVERIFY(!bytes.isEmpty());
            received[i] += bytes;
            offsets[i] += bytes.size();
            QVERIFY(rig->packets.chunks().chunkCount() <= ChunkCache::kDefaultCapacity);
        }
    }
    for (int i = 0; i < uploads; ++i)
        QVERIFY(received[i] == source);
    QVERIFY2(rig->packets.chunks().peakBytesHeld() <= ChunkCache::kDefaultCapacity * kPacket,
             qPrintable(QString::number(rig->packets.chunks().peakBytesHeld())));
    if (uploads == 1)
        QVERIFY(rig->packets.chunks().peakBytesHeld() <= kPacket);
    // Every chunk was served to its end, so none is left behind.
    QCOMPARE(rig->packets.chunks().chunkCount(), 0);
}

void tst_PacketServing::idleChunksAreFreedByTheTimer()
{
    makeUpload("idle", pattern(3 * kPacket), "idle.bin");
    QCOMPARE(rig->packets.readFilePacket("idle", 0, 10), pattern(10));
    QCOMPARE(rig->packets.chunks().chunkCount(), 1);
    rig->clock.advance(10000);
    rig->packets.freeBufferFilesToSend();
    QCOMPARE(rig->packets.chunks().chunkCount(), 1);
    rig->clock.advance(1);
    rig->packets.freeBufferFilesToSend();
    QCOMPARE(rig->packets.chunks().chunkCount(), 0);
}

QTEST_GUILESS_MAIN(tst_PacketServing)
#include "tst_packetserving.moc"
