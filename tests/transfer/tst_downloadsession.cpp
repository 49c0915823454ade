#include "transfer/downloadsession.h"

#include "subsystemfixture.h"
#include "testsupport.h"
#include "transfer/transfermessages.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>

using namespace TestSupport;
using Vesk::DownloadSession;

namespace {

constexpr qint64 kPacket = Vesk::TransferMessages::kPacketSize;

// One download's session over a fresh fixture: its requests (offset, size) are recorded instead of sent, and
// answered from a source as the owner would.
struct SessionRig : SubsystemFixture
{
    SessionRig(const QByteArray& bytes, qint64 have = 0, const QString& name = QStringLiteral("file.bin"))
        : source(bytes), path(downloadsFolder() + name),
          session("id", path, have, bytes.size(), clock, [this](qint64 at, qint64 size) {
              asked.append({at, size});
          })
    {
        if (have > 0)
            writeFile(path, source.left(have));
        session.fill();
    }
    // Answers one open request; once the writer has the bytes in the file, the window is refilled, as the engine
    // does when the writer says so.
    DownloadSession::Answer answer(qsizetype index = 0)
    {
        const auto [at, size] = asked.takeAt(index);
        const DownloadSession::Answer result = session.receive(at, source.mid(at, size));
        session.flush();
        session.fill();
        return result;
    }

    const QByteArray source;
    const QString path;
    QList<std::pair<qint64, qint64>> asked; // requests not answered yet, oldest first
    DownloadSession session;
};

} // namespace

// The receiving side of one download: a window of requests in flight, answers appended strictly in order.
class tst_DownloadSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Whatever order the owner's answers come in, only contiguous bytes reach the file, the buffer never holds
    // more than the window, and the result is the source.
    void reorderBuffer_data()
    {
        QTest::addColumn<QString>("policy");
        QTest::addColumn<qint64>("resumeAt");
        QTest::newRow("in order, as a strict owner answers") << "in order" << qint64(0);
        QTest::newRow("newest first") << "newest first" << qint64(0);
        QTest::newRow("each answer twice") << "twice" << qint64(0);
        QTest::newRow("every third answer lost once") << "lose" << qint64(0);
        QTest::newRow("random order") << "random" << qint64(0);
        QTest::newRow("resumed mid-packet, newest first") << "newest first" << qint64(1234567);
    }
    void reorderBuffer()
    {
        QFETCH(QString, policy);
        QFETCH(qint64, resumeAt);
        SessionRig s(pattern(20 * kPacket + 4321), resumeAt);
        QCOMPARE(s.asked.first(), std::make_pair(resumeAt, kPacket - resumeAt % kPacket));
        QRandomGenerator random(7);
        QSet<qint64> lost;
        for (int answers = 1; !s.session.complete(); ++answers) {
            QVERIFY(answers < 500);
            if (s.asked.isEmpty()) {
                s.session.askAgain(); // what the progress tick does after silence
                QVERIFY(!s.asked.isEmpty());
            }
            qsizetype pick = policy == "newest first" ? s.asked.size() - 1 : 0;
            if (policy == "random")
                pick = random.bounded(s.asked.size());
            const auto [at, size] = s.asked.at(pick);
            if (policy == "lose" && answers % 3 == 0 && !lost.contains(at)) {
                lost.insert(at);
                s.asked.removeAt(pick);
                continue;
            }
            s.answer(pick);
            if (policy == "twice")
                QCOMPARE(s.session.receive(at, s.source.mid(at, size)), DownloadSession::Answer::Duplicate);
            QCOMPARE(QFileInfo(s.path).size(), s.session.written());
            QVERIFY(s.session.buffered() <= s.session.window());
            QVERIFY(s.session.inFlight() <= DownloadSession::kMaxWindow);
        }
        QCOMPARE(readFile(s.path), s.source);
    }

    // The file cannot be written (a plain file stands where its folder should be): that is logged, the bytes
    // count as lost, and the download asks again from the size on disk, which works once the obstacle is gone.
    void failedWriteIsAskedForAgain()
    {
        SessionRig s(pattern(3 * kPacket), 0, QStringLiteral("blocked/file.bin"));
        const QString obstacle = s.downloadsFolder() + QStringLiteral("blocked");
        QVERIFY(writeFile(obstacle, "not a folder"));
        MessageCatcher catcher;
        s.answer();
        QCOMPARE(catcher.criticals().size(), 1);
        QVERIFY2(catcher.criticals().first().contains("There was an error opening"),
                 qPrintable(catcher.criticals().first()));
        QCOMPARE(s.session.written(), 0);
        QCOMPARE(s.asked.last().first, qint64(0));
        QVERIFY(QFile::remove(obstacle));
        s.asked = {s.asked.last()};
        while (!s.session.complete() && !s.asked.isEmpty())
            s.answer();
        s.session.flush();
        QCOMPARE(readFile(s.path), s.source);
    }
};

QTEST_GUILESS_MAIN(tst_DownloadSession)
#include "tst_downloadsession.moc"
