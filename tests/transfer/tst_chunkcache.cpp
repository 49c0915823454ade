#include "transfer/chunkcache.h"

#include <QTest>

namespace {

constexpr qint64 kChunk = ChunkCache::kChunkSize;

// A file of `size` bytes whose every byte is derived from its offset, read through a counting loader.
struct FakeFile
{
    qint64 size = 0;
    int reads = 0;
    QList<qint64> readStarts;

    static char byteAt(qint64 offset) { return char((offset * 7 + offset / 251) & 0xff); }

    QByteArray expected(qint64 offset, qint64 length) const
    {
        QByteArray bytes;
        for (qint64 i = offset; i < qMin(size, offset + length); ++i)
            bytes.append(byteAt(i));
        return bytes;
    }

    ChunkCache::Loader loader()
    {
        return [this](qint64 start) {
            ++reads;
            readStarts.append(start);
            return expected(start, kChunk);
        };
    }
};

} // namespace

class tst_ChunkCache : public QObject
{
    Q_OBJECT

private slots:
    void servesTheRequestedRange_data();
    void servesTheRequestedRange();
    void wholeChunkPacketsReadEachChunkOnce();
    void smallPacketsReadEachChunkOnce();
    void chunkGoesWhenItsLastByteIsServed();
    void repeatedLastPacketIsReadAgain();
    void memoryStaysBoundedWithManyFiles();
    void leastRecentlyUsedGivesWay();
    void idleChunksAreFreed();
    void clockSetBackFreesToo();
    void unreadableFileCachesNothing();
    void nonsenseRequestsReadNothing_data();
    void nonsenseRequestsReadNothing();
    void dropFile();
    void keysDoNotCollide();
};

void tst_ChunkCache::servesTheRequestedRange_data()
{
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("expectedLength");
    QTest::newRow("first packet") << qint64(2500000) << qint64(0) << qint64(1000000) << qint64(1000000);
    QTest::newRow("inside a chunk") << qint64(2500000) << qint64(1000100) << qint64(500) << qint64(500);
    QTest::newRow("stops at the chunk's end") << qint64(2500000) << qint64(1999000) << qint64(1000000) << qint64(1000);
    QTest::newRow("last short chunk") << qint64(2500000) << qint64(2000000) << qint64(1000000) << qint64(500000);
    QTest::newRow("past the end of the file") << qint64(2500000) << qint64(2600000) << qint64(10) << qint64(0);
    QTest::newRow("tiny file") << qint64(3) << qint64(0) << qint64(1000000) << qint64(3);
}

void tst_ChunkCache::servesTheRequestedRange()
{
    QFETCH(qint64, fileSize);
    QFETCH(qint64, offset);
    QFETCH(qint64, size);
    QFETCH(qint64, expectedLength);
    FakeFile file{fileSize};
    ChunkCache cache;
    const QByteArray bytes = cache.read(QStringLiteral("f"), offset, size, 0, file.loader());
    QCOMPARE(bytes.size(), expectedLength);
    QCOMPARE(bytes, file.expected(offset, expectedLength));
    QCOMPARE(file.reads, 1);
    QCOMPARE(file.readStarts.value(0), offset / kChunk * kChunk);
}

void tst_ChunkCache::wholeChunkPacketsReadEachChunkOnce()
{
    FakeFile file{25 * kChunk + 12345};
    ChunkCache cache;
    QByteArray received;
    for (qint64 offset = 0; offset < file.size; offset += kChunk) {
        received += cache.read(QStringLiteral("f"), offset, kChunk, offset / 1000, file.loader());
        QVERIFY(cache.bytesHeld() <= kChunk);
    }
    QCOMPARE(received.size(), file.size);
    QCOMPARE(received, file.expected(0, file.size));
    QCOMPARE(file.reads, 26);
    QCOMPARE(cache.chunkCount(), 0);
}

void tst_ChunkCache::smallPacketsReadEachChunkOnce()
{
    // A receiver asking for 300,000 bytes at a time crosses chunk borders at odd offsets.
    FakeFile file{7 * kChunk + 5};
    ChunkCache cache;
    QByteArray received;
    qint64 offset = 0;
    while (offset < file.size) {
        const QByteArray packet = cache.read(QStringLiteral("f"), offset, 300000, 0, file.loader());
        QVERIFY(!packet.isEmpty());
        received += packet;
        offset += packet.size();
    }
    QCOMPARE(received, file.expected(0, file.size));
    QCOMPARE(file.reads, 8);
    QCOMPARE(cache.chunkCount(), 0);
    QVERIFY(cache.peakBytesHeld() <= kChunk);
}

void tst_ChunkCache::chunkGoesWhenItsLastByteIsServed()
{
    FakeFile file{3 * kChunk};
    ChunkCache cache;
    cache.read(QStringLiteral("f"), 0, 400000, 0, file.loader());
    QCOMPARE(cache.chunkCount(), 1);
    QCOMPARE(cache.bytesHeld(), kChunk);
    cache.read(QStringLiteral("f"), 400000, 599999, 0, file.loader());
    QCOMPARE(cache.chunkCount(), 1);
    cache.read(QStringLiteral("f"), 999999, 1, 0, file.loader());
    QCOMPARE(cache.chunkCount(), 0);
    QCOMPARE(file.reads, 1);
}

void tst_ChunkCache::repeatedLastPacketIsReadAgain()
{
    FakeFile file{2 * kChunk};
    ChunkCache cache;
    const QByteArray first = cache.read(QStringLiteral("f"), 0, kChunk, 0, file.loader());
    bool loaded = false;
    const QByteArray again = cache.read(QStringLiteral("f"), 0, kChunk, 0, file.loader(), &loaded);
    QVERIFY(loaded);
    QCOMPARE(again, first);
    QCOMPARE(file.reads, 2);
}

void tst_ChunkCache::memoryStaysBoundedWithManyFiles()
{
    // Twenty receivers pulling twenty files in small packets, interleaved.
    const int files = 20;
    QList<FakeFile> fakes(files, FakeFile{3 * kChunk});
    QList<qint64> offsets(files, 0);
    ChunkCache cache;
    bool progress = true;
    while (progress) {
        progress = false;
        for (int i = 0; i < files; ++i) {
            if (offsets[i] >= fakes[i].size)
                continue;
            const QByteArray packet =
                cache.read(QStringLiteral("file%1").arg(i), offsets[i], 250000, 0, fakes[i].loader());
            QCOMPARE(packet, fakes[i].expected(offsets[i], 250000));
            offsets[i] += packet.size();
            progress = true;
            QVERIFY(cache.chunkCount() <= ChunkCache::kDefaultCapacity);
            QVERIFY(cache.bytesHeld() <= ChunkCache::kDefaultCapacity * kChunk);
        }
    }
    QVERIFY(cache.peakBytesHeld() <= ChunkCache::kDefaultCapacity * kChunk);
}

void tst_ChunkCache::leastRecentlyUsedGivesWay()
{
    FakeFile file{20 * kChunk};
    ChunkCache cache(3);
    for (int i = 0; i < 3; ++i)
        cache.read(QStringLiteral("f"), i * kChunk, 10, 0, file.loader());
    cache.read(QStringLiteral("f"), 0 * kChunk + 10, 10, 0, file.loader()); // chunk 0 used again: 1 is oldest
    QCOMPARE(file.reads, 3);
    cache.read(QStringLiteral("f"), 5 * kChunk, 10, 0, file.loader());
    QCOMPARE(cache.chunkCount(), 3);
    QCOMPARE(file.reads, 4);
    bool loaded = true;
    cache.read(QStringLiteral("f"), 0 * kChunk + 20, 10, 0, file.loader(), &loaded);
    QVERIFY(!loaded);
    cache.read(QStringLiteral("f"), 2 * kChunk + 20, 10, 0, file.loader(), &loaded);
    QVERIFY(!loaded);
    cache.read(QStringLiteral("f"), 1 * kChunk + 20, 10, 0, file.loader(), &loaded);
    QVERIFY(loaded);
}

void tst_ChunkCache::idleChunksAreFreed()
{
    FakeFile file{5 * kChunk};
    ChunkCache cache;
    cache.read(QStringLiteral("f"), 0, 10, 1000, file.loader());
    cache.read(QStringLiteral("f"), kChunk, 10, 5000, file.loader());
    QVERIFY(cache.freeIdle(11000)); // 10,000 ms exactly is not more than the limit
    QCOMPARE(cache.chunkCount(), 2);
    QVERIFY(cache.freeIdle(11001));
    QCOMPARE(cache.chunkCount(), 1);
    QVERIFY(!cache.freeIdle(15001));
    QCOMPARE(cache.chunkCount(), 0);
}

void tst_ChunkCache::clockSetBackFreesToo()
{
    FakeFile file{kChunk * 2};
    ChunkCache cache;
    cache.read(QStringLiteral("f"), 0, 10, 50000, file.loader());
    QVERIFY(!cache.freeIdle(20000));
}

void tst_ChunkCache::unreadableFileCachesNothing()
{
    ChunkCache cache;
    bool loaded = false;
    const QByteArray bytes = cache.read(
        QStringLiteral("f"), 0, 10, 0, [](qint64) { return QByteArray(); }, &loaded);
    QVERIFY(loaded);
    QVERIFY(bytes.isEmpty());
    QCOMPARE(cache.chunkCount(), 0);
}

void tst_ChunkCache::nonsenseRequestsReadNothing_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("size");
    QTest::newRow("negative offset") << qint64(-1) << qint64(10);
    QTest::newRow("zero size") << qint64(0) << qint64(0);
    QTest::newRow("negative size") << qint64(0) << qint64(-5);
}

void tst_ChunkCache::nonsenseRequestsReadNothing()
{
    QFETCH(qint64, offset);
    QFETCH(qint64, size);
    FakeFile file{kChunk};
    ChunkCache cache;
    QVERIFY(cache.read(QStringLiteral("f"), offset, size, 0, file.loader()).isEmpty());
    QCOMPARE(file.reads, 0);
}

void tst_ChunkCache::dropFile()
{
    FakeFile a{3 * kChunk}, b{3 * kChunk};
    ChunkCache cache;
    cache.read(QStringLiteral("a"), 0, 10, 0, a.loader());
    cache.read(QStringLiteral("a"), kChunk, 10, 0, a.loader());
    cache.read(QStringLiteral("b"), 0, 10, 0, b.loader());
    cache.dropFile(QStringLiteral("a"));
    QCOMPARE(cache.chunkCount(), 1);
    QCOMPARE(cache.bytesHeld(), kChunk);
}

void tst_ChunkCache::keysDoNotCollide()
{
    // Id "x1" with chunk 0 and id "x" with chunk 10 would share the text "x10".
    FakeFile one{kChunk * 11}, other{kChunk};
    ChunkCache cache;
    const QByteArray fromOther = cache.read(QStringLiteral("x1"), 5, 10, 0, other.loader());
    const QByteArray fromOne = cache.read(QStringLiteral("x"), 10 * kChunk + 5, 10, 0, one.loader());
    QCOMPARE(one.reads, 1);
    QCOMPARE(fromOne, one.expected(10 * kChunk + 5, 10));
    QCOMPARE(fromOther, other.expected(5, 10));
}

QTEST_APPLESS_MAIN(tst_ChunkCache)
#include "tst_chunkcache.moc"
