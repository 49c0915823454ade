#include "transferfixture.h"

#include "store/vesksqlquerymodel.h"
#include "testsupport.h"
#include "transfer/chunkcache.h"
#include "transfer/transfernames.h"

#include <QAbstractItemModelTester>
#include <QTemporaryDir>

using namespace TransferFixture;
using Vesk::Globals;
using Vesk::Parameters;

namespace {

constexpr qint64 kHourMs = 3600000;
constexpr qint64 kPacket = 1000000;
const QString kDownloads = QStringLiteral("vesk_downloads");
const QString kUploads = QStringLiteral("vesk_uploads");

QString status(const QString& id)
{
    return row(kDownloads, id).value("status");
}

} // namespace

// The owner's side of the packet exchange: answering requests from memory-bounded chunks, refusing nonsense, and a
// whole transfer between both sides over real connections.
class tst_PacketServing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void servingAPacket();
    void badRequestsGetNoAnswer_data();
    void badRequestsGetNoAnswer();
    void requestForUnknownUploadIsLogged();
    void chunkMemoryStaysBounded_data();
    void chunkMemoryStaysBounded();
    void idleChunksAreFreedByTheTimer();
    void loopbackTransferIsBitExact();

private:
    Globals* g = nullptr;
    TransferRecorder* outbox = nullptr;
    QTemporaryDir files;
};

void tst_PacketServing::initTestCase()
{
    QVERIFY(files.isValid());
    outbox = new TransferRecorder;
    g = startController();
    QVERIFY(g->tcpServer.isListening());
    new QAbstractItemModelTester(g->uploadsData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
}

void tst_PacketServing::init()
{
    now() += 2 * kHourMs;
    QCoreApplication::processEvents();
    clearTables();
    QDir(downloadsFolderPath()).removeRecursively();
    QDir().mkpath(downloadsFolderPath());
    g->uploadsData->refresh();
    g->bufferFilesToSend.clear();
    g->bufferFilesToSend.resetPeak();
    outbox->deliver = false;
    outbox->clear();
}

void tst_PacketServing::cleanupTestCase()
{
    delete outbox;
    Vesk::setClockOverride({});
}

void tst_PacketServing::servingAPacket()
{
    const QByteArray source = pattern(2500000, 9);
    const QString path = writeFile(files.filePath(QStringLiteral("served.bin")), source);
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values ('up', ?, 'receiver', 2500000, 'served.bin', 0, 'sent', 0)"),
         {path});
    g->uploadsData->refresh();
    for (qint64 seek : {qint64(0), qint64(2000000), qint64(1000000)}) {
        outbox->clear();
        g->processMessage({{"action", "sendDataPacket"},
                           {"bufferSize", quint32(kPacket)},
                           {"fileSeek", quint32(seek)},
                           {"fileId", "up"},
                           {"timeSent", qint64(424242)},
                           {"senderIPAddress", "10.77.5.9"}});
        QCOMPARE(outbox->sent.size(), 1);
        const auto answer = outbox->sent.first();
        QCOMPARE(answer.action(), QStringLiteral("receiveDataPacket"));
        QCOMPARE(answer.nodeId, QStringLiteral("receiver"));
        QCOMPARE(answer.value("fileId").toString(), QStringLiteral("up"));
        QCOMPARE(answer.value("fileSeek").toLongLong(), seek);
        QCOMPARE(answer.value("timeSent").toLongLong(), 424242);
        QCOMPARE(answer.value("binaryData").toByteArray(), source.mid(seek, kPacket));
        QCOMPARE(row(kUploads, QStringLiteral("up")).value("bytessent"), QString::number(seek));
    }
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
    const QString path = writeFile(files.filePath(QStringLiteral("small.bin")), pattern(5000));
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values ('up', ?, 'receiver', 5000, 'small.bin', 0, 'sent', 0)"),
         {path});
    Parameters request{{"action", "sendDataPacket"}, {"fileId", "up"}, {"timeSent", 1}};
    if (bufferSize.isValid())
        request.insert(QStringLiteral("bufferSize"), bufferSize);
    if (fileSeek.isValid())
        request.insert(QStringLiteral("fileSeek"), fileSeek);
    g->processMessage(request);
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 0);
    QCOMPARE(row(kUploads, QStringLiteral("up")).value("bytessent"), QStringLiteral("0"));
}

void tst_PacketServing::requestForUnknownUploadIsLogged()
{
    TestSupport::MessageCatcher catcher;
    g->processMessage({{"action", "sendDataPacket"}, {"fileId", "ghost"}, {"fileSeek", 0}, {"bufferSize", 10}});
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY2(catcher.criticals().first().contains(QStringLiteral("The local file for")),
             qPrintable(catcher.criticals().first()));
    QVERIFY(catcher.criticals().first().contains(QStringLiteral("ghost")));
    QVERIFY(catcher.criticals().first().contains(QStringLiteral("was not found")));

    // An id as long as a message can be is not copied whole into the log.
    catcher.clear();
    g->processMessage({{"action", "sendDataPacket"},
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
    const QString path = writeFile(files.filePath(QStringLiteral("large.bin")), source);
    for (int i = 0; i < uploads; ++i)
        exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, "
                            "timesent) values (?, ?, 'receiver', ?, 'large.bin', 0, 'sent', 0)"),
             {QStringLiteral("big%1").arg(i), path, size});
    g->bufferFilesToSend.resetPeak();

    QList<qint64> offsets(uploads, 0);
    QList<QByteArray> received(uploads);
    bool more = true;
    while (more) {
        more = false;
        for (int i = 0; i < uploads; ++i) {
            if (offsets[i] >= size)
                continue;
            more = true;
            outbox->clear();
            g->processMessage({{"action", "sendDataPacket"},
                               {"bufferSize", qMin(packetSize, size - offsets[i])},
                               {"fileSeek", offsets[i]},
                               {"fileId", QStringLiteral("big%1").arg(i)},
                               {"timeSent", 1}});
            QCOMPARE(outbox->sent.size(), 1);
            const QByteArray bytes = outbox->sent.first().value("binaryData").toByteArray();
            QVERIFY(!bytes.isEmpty());
            received[i] += bytes;
            offsets[i] += bytes.size();
            QVERIFY(g->bufferFilesToSend.chunkCount() <= ChunkCache::kDefaultCapacity);
        }
    }
    for (int i = 0; i < uploads; ++i)
        QVERIFY(received[i] == source);
    QVERIFY2(g->bufferFilesToSend.peakBytesHeld() <= ChunkCache::kDefaultCapacity * kPacket,
             qPrintable(QString::number(g->bufferFilesToSend.peakBytesHeld())));
    if (uploads == 1)
        QVERIFY(g->bufferFilesToSend.peakBytesHeld() <= kPacket);
    // Every chunk was served to its end, so none is left behind.
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 0);
}

void tst_PacketServing::idleChunksAreFreedByTheTimer()
{
    const QString path = writeFile(files.filePath(QStringLiteral("idle.bin")), pattern(3 * kPacket));
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values ('idle', ?, 'receiver', ?, 'idle.bin', 0, 'sent', 0)"),
         {path, 3 * kPacket});
    QCOMPARE(g->readFilePacket(QStringLiteral("idle"), 0, 10), pattern(10));
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 1);
    QVERIFY(g->freeBufferFilesTimer.isActive());
    now() += 10000;
    QVERIFY(QMetaObject::invokeMethod(g, "freeBufferFilesToSend", Qt::DirectConnection));
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 1);
    QVERIFY(g->freeBufferFilesTimer.isActive());
    now() += 1;
    QVERIFY(QMetaObject::invokeMethod(g, "freeBufferFilesToSend", Qt::DirectConnection));
    QCOMPARE(g->bufferFilesToSend.chunkCount(), 0);
    g->freeBufferFilesTimer.stop();
}

void tst_PacketServing::loopbackTransferIsBitExact()
{
    // This instance is owner and receiver at once: its own node and the peer "loop" both live at 127.0.0.1, so
    // every request and packet crosses a real TCP connection of its own.
    QCOMPARE(g->getIpAddressForNode(g->hostId()), QStringLiteral("127.0.0.1"));
    addPeer(g, QStringLiteral("loop"), QStringLiteral("on"), QStringLiteral("127.0.0.1"));
    const QByteArray source = pattern(3 * kPacket + 4321, 11);
    const QString path = writeFile(files.filePath(QStringLiteral("looped.bin")), source);
    const QString id = Vesk::TransferNames::uploadId(QStringLiteral("loop"), path);
    exec(QStringLiteral("replace into vesk_uploads(id, url, nodeTo, filesize, filename, bytesSent, status, timesent) "
                        "values (?,?,?,?,?,0, 'unknown', ?);"),
         {id, path, QStringLiteral("loop"), source.size(), QStringLiteral("looped.bin"), now()});
    outbox->deliver = true;

    g->unsentUploadsTimeout(); // the offer goes to "loop", which is this instance
    QTRY_COMPARE_WITH_TIMEOUT(status(id), QStringLiteral("unknown"), 10000);
    exec(QStringLiteral("update vesk_downloads set nodefrom = ? where id = ?"), {g->hostId(), id});
    QTRY_COMPARE_WITH_TIMEOUT(row(kUploads, id).value("status"), QStringLiteral("sent"), 10000);

    g->queueFileToDownload(id);
    QTRY_COMPARE_WITH_TIMEOUT(status(id), QStringLiteral("downloaded"), 30000);
    QCOMPARE(readFile(downloadPath(QStringLiteral("looped.bin"))), source);
    // "fileTransferComplete" reached the owner's side, which dropped its upload row.
    QTRY_VERIFY_WITH_TIMEOUT(row(kUploads, id).isEmpty(), 10000);
}

QTEST_MAIN(tst_PacketServing)
#include "tst_packetserving.moc"
