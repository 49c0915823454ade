#include "secure/identitycertificate.h"

#include "streamnode.h"
#include "testsupport.h"
#include "tlsclient.h"

#include <openssl/ssl.h>

#include <sys/socket.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

using namespace TestSupport;
using namespace Vesk;
using Ending = Vesk::PeerStream::Ending;

namespace {

constexpr int kPacket = 1000000;

// A client written against OpenSSL directly, in a thread of its own with blocking calls, for what a PeerStream
// never sends. It answers what it saw of the server.
enum class Raw {
    Tls12Only,
    NoCertificate,
    Garbage,
    Stall,
    OversizedFrame,
    OwnKey,
    OwnNodeId,
    SilentAfterHandshake,
    DeafAfterHandshake, // sends keep-alives and reads nothing
};

QString rawClient(quint16 port, Raw kind, const IdentityCertificate& certificate)
{
    const int fd = connectHere(port, 10);
    if (fd < 0)
        return QStringLiteral("no connection");
    // The end of the connection, or its reset (a close with bytes unread); not the receive timeout.
    const auto untilClosed = [fd] {
        char byte;
        const ssize_t got = ::recv(fd, &byte, 1, 0);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ? QStringLiteral("closed")
                                                                                : QStringLiteral("not closed");
    };
    if (kind == Raw::Garbage) {
        const QByteArray garbage = QByteArray("GET / HTTP/1.1\r\n\r\n") + QByteArray(2000, '\x16');
        ::send(fd, garbage.constData(), size_t(garbage.size()), MSG_NOSIGNAL);
    }
    if (kind == Raw::Garbage || kind == Raw::Stall)
        return untilClosed();
    TlsClient client(fd, kind == Raw::NoCertificate ? nullptr : &certificate,
                     kind == Raw::Tls12Only ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL* ssl = client.ssl;
    char greeting[Vesk::kFrameHeaderSize];
    if (SSL_connect(ssl) != 1)
        return QStringLiteral("handshake failed");
    if (SSL_read(ssl, greeting, sizeof greeting) != sizeof greeting)
        return QStringLiteral("not accepted");
    if (kind == Raw::OversizedFrame) {
        const char header[Vesk::kFrameHeaderSize] = {'\xf0', '\xff', '\xff', '\xff'};
        SSL_write(ssl, header, sizeof header);
    } else if (kind == Raw::DeafAfterHandshake) {
        const char keepAlive[Vesk::kFrameHeaderSize] = {};
        for (int i = 0; i < 200; ++i) {
            if (SSL_write(ssl, keepAlive, sizeof keepAlive) != sizeof keepAlive)
                return QStringLiteral("closed");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return QStringLiteral("not closed");
    }
    // Keep-alives may come first; then the server ends the stream.
    int got = 0;
    while ((got = SSL_read(ssl, greeting, sizeof greeting)) > 0) {
    }
    return SSL_get_error(ssl, got) == SSL_ERROR_ZERO_RETURN || untilClosed() == QLatin1String("closed")
               ? QStringLiteral("closed")
               : QStringLiteral("not closed");
}

} // namespace

class TestPeerStreams : public QObject
{
    Q_OBJECT

private slots:

    void framesBothWays()
    {
        StreamNode a("node-a"), b("node-b");
        a.dial(b);
        QTRY_VERIFY(connected(a, b));
        QCOMPARE(a.up.count(), 1);
        QCOMPARE(b.up.count(), 1);
        QCOMPARE(a.pins.value(b.id), b.key.publicKey());
        QCOMPARE(b.pins.value(a.id), a.key.publicKey());

        // Several in flight at once, across the record size and around a file packet; order kept both ways.
        const QList<int> sizes{1, 100, 16379, 16380, 16381, kPacket, 3, 70000, kPacket, 12};
        QList<QByteArray> sent;
        for (int i = 0; i < sizes.size(); ++i) {
            sent.append(TestSupport::pattern(sizes.at(i), i + 1));
            QVERIFY(a.streams.send(b.id, sent.last()));
            QVERIFY(b.streams.send(a.id, sent.last()));
        }
        QTRY_COMPARE(b.received.size(), sent.size());
        QTRY_COMPARE(a.received.size(), sent.size());
        QCOMPARE(b.received, sent);
        QCOMPARE(a.received, sent);
        QCOMPARE(b.lastSender, a.id);

        // Idle for several keep-alive intervals and past the silence bound: keep-alives hold it up.
        QTest::qWait(2 * quickLimits().silenceMs);
        QVERIFY(connected(a, b));
        QCOMPARE(a.down.count() + b.down.count(), 0);
        QCOMPARE(b.received.size(), sent.size()); // keep-alives are no frames
    }

    // Refused during the handshake between two stream tables: nothing goes up, no frame is delivered.
    void refusedDial_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<Ending>("dialFailure");
        QTest::newRow("acceptor pinned another key for the dialler") << "acceptor pin" << Ending::RefusedByPeer;
        QTest::newRow("dialler pinned another key for the acceptor") << "dialler pin" << Ending::KeyChanged;
        QTest::newRow("another node than the one dialled") << "wrong node" << Ending::WrongNode;
        QTest::newRow("the acceptor holds the dialler's own key") << "own key" << Ending::OwnKey;
    }
    void refusedDial()
    {
        QFETCH(QString, scenario);
        QFETCH(Ending, dialFailure);
        StreamNode a("node-a");
        const IdentityKey otherKey = IdentityKey::generate();
        // b is the node dialled; in one row a copy of our own key under another id.
        StreamNode b("node-b", scenario == "own key" ? a.key : otherKey);
        if (scenario == "acceptor pin")
            b.pins.insert(a.id, IdentityKey::generate().publicKey());
        if (scenario == "dialler pin")
            a.pins.insert(b.id, IdentityKey::generate().publicKey());
        auto pinsAfter = std::make_pair(a.pins, b.pins);
        // The refusing side pins nothing; the dialler pins the acceptor that refused it, whose key it saw proven.
        if (scenario == "acceptor pin")
            pinsAfter.first.insert(b.id, b.key.publicKey());
        a.dial(b, scenario == "wrong node" ? QStringLiteral("node-c") : b.id);
        QTRY_VERIFY(!a.failed.isEmpty());
        QCOMPARE(a.failed.first().at(2).value<Ending>(), dialFailure);
        QTest::qWait(100);
        QCOMPARE(a.up.count() + b.up.count(), 0);
        QCOMPARE(a.streams.streamCount() + b.streams.streamCount(), 0);
        QCOMPARE(std::make_pair(a.pins, b.pins), pinsAfter);
        QCOMPARE(a.streams.send(b.id, "x") || b.streams.send(a.id, "x"), false);

        const auto changedKey = [](const StreamNode& node) {
            return node.changed.isEmpty() ? QByteArray() : node.changed.first().at(1).toByteArray();
        };
        QCOMPARE(changedKey(b), scenario == "acceptor pin" ? a.key.publicKey() : QByteArray());
        QCOMPARE(changedKey(a), scenario == "dialler pin" ? b.key.publicKey() : QByteArray());
        QCOMPARE(a.sameIdentity.count(), scenario == "own key" ? 1 : 0);
        if (scenario == "own key")
            QCOMPARE(a.sameIdentity.first().first().toString(), b.id);
        QCOMPARE(b.sameIdentity.count(), 0);
    }

    // What a faulty or hostile client does to the accepting side: closed and logged, and the table goes on.
    void refusedClient_data()
    {
        QTest::addColumn<Raw>("kind");
        QTest::addColumn<QString>("clientSaw");
        QTest::addColumn<QString>("logged"); // in a critical line; empty for none
        QTest::addColumn<int>("streamsUp");
        const auto add = [](const char* tag, Raw kind, const char* clientSaw, const char* logged, int streamsUp) {
            QTest::newRow(tag) << kind << QString(clientSaw) << QString(logged) << streamsUp;
        };
        add("TLS 1.2 only", Raw::Tls12Only, "handshake failed", "secure handshake failed", 0);
        add("no certificate", Raw::NoCertificate, "not accepted", "secure handshake failed", 0);
        add("garbage for a handshake", Raw::Garbage, "closed", "secure handshake failed", 0);
        add("handshake stalls", Raw::Stall, "closed", "did not end in time", 0);
        add("our own key", Raw::OwnKey, "not accepted", "this installation's own identity key", 0);
        add("another key under our own id", Raw::OwnNodeId, "not accepted", "ended: refused", 0);
        add("oversized frame header", Raw::OversizedFrame, "closed", "over the size limit", 1);
        add("silent after the handshake", Raw::SilentAfterHandshake, "closed", "", 1);
        // Once what waits for it has stopped shrinking for the silence bound.
        add("alive but reading nothing", Raw::DeafAfterHandshake, "closed", "read nothing of ours", 1);
    }
    void refusedClient()
    {
        QFETCH(Raw, kind);
        QFETCH(QString, clientSaw);
        QFETCH(QString, logged);
        QFETCH(int, streamsUp);
        TestSupport::MessageCatcher log;
        StreamNode b("node-b");
        const IdentityKey clientKey = kind == Raw::OwnKey ? b.key : IdentityKey::generate();
        const IdentityCertificate certificate =
            IdentityCertificate::create(clientKey, kind == Raw::OwnNodeId ? b.id : QStringLiteral("raw-client"));
        auto client = std::async(std::launch::async, rawClient, b.streams.serverPort(), kind, certificate);
        if (kind == Raw::DeafAfterHandshake) { // packets for it, until its queue is full and stays full
            QTRY_COMPARE(b.up.count(), 1);
            const QByteArray packet = TestSupport::pattern(kPacket, 7);
            QTRY_VERIFY_WITH_TIMEOUT(!(b.streams.send("raw-client", packet) && b.streams.send("raw-client", packet)) &&
                                         b.down.count() == 1,
                                     8000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(client.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 15000);
        QCOMPARE(client.get(), clientSaw);
        QCOMPARE(b.up.count(), streamsUp);
        QTRY_COMPARE(b.streams.streamCount(), 0);
        QCOMPARE(b.received.size(), 0);
        QCOMPARE(b.sameIdentity.count(), kind == Raw::OwnKey ? 1 : 0);
        QCOMPARE(b.changed.count(), 0);
        QCOMPARE(b.pins.size(), streamsUp); // only a stream that went up consulted the pins
        if (logged.isEmpty())
            QCOMPARE(log.criticals(), QStringList());
        else
            QTRY_VERIFY2(log.criticals().join('\n').contains(logged), qPrintable(log.criticals().join('\n')));

        // Still serving.
        StreamNode a("node-a");
        a.dial(b);
        QTRY_VERIFY(connected(a, b));
    }

    // Peers that keep their streams alive but read nothing have them closed once all streams together hold more
    // than their bound (before their silence bound), unpinned nodes' first; the table goes on.
    void deafPeerIsClosed_data()
    {
        QTest::addColumn<QStringList>("deaf");
        QTest::addColumn<qint64>("budget");
        QTest::addColumn<qint64>("backlog"); // what the caller keeps for each, besides
        QTest::addColumn<QString>("logged");
        const QStringList two{"raw-client", "raw-pinned"};
        QTest::newRow("over the memory bound") << two << qint64(5000000) << qint64(0) << "over the bound";
        QTest::newRow("over it with the caller's backlog") << two << qint64(9000000) << qint64(4000000) << "over";
    }
    void deafPeerIsClosed()
    {
        QFETCH(QStringList, deaf);
        QFETCH(qint64, budget);
        QFETCH(qint64, backlog);
        QFETCH(QString, logged);
        TestSupport::MessageCatcher log;
        PeerStreams::Limits limits = quickLimits();
        limits.maxBufferedBytes = budget;
        limits.maxQueuedBytes = 3000000;
        limits.silenceMs = 30000;
        StreamNode b("node-b", IdentityKey::generate(), limits);
        const IdentityKey pinnedKey = IdentityKey::generate();
        b.streams.setPinnedKey(
            [&](const QString& id) { return id == "raw-pinned" ? pinnedKey.publicKey() : QByteArray(); });
        b.streams.setBacklogged([backlog](const QString&) { return backlog; });
        std::vector<std::future<QString>> clients;
        for (const QString& id : deaf)
            clients.push_back(
                std::async(std::launch::async, rawClient, b.streams.serverPort(), Raw::DeafAfterHandshake,
                           IdentityCertificate::create(id == "raw-pinned" ? pinnedKey : IdentityKey::generate(), id)));
        QTRY_COMPARE(b.up.count(), deaf.size());
        const QByteArray packet = TestSupport::pattern(kPacket, 7);
        QTRY_VERIFY_WITH_TIMEOUT(
            (b.streams.send("raw-client", packet), b.streams.send("raw-pinned", packet), b.down.count() == 1), 8000);
        QCOMPARE(b.down.first().first().toString(), "raw-client");
        QCOMPARE(b.streams.nodes(), deaf.mid(1));
        b.streams.drop("raw-pinned");
        for (auto& client : clients) {
            QTRY_VERIFY_WITH_TIMEOUT(client.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 15000);
            QCOMPARE(client.get(), QStringLiteral("closed"));
        }
        QTRY_VERIFY(log.criticals().join('\n').contains(logged));
        StreamNode a("node-a");
        a.dial(b);
        QTRY_VERIFY(connected(a, b));
    }

    void simultaneousDialsKeepOneStream_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("first is lower") << QString("node-a") << QString("node-b");
        QTest::newRow("first is higher") << QString("node-z") << QString("node-b");
    }
    void simultaneousDialsKeepOneStream()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        StreamNode a(first), b(second);
        a.dial(b);
        b.dial(a);
        // Both handshakes run (each side checks the other's key in each); what is left is one stream a side.
        QTRY_VERIFY(a.pinChecks == 2 && b.pinChecks == 2);
        QTRY_VERIFY(a.streams.streamCount() == 1 && b.streams.streamCount() == 1);
        QTest::qWait(300);
        QCOMPARE(a.streams.streamCount(), 1);
        QCOMPARE(b.streams.streamCount(), 1);
        QVERIFY(connected(a, b));
        QVERIFY(a.streams.send(b.id, "from a"));
        QVERIFY(b.streams.send(a.id, "from b"));
        QTRY_COMPARE(b.received, QList<QByteArray>{"from a"});
        QTRY_COMPARE(a.received, QList<QByteArray>{"from b"});
        QCOMPARE(a.streams.streamCount() + b.streams.streamCount(), 2);
    }

    // Two streams between a and b: s1 dialled by a, s2 dialled by b (or, in the last rows, a newer s2 dialled by a
    // as well), established in either order on each side. Both sides keep the same one.
    void simultaneousDialsSameChoice_data()
    {
        QTest::addColumn<QString>("a"); // b is "node-m"
        QTest::addColumn<bool>("s1FirstAtA");
        QTest::addColumn<bool>("s1FirstAtB");
        QTest::addColumn<bool>("bothByA");
        for (const bool bothByA : {false, true})
            for (const char* a : {"node-a", "node-z"})
                for (const bool atA : {true, false})
                    for (const bool atB : {true, false})
                        if (!bothByA || (atA && atB)) // one side's dials are established in the order made
                            QTest::addRow("%s%s, s1 %s at a, %s at b", a, bothByA ? " dials both" : "",
                                          atA ? "first" : "second", atB ? "first" : "second")
                                << a << atA << atB << bothByA;
    }
    void simultaneousDialsSameChoice()
    {
        QFETCH(QString, a);
        const QString b = "node-m";
        QFETCH(bool, s1FirstAtA);
        QFETCH(bool, s1FirstAtB);
        QFETCH(bool, bothByA);
        using Role = PeerStream::Role;
        const Role s2AtA = bothByA ? Role::Dialler : Role::Acceptor;
        const Role s2AtB = bothByA ? Role::Acceptor : Role::Dialler;
        const auto kept = [](const QString& own, const QString& peer, bool s1First, Role s1, Role s2) {
            const bool newer =
                s1First ? PeerStreams::keepsNewer(own, peer, s1, s2) : PeerStreams::keepsNewer(own, peer, s2, s1);
            return (s1First == newer) ? "s2" : "s1";
        };
        const QString atA = kept(a, b, s1FirstAtA, Role::Dialler, s2AtA);
        QCOMPARE(atA, kept(b, a, s1FirstAtB, Role::Acceptor, s2AtB));
        if (bothByA)
            QCOMPARE(atA, "s2");
        else
            QCOMPARE(atA, a < b ? "s1" : "s2");
    }

    void redialAfterDrop()
    {
        StreamNode a("node-a");
        auto b = std::make_unique<StreamNode>("node-b");
        a.dial(*b);
        QTRY_VERIFY(connected(a, *b));
        b->streams.drop(a.id); // seen from a: the peer closed the stream
        QTRY_COMPARE(a.down.count(), 1);
        QTRY_COMPARE(a.up.count(), 2);
        QTRY_VERIFY(connected(a, *b));

        // Gone for good: a tries maxRedials times and stops.
        b.reset();
        QTRY_COMPARE(a.down.count(), 2);
        QTRY_COMPARE(a.failed.count(), quickLimits().maxRedials);
        QTest::qWait(3 * quickLimits().lastRedialMs);
        QCOMPARE(a.failed.count(), quickLimits().maxRedials);
        QCOMPARE(a.streams.streamCount(), 0);
    }

    // This computer no longer has the address a stream was made from (a new one from DHCP): the stream is dead
    // whatever TCP thinks. It is closed and, dialled from here, dialled again from where the computer is now.
    void streamFromAGoneAddressIsMadeAnew()
    {
        StreamNode a("node-a"), b("node-b");
        a.dial(b);
        QTRY_VERIFY(connected(a, b));
        a.streams.addressesChanged({QHostAddress("10.1.2.3"), kHere});
        QTest::qWait(200);
        QCOMPARE(a.down.count(), 0);
        a.streams.addressesChanged({QHostAddress("10.1.2.3")});
        QTRY_COMPARE(a.down.count(), 1);
        QTRY_COMPARE(a.up.count(), 2);
        QTRY_VERIFY(connected(a, b));
    }

    // A third computer that shows up under the node id with another key while its stream is down (refused as a
    // changed key) does not stop the redials of the node itself: its stream comes back.
    void impostorDoesNotCancelRedials()
    {
        PeerStreams::Limits limits = quickLimits();
        limits.firstRedialMs = 1000; // the impostor comes before the first redial
        StreamNode a("node-a", IdentityKey::generate(), limits);
        StreamNode b("node-b");
        a.dial(b);
        QTRY_VERIFY(connected(a, b));
        b.streams.drop(a.id); // seen from a: the peer closed the stream, a redial is due
        QTRY_COMPARE(a.down.count(), 1);
        StreamNode impostor("node-b");
        impostor.streams.dial(kHere, a.streams.serverPort(), a.id);
        QTRY_COMPARE(a.changed.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(connected(a, b), 4000);
    }

    // Our own key at the other end is a copy of this installation only when another computer made that stream: a
    // dial of our own that comes back to us (a relay to our own port) is refused and raises no alarm. The alarm
    // comes at most once a while.
    void ownStreamComingBackIsNoCopy_data()
    {
        QTest::addColumn<bool>("copy");
        QTest::newRow("our own dial come back to our port") << false;
        QTest::newRow("a copy of our key file and node id") << true;
    }
    void ownStreamComingBackIsNoCopy()
    {
        QFETCH(bool, copy);
        StreamNode a("node-a");
        std::unique_ptr<StreamNode> twin;
        if (copy)
            twin = std::make_unique<StreamNode>(a.id, a.key, quickLimits(), QHostAddress("127.0.0.2"));
        const QHostAddress there = copy ? QHostAddress("127.0.0.2") : kHere;
        const quint16 port = copy ? twin->streams.serverPort() : a.streams.serverPort();
        for (int attempt = 0; attempt < 2; ++attempt) {
            a.streams.lookForCopy(there, port);
            QTRY_COMPARE(a.streams.streamCount(), 0);
        }
        QCOMPARE(a.sameIdentity.count(), copy ? 1 : 0);
        QCOMPARE(a.streams.nodeId(), a.id);
    }
};

QTEST_GUILESS_MAIN(TestPeerStreams)
#include "tst_peerstreams.moc"
