#include "net/wire.h"
#include "peers/peerrecords.h"
#include "peers/peersecurity.h"
#include "secure/identitykey.h"
#include "store/vesksqlquerymodel.h"

#include "subsystemfixture.h"
#include "testsupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>

#include <memory>

using Vesk::Parameters;
using Vesk::PeerSecurity;

namespace {

const QString kBob = QStringLiteral("{00000000-0000-4000-8000-00000000000b}");

// One installation: its own database, key file and profile, and what its security lets out or in.
struct Node
{
    explicit Node(const QString& id)
    {
        fixture.profile.id = id;
        security = std::make_unique<PeerSecurity>(*fixture.store, fixture.clock, fixture.profile, keyFile());
        security->setPlainSender([this](const QHostAddress& to, QByteArray frame) { plain.append({to, frame}); });
        security->setDelivery([this](Parameters message) { delivered.append(message); });
        security->setHandshakeSender([this](const QHostAddress& to, const Parameters& handshake) {
            const QByteArray frame = security->frame(to, handshake);
            if (!frame.isNull())
                plain.append({to, frame});
        });
    }
    QString keyFile() const { return fixture.dataFolder() + QStringLiteral("identity.key"); }
    // What the program would put on the message port for this message, if anything.
    QByteArray send(const QString& to, const Parameters& message)
    {
        const QByteArray frame = security->frame(QHostAddress(to), message);
        if (!frame.isNull())
            plain.append({QHostAddress(to), frame});
        return frame;
    }
    Parameters chat(const QString& text) const
    {
        return {{"action", "newChatMessage"}, {"nodeFrom", fixture.profile.id}, {"message", text}, {"chatId", "{c}"}};
    }

    TestSupport::SubsystemFixture fixture;
    std::unique_ptr<PeerSecurity> security;
    QList<std::pair<QHostAddress, QByteArray>> plain;
    QList<Parameters> delivered;
};

// A port free on the loopback, where each installation of a test listens on an address of its own.
quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

} // namespace

// A node that completed a stream with us is pinned: what travels outside its stream under its node id changes
// nothing, and nothing for it goes out in plain.
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
        Node alice(TestSupport::FixedProfile().id);
        const QHostAddress bobAt = alice.fixture.addPeer(kBob, "on");
        QVERIFY(TestSupport::exec("update vesk_peers set identityKey = ? where id = ?",
                                  {QString::fromLatin1(Vesk::IdentityKey::generate().publicKey().toHex()), kBob}));
        alice.security = std::make_unique<PeerSecurity>(*alice.fixture.store, alice.fixture.clock,
                                                        alice.fixture.profile, alice.keyFile());
        alice.security->setPlainSender([&alice](const QHostAddress& to, QByteArray frame) {
            alice.plain.append({to, frame});
        });
        const QString forger = QStringLiteral("10.66.0.9");
        Vesk::PeerRecords records(*alice.fixture.store, alice.fixture.sink, alice.fixture.clock, alice.fixture.profile,
                                  alice.fixture.dataFolder());
        records.setAnnouncementGate(
            [&alice](const QString& id, const QString& at) { return alice.security->announced(id, at); });
        TestSupport::MessageCatcher catcher;
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
    // and her messages travel on it. A second installation under Bob's node id with its own key is refused and
    // Bob's key is shown as changed, while Bob's stream goes on.
    void streamPinsAndRefusesAnotherKey()
    {
        const quint16 port = freePort();
        QVERIFY(port != 0);
        Node alice(TestSupport::FixedProfile().id);
        QVERIFY(alice.security->listen(QHostAddress("127.0.0.1"), port));
        alice.security->setDialPort(port);
        const auto accept = [](const QString&, const QByteArray&) {
            return Vesk::PeerStreams::PinVerdict::Accept;
        };
        Vesk::PeerStreams bob(Vesk::IdentityKey::generate(), kBob, accept);
        Vesk::PeerStreams impostor(Vesk::IdentityKey::generate(), kBob, accept);
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), port) && impostor.listen(QHostAddress("127.0.0.3"), port));
        QList<Parameters> atBob;
        connect(&bob, &Vesk::PeerStreams::frameReceived, this, [&atBob](const QString&, const QByteArray& payload) {
            atBob.append(Vesk::byteArrayToParameters(payload));
        });
        alice.fixture.addPeer(kBob, "off", "127.0.0.2");

        // Alice's handshake for Bob waits for the stream her dial makes, then travels on it.
        QVERIFY(alice.security->announced(kBob, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.fixture.profile.addMeRequest("off")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kBob) && bob.hasStream(alice.fixture.profile.id));
        QTRY_VERIFY(!atBob.isEmpty());
        QCOMPARE(atBob.first().value("action"), "addMeRequest");
        QCOMPARE(alice.security->securityState(kBob), Vesk::SecurityState::Sealed);
        QCOMPARE(alice.security->capabilitiesOf(kBob) != 0, true);

        TestSupport::MessageCatcher catcher;
        impostor.dial(QHostAddress("127.0.0.1"), port, alice.fixture.profile.id);
        QTRY_COMPARE(alice.security->securityState(kBob), Vesk::SecurityState::KeyChanged);
        QTRY_VERIFY(impostor.streamCount() == 0);
        QVERIFY(!impostor.hasStream(alice.fixture.profile.id));
        QVERIFY(alice.security->hasStream(kBob));
        atBob.clear();
        QCOMPARE(alice.send("127.0.0.2", alice.chat("still for Bob")), QByteArray());
        QTRY_COMPARE(atBob.size(), 1);
        QCOMPARE(atBob.first().value("message"), "still for Bob");
        QCOMPARE(alice.plain.size(), 0);
        QCOMPARE(catcher.criticals().filter("Refused a stream with another security key").size(), 1);
    }

    // After a reinstall this side has a new key, which the peer refuses until its user accepts it: this side is told
    // so (shown as "<name> has to accept your new security key"), and told no more once the peer takes the stream.
    void peerRefusingOurKeyIsTold()
    {
        const quint16 port = freePort();
        QVERIFY(port != 0);
        Node alice(TestSupport::FixedProfile().id);
        QVERIFY(alice.security->listen(QHostAddress("127.0.0.1"), port));
        alice.security->setDialPort(port);
        Vesk::PeerStreams::PinVerdict bobsVerdict = Vesk::PeerStreams::PinVerdict::Accept;
        Vesk::PeerStreams bob(Vesk::IdentityKey::generate(), kBob,
                              [&bobsVerdict](const QString&, const QByteArray&) { return bobsVerdict; });
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), port));
        alice.fixture.addPeer(kBob, "off", "127.0.0.2");
        QSignalSpy told(alice.security.get(), &PeerSecurity::securityChanged);

        QVERIFY(alice.security->announced(kBob, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.fixture.profile.addMeRequest("off")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kBob));
        QVERIFY(!alice.security->refusesOurKey(kBob));
        bob.drop(alice.fixture.profile.id);
        QTRY_VERIFY(!alice.security->hasStream(kBob));

        bobsVerdict = Vesk::PeerStreams::PinVerdict::KeyChanged;
        told.clear();
        QCOMPARE(alice.send("127.0.0.2", alice.chat("for Bob")), QByteArray());
        QTRY_VERIFY(alice.security->refusesOurKey(kBob));
        QVERIFY(!told.isEmpty() && told.last().first().toString() == kBob);
        QCOMPARE(alice.plain.size(), 0);

        bobsVerdict = Vesk::PeerStreams::PinVerdict::Accept;
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
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        alice.security->setDialPort(port);
        QSignalSpy copies(alice.security.get(), &PeerSecurity::copyOfThisInstallation);
        const auto accept = [](const QString&, const QByteArray&) {
            return Vesk::PeerStreams::PinVerdict::Accept;
        };
        const QString copyId = ourId ? alice.fixture.profile.id : kBob;
        Vesk::PeerStreams copy(Vesk::IdentityKey::loadOrCreate(alice.keyFile()), copyId, accept);
        QVERIFY(copy.listen(QHostAddress("127.0.0.2"), port));
        QCOMPARE(alice.security->announced(copyId, "127.0.0.2"), !ourId);
        if (!ourId)
            QCOMPARE(alice.send("127.0.0.2", alice.fixture.profile.addMeRequest("off")), QByteArray());
        QTRY_COMPARE(copies.size(), 1);
        QCOMPARE(copies.first().first().toString(), "127.0.0.2");
        QVERIFY(!alice.security->hasStream(copyId));
        QCOMPARE(alice.security->securityState(copyId), Vesk::SecurityState::Plain); // nothing pinned for it
        QCOMPARE(alice.plain.size(), 0);
    }

    // A plain program now answers at an address a pinned node had: the pinned node is no longer sent anything there,
    // and the plain program gets exactly the plain protocol's bytes, once no stream could be made with it.
    void plainProgramAtAFormerVeskAddress()
    {
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        alice.security->setDialPort(port); // nothing listens there: the plain program speaks no streams
        const QString formerly = QStringLiteral("127.0.0.5");
        alice.fixture.addPeer(kBob, "on", formerly);
        QVERIFY(TestSupport::exec("update vesk_peers set identityKey = ? where id = ?",
                                  {QString::fromLatin1(Vesk::IdentityKey::generate().publicKey().toHex()), kBob}));
        alice.security = std::make_unique<PeerSecurity>(*alice.fixture.store, alice.fixture.clock,
                                                        alice.fixture.profile, alice.keyFile());
        alice.security->setDialPort(port);
        alice.security->setPlainSender([&alice](const QHostAddress& to, QByteArray frame) {
            alice.plain.append({to, frame});
        });
        QCOMPARE(alice.send(formerly, alice.chat("for Bob")), QByteArray());

        const QString plainId = QStringLiteral("{plain}");
        alice.fixture.addPeer(plainId, "off", "127.0.0.6");
        Parameters hello{
            {"action", "addMeRequest"}, {"nodeFrom", plainId}, {"alias", "P"}, {"senderIPAddress", formerly}};
        QVERIFY(alice.security->admit(hello));
        QCOMPARE(alice.fixture.store->peerField(kBob, "ipAddress"), QString());
        const Parameters answer{{"action", "addMeRequestConfirmed"}, {"nodeFrom", alice.fixture.profile.id}};
        QCOMPARE(alice.send(formerly, answer), QByteArray()); // waits for the dial's outcome
        QTRY_COMPARE(alice.plain.size(), 1);
        QCOMPARE(alice.plain.first().first, QHostAddress(formerly));
        QCOMPARE(alice.plain.first().second, Vesk::parametersToFrame(answer));
        QCOMPARE(alice.send(formerly, answer), Vesk::parametersToFrame(answer)); // known plain from now on
    }
};

QTEST_MAIN(TestPeerSecurity)
#include "tst_peersecurity.moc"
