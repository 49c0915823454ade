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

struct Asked
{
    qint64 offset = 0;
    qint64 size = 0;
};

// One download's session over a fresh fixture: its requests are recorded instead of sent, and answered from a
// source as the owner would.
struct SessionRig : SubsystemFixture
{
    SessionRig(const QByteArray& bytes, qint64 have = 0, const QString& name = QStringLiteral("file.bin"))
        : source(bytes), path(downloadsFolder() + name),
          session(QStringLiteral("id"), path, have, bytes.size(), clock, [this](qint64 offset, qint64 size) {
              asked.append({offset, size});
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
        const Asked r = asked.takeAt(index);
        const DownloadSession::Answer result = session.receive(r.offset, source.mid(r.offset, r.size));
        session.flush();
        session.fill();
        return result;
    }
    qint64 sizeOnDisk() const { return QFileInfo(path).size(); }

    const QByteArray source;
    const QString path;
    QList<Asked> asked; // requests not answered yet, oldest first
    DownloadSession session;
};

} // namespace

// The receiving side of one download: a window of requests in flight, answers appended strictly in order.
class tst_DownloadSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reorderBuffer_data();
    void reorderBuffer();
    void windowRefillsAndStaysBounded();
    void windowShrinksWhenAnswersAreSlow();
    void failedWriteIsAskedForAgain();
};

// Whatever order the owner's answers come in, only contiguous bytes reach the file, the buffer never holds more
// than the window, and the result is the source.
void tst_DownloadSession::reorderBuffer_data()
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

void tst_DownloadSession::reorderBuffer()
{
    QFETCH(QString, policy);
    QFETCH(qint64, resumeAt);
    SessionRig s(pattern(20 * kPacket + 4321), resumeAt);
    QRandomGenerator random(7);
    QSet<qint64> lost;
    for (int answers = 1; !s.session.complete(); ++answers) {
        QVERIFY(answers < 500);
        if (s.asked.isEmpty()) {
            s.session.askAgain(); // what the progress tick does after silence
            QVERIFY(!s.asked.isEmpty());
        }
        qsizetype pick = 0;
        if (policy == QLatin1String("newest first"))
            pick = s.asked.size() - 1;
        else if (policy == QLatin1String("random"))
            pick = random.bounded(s.asked.size());
        const Asked r = s.asked.at(pick);
        if (policy == QLatin1String("lose") && answers % 3 == 0 && !lost.contains(r.offset)) {
            lost.insert(r.offset);
            s.asked.removeAt(pick);
            continue;
        }
        s.answer(pick);
        if (policy == QLatin1String("twice"))
            QCOMPARE(s.session.receive(r.offset, s.source.mid(r.offset, r.size)), DownloadSession::Answer::Duplicate);

        QCOMPARE(s.sizeOnDisk(), s.session.written());
        QVERIFY(s.session.written() >= resumeAt);
        QVERIFY(s.session.buffered() <= s.session.window());
        QVERIFY(s.session.inFlight() <= DownloadSession::kMaxWindow);
    }
    s.session.flush();
    QCOMPARE(readFile(s.path), s.source);
}

void tst_DownloadSession::windowRefillsAndStaysBounded()
{
    SessionRig s(pattern(80 * kPacket));
    QCOMPARE(s.asked.size(), 1); // a new download starts with one packet in flight
    int largest = 0;
    for (int i = 0; i < 60; ++i) {
        s.clock.advance(20); // a fast link: answers come back well within the time a connection lives
        QCOMPARE(s.answer(), DownloadSession::Answer::Appended);
        // Every answer is replaced as soon as it is in the file; the window only grows while answers are quick.
        QCOMPARE(s.asked.size(), s.session.window());
        QVERIFY(s.session.window() >= largest);
        largest = s.session.window();
        QVERIFY(largest <= DownloadSession::kMaxWindow);
    }
    QCOMPARE(largest, DownloadSession::kMaxWindow);
    // Consecutive whole packets, each asked for once.
    for (qsizetype i = 1; i < s.asked.size(); ++i)
        QCOMPARE(s.asked.at(i).offset, s.asked.at(i - 1).offset + kPacket);
}

void tst_DownloadSession::windowShrinksWhenAnswersAreSlow()
{
    SessionRig s(pattern(80 * kPacket));
    while (s.session.window() < DownloadSession::kMaxWindow)
        s.answer();

    // The link turns slow: each round of answers now takes longer than a fifth of a connection's life, and each
    // such round halves the window.
    int previous = s.session.window();
    for (int round = 0; round < 6; ++round) {
        s.clock.advance(2 * DownloadSession::kTargetLatencyMs);
        for (qsizetype n = s.asked.size(); n > 0; --n)
            s.answer();
        QCOMPARE(s.session.window(), qMax(DownloadSession::kMinWindow, previous / 2));
        QVERIFY(s.session.inFlight() <= s.session.window());
        previous = s.session.window();
    }
    QCOMPARE(s.session.window(), DownloadSession::kMinWindow);
    QCOMPARE(readFile(s.path), s.source.left(s.session.written()));
}

// The file cannot be written (here a plain file stands where its folder should be): that is logged, the bytes
// count as lost, and the download asks again from the size on disk, which works once the obstacle is gone.
void tst_DownloadSession::failedWriteIsAskedForAgain()
{
    SessionRig s(pattern(3 * kPacket), 0, QStringLiteral("blocked/file.bin"));
    const QString obstacle = s.downloadsFolder() + QStringLiteral("blocked");
    QVERIFY(writeFile(obstacle, "not a folder"));
    MessageCatcher catcher;
    s.answer();
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY2(catcher.criticals().first().contains(QStringLiteral("There was an error opening")),
             qPrintable(catcher.criticals().first()));
    QCOMPARE(s.session.written(), 0);
    QCOMPARE(s.asked.last().offset, qint64(0));

    QVERIFY(QFile::remove(obstacle));
    s.asked = {s.asked.last()};
    while (!s.session.complete() && !s.asked.isEmpty())
        s.answer();
    s.session.flush();
    QCOMPARE(readFile(s.path), s.source);
}

QTEST_GUILESS_MAIN(tst_DownloadSession)
#include "tst_downloadsession.moc"
