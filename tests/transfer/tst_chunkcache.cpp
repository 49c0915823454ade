#include "testsupport.h"
#include "transfer/chunkcache.h"

#include <QRandomGenerator>

using namespace TestSupport;

// The owner's memory of the files it serves: whatever is asked, in whatever order, the answer is the file's bytes
// at that offset, also after the file changed and was dropped from memory or left idle.
class tst_ChunkCache : public QObject
{
    Q_OBJECT

    QHash<QString, QByteArray> disk;
    ChunkCache::Loader loader(const QString& id)
    {
        return [this, id](qint64 start) {
            return disk.value(id).mid(start, ChunkCache::kChunkSize);
        };
    }

private slots:
    void wholeFileInPackets()
    {
        disk["f"] = pattern(7000005);
        for (const qint64 packet : {300000, 1000000, 1500000}) { // crossing chunk borders, a chunk, more
            ChunkCache cache;
            QByteArray received;
            for (int n = 0; n < 50; ++n) // more reads than the file needs: past its end they add nothing
                received += cache.read("f", received.size(), packet, 0, loader("f"));
            QCOMPARE(received, disk["f"]);
        }
    }
    void randomReads()
    {
        // "x1" with its chunk 0 and "x" with its chunk 10 would meet under a joined key; "y" is under a chunk.
        disk = {{"x", pattern(10500000, 1)}, {"x1", pattern(2000000, 2)}, {"y", pattern(999999, 3)}};
        ChunkCache cache(3);
        QRandomGenerator random(16);
        for (qint64 i = 0, now = 0; i < 2000; ++i, now += 10) {
            const QString id = disk.keys().at(random.bounded(3));
            if (i % 200 == 199) { // the file changes, and is dropped or waits until its chunks are freed
                disk[id] = pattern(disk[id].size(), int(i));
                if (random.bounded(2))
                    cache.dropFile(id);
                else
                    cache.freeIdle(now += ChunkCache::kIdleMs + 1);
            }
            const qint64 offset = random.bounded(-1000, int(disk[id].size()) + 1000);
            const qint64 size = random.bounded(-10, 300000);
            const QByteArray bytes = cache.read(id, offset, size, now, loader(id));
            QCOMPARE(bytes.isEmpty(), offset < 0 || offset >= disk[id].size() || size <= 0);
            QCOMPARE(bytes, disk[id].mid(offset, qMin<qint64>(bytes.size(), size)));
        }
    }
};

QTEST_APPLESS_MAIN(tst_ChunkCache)
#include "tst_chunkcache.moc"
