#include "transfer/downloadsession.h"

#include "subsystemfixture.h"
#include "testsupport.h"
#include "transfer/downloadengine.h"
#include "transfer/packetserver.h"
#include "transfer/transfermessages.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <memory>

using TestSupport::SubsystemFixture;
using Vesk::DownloadSession;

namespace {

constexpr qint64 kPacket = Vesk::TransferMessages::kPacketSize;
const QString kOwner = QStringLiteral("{00000000-0000-4000-8000-0000000000b0}");

struct Request
{
    qint64 offset = 0;
    qint64 size = 0;
};

qint64 sizeOnDisk(const QString& path)
{
    const QFileInfo file(path);
    return file.exists() ? file.size() : 0;
}

// Lets the engine's writes reach the file and runs what it posted to itself (it asks for the next packet in a
// later turn of the event loop).
void settle(Vesk::DownloadEngine& engine)
{
    for (int i = 0; i < 10; ++i) {
        engine.flushWrites();
        QCoreApplication::sendPostedEvents();
    }
}

} // namespace

class tst_DownloadSession : public QObject
{
    Q_OBJECT

private slots:
    void reorderBuffer_data();
    void reorderBuffer();
    void windowRefillsAndStaysBounded();
    void windowShrinksWhenAnswersAreSlow();
    void answersForAnEndedDownload_data();
    void answersForAnEndedDownload();
    void smallerFileTakesOverAndLargerResumes();
    void ownerServesRequesters_data();
    void ownerServesRequesters();
};

// An owner that answers the session's requests in its own way. Whatever the order, only contiguous bytes may reach
// the file, the buffer never holds more than the window, and the result is the source.
void tst_DownloadSession::reorderBuffer_data()
{
    QTest::addColumn<QString>("policy");
    QTest::addColumn<qint64>("resumeAt");
    QTest::newRow("in order") << "in order" << qint64(0);
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
    SubsystemFixture f;
    const QByteArray source = TestSupport::pattern(20 * kPacket + 4321);
    const QString path = f.downloadsFolder() + QStringLiteral("file.bin");
    if (resumeAt > 0)
        QVERIFY(TestSupport::writeFile(path, source.left(resumeAt)));

    QList<Request> asked;
    DownloadSession session(QStringLiteral("id"), path, resumeAt, source.size(), f.clock,
                            [&asked](qint64 offset, qint64 size) {
                                asked.append({offset, size});
                            });
    session.fill();
    QRandomGenerator random(7);
    QSet<qint64> lost;
    int answers = 0;
    while (!session.complete() && answers < 500) {
        if (asked.isEmpty()) {
            session.askAgain(); // what the progress tick does after silence
            QVERIFY(!asked.isEmpty());
        }
        qsizetype pick = 0;
        if (policy == QLatin1String("newest first"))
            pick = asked.size() - 1;
        else if (policy == QLatin1String("random"))
            pick = random.bounded(asked.size());
        const Request r = asked.takeAt(pick);
        ++answers;
        if (policy == QLatin1String("lose") && answers % 3 == 0 && !lost.contains(r.offset)) {
            lost.insert(r.offset);
            continue;
        }
        const QByteArray bytes = source.mid(r.offset, r.size);
        session.receive(r.offset, bytes);
        if (policy == QLatin1String("twice"))
            QCOMPARE(session.receive(r.offset, bytes), DownloadSession::Answer::Duplicate);

        session.flush();
        QCOMPARE(sizeOnDisk(path), session.written());
        QVERIFY(source.startsWith(TestSupport::readFile(path)));
        QVERIFY(session.buffered() <= session.window());
        QVERIFY(session.inFlight() <= DownloadSession::kMaxWindow);
        QVERIFY(session.bufferedBytes() <= DownloadSession::kMaxWindow * kPacket);
        QVERIFY(session.written() >= resumeAt);
    }
    QVERIFY(session.complete());
    session.flush();
    QCOMPARE(TestSupport::readFile(path), source);
}

void tst_DownloadSession::windowRefillsAndStaysBounded()
{
    SubsystemFixture f;
    const qint64 size = 100 * kPacket;
    const QByteArray source = TestSupport::pattern(size);
    const QString path = f.downloadsFolder() + QStringLiteral("big.bin");
    QList<Request> asked;
    DownloadSession session(QStringLiteral("id"), path, 0, size, f.clock, [&asked](qint64 offset, qint64 bytes) {
        asked.append({offset, bytes});
    });
    session.fill();
    QCOMPARE(asked.size(), 1); // a new download starts with one packet in flight

    int largest = 0;
    for (int i = 0; i < 60; ++i) {
        const Request r = asked.takeFirst();
        f.clock.advance(20); // a fast link: answers come back well within the time a connection lives
        QCOMPARE(session.receive(r.offset, source.mid(r.offset, r.size)), DownloadSession::Answer::Appended);
        // Every answer is replaced as soon as it is in the file, and the window only grows while answers are
        // quick.
        session.flush();
        session.fill();
        QCOMPARE(asked.size(), session.window());
        QVERIFY(session.window() >= largest);
        largest = session.window();
        QVERIFY(session.window() <= DownloadSession::kMaxWindow);
    }
    QCOMPARE(largest, DownloadSession::kMaxWindow);
    // Requests are for consecutive whole packets, each asked for once.
    for (qsizetype i = 1; i < asked.size(); ++i)
        QCOMPARE(asked.at(i).offset, asked.at(i - 1).offset + kPacket);
}

void tst_DownloadSession::windowShrinksWhenAnswersAreSlow()
{
    SubsystemFixture f;
    const qint64 size = 200 * kPacket;
    const QByteArray source = TestSupport::pattern(size);
    QList<Request> asked;
    DownloadSession session(QStringLiteral("id"), f.downloadsFolder() + QStringLiteral("slow.bin"), 0, size, f.clock,
                            [&asked](qint64 offset, qint64 bytes) {
                                asked.append({offset, bytes});
                            });
    session.fill();
    const auto answerNext = [&] {
        const Request r = asked.takeFirst();
        session.receive(r.offset, source.mid(r.offset, r.size));
        session.flush();
        session.fill();
    };
    while (session.window() < DownloadSession::kMaxWindow)
        answerNext();

    // The link turns slow: each round of answers now takes longer than a fifth of a connection's life, and each
    // such round halves the window.
    int previous = session.window();
    for (int round = 0; round < 6; ++round) {
        f.clock.advance(2 * DownloadSession::kTargetLatencyMs);
        for (qsizetype n = asked.size(); n > 0; --n)
            answerNext();
        QCOMPARE(session.window(), qMax(DownloadSession::kMinWindow, previous / 2));
        QVERIFY(session.inFlight() <= session.window());
        previous = session.window();
    }
    QCOMPARE(session.window(), DownloadSession::kMinWindow);
    session.flush();
    QCOMPARE(TestSupport::readFile(f.downloadsFolder() + QStringLiteral("slow.bin")), source.left(session.written()));
}

// Answers still on their way when the download ended do not touch the disk.
void tst_DownloadSession::answersForAnEndedDownload_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("withdrawn by the owner") << "withdrawn";
    QTest::newRow("finished") << "finished";
}

void tst_DownloadSession::answersForAnEndedDownload()
{
    QFETCH(QString, ending);
    SubsystemFixture f;
    f.addPeer(kOwner);
    const QByteArray source = TestSupport::pattern(3 * kPacket + 10);
    QVERIFY(TestSupport::exec(QStringLiteral("insert into vesk_downloads (id, filename, filesize, nodefrom, status, "
                                             "timestamp, downloadsize) values ('d', 'd.bin', ?, ?, 'unknown', 0, '0')"),
                              {QString::number(source.size()), kOwner}));
    Vesk::DownloadEngine engine(*f.store, f.sink, f.clock, f.shell, f.downloadsFolder());
    const auto answer = [&](const TestSupport::RecordingSink::Sent& request) {
        const qint64 at = request.value("fileSeek").toLongLong();
        engine.handleReceiveDataPacket(Vesk::TransferMessages::packet(
            QStringLiteral("d"), at, source.mid(at, request.value("bufferSize").toLongLong()), 0));
    };
    engine.queueFileToDownload(QStringLiteral("d"));
    settle(engine);
    const QString path = f.downloadsFolder() + QStringLiteral("d.bin");

    QList<TestSupport::RecordingSink::Sent> late;
    if (ending == QLatin1String("withdrawn")) {
        answer(f.sink.withAction(Vesk::TransferMessages::kSendDataPacket).first());
        settle(engine);
        late = f.sink.withAction(Vesk::TransferMessages::kSendDataPacket).mid(1);
        QVERIFY(!late.isEmpty());
        QVERIFY(TestSupport::exec(QStringLiteral("delete from vesk_downloads where id = 'd'")));
        engine.downloadRemoved(QStringLiteral("d"));
    } else {
        for (int i = 0; i < 10 && sizeOnDisk(path) < source.size(); ++i) {
            const auto requests = f.sink.withAction(Vesk::TransferMessages::kSendDataPacket);
            f.sink.clear();
            for (const auto& request : requests) {
                answer(request);
                late.append(request);
            }
            settle(engine);
        }
        QCOMPARE(TestSupport::row(QStringLiteral("vesk_downloads"), QStringLiteral("d")).value("status"),
                 QStringLiteral("downloaded"));
    }
    const QByteArray before = TestSupport::readFile(path);
    f.sink.clear();
    for (const auto& request : late)
        answer(request);
    settle(engine);
    QCOMPARE(TestSupport::readFile(path), before);
    QVERIFY(f.sink.withAction(Vesk::TransferMessages::kSendDataPacket).isEmpty());
    QVERIFY(source.startsWith(before));
}

// A smaller file queued while a large one transfers takes over at the next packet; the large one then goes on
// from its size on disk.
void tst_DownloadSession::smallerFileTakesOverAndLargerResumes()
{
    SubsystemFixture f;
    f.addPeer(kOwner);
    const QHash<QString, QByteArray> sources{{QStringLiteral("large"), TestSupport::pattern(40 * kPacket, 1)},
                                             {QStringLiteral("small"), TestSupport::pattern(2 * kPacket + 5, 2)}};
    for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
        QVERIFY(TestSupport::exec(
            QStringLiteral("insert into vesk_downloads (id, filename, filesize, nodefrom, "
                           "status, timestamp, downloadsize) values (?, ?, ?, ?, 'unknown', 0, "
                           "'0')"),
            {it.key(), QString(it.key() + QStringLiteral(".bin")), QString::number(it.value().size()), kOwner}));
    }
    Vesk::DownloadEngine engine(*f.store, f.sink, f.clock, f.shell, f.downloadsFolder());
    QStringList order; // the file of each request, consecutive repeats folded
    // Plays the owner: answers every request made so far, in order.
    const auto serveRound = [&] {
        const auto requests = f.sink.withAction(Vesk::TransferMessages::kSendDataPacket);
        f.sink.clear();
        for (const auto& request : requests) {
            const QString id = request.value("fileId").toString();
            if (order.isEmpty() || order.last() != id)
                order.append(id);
            const qint64 at = request.value("fileSeek").toLongLong();
            engine.handleReceiveDataPacket(Vesk::TransferMessages::packet(
                id, at, sources.value(id).mid(at, request.value("bufferSize").toLongLong()), 0));
        }
        settle(engine);
    };
    engine.queueFileToDownload(QStringLiteral("large"));
    settle(engine);
    for (int i = 0; i < 5; ++i)
        serveRound();
    // Requests of the large file still unanswered are lost on the way.
    f.sink.clear();
    engine.queueFileToDownload(QStringLiteral("small"));
    settle(engine);
    const qint64 largeAtSwitch = sizeOnDisk(f.downloadsFolder() + QStringLiteral("large.bin"));
    QVERIFY(largeAtSwitch > 0);
    while (TestSupport::row(QStringLiteral("vesk_downloads"), QStringLiteral("small")).value("status") !=
           QLatin1String("downloaded")) {
        QVERIFY(order.size() < 4);
        serveRound();
    }
    QCOMPARE(sizeOnDisk(f.downloadsFolder() + QStringLiteral("large.bin")), largeAtSwitch);
    settle(engine);
    const auto resumed = f.sink.withAction(Vesk::TransferMessages::kSendDataPacket);
    QVERIFY(!resumed.isEmpty());
    QCOMPARE(resumed.first().value("fileId").toString(), QStringLiteral("large"));
    QCOMPARE(resumed.first().value("fileSeek").toLongLong(), largeAtSwitch);
    for (int i = 0;
         i < 60 && TestSupport::row(QStringLiteral("vesk_downloads"), QStringLiteral("large")).value("status") !=
                       QLatin1String("downloaded");
         ++i)
        serveRound();
    QCOMPARE(order, (QStringList{QStringLiteral("large"), QStringLiteral("small"), QStringLiteral("large")}));
    for (auto it = sources.cbegin(); it != sources.cend(); ++it)
        QCOMPARE(TestSupport::readFile(f.downloadsFolder() + it.key() + QStringLiteral(".bin")), it.value());
}

// Our owner serves a strict peer that asks for one packet at a time exactly as before, and a peer with a window
// out of order; bytesSent shows the highest offset served either way.
void tst_DownloadSession::ownerServesRequesters_data()
{
    QTest::addColumn<int>("window");
    QTest::newRow("strict peer, one packet at a time") << 1;
    QTest::newRow("window of 16, newest first") << 16;
}

void tst_DownloadSession::ownerServesRequesters()
{
    QFETCH(int, window);
    SubsystemFixture f;
    const QString receiver = QStringLiteral("{00000000-0000-4000-8000-0000000000c0}");
    const QHostAddress receiverAddress = f.addPeer(receiver);
    const QByteArray source = TestSupport::pattern(37 * kPacket + 999);
    const QString file = f.dataFolder() + QStringLiteral("offered.bin");
    QVERIFY(TestSupport::writeFile(file, source));
    QVERIFY(TestSupport::exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, "
                                             "bytesSent, status, timesent) values ('u', ?, ?, ?, 'offered.bin', 0, "
                                             "'sent', 0)"),
                              {file, receiver, QString::number(source.size())}));
    Vesk::PacketServer server(*f.store, f.sink, f.clock);

    QByteArray received;
    qint64 next = 0;
    while (next < source.size()) {
        QList<qint64> offsets;
        for (int i = 0; i < window && next < source.size(); ++i, next += kPacket)
            offsets.prepend(next);
        for (const qint64 at : std::as_const(offsets)) {
            f.sink.clear();
            const qint64 size = qMin(kPacket, source.size() - at);
            server.handleSendDataPacket(Vesk::TransferMessages::packetRequest(QStringLiteral("u"), at, size, 42 + at));
            QCOMPARE(f.sink.sent.size(), 1); // one answer per request, at once
            const auto& answer = f.sink.sent.first();
            QCOMPARE(answer.address, receiverAddress);
            QCOMPARE(answer.action(), Vesk::TransferMessages::kReceiveDataPacket);
            QCOMPARE(answer.value("fileSeek").toLongLong(), at);
            QCOMPARE(answer.value("timeSent").toLongLong(), 42 + at);
            QCOMPARE(answer.value("binaryData").toByteArray(), source.mid(at, size));
        }
        received.append(source.mid(offsets.last(), next - offsets.last()));
        QCOMPARE(TestSupport::row(QStringLiteral("vesk_uploads"), QStringLiteral("u")).value("bytessent").toLongLong(),
                 offsets.first());
    }
    QCOMPARE(received, source);
    // An upload that is gone is not served any more, even straight after its packets were.
    QVERIFY(TestSupport::exec(QStringLiteral("delete from vesk_uploads where id = 'u'")));
    f.sink.clear();
    server.handleSendDataPacket(Vesk::TransferMessages::packetRequest(QStringLiteral("u"), 0, kPacket, 0));
    QVERIFY(f.sink.sent.isEmpty());
}

QTEST_GUILESS_MAIN(tst_DownloadSession)
#include "tst_downloadsession.moc"
