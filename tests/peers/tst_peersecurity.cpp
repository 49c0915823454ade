#include "peers/peerrecords.h"
#include "store/vesksqlquerymodel.h"

#include "peersecurityrig.h"

#include <QTcpSocket>

using namespace TestSupport;
using namespace Vesk;

namespace {

// A computer on the way: passes each connection made to it on to another address, from its own address. Cutting,
// it ends both sides once the dialler speaks a second time (its last handshake message), passing nothing of it on.
// Frozen, it passes nothing more and closes nothing: a path that went dead without a word.
class Relay : public QObject
{
public:
    Relay(const QString& at, quint16 port, const QString& to, quint16 toPort, bool cutting)
    {
        listening = m_server.listen(QHostAddress(at), port);
        connect(&m_server, &QTcpServer::newConnection, this, [this, at, to, toPort, cutting] {
            while (QTcpSocket* in = m_server.nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                out->bind(QHostAddress(at));
                out->connectToHost(QHostAddress(to), toPort);
                auto answered = std::make_shared<bool>(false);
                const auto forward = [this, in, out, answered, cutting] {
                    if (frozen || out->state() != QAbstractSocket::ConnectedState || in->bytesAvailable() == 0)
                        return;
                    if (cutting && *answered) {
                        in->disconnectFromHost();
                        out->abort();
                        return;
                    }
                    out->write(in->readAll());
                };
                connect(out, &QTcpSocket::connected, in, forward);
                connect(in, &QTcpSocket::readyRead, in, forward);
                connect(out, &QTcpSocket::readyRead, in, [this, in, out, answered] {
                    if (frozen)
                        return;
                    *answered = true;
                    in->write(out->readAll());
                });
                connect(in, &QTcpSocket::disconnected, in, &QObject::deleteLater);
            }
        });
    }
    bool listening = false;
    bool frozen = false;

private:
    QTcpServer m_server;
};

} // namespace

// A node that completed a stream with us is pinned: what travels outside its stream under its node id changes
// nothing, and nothing for it goes out in plain; a message for a node takes only that node's stream.
class TestPeerSecurity : public QObject
{
    Q_OBJECT

private Q_SLOTS:

    // A third computer announces or writes under Bob's pinned node id: Bob is neither moved nor renamed, and what is
    // for Bob reaches no one in plain (at his address or the forger's).
    void pinnedPeerChangesOnlyOnItsStream_data()
    {
        QTest::addColumn<Parameters>("forged"); // empty: an announcement
        QTest::newRow("announcement") << Parameters{};
        QTest::newRow("plain handshake") << Parameters{{"action", "addMeRequest"},
                                                       {"nodeFrom", kBob},
                                                       {"alias", "Mallory"},
                                                       {"sysinfo", "Evil OS"},
                                                       {"message", "on"}};
        QTest::newRow("plain chat") << Parameters{{"action", "newChatMessage"}, {"nodeFrom", kBob}, {"message", "hi"}};
        QTest::newRow("plain, no node id") << Parameters{{"action", "confirmChat"}, {"chatId", "{c}"}};
    }
    void pinnedPeerChangesOnlyOnItsStream()
    {
        QFETCH(Parameters, forged);
        PeerSecurityRig alice;
        const QHostAddress bobAt("10.0.0.1");
        alice.pinPeer(kBob, bobAt.toString());
        const QString forger = QStringLiteral("10.66.0.9");
        Vesk::PeerRecords records(*alice.fixture.store, alice.fixture.sink, alice.fixture.clock, alice.fixture.profile,
                                  alice.fixture.dataFolder());
        records.setAnnouncementGate(
            [&alice](const QString& id, const QString& at) { return alice.security->announced(id, at); });
        MessageCatcher catcher;
        if (forged.isEmpty()) {
            records.addNodeFromUDP(kBob, forger, "Evil OS", "Mallory");
            QCOMPARE(alice.fixture.sink.sent.size(), 0);
        } else {
            Parameters message = forged;
            message.insert("senderIPAddress", forged.contains("nodeFrom") ? forger : bobAt.toString());
            QVERIFY(!alice.security->admit(message));
            QCOMPARE(catcher.criticals().filter("Refused a plain message").size(), 1);
        }
        const Vesk::TableRecord row = alice.fixture.store->peerRecord(kBob);
        QCOMPARE(row.value("ipAddress"), bobAt.toString());
        QCOMPARE(row.value("alias"), "alias of " + kBob);
        QCOMPARE(alice.send(bobAt.toString(), alice.chat("for Bob only")), QByteArray());
        QCOMPARE(alice.plain.size(), 0);
    }

    // Alice (this program) and Bob (a bare stream table with a key of its own) make a stream: Alice pins Bob's key
    // and her messages travel on it. A second installation under Bob's node id with its own key is refused, and
    // shown as a changed key only while Bob's own key is away.
    void streamPinsAndRefusesAnotherKey()
    {
        PeerSecurityRig alice;
        PeerStreams bob(IdentityKey::generate(), kBob, kAccept);
        PeerStreams impostor(IdentityKey::generate(), kBob, kAccept);
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), alice.port) &&
                impostor.listen(QHostAddress("127.0.0.3"), alice.port));
        QList<Parameters> atBob;
        connect(&bob, &PeerStreams::frameReceived, this, [&atBob](const QString&, const QByteArray& payload) {
            atBob.append(Vesk::byteArrayToParameters(payload));
        });
        alice.fixture.addPeer(kBob, "off", "127.0.0.2");

        // Alice's handshake for Bob waits for the stream her dial makes, then travels on it.
        QVERIFY(alice.security->announced(kBob, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.handshake("off")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kBob) && bob.hasStream(alice.id()));
        QTRY_VERIFY(!atBob.isEmpty());
        QCOMPARE(atBob.first().value("action"), "addMeRequest");
        QCOMPARE(alice.security->securityState(kBob), SecurityState::Sealed);
        QCOMPARE(alice.security->capabilitiesOf(kBob) != 0, true);

        MessageCatcher catcher;
        impostor.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        QTRY_VERIFY(impostor.streamCount() == 0);
        // Bob's own key is connected: the other one is not Bob reinstalled, and nothing is offered to accept.
        QCOMPARE(alice.security->securityState(kBob), SecurityState::Sealed);
        QCOMPARE(alice.fixture.store->peerField(kBob, "pendingKey"), QString());
        QVERIFY(!impostor.hasStream(alice.id()));
        QVERIFY(alice.security->hasStream(kBob));
        atBob.clear();
        QCOMPARE(alice.send("127.0.0.2", alice.chat("still for Bob")), QByteArray());
        QTRY_COMPARE(atBob.size(), 1);
        QCOMPARE(atBob.first().value("message"), "still for Bob");
        QCOMPARE(alice.plain.size(), 0);
        QCOMPARE(catcher.criticals().filter("Refused a stream under the node id of a connected peer").size(), 1);

        // With Bob's key away, the other key is shown as changed, to be accepted; no longer once Bob's own key
        // completes a stream again: then it was not Bob reinstalled.
        alice.security->streams().drop(kBob);
        QTRY_VERIFY(!bob.hasStream(alice.id()));
        impostor.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        QTRY_COMPARE(alice.security->securityState(kBob), SecurityState::KeyChanged);
        QVERIFY(!alice.fixture.store->peerField(kBob, "pendingKey").isEmpty());
        QVERIFY(!alice.security->hasStream(kBob));
        bob.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        QTRY_VERIFY(alice.security->hasStream(kBob));
        QCOMPARE(alice.security->securityState(kBob), SecurityState::Sealed);
        QCOMPARE(alice.fixture.store->peerField(kBob, "pendingKey"), QString());
        QVERIFY(!alice.security->acceptChangedKey(kBob));
    }

    // An accepted key is the peer's key from then on, in its row too; one whose row cannot be written (a full disk)
    // is not accepted for this run alone, only to come back as changed at the next: it stays there to accept.
    void acceptedKeyIsTheRowsKey()
    {
        PeerSecurityRig alice;
        alice.pinPeer(kBob, "127.0.0.1");
        const IdentityKey reinstalled = IdentityKey::generate();
        PeerStreams bob(reinstalled, kBob, kAccept);
        bob.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        QTRY_COMPARE(alice.security->securityState(kBob), SecurityState::KeyChanged);
        QVERIFY(exec("pragma query_only = 1"));
        QVERIFY(!alice.security->acceptChangedKey(kBob));
        QCOMPARE(alice.security->securityState(kBob), SecurityState::KeyChanged);
        QVERIFY(exec("pragma query_only = 0"));
        QVERIFY(alice.security->acceptChangedKey(kBob));
        QCOMPARE(alice.fixture.store->peerField(kBob, "identityKey"), QString(reinstalled.publicKey().toHex()));
        QCOMPARE(alice.fixture.store->peerField(kBob, "pendingKey"), QString());
        bob.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        QTRY_VERIFY(alice.security->hasStream(kBob));
        QCOMPARE(alice.security->securityState(kBob), SecurityState::Sealed);
    }

    // A message for Bob goes on the stream whose certificate names Bob, and on no other: another program at Bob's
    // address (a second user there, a host behind the same router) has a stream under its own node id.
    void messageForANodeTakesOnlyItsOwnStream_data()
    {
        QTest::addColumn<bool>("otherFirst");
        QTest::newRow("another node's stream comes after Bob's") << false;
        QTest::newRow("another node's stream comes before Bob's") << true;
    }
    void messageForANodeTakesOnlyItsOwnStream()
    {
        QFETCH(bool, otherFirst);
        PeerSecurityRig alice;
        alice.fixture.addPeer(kBob, "on", "127.0.0.1"); // where both dial from
        PeerStreams bob(IdentityKey::generate(), kBob, kAccept);
        PeerStreams other(IdentityKey::generate(), kOther, kAccept);
        QStringList atBob, atOther;
        const auto record = [](QStringList& into) {
            return [&into](const QString&, const QByteArray& payload) {
                const Parameters message = Vesk::byteArrayToParameters(payload);
                into.append(message.value("action").toString() + ":" + message.value("message").toString());
            };
        };
        connect(&bob, &PeerStreams::frameReceived, this, record(atBob));
        connect(&other, &PeerStreams::frameReceived, this, record(atOther));
        for (PeerStreams* streams : otherFirst ? QList{&other, &bob} : QList{&bob, &other}) {
            streams->dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
            QTRY_VERIFY(alice.security->hasStream(streams->nodeId()));
        }
        QCOMPARE(alice.send("127.0.0.1", alice.chat("for Bob only"), kBob), QByteArray());
        QTRY_VERIFY(atBob.contains("newChatMessage:for Bob only"));
        QVERIFY(atBob.contains("addMeRequest:on")); // the handshake for Bob's stream too
        QVERIFY(atOther.filter("Bob").isEmpty());
        QCOMPARE(alice.plain.size(), 0);
    }

    // Only the peer's own words say it refused our key (its close before any frame, under the keys just agreed):
    // a connection cut after our handshake (by a relay on the way) does not (the refusal: peerRefusingOurKeyIsTold).
    void relayCuttingOurHandshakeIsNoRefusal()
    {
        PeerSecurityRig alice;
        const IdentityKey bobsKey = alice.pinPeer(kBob, "127.0.0.2");
        PeerStreams bob(bobsKey, kBob, kAccept);
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), alice.port));
        Relay relay("127.0.0.3", alice.port, "127.0.0.2", alice.port, true);
        QVERIFY(relay.listening);
        QSignalSpy failed(&alice.security->streams(), &PeerStreams::dialFailed);
        QCOMPARE(alice.send("127.0.0.3", alice.chat("for Bob"), kBob), QByteArray());
        QTRY_VERIFY(!failed.isEmpty());
        QVERIFY(failed.first().at(2).value<PeerStream::Ending>() != PeerStream::Ending::RefusedByPeer);
        QVERIFY(!alice.security->refusesOurKey(kBob));
    }

    // Bob is pinned where his stream came from: an announcement from elsewhere (a relay to Bob) does not move him
    // while he answers there, and a stream through a relay gives way to one from where Bob is known.
    void relayDoesNotMoveAPinnedPeer_data()
    {
        QTest::addColumn<bool>("announced"); // the relay is announced, else dialled already
        QTest::newRow("an announcement from the relay's address") << true;
        QTest::newRow("Bob dials while a stream through the relay is up") << false;
    }
    void relayDoesNotMoveAPinnedPeer()
    {
        QFETCH(bool, announced);
        const QString bobAt = announced ? "127.0.0.2" : "127.0.0.1"; // the address Alice sees Bob's dials come from
        PeerSecurityRig alice;
        const IdentityKey bobsKey = alice.pinPeer(kBob, bobAt);
        PeerStreams bob(bobsKey, kBob, kAccept);
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), alice.port));
        PeerStreams bobDialling(bobsKey, kBob, kAccept); // Bob as he dials: a stream of his own
        Relay relay("127.0.0.3", alice.port, "127.0.0.2", alice.port, false);
        QVERIFY(relay.listening);

        if (announced) {
            QVERIFY(!alice.security->announced(kBob, "127.0.0.3"));
        } else {
            QCOMPARE(alice.send("127.0.0.3", alice.chat("for Bob"), kBob), QByteArray());
            QTRY_COMPARE(alice.security->streams().address(kBob), QHostAddress("127.0.0.3"));
            bobDialling.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        }
        QTRY_COMPARE(alice.security->streams().address(kBob), QHostAddress(bobAt));
        QTest::qWait(300); // any stream closed as the other's duplicate is gone by now, on both sides
        QCOMPARE(alice.security->streams().address(kBob), QHostAddress(bobAt));
        QVERIFY((announced ? bob : bobDialling).hasStream(alice.id()));
    }

    // Bob moved (a new address from DHCP): the stream from where he was known went dead without a word, and his dial
    // from the new address is all that tells. The old stream is asked for an answer: silent, the new one takes its
    // place within seconds; answered (the newcomer came some other way while Bob is where he was), it stays.
    void movedPeerTakesOverFromASilentStream_data()
    {
        QTest::addColumn<bool>("answers");
        QTest::newRow("the stream where Bob was known is silent") << false;
        QTest::newRow("it answers") << true;
    }
    void movedPeerTakesOverFromASilentStream()
    {
        QFETCH(bool, answers);
        PeerSecurityRig alice;
        // Alice knows Bob behind the path at .3, which goes dead.
        const IdentityKey bobsKey = alice.pinPeer(kBob, "127.0.0.3");
        PeerStreams bob(bobsKey, kBob, kAccept);
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), alice.port));
        connect(&bob, &PeerStreams::frameReceived, &bob, [&bob](const QString& from, const QByteArray&) {
            bob.send(from, "an answer"); // as his handshake does
        });
        Relay path("127.0.0.3", alice.port, "127.0.0.2", alice.port, false);
        QVERIFY(path.listening);
        QCOMPARE(alice.send("127.0.0.3", alice.chat("for Bob"), kBob), QByteArray());
        QTRY_VERIFY(bob.hasStream(alice.id()) && alice.security->hasStream(kBob));
        path.frozen = !answers;

        PeerStreams bobMoved(bobsKey, kBob, kAccept);
        QSignalSpy movedUp(&bobMoved, &PeerStreams::streamUp);
        QSignalSpy movedDown(&bobMoved, &PeerStreams::streamDown);
        bobMoved.dial(QHostAddress("127.0.0.1"), alice.port, alice.id()); // from 127.0.0.1
        QTRY_COMPARE(movedUp.count(), 1);
        if (answers) {
            QTRY_COMPARE_WITH_TIMEOUT(movedDown.count(), 1, 2 * StreamLimits::kProbeMs);
            QCOMPARE(alice.security->streams().address(kBob), QHostAddress("127.0.0.3"));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(alice.security->streams().address(kBob), QHostAddress("127.0.0.1"),
                                  2 * StreamLimits::kProbeMs);
        QSignalSpy received(&bobMoved, &PeerStreams::frameReceived);
        QCOMPARE(alice.send("127.0.0.3", alice.chat("for Bob, moved"), kBob), QByteArray());
        QTRY_VERIFY(!received.isEmpty());
        QCOMPARE(movedDown.count(), 0);
    }

    // After a reinstall this side has a new key, which the peer refuses until its user accepts it: this side is told
    // so (shown as "<name> has to accept your new security key"), and told no more once the peer takes the stream.
    void peerRefusingOurKeyIsTold()
    {
        PeerSecurityRig alice;
        PeerStreams::PinVerdict bobsVerdict = PeerStreams::PinVerdict::Accept;
        PeerStreams bob(IdentityKey::generate(), kBob,
                        [&bobsVerdict](const QString&, const QByteArray&) { return bobsVerdict; });
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), alice.port));
        alice.fixture.addPeer(kBob, "off", "127.0.0.2");
        QSignalSpy told(alice.security.get(), &PeerSecurity::securityChanged);

        QVERIFY(alice.security->announced(kBob, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.handshake("off")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kBob));
        QVERIFY(!alice.security->refusesOurKey(kBob));
        bob.drop(alice.id());
        QTRY_VERIFY(!alice.security->hasStream(kBob));

        bobsVerdict = PeerStreams::PinVerdict::KeyChanged;
        told.clear();
        QCOMPARE(alice.send("127.0.0.2", alice.chat("for Bob")), QByteArray());
        QTRY_VERIFY(alice.security->refusesOurKey(kBob));
        QVERIFY(!told.isEmpty() && told.last().first().toString() == kBob);
        QCOMPARE(alice.plain.size(), 0);

        bobsVerdict = PeerStreams::PinVerdict::Accept;
        QCOMPARE(alice.send("127.0.0.2", alice.chat("for Bob")), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(alice.security->hasStream(kBob), 15000);
        QVERIFY(!alice.security->refusesOurKey(kBob));
    }

    // Only proof makes a copy of this installation: a computer where a stream shows our own key file, under
    // another node id (a copied key file) or under ours (a copied disk, found by dialling whoever announces our id).
    void copyOfOurKeyIsFoundByItsStream_data()
    {
        QTest::addColumn<bool>("ourId");
        QTest::newRow("under another node id") << false;
        QTest::newRow("under our node id") << true;
    }
    void copyOfOurKeyIsFoundByItsStream()
    {
        QFETCH(bool, ourId);
        PeerSecurityRig alice;
        QSignalSpy copies(alice.security.get(), &PeerSecurity::copyOfThisInstallation);
        const QString copyId = ourId ? alice.id() : kBob;
        PeerStreams copy(IdentityKey::loadOrCreate(alice.keyFile()), copyId, kAccept);
        QVERIFY(copy.listen(QHostAddress("127.0.0.2"), alice.port));
        QCOMPARE(alice.security->announced(copyId, "127.0.0.2"), !ourId);
        if (!ourId)
            QCOMPARE(alice.send("127.0.0.2", alice.handshake("off")), QByteArray());
        QTRY_COMPARE(copies.size(), 1);
        QCOMPARE(copies.first().first().toString(), "127.0.0.2");
        QVERIFY(!alice.security->hasStream(copyId));
        QCOMPARE(alice.security->securityState(copyId), SecurityState::Plain); // nothing pinned for it
        QCOMPARE(alice.plain.size(), 0);
    }

    // A third computer makes a certificate for one fresh node id after another: the keys of those that never became
    // peers are kept only up to a bound (a peer's, with its row, is kept whatever comes), and forgetting is logged
    // once per window.
    void pinsOfNonPeersAreBounded()
    {
        PeerSecurityRig alice;
        PeerStreams mallory(IdentityKey::generate(), kBob, kAccept);
        QStringList ids{kBob};
        for (int i = 0; i < NodeBook::kMaxUnsavedPins + 2; ++i)
            ids.append(QStringLiteral("{fresh-%1}").arg(i));
        alice.fixture.addPeer(kBob, "on", "127.0.0.1"); // a real peer
        MessageCatcher catcher;
        for (const QString& id : std::as_const(ids)) {
            mallory.setNodeId(id);
            mallory.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
            QTRY_VERIFY(alice.security->hasStream(id));
            mallory.drop(alice.id());
            QTRY_VERIFY(!alice.security->hasStream(id));
        }
        const auto pinned = [&alice](const QString& id) {
            return alice.security->securityState(id) != SecurityState::Plain;
        };
        QVERIFY(pinned(kBob));
        QVERIFY(!pinned(ids.at(1)) && !pinned(ids.at(2)));
        QCOMPARE(std::count_if(ids.cbegin() + 1, ids.cend(), pinned), NodeBook::kMaxUnsavedPins);
        QVERIFY(pinned(ids.last()));
        QCOMPARE(catcher.criticals().filter("Forgot the key of").size(), 1);
    }

    // The same computer under one new node id after another, each making a row as a peer's handshake does: the keys
    // written for good from one address are bounded in an hour (the rest are kept for this run, as those of nodes
    // that are no peers yet), and written once the hour has passed.
    void keysKeptFromOneAddressAreBounded()
    {
        PeerSecurityRig alice;
        PeerStreams mallory(IdentityKey::generate(), kBob, kAccept);
        const auto written = [&alice](const QString& id) {
            return !alice.fixture.store->peerField(id, "identityKey").isEmpty();
        };
        const auto connect = [&](const QString& id) {
            mallory.setNodeId(id);
            mallory.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
            QTRY_VERIFY(alice.security->hasStream(id));
            mallory.drop(alice.id());
            QTRY_VERIFY(!alice.security->hasStream(id));
        };
        MessageCatcher catcher;
        QStringList ids;
        for (int i = 0; i <= FirstKeyPins::kMaxNewKeysPerAddress; ++i) {
            ids.append(QStringLiteral("{fresh-%1}").arg(i));
            alice.fixture.addPeer(ids.last(), "on", "127.0.0.1");
            connect(ids.last());
        }
        QCOMPARE(std::count_if(ids.cbegin(), ids.cend(), written), FirstKeyPins::kMaxNewKeysPerAddress);
        QVERIFY(!written(ids.last()));
        QVERIFY(alice.security->securityState(ids.last()) != SecurityState::Plain); // kept for this run
        QCOMPARE(catcher.criticals().filter("for this run only").size(), 1);
        alice.fixture.clock.advance(FirstKeyPins::kNewKeysWindowMs);
        mallory.dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        QTRY_VERIFY(mallory.send(alice.id(), "a frame, as its handshake")); // its next word writes the pin
        QTRY_VERIFY(written(ids.last()));
    }
};

QTEST_MAIN(TestPeerSecurity)
#include "tst_peersecurity.moc"
