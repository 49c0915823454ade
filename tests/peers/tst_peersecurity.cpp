#include "net/wire.h"
#include "peers/peerrecords.h"
#include "peers/peersecurity.h"
#include "secure/identitykey.h"
#include "store/vesksqlquerymodel.h"

#include "subsystemfixture.h"
#include "testsupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlDriver>
#include <QTcpServer>
#include <QTcpSocket>

#include <sqlite3.h>

#include <memory>

using Vesk::Parameters;
using Vesk::PeerSecurity;

Q_DECLARE_METATYPE(Vesk::PeerStream::Ending)

namespace {

const QString kBob = QStringLiteral("{00000000-0000-4000-8000-00000000000b}");
const QString kPlain = QStringLiteral("{00000000-0000-4000-8000-00000000000p}");
const QString kOther = QStringLiteral("{00000000-0000-4000-8000-0000000000ee}");
const auto kAccept = [](const QString&, const QByteArray&) {
    return Vesk::PeerStreams::PinVerdict::Accept;
};

// One installation: its own database, key file and profile, and what its security lets out or in.
struct Node
{
    explicit Node(const QString& id)
    {
        fixture.profile.id = id;
        security = std::make_unique<PeerSecurity>(*fixture.store, fixture.clock, fixture.profile, keyFile());
        security->setPlainSender([this](const QHostAddress& to, QByteArray frame) { plain.append({to, frame}); });
        security->setDelivery([this](Parameters message) { delivered.append(message); });
        security->setHandshakeSender(
            [this](const QString& nodeId, const QHostAddress& to, const Parameters& handshake) {
                const QByteArray frame = security->frame(to, nodeId, handshake);
                if (!frame.isNull())
                    plain.append({to, frame});
            });
    }
    QString keyFile() const { return fixture.dataFolder() + QStringLiteral("identity.key"); }
    // What the program would put on the message port for this message, if anything.
    QByteArray send(const QString& to, const Parameters& message, const QString& nodeId = QString())
    {
        const QByteArray frame = security->frame(QHostAddress(to), nodeId, message);
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
// A port free on each of the loopback addresses the tests listen on. It is taken below the range the system hands
// out to listens on port 0 and to outgoing connections, so that nothing running beside the test (another test's
// listener, a relay's connection from its own address) can take it between this look and the test's own listens.
quint16 freePort()
{
    for (int tries = 0; tries < 200; ++tries) {
        const auto port = quint16(QRandomGenerator::global()->bounded(10000, 25000));
        bool free = true;
        for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
            QTcpServer server;
            free = free && server.listen(QHostAddress(QString::fromLatin1(address)), port);
        }
        if (free)
            return port;
    }
    return 0;
}

// A computer on the way: passes each connection made to it on to another address, from its own address. Cutting,
// it ends both sides once the dialler speaks a second time (its last handshake message), passing nothing of it on.
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
                const auto forward = [in, out, answered, cutting] {
                    if (out->state() != QAbstractSocket::ConnectedState || in->bytesAvailable() == 0)
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
                connect(out, &QTcpSocket::readyRead, in, [in, out, answered] {
                    *answered = true;
                    in->write(out->readAll());
                });
                connect(in, &QTcpSocket::disconnected, in, &QObject::deleteLater);
            }
        });
    }
    bool listening = false;

private:
    QTcpServer m_server;
};

// A message as it comes in on the plain port.
Parameters plainFrom(const QString& nodeId, const QString& address, const QString& action = "newChatMessage")
{
    return {{"action", action}, {"nodeFrom", nodeId}, {"message", "hi"}, {"senderIPAddress", address}};
}

// Counts the statements the database runs that contain a piece of text.
class StatementCounter
{
public:
    StatementCounter(const QSqlDatabase& database, const char* text) : m_text(text)
    {
        const QVariant handle = database.driver()->handle();
        m_db = handle.isValid() ? *static_cast<sqlite3* const*>(handle.constData()) : nullptr;
        if (m_db)
            sqlite3_trace_v2(m_db, SQLITE_TRACE_STMT, &StatementCounter::traced, this);
    }
    ~StatementCounter()
    {
        if (m_db)
            sqlite3_trace_v2(m_db, 0, nullptr, nullptr);
    }
    bool isValid() const { return m_db != nullptr; }
    int count = 0;

private:
    static int traced(unsigned, void* self, void*, void* sql)
    {
        auto* counter = static_cast<StatementCounter*>(self);
        if (QByteArray(static_cast<const char*>(sql)).contains(counter->m_text))
            ++counter->count;
        return 0;
    }
    sqlite3* m_db = nullptr;
    QByteArray m_text;
};

} // namespace

// A node that completed a stream with us is pinned: what travels outside its stream under its node id changes
// nothing, and nothing for it goes out in plain.
class TestPeerSecurity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<Vesk::PeerStream::Ending>(); }

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
        QTRY_VERIFY(impostor.streamCount() == 0);
        // Bob's own key is connected: the other one is not Bob reinstalled, and nothing is offered to accept.
        QCOMPARE(alice.security->securityState(kBob), Vesk::SecurityState::Sealed);
        QCOMPARE(alice.fixture.store->peerField(kBob, "pendingKey"), QString());
        QVERIFY(!impostor.hasStream(alice.fixture.profile.id));
        QVERIFY(alice.security->hasStream(kBob));
        atBob.clear();
        QCOMPARE(alice.send("127.0.0.2", alice.chat("still for Bob")), QByteArray());
        QTRY_COMPARE(atBob.size(), 1);
        QCOMPARE(atBob.first().value("message"), "still for Bob");
        QCOMPARE(alice.plain.size(), 0);
        QCOMPARE(catcher.criticals().filter("Refused a stream under the node id of a connected peer").size(), 1);
    }

    // Another key under Bob's node id is shown as changed (to be accepted) only while Bob's own key is away, and
    // no longer once Bob's own key completes a stream again: then it was not Bob reinstalled.
    void changedKeyIsOfferedWhileThePinnedKeyIsAway()
    {
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        alice.fixture.addPeer(kBob, "on", "127.0.0.2");
        const Vesk::IdentityKey bobsKey = Vesk::IdentityKey::generate();
        QVERIFY(TestSupport::exec("update vesk_peers set identityKey = ? where id = ?",
                                  {QString::fromLatin1(bobsKey.publicKey().toHex()), kBob}));
        alice.security = std::make_unique<PeerSecurity>(*alice.fixture.store, alice.fixture.clock,
                                                        alice.fixture.profile, alice.keyFile());
        QVERIFY(alice.security->listen(QHostAddress("127.0.0.1"), port));
        alice.security->setDialPort(port);

        Vesk::PeerStreams reinstalled(Vesk::IdentityKey::generate(), kBob, kAccept);
        reinstalled.dial(QHostAddress("127.0.0.1"), port, alice.fixture.profile.id);
        QTRY_COMPARE(alice.security->securityState(kBob), Vesk::SecurityState::KeyChanged);
        QVERIFY(!alice.fixture.store->peerField(kBob, "pendingKey").isEmpty());
        QVERIFY(!alice.security->hasStream(kBob));

        Vesk::PeerStreams bob(bobsKey, kBob, kAccept);
        bob.dial(QHostAddress("127.0.0.1"), port, alice.fixture.profile.id);
        QTRY_VERIFY(alice.security->hasStream(kBob));
        QCOMPARE(alice.security->securityState(kBob), Vesk::SecurityState::Sealed);
        QCOMPARE(alice.fixture.store->peerField(kBob, "pendingKey"), QString());
        QVERIFY(!alice.security->acceptChangedKey(kBob));
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
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        QVERIFY(alice.security->listen(QHostAddress("127.0.0.1"), port));
        alice.fixture.addPeer(kBob, "on", "127.0.0.1"); // where both dial from
        Vesk::PeerStreams bob(Vesk::IdentityKey::generate(), kBob, kAccept);
        Vesk::PeerStreams other(Vesk::IdentityKey::generate(), kOther, kAccept);
        QStringList atBob, atOther;
        const auto record = [](QStringList& into) {
            return [&into](const QString&, const QByteArray& payload) {
                const Parameters message = Vesk::byteArrayToParameters(payload);
                into.append(message.value("action").toString() + ":" + message.value("message").toString());
            };
        };
        connect(&bob, &Vesk::PeerStreams::frameReceived, this, record(atBob));
        connect(&other, &Vesk::PeerStreams::frameReceived, this, record(atOther));
        for (Vesk::PeerStreams* streams : otherFirst ? QList{&other, &bob} : QList{&bob, &other}) {
            streams->dial(QHostAddress("127.0.0.1"), port, alice.fixture.profile.id);
            QTRY_VERIFY(alice.security->hasStream(streams->nodeId()));
        }
        QCOMPARE(alice.send("127.0.0.1", alice.chat("for Bob only"), kBob), QByteArray());
        QTRY_VERIFY(atBob.contains("newChatMessage:for Bob only"));
        QVERIFY(atBob.contains("addMeRequest:on")); // the handshake for Bob's stream too
        QVERIFY(atOther.filter("Bob").isEmpty());
        QCOMPARE(alice.plain.size(), 0);
    }

    // Only the peer's own words say it refused our key (its close before any frame, under the keys just agreed):
    // a connection cut after our handshake (by a relay on the way) does not.
    void onlyThePeersRefusalSaysOurKeyIsRefused_data()
    {
        QTest::addColumn<bool>("cutByRelay");
        QTest::newRow("the peer refuses our key") << false;
        QTest::newRow("a relay cuts after our handshake") << true;
    }
    void onlyThePeersRefusalSaysOurKeyIsRefused()
    {
        QFETCH(bool, cutByRelay);
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        alice.fixture.addPeer(kBob, "on", "127.0.0.2");
        const Vesk::IdentityKey bobsKey = Vesk::IdentityKey::generate();
        QVERIFY(TestSupport::exec("update vesk_peers set identityKey = ? where id = ?",
                                  {QString::fromLatin1(bobsKey.publicKey().toHex()), kBob}));
        alice.security = std::make_unique<PeerSecurity>(*alice.fixture.store, alice.fixture.clock,
                                                        alice.fixture.profile, alice.keyFile());
        alice.security->setDialPort(port);
        Vesk::PeerStreams bob(bobsKey, kBob, [cutByRelay](const QString&, const QByteArray&) {
            return cutByRelay ? Vesk::PeerStreams::PinVerdict::Accept : Vesk::PeerStreams::PinVerdict::KeyChanged;
        });
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), port));
        Relay relay("127.0.0.3", port, "127.0.0.2", port, true);
        QVERIFY(relay.listening);
        QSignalSpy failed(&alice.security->streams(), &Vesk::PeerStreams::dialFailed);
        QCOMPARE(alice.send(cutByRelay ? "127.0.0.3" : "127.0.0.2", alice.chat("for Bob"), kBob), QByteArray());
        QTRY_VERIFY(!failed.isEmpty());
        QCOMPARE(failed.first().at(2).value<Vesk::PeerStream::Ending>() == Vesk::PeerStream::Ending::RefusedByPeer,
                 !cutByRelay);
        QCOMPARE(alice.security->refusesOurKey(kBob), !cutByRelay);
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
        const quint16 port = freePort();
        const QString bobAt = announced ? "127.0.0.2" : "127.0.0.1"; // the address Alice sees Bob's dials come from
        Node alice(TestSupport::FixedProfile().id);
        alice.fixture.addPeer(kBob, "on", bobAt);
        const Vesk::IdentityKey bobsKey = Vesk::IdentityKey::generate();
        QVERIFY(TestSupport::exec("update vesk_peers set identityKey = ? where id = ?",
                                  {QString::fromLatin1(bobsKey.publicKey().toHex()), kBob}));
        alice.security = std::make_unique<PeerSecurity>(*alice.fixture.store, alice.fixture.clock,
                                                        alice.fixture.profile, alice.keyFile());
        QVERIFY(alice.security->listen(QHostAddress("127.0.0.1"), port));
        alice.security->setDialPort(port);
        Vesk::PeerStreams bob(bobsKey, kBob, kAccept);
        QVERIFY(bob.listen(QHostAddress("127.0.0.2"), port));
        Vesk::PeerStreams bobDialling(bobsKey, kBob, kAccept); // Bob as he dials: a stream of his own
        Relay relay("127.0.0.3", port, "127.0.0.2", port, false);
        QVERIFY(relay.listening);

        if (announced) {
            QVERIFY(!alice.security->announced(kBob, "127.0.0.3"));
        } else {
            QCOMPARE(alice.send("127.0.0.3", alice.chat("for Bob"), kBob), QByteArray());
            QTRY_COMPARE(alice.security->streams().address(kBob), QHostAddress("127.0.0.3"));
            bobDialling.dial(QHostAddress("127.0.0.1"), port, alice.fixture.profile.id);
        }
        QTRY_COMPARE(alice.security->streams().address(kBob), QHostAddress(bobAt));
        QTest::qWait(300); // any stream closed as the other's duplicate is gone by now, on both sides
        QCOMPARE(alice.security->streams().address(kBob), QHostAddress(bobAt));
        QVERIFY((announced ? bob : bobDialling).hasStream(alice.fixture.profile.id));
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

    // Another node now answers at an address a pinned node had (a plain program heard from there, or another Vesk
    // computer that a dial for the pinned node found): the pinned node is no longer sent anything there, and the
    // plain program gets exactly the plain protocol's bytes, once no stream could be made with it.
    void anotherNodeAtAFormerVeskAddress_data()
    {
        QTest::addColumn<bool>("plainProgram");
        QTest::newRow("a plain program") << true;
        QTest::newRow("another Vesk computer") << false;
    }
    void anotherNodeAtAFormerVeskAddress()
    {
        QFETCH(bool, plainProgram);
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        const QString formerly = QStringLiteral("127.0.0.5");
        alice.fixture.addPeer(kBob, "on", formerly);
        QVERIFY(TestSupport::exec("update vesk_peers set identityKey = ? where id = ?",
                                  {QString::fromLatin1(Vesk::IdentityKey::generate().publicKey().toHex()), kBob}));
        alice.security = std::make_unique<PeerSecurity>(*alice.fixture.store, alice.fixture.clock,
                                                        alice.fixture.profile, alice.keyFile());
        alice.security->setDialPort(port); // the plain program has nothing listening there
        alice.security->setPlainSender([&alice](const QHostAddress& to, QByteArray frame) {
            alice.plain.append({to, frame});
        });
        Vesk::PeerStreams other(Vesk::IdentityKey::generate(), kPlain, kAccept);
        QVERIFY(plainProgram || other.listen(QHostAddress(formerly), port));
        QSignalSpy failed(&alice.security->streams(), &Vesk::PeerStreams::dialFailed);
        QCOMPARE(alice.send(formerly, alice.chat("for Bob")), QByteArray());
        if (!plainProgram) {
            QTRY_VERIFY(!failed.isEmpty());
            QCOMPARE(failed.first().at(2).value<Vesk::PeerStream::Ending>(), Vesk::PeerStream::Ending::WrongNode);
            QCOMPARE(alice.fixture.store->peerField(kBob, "ipAddress"), QString());
            QCOMPARE(alice.plain.size(), 0);
            return;
        }
        alice.fixture.addPeer(kPlain, "off", "127.0.0.6");
        Parameters hello = plainFrom(kPlain, formerly, "addMeRequest");
        QVERIFY(alice.security->admit(hello));
        QCOMPARE(alice.fixture.store->peerField(kBob, "ipAddress"), QString());
        const Parameters answer{{"action", "addMeRequestConfirmed"}, {"nodeFrom", alice.fixture.profile.id}};
        QCOMPARE(alice.send(formerly, answer), QByteArray()); // waits for the dial's outcome
        QTRY_COMPARE(alice.plain.size(), 1);
        QCOMPARE(alice.plain.first().first, QHostAddress(formerly));
        QCOMPARE(alice.plain.first().second, Vesk::parametersToFrame(answer));
        QCOMPARE(alice.send(formerly, answer), Vesk::parametersToFrame(answer)); // known plain from now on
    }

    // A Vesk computer names a plain peer's node id in its certificate: the id is not pinned to it while the plain
    // peer is known elsewhere, so the plain peer is neither moved nor locked out. The plain peer itself, upgraded,
    // is pinned at its own address.
    void plainPeersIdIsNotTakenFromElsewhere_data()
    {
        QTest::addColumn<QString>("rowAt");   // the plain peer's stored address
        QTest::addColumn<QString>("heardAt"); // where a plain message under its id came from, if any
        QTest::addColumn<qint64>("heardAgo"); // how long before the stream
        QTest::addColumn<bool>("pinned");
        // The stream always comes from 127.0.0.3.
        QTest::newRow("stored elsewhere") << "127.0.0.2" << QString() << qint64(0) << false;
        QTest::newRow("row moved by an announcement, heard elsewhere lately") << "127.0.0.3"
                                                                              << "127.0.0.2" << qint64(60000) << false;
        QTest::newRow("row moved, heard elsewhere long ago")
            << "127.0.0.3"
            << "127.0.0.2" << PeerSecurity::kPlainPeerAnswersMs + 1 << true;
        QTest::newRow("upgraded where it was") << "127.0.0.3"
                                               << "127.0.0.3" << qint64(0) << true;
    }
    void plainPeersIdIsNotTakenFromElsewhere()
    {
        QFETCH(QString, rowAt);
        QFETCH(QString, heardAt);
        QFETCH(qint64, heardAgo);
        QFETCH(bool, pinned);
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        alice.security->setDialPort(port);
        Vesk::PeerStreams claimant(Vesk::IdentityKey::generate(), kPlain, kAccept);
        QVERIFY(claimant.listen(QHostAddress("127.0.0.3"), port));
        alice.fixture.addPeer(kPlain, "on", rowAt);
        if (!heardAt.isEmpty()) {
            Parameters message = plainFrom(kPlain, heardAt);
            QVERIFY(alice.security->admit(message));
            alice.fixture.clock.advance(heardAgo);
            TestSupport::exec("update vesk_peers set ipAddress = ? where id = ?", {rowAt, kPlain});
        }
        QSignalSpy failed(&alice.security->streams(), &Vesk::PeerStreams::dialFailed);
        TestSupport::MessageCatcher catcher;
        QVERIFY(alice.security->announced(kPlain, "127.0.0.3"));
        QCOMPARE(alice.send("127.0.0.3", alice.fixture.profile.addMeRequest("on")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kPlain) || !failed.isEmpty());
        QCOMPARE(alice.security->hasStream(kPlain), pinned);
        QCOMPARE(alice.security->securityState(kPlain),
                 pinned ? Vesk::SecurityState::Sealed : Vesk::SecurityState::Plain);
        QCOMPARE(catcher.criticals().filter("Refused a stream under the node id of a plain peer").size(),
                 pinned ? 0 : 1);
        QCOMPARE(alice.plain.size(), 0);
        if (!pinned) {
            // The plain peer still gets through from where it is.
            Parameters message = plainFrom(kPlain, heardAt.isEmpty() ? rowAt : heardAt);
            QVERIFY(alice.security->admit(message));
        }
    }

    // A third computer makes a certificate for one fresh node id after another: the keys of those that never became
    // peers are kept only up to a bound (a peer's, with its row, is kept whatever comes), and forgetting is logged
    // once per window.
    void pinsOfNonPeersAreBounded()
    {
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        QVERIFY(alice.security->listen(QHostAddress("127.0.0.1"), port));
        Vesk::PeerStreams mallory(Vesk::IdentityKey::generate(), kBob, kAccept);
        QStringList ids{kBob};
        for (int i = 0; i < PeerSecurity::kMaxUnsavedPins + 2; ++i)
            ids.append(QStringLiteral("{fresh-%1}").arg(i));
        alice.fixture.addPeer(kBob, "on", "127.0.0.1"); // a real peer
        TestSupport::MessageCatcher catcher;
        for (const QString& id : std::as_const(ids)) {
            mallory.setNodeId(id);
            mallory.dial(QHostAddress("127.0.0.1"), port, alice.fixture.profile.id);
            QTRY_VERIFY(alice.security->hasStream(id));
            mallory.drop(alice.fixture.profile.id);
            QTRY_VERIFY(!alice.security->hasStream(id));
        }
        const auto pinned = [&alice](const QString& id) {
            return alice.security->securityState(id) != Vesk::SecurityState::Plain;
        };
        QVERIFY(pinned(kBob));
        QVERIFY(!pinned(ids.at(1)) && !pinned(ids.at(2)));
        QCOMPARE(std::count_if(ids.cbegin() + 1, ids.cend(), pinned), PeerSecurity::kMaxUnsavedPins);
        QVERIFY(pinned(ids.last()));
        QCOMPARE(catcher.criticals().filter("Forgot the key of").size(), 1);
    }

    // A node that completed a stream with us is never sent anything in plain, wherever it is looked for and
    // whatever its port does now (someone on the way may block it to read what is sent).
    void capableNodeNeverFallsBackToPlain_data()
    {
        QTest::addColumn<bool>("plainFirst");   // its port answered nothing before it completed a stream
        QTest::addColumn<QString>("lookedFor"); // where the message is sent once it is gone
        QTest::newRow("at its stored address") << false << "127.0.0.2";
        // Not on the loopback, where an address is this computer's unless a message says otherwise.
        QTest::newRow("where the database puts it") << false << "10.66.0.4";
        QTest::newRow("marked plain before its stream") << true << "10.66.0.4";
    }
    void capableNodeNeverFallsBackToPlain()
    {
        QFETCH(bool, plainFirst);
        QFETCH(QString, lookedFor);
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        QVERIFY(alice.security->listen(QHostAddress("127.0.0.1"), port));
        alice.security->setDialPort(port);
        alice.fixture.addPeer(kBob, "off", "127.0.0.2");
        QSignalSpy failed(&alice.security->streams(), &Vesk::PeerStreams::dialFailed);
        QVERIFY(alice.security->announced(kBob, "127.0.0.2"));
        if (plainFirst) {
            QCOMPARE(alice.send("127.0.0.2", alice.fixture.profile.addMeRequest("off")), QByteArray());
            QTRY_COMPARE(alice.plain.size(), 1);
            alice.plain.clear();
        }
        auto bob = std::make_unique<Vesk::PeerStreams>(Vesk::IdentityKey::generate(), kBob, kAccept);
        QVERIFY(bob->listen(QHostAddress("127.0.0.2"), port));
        if (plainFirst) {
            // Upgraded, it dials us; on the loopback its stream comes from 127.0.0.1, where it is announced first.
            TestSupport::exec("update vesk_peers set ipAddress = ? where id = ?", {"127.0.0.1", kBob});
            bob->dial(QHostAddress("127.0.0.1"), port, alice.fixture.profile.id);
        } else
            QCOMPARE(alice.send("127.0.0.2", alice.fixture.profile.addMeRequest("off")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kBob));
        bob.reset(); // gone, and its port answers nothing
        QTRY_VERIFY(!alice.security->hasStream(kBob));
        TestSupport::exec("update vesk_peers set ipAddress = ? where id = ?", {lookedFor, kBob});
        failed.clear();
        QCOMPARE(alice.send(lookedFor, alice.chat("for Bob only")), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), 15000);
        QTest::qWait(50);
        QCOMPARE(alice.plain.size(), 0);
        QCOMPARE(alice.send(lookedFor, alice.chat("for Bob only")), QByteArray());
        QCOMPARE(alice.plain.size(), 0);
    }

    // A node not known either way is sent plain only when its stream port shows a plain program (nothing listens,
    // or no TLS answers); a Vesk computer with no room for us is dialled again until its stream comes up.
    void busyPeerIsNoPlainPeer_data()
    {
        QTest::addColumn<QString>("there");
        QTest::addColumn<bool>("plain");
        QTest::newRow("nothing listens") << "" << true;
        QTest::newRow("no TLS answers") << "garbage" << true;
        QTest::newRow("a Vesk computer with no room") << "busy" << false;
    }
    void busyPeerIsNoPlainPeer()
    {
        QFETCH(QString, there);
        QFETCH(bool, plain);
        const quint16 port = freePort();
        Node alice(TestSupport::FixedProfile().id);
        alice.security->setDialPort(port);
        alice.fixture.addPeer(kPlain, "on", "127.0.0.2");
        Vesk::PeerStreams::Limits full;
        full.maxHandshakes = 0;
        auto bob = std::make_unique<Vesk::PeerStreams>(Vesk::IdentityKey::generate(), kPlain, kAccept, full);
        QTcpServer garbage;
        connect(&garbage, &QTcpServer::newConnection, &garbage,
                [&garbage] { garbage.nextPendingConnection()->write("HTTP/1.0 400 Bad Request\r\n\r\n"); });
        QVERIFY(there != "busy" || bob->listen(QHostAddress("127.0.0.2"), port));
        QVERIFY(there != "garbage" || garbage.listen(QHostAddress("127.0.0.2"), port));
        QSignalSpy failed(&alice.security->streams(), &Vesk::PeerStreams::dialFailed);
        QVERIFY(alice.security->announced(kPlain, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.fixture.profile.addMeRequest("on")), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), 15000);
        QTest::qWait(50);
        QCOMPARE(alice.plain.size(), plain ? 1 : 0);
        if (plain)
            return;
        bob = std::make_unique<Vesk::PeerStreams>(Vesk::IdentityKey::generate(), kPlain, kAccept);
        QVERIFY(bob->listen(QHostAddress("127.0.0.2"), port));
        QTRY_VERIFY_WITH_TIMEOUT(alice.security->hasStream(kPlain), 5000); // nothing sent meanwhile
        QCOMPARE(alice.plain.size(), 0);
    }

    // A plain program is learnt once, by its node id: it is sent plain at once from then on, however late and
    // wherever it moves, until another node answers where it was learnt (then it is dialled again).
    void plainMarkBelongsToTheNode_data()
    {
        QTest::addColumn<QString>("other");   // a node heard in plain where it was learnt, afterwards
        QTest::addColumn<QString>("movedTo"); // where the plain node is heard afterwards
        QTest::addColumn<QString>("to");      // where the next message goes
        QTest::addColumn<qint64>("laterMs");
        QTest::addColumn<bool>("plainAtOnce");
        QTest::newRow("an hour later") << QString() << QString() << "127.0.0.2" << qint64(3600 * 1000) << true;
        QTest::newRow("moved") << QString() << "127.0.0.6"
                               << "127.0.0.6" << qint64(0) << true;
        QTest::newRow("another node answers there") << kBob << QString() << "127.0.0.2" << qint64(0) << false;
        QTest::newRow("moved, another node answers where it was") << kBob << "127.0.0.6"
                                                                  << "127.0.0.6" << qint64(0) << false;
    }
    void plainMarkBelongsToTheNode()
    {
        QFETCH(QString, other);
        QFETCH(QString, movedTo);
        QFETCH(QString, to);
        QFETCH(qint64, laterMs);
        QFETCH(bool, plainAtOnce);
        Node alice(TestSupport::FixedProfile().id);
        alice.security->setDialPort(freePort()); // nothing answers TLS there
        alice.fixture.addPeer(kPlain, "on", "127.0.0.2");
        QVERIFY(alice.security->announced(kPlain, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.fixture.profile.addMeRequest("on")), QByteArray());
        QTRY_COMPARE(alice.plain.size(), 1);
        alice.fixture.clock.advance(laterMs);
        const auto hear = [&alice](const QString& nodeId, const QString& at) {
            Parameters message = plainFrom(nodeId, at);
            QVERIFY(alice.security->admit(message));
            TestSupport::exec("update vesk_peers set ipAddress = ? where id = ?", {at, nodeId});
        };
        if (!other.isEmpty())
            hear(other, "127.0.0.2");
        if (!movedTo.isEmpty())
            hear(kPlain, movedTo);
        const Parameters chat = alice.chat("hello");
        QCOMPARE(alice.send(to, chat), plainAtOnce ? Vesk::parametersToFrame(chat) : QByteArray());
        QTRY_COMPARE(alice.plain.size(), 2); // dialled, and no TLS answered there either
        QCOMPARE(alice.plain.last().second, Vesk::parametersToFrame(chat));
    }

    // Where a node is, for an address only the database tells, is asked of it once, not at every message; a node
    // heard at another address is looked for again.
    void databaseAddressIsAskedOnce()
    {
        // Not on the loopback, where an address is this computer's unless a message says otherwise.
        const QString stored = QStringLiteral("10.66.0.2"), moved = QStringLiteral("10.66.0.6");
        Node alice(TestSupport::FixedProfile().id);
        alice.security->setDialPort(freePort());
        alice.fixture.addPeer(kPlain, "on", stored);
        StatementCounter lookups(alice.fixture.store->database(), "where ipAddress = ");
        QVERIFY(lookups.isValid());
        for (int i = 0; i < 10; ++i) {
            alice.security->frame(QHostAddress(stored), QString(), alice.chat("hello"));
            alice.security->frame(QHostAddress("10.66.0.9"), QString(), alice.chat("hello")); // nobody's
        }
        QCOMPARE(lookups.count, 2);
        // Heard at another address: its old one is asked again; the new one is known without asking.
        Parameters message = plainFrom(kPlain, moved);
        QVERIFY(alice.security->admit(message));
        TestSupport::exec("update vesk_peers set ipAddress = ? where id = ?", {moved, kPlain});
        alice.security->frame(QHostAddress(stored), QString(), alice.chat("hello"));
        alice.security->frame(QHostAddress(moved), QString(), alice.chat("hello"));
        QCOMPARE(lookups.count, 3);
    }
};

QTEST_MAIN(TestPeerSecurity)
#include "tst_peersecurity.moc"
