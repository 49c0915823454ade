#include "streamnode.h"
#include "testsupport.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <vector>

using namespace TestSupport;
using namespace Vesk;
using Ending = Vesk::PeerStream::Ending;

// The stream table's bounds: the room of each address and of our own dials, the table's share-out when full, and
// what it remembers of nodes dialled.
class TestPeerStreamsBounds : public QObject
{
    Q_OBJECT

private slots:

    // Connections that never complete a handshake take the room of their own address only: a new peer elsewhere
    // still gets its stream while there is room; our own dials have a budget of their own in any case.
    void silentConnectionsLockNobodyOut_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<bool>("newPeerIn");
        QTest::newRow("from one address") << QStringList{"127.0.0.3"} << true;
        QTest::newRow("filling the accepting room") << QStringList{"127.0.0.3", "127.0.0.4"} << false;
    }
    void silentConnectionsLockNobodyOut()
    {
        QFETCH(QStringList, sources);
        QFETCH(bool, newPeerIn);
        PeerStreams::Limits limits = quickLimits();
        limits.handshakeMs = 20000;
        limits.maxHandshakes = 6;
        limits.maxHandshakesPerAddress = 3;
        StreamNode a("node-a", IdentityKey::generate(), limits), b("node-b"),
            c("node-c", IdentityKey::generate(), quickLimits(), QHostAddress("127.0.0.2"));
        std::vector<std::unique_ptr<QTcpSocket>> silent;
        for (int i = 0; i < limits.maxHandshakes; ++i) {
            silent.push_back(std::make_unique<QTcpSocket>());
            silent.back()->bind(QHostAddress(sources.at(i % sources.size())));
            silent.back()->connectToHost(kHere, a.streams.serverPort());
        }
        QTRY_COMPARE(a.streams.streamCount(), limits.maxHandshakesPerAddress * int(sources.size()));
        b.dial(a);
        a.streams.dial(QHostAddress("127.0.0.2"), c.streams.serverPort(), c.id);
        QTRY_VERIFY(connected(a, c));
        QTRY_VERIFY(newPeerIn ? connected(a, b) : !b.failed.isEmpty());
        QCOMPARE(a.failed.count(), 0);
    }

    // A dial that finds no room here waits for it: it is not a failed dial, which would tell something of the
    // address dialled. Dials of nodes with no key pinned (any datagram names one) take a few places per address and
    // leave a share to pinned nodes: strangers at addresses that never answer hold no pinned peer back.
    void ourDialsWaitForRoom_data()
    {
        QTest::addColumn<int>("muteAddresses"); // where the strangers are, each dialled in turn
        QTest::addColumn<bool>("pinned");       // whether the peer dialled after them is
        QTest::addColumn<bool>("waits");        // for a stranger's handshake to time out
        QTest::newRow("strangers fill the room, a stranger") << 4 << false << true;
        QTest::newRow("strangers fill their room, a pinned peer") << 4 << true << false;
        QTest::newRow("strangers at one address, a stranger elsewhere") << 1 << false << false;
    }
    void ourDialsWaitForRoom()
    {
        QFETCH(int, muteAddresses);
        QFETCH(bool, pinned);
        QFETCH(bool, waits);
        PeerStreams::Limits limits = quickLimits();
        limits.maxDials = 4;
        limits.maxHandshakesPerAddress = 2;
        limits.handshakeMs = 6000;
        StreamNode a("node-a", IdentityKey::generate(), limits), c("node-c");
        a.streams.setPinnedKey(
            [&](const QString& id) { return pinned && id == c.id ? c.key.publicKey() : QByteArray(); });
        QTcpServer mute; // takes connections and says nothing: each dial stays in its handshake until it times out
        QVERIFY(mute.listen(QHostAddress::AnyIPv4, 0));
        for (int i = 0; i < 6; ++i)
            a.streams.dial(QHostAddress(QStringLiteral("127.0.0.%1").arg(11 + i % muteAddresses)), mute.serverPort(),
                           QStringLiteral("node-mute-%1").arg(i));
        a.dial(c);
        QTRY_VERIFY_WITH_TIMEOUT(connected(a, c), 3 * limits.handshakeMs);
        QCOMPARE(!a.failed.isEmpty(), waits); // a stranger's dial timed out first
        for (const QVariantList& failure : std::as_const(a.failed))
            QCOMPARE(failure.at(2).value<Ending>(), Ending::HandshakeTimeout);
    }

    // A failed dial tells the address it went to, not one the node was given meanwhile: what its failure says (no
    // Vesk program there) belongs to that address only.
    void failedDialTellsWhereItWent()
    {
        StreamNode a("node-a");
        QTcpServer mute;
        QVERIFY(mute.listen(kHere, 0));
        a.streams.dial(kHere, mute.serverPort(), "node-x");
        a.streams.dial(QHostAddress("127.0.0.2"), mute.serverPort(), "node-x"); // heard of there while dialling
        QTRY_VERIFY_WITH_TIMEOUT(!a.failed.isEmpty(), 3 * quickLimits().handshakeMs);
        QCOMPARE(a.failed.first().at(1).value<QHostAddress>(), kHere);
        QCOMPARE(a.failed.first().at(2).value<Ending>(), Ending::HandshakeTimeout);
    }

    // One address holds at most its share of the streams, and when the table is full the address holding the most
    // gives one up for a peer elsewhere. A pinned peer gets a place whoever dials, also when the crowd comes from
    // as many addresses as the table holds streams.
    void streamsShareTheTable_data()
    {
        QTest::addColumn<int>("maxStreams");
        QTest::addColumn<int>("perAddress");
        QTest::addColumn<int>("crowdAddresses"); // 0: the crowd dials us; else we dial it, at so many addresses
        QTest::addColumn<bool>("pinnedDials");
        QTest::addColumn<bool>("crowdPinned"); // one handshake each made the crowd peers too
        QTest::addColumn<int>("kept");
        QTest::newRow("one address fills its share") << 16 << 3 << 0 << false << false << 3;
        QTest::newRow("the table is full") << 4 << 16 << 0 << false << false << 3;
        QTest::newRow("many addresses fill it, the pinned peer dials") << 4 << 16 << 4 << true << false << 3;
        QTest::newRow("many addresses fill it, we dial the pinned peer") << 4 << 16 << 4 << false << false << 3;
        QTest::newRow("pinned ids from one address fill it, the pinned peer dials")
            << 4 << 16 << 1 << true << true << 3;
        QTest::newRow("pinned ids from one address fill it, we dial the pinned peer")
            << 4 << 16 << 1 << false << true << 3;
    }
    void streamsShareTheTable()
    {
        QFETCH(int, maxStreams);
        QFETCH(int, perAddress);
        QFETCH(int, crowdAddresses);
        QFETCH(bool, pinnedDials);
        QFETCH(bool, crowdPinned);
        QFETCH(int, kept);
        PeerStreams::Limits limits = quickLimits();
        limits.maxStreams = maxStreams;
        limits.maxStreamsPerAddress = perAddress;
        StreamNode a("node-a", IdentityKey::generate(), limits);
        StreamNode pinned("node-p", IdentityKey::generate(), quickLimits(), QHostAddress("127.0.0.2"));
        std::vector<std::unique_ptr<StreamNode>> crowd;
        a.streams.setPinnedKey([&](const QString& id) {
            if (id == pinned.id)
                return pinned.key.publicKey();
            for (const auto& node : crowd)
                if (crowdPinned && node->id == id)
                    return node->key.publicKey();
            return QByteArray();
        });
        for (int i = 0; i < 4; ++i) {
            const QHostAddress at(crowdAddresses ? QStringLiteral("127.0.0.%1").arg(11 + i % crowdAddresses)
                                                 : QStringLiteral("127.0.0.1"));
            crowd.push_back(std::make_unique<StreamNode>(QStringLiteral("fresh-%1").arg(i), IdentityKey::generate(),
                                                         quickLimits(), at));
            crowdAddresses ? a.streams.dial(at, crowd.back()->streams.serverPort(), crowd.back()->id)
                           : crowd.back()->dial(a);
        }
        QTRY_COMPARE(a.streams.nodes().size(), std::min(4, perAddress));
        QTRY_COMPARE(a.streams.streamCount(), std::min(4, perAddress));
        pinnedDials ? pinned.dial(a)
                    : a.streams.dial(QHostAddress("127.0.0.2"), pinned.streams.serverPort(), pinned.id);
        QTRY_VERIFY(connected(a, pinned));
        QTest::qWait(3 * quickLimits().lastRedialMs); // the crowd dials again
        QVERIFY(connected(a, pinned));
        QCOMPARE(a.streams.nodes().size() - 1, kept);
    }

    // Nodes dialled without a stream coming of it are not remembered; nor beyond a bound.
    void failedDialsAreForgotten()
    {
        StreamNode a("node-a");
        quint16 closedPort = 0;
        {
            QTcpServer server;
            QVERIFY(server.listen(kHere, 0));
            closedPort = server.serverPort();
        }
        for (int i = 0; i < 20; ++i)
            a.streams.dial(kHere, closedPort, QStringLiteral("gone-%1").arg(i));
        QTRY_COMPARE(a.failed.count(), 20);
        QCOMPARE(a.streams.targetCount(), 0);
    }
};
QTEST_GUILESS_MAIN(TestPeerStreamsBounds)
#include "tst_peerstreamsbounds.moc"
