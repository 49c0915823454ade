#include "streamnode.h"
#include "testsupport.h"
#include "tlsclient.h"

#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <chrono>
#include <future>
#include <thread>

using namespace TestSupport;
using namespace Vesk;

namespace {

constexpr int kPacket = 1000000;

// A peer written against OpenSSL directly, in a thread of its own: once accepted, it writes frames of these sizes
// (numbered patterns) as fast as the connection takes them, small ones many to a record as Vesk sends them, then
// waits for one frame back. It answers what it saw.
QString burstClient(quint16 port, const IdentityCertificate& certificate, const QList<int>& sizes)
{
    QString why;
    const auto client = acceptedClient(port, certificate, &why);
    if (!client)
        return why;
    QByteArray frames;
    char header[Vesk::kFrameHeaderSize];
    for (int i = 0; i < sizes.size(); ++i) {
        qToLittleEndian<quint32>(quint32(sizes.at(i)), header);
        frames.append(header, sizeof header).append(TestSupport::pattern(sizes.at(i), i + 1));
    }
    for (qsizetype done = 0; done < frames.size();) {
        const int piece = int(qMin<qsizetype>(frames.size() - done, kPacket));
        if (SSL_write(client->ssl, frames.constData() + done, piece) != piece)
            return QStringLiteral("write failed");
        done += piece;
    }
    return client->awaitAnswer();
}

// A peer written against OpenSSL directly: once accepted, it writes one frame of `size` bytes whose records go out
// in two parts: first `wholeRecords` records and `heldBytes` bytes of the next; then, after a pause, the rest, at
// once or (`piece` bytes given) a piece every 40 ms. It then waits for one frame back, and answers what it saw.
QString pausedClient(quint16 port, const IdentityCertificate& certificate, int size, int wholeRecords, int heldBytes,
                     int piece)
{
    QString why;
    const auto client = acceptedClient(port, certificate, &why);
    if (!client)
        return why;
    // The records are made in memory, so that where the pause falls is ours to say. The socket's transport serves
    // both directions: it keeps reading.
    BIO* records = BIO_new(BIO_s_mem());
    BIO_up_ref(SSL_get_wbio(client->ssl));
    SSL_set0_wbio(client->ssl, records);
    QByteArray frame(Vesk::kFrameHeaderSize, Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(size), frame.data());
    frame += TestSupport::pattern(size, 1);
    if (SSL_write(client->ssl, frame.constData(), int(frame.size())) != frame.size())
        return QStringLiteral("write failed");
    char* sealed = nullptr;
    const long sealedSize = BIO_get_mem_data(records, &sealed);
    long pause = 0;
    for (int i = 0; i < wholeRecords && pause + 5 <= sealedSize; ++i)
        pause += 5 + qFromBigEndian<quint16>(sealed + pause + 3); // a record's header ends with its length
    pause += heldBytes;
    const auto sendAll = [fd = client->fd](const char* data, long count) {
        for (long done = 0; done < count;) {
            const ssize_t sent = ::send(fd, data + done, size_t(count - done), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            done += sent;
        }
        return true;
    };
    if (pause >= sealedSize || !sendAll(sealed, pause))
        return QStringLiteral("write failed");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (long sent = pause; sent<sealedSize; sent += piece> 0 ? piece : sealedSize) {
        if (sent > pause)
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        if (!sendAll(sealed + sent, qMin<long>(piece > 0 ? piece : sealedSize, sealedSize - sent)))
            return QStringLiteral("write failed");
    }
    return client->awaitAnswer();
}

} // namespace

// Frames on an established stream as they arrive: in bursts while this side is held up, after a pause in the middle
// of one, in parts, and held back when the peer reads too slowly.
class TestStreamFrames : public QObject
{
    Q_OBJECT

private slots:
    // Frames that arrive while this side is held up pile up in the connection: they are read on, past the
    // socket's own buffer and past what one turn of the event loop reads, whole and in order, and handed on a few
    // at a turn, so that the loop keeps turning meanwhile.
    void burstWhileHeldUp_data()
    {
        QTest::addColumn<QList<int>>("sizes");
        QTest::newRow("file packets past a turn's reading") << QList<int>(12, kPacket);
        QTest::newRow("chat-sized frames by the thousand") << QList<int>(4000, 60);
        QTest::newRow("mixed, across the record size")
            << QList<int>{kPacket, 1, 16379, 16380, 16381, 70000, kPacket, 3, 300000, kPacket, kPacket, 12};
    }
    void burstWhileHeldUp()
    {
        QFETCH(QList<int>, sizes);
        StreamNode b("node-b");
        // A timer of no interval fires at each turn of the loop: how many frames came between two of its ticks.
        // A turn of reading and the turn that goes on with it may both fall between two ticks.
        int sinceTick = 0, mostInATurn = 0;
        QTimer turns;
        connect(&turns, &QTimer::timeout, this, [&] { sinceTick = 0; });
        connect(&b.streams, &PeerStreams::frameReceived, this, [&] { mostInATurn = qMax(mostInATurn, ++sinceTick); });
        turns.start(0);
        const QString clientId = QStringLiteral("burst-client");
        auto client = std::async(std::launch::async, burstClient, b.streams.serverPort(),
                                 IdentityCertificate::create(IdentityKey::generate(), clientId), sizes);
        QTRY_COMPARE(b.up.count(), 1);
        QThread::msleep(500); // the burst fills the connection's buffers meanwhile
        QTRY_COMPARE_WITH_TIMEOUT(b.received.size(), sizes.size(), 30000);
        QVERIFY2(mostInATurn <= 2 * PeerStream::kFramesPerTurn, qPrintable(QString::number(mostInATurn)));
        for (int i = 0; i < sizes.size(); ++i)
            QVERIFY2(b.received.at(i) == TestSupport::pattern(sizes.at(i), i + 1), qPrintable(QString::number(i)));
        QCOMPARE(b.lastSender, clientId);
        QVERIFY(b.streams.send(clientId, "done"));
        QTRY_VERIFY_WITH_TIMEOUT(client.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 15000);
        QCOMPARE(client.get(), QStringLiteral("answered"));
    }

    // A frame's rest is read when it arrives, though nothing follows it: the receiver waits for larger pieces of a
    // long frame, but never for more than the peer has still to send, nor for so long that the stream seems silent.
    void frameRestAfterPause_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("wholeRecords");
        QTest::addColumn<int>("heldBytes");
        QTest::addColumn<int>("piece");
        QTest::addColumn<int>("keepAliveMs");
        // Part of a record is in before the pause, so what is still to come is less than the frame's unread
        // plaintext. Keep-alives are far apart: a wait for bytes that never come is not ended by the next one.
        QTest::newRow("the rest at once, a record begun") << 100000 << 2 << 5000 << 0 << StreamLimits::kKeepAliveMs;
        // The rest trickles in for longer than the silence bound, in pieces each far below a large read.
        QTest::newRow("the rest trickling past the silence bound") << 300000 << 2 << 0 << 3000 << 250;
    }
    void frameRestAfterPause()
    {
        QFETCH(int, size);
        QFETCH(int, wholeRecords);
        QFETCH(int, heldBytes);
        QFETCH(int, piece);
        QFETCH(int, keepAliveMs);
        PeerStreams::Limits limits = quickLimits();
        limits.keepAliveMs = keepAliveMs;
        limits.silenceMs = 6 * keepAliveMs;
        StreamNode b("node-b", IdentityKey::generate(), limits);
        const QString clientId = QStringLiteral("paused-client");
        auto client = std::async(std::launch::async, pausedClient, b.streams.serverPort(),
                                 IdentityCertificate::create(IdentityKey::generate(), clientId), size, wholeRecords,
                                 heldBytes, piece);
        QTRY_COMPARE_WITH_TIMEOUT(b.received.size(), 1, 10000);
        QVERIFY(b.received.first() == TestSupport::pattern(size, 1));
        QCOMPARE(b.down.count(), 0);
        QVERIFY(b.streams.send(clientId, "done"));
        QTRY_VERIFY_WITH_TIMEOUT(client.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 15000);
        QCOMPARE(client.get(), QStringLiteral("answered"));
    }

    // A payload in parts (head, body, tail) reaches the peer as the parts joined, in order with the frames around
    // it, wherever the parts' edges fall against the records they are encrypted in.
    void partedFrames_data()
    {
        QTest::addColumn<QList<int>>("parts");
        QTest::newRow("a file packet's record") << QList<int>{26, kPacket, 60};
        QTest::newRow("edges on the record size") << QList<int>{16380, 3 * 16384, 16384};
        QTest::newRow("a head past a record, no body") << QList<int>{20000, 0, 1};
        QTest::newRow("small all through") << QList<int>{10, 200, 30};
    }
    void partedFrames()
    {
        QFETCH(QList<int>, parts);
        StreamNode a("node-a"), b("node-b");
        a.dial(b);
        QTRY_VERIFY(connected(a, b));
        const FramePayload payload{pattern(parts[0], 1), pattern(parts[1], 2), pattern(parts[2], 3)};
        for (const FramePayload& frame : {FramePayload{"before", {}, {}}, payload, FramePayload{"after", {}, {}}})
            QVERIFY(a.streams.send(b.id, frame));
        QTRY_COMPARE(b.received, (QList<QByteArray>{"before", payload.head + payload.body + payload.tail, "after"}));
    }

    // Without a turn of the event loop nothing leaves: the queue fills and send() refuses, or a sender that looks
    // first (canSend) holds back. Either way the stream says when it has room again, and all arrives in order.
    void backPressure_data()
    {
        QTest::addColumn<bool>("looksFirst");
        QTest::newRow("sending until refused") << false;
        QTest::newRow("looking for room first") << true;
    }
    void backPressure()
    {
        QFETCH(bool, looksFirst);
        StreamNode a("node-a"), b("node-b");
        a.dial(b);
        QTRY_VERIFY(connected(a, b));
        QList<QByteArray> sent;
        QByteArray packet = TestSupport::pattern(kPacket);
        for (int i = 0; i < 100; ++i) {
            qToLittleEndian<qint32>(i, packet.data()); // a copy of its own, numbered
            if (looksFirst ? !a.streams.canSend(b.id) : !a.streams.send(b.id, packet))
                break;
            if (looksFirst)
                QVERIFY(a.streams.send(b.id, packet));
            sent.append(packet);
        }
        QVERIFY(!sent.isEmpty());
        QVERIFY(sent.size() <= StreamLimits::kMaxQueuedBytes / kPacket + 1);
        QVERIFY(!a.streams.canSend(b.id));
        QTRY_COMPARE(a.ready.count(), 1);
        QVERIFY(a.streams.send(b.id, "after"));
        sent.append("after");
        QTRY_COMPARE(b.received.size(), sent.size());
        QCOMPARE(b.received, sent);
    }
};

QTEST_GUILESS_MAIN(TestStreamFrames)
#include "tst_streamframes.moc"
