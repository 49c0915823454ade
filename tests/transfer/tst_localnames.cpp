#include "transferrig.h"

#include <QDateTime>
#include <QDir>

using namespace TestSupport;

// The name a download is stored under when the downloads folder already holds that name, as the user finds it
// there: an unrelated file is moved aside to a backup name, another download's file is never touched.
class tst_LocalNames : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void collisions_data()
    {
        // unrelated: files already in the folder ("old"); others: files of other downloads ("theirs"); after: the
        // folder afterwards as name=content, %1 the time stamp of a backup name. Lists are sorted and split by |.
        for (const char* column : {"unrelated", "others", "offered", "after"})
            QTest::addColumn<QString>(column);
        const auto add = [](const char* tag, auto... cells) {
            (QTest::newRow(tag) << ... << QString(cells));
        };
        add("free", "", "", "report.pdf", "report.pdf=new");
        add("unrelated moved aside", "report.pdf", "", "report.pdf", "report.pdf=new|report_veskbackup_%1.pdf=old");
        add("no suffix", "notes", "", "notes", "notes=new|notes_veskbackup_%1.=old");
        add("two dots", "a.tar.gz", "", "a.tar.gz", "a.tar.gz=new|a.tar_veskbackup_%1.gz=old");
        add("another download's file", "", "m.mkv", "m.mkv", "m (2).mkv=new|m.mkv=theirs");
        add("numbered name taken too", "m (2).mkv", "m.mkv", "m.mkv", "m (2).mkv=old|m (3).mkv=new|m.mkv=theirs");
        add("hidden file", "", ".profile", ".profile", ".profile (2)=new|.profile=theirs");
    }
    void collisions()
    {
        QFETCH(QString, unrelated);
        QFETCH(QString, others);
        QFETCH(QString, offered);
        QFETCH(QString, after);
        TransferRig rig;
        rig.addPeer("owner");
        for (const QString& name : unrelated.split('|', Qt::SkipEmptyParts))
            QVERIFY(writeFile(rig.downloadsFolder() + name, "old"));
        for (const QString& name : others.split('|', Qt::SkipEmptyParts))
            QVERIFY(writeFile(rig.downloadsFolder() + name, "theirs") &&
                    exec("insert into vesk_downloads (id, filename, downloadsize) values (?, ?, 6)", {name, name}));
        rig.incoming.processNewFileToBeReceived("new", offered, "owner", 3);
        rig.engine.queueFileToDownload("new");
        rig.settle();
        rig.engine.handleReceiveDataPacket(
            {{"action", "receiveDataPacket"}, {"binaryData", QByteArray("new")}, {"fileSeek", 0}, {"fileId", "new"}});
        rig.settle(); // the bytes reach the file on the writer's thread
        QStringList found;
        for (const QString& name : QDir(rig.downloadsFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Unsorted))
            found.append(name + "=" + readFile(rig.downloadsFolder() + name));
        found.sort();
        const QString stamp = QDateTime::fromMSecsSinceEpoch(rig.clock.nowMs()).toString("yyyyMMdd_HHmmss");
        QCOMPARE(found.join('|'), QString(after).replace("%1", stamp));
    }
};

QTEST_GUILESS_MAIN(tst_LocalNames)
#include "tst_localnames.moc"
