#include "net/envelope.h"
#include "net/wire.h"
#include "peers/peersecurity.h"
#include "secure/session.h"
#include "store/vesksqlquerymodel.h"

#include "handshake.h"
#include "subsystemfixture.h"
#include "testsupport.h"

#include <functional>
#include <memory>

using Vesk::Parameters;

namespace {

const QString kAlice = QStringLiteral("{alice}");
const QString kAliceAt = QStringLiteral("10.0.0.1");

// A Vesk peer written out by hand: its own identity and session, and the frames it would put on the wire.
struct Peer
{
    explicit Peer(qint64 startedAt, const QString& id = kAlice)
        : id(id), session(Vesk::IdentityKey::generate(), startedAt), sessions(session)
    {
    }
    Parameters handshake() const { return TestSupport::handshakeOf(session, id); }
    // A message as our receiving socket hands it on.
    static Parameters received(const QByteArray& frame, const QString& from = kAliceAt)
    {
        Parameters message = Vesk::byteArrayToParameters(frame.mid(Vesk::kFrameHeaderSize));
        message.insert("senderIPAddress", from);
        return message;
    }
    QByteArray sealed(const Parameters& parameters, const Vesk::SessionOffer& to)
    {
        return Vesk::sealedFrame(parameters, *sessions.channel(to.nodeId), id, session.keyId(),
                                 Vesk::sessionKeyId(to.sessionKey));
    }
    // What this peer reads in a frame sealed to it by `from`; {"refused": true} when it does not open.
    Parameters open(const QByteArray& frame, const QString& from)
    {
        Vesk::SealedEnvelope envelope;
        Parameters opened;
        if (Vesk::readEnvelope(frame.mid(4), &envelope) != Vesk::EnvelopeKind::Sealed ||
            !Vesk::openEnvelope(frame.mid(4), envelope, *sessions.channel(from), &opened))
            return {{"refused", true}};
        return opened;
    }
    QString id;
    Vesk::LocalSession session;
    Vesk::PeerSessions sessions;
};

// The session offer carried by a handshake the program sent.
Vesk::SessionOffer offerIn(const Parameters& sent)
{
    return {TestSupport::FixedProfile().id,         sent.value("identityKey").toByteArray(),
            sent.value("sessionKey").toByteArray(), sent.value("capabilities").toUInt(),
            sent.value("sessionTime").toLongLong(), sent.value("sessionSignature").toByteArray()};
}

struct Rig
{
    Rig()
    {
        f.addPeer(kAlice, "on", kAliceAt);
        restart();
    }
    void restart()
    {
        security = std::make_unique<Vesk::PeerSecurity>(*f.store, f.sink, probe, f.clock, f.profile,
                                                        f.dataFolder() + "identity.key");
    }
    // Bob (the program) and Alice (by hand) exchange handshakes, as on first contact.
    void meet()
    {
        Parameters hello = Peer::received(Vesk::parametersToFrame(alice.handshake()));
        QVERIFY(security->admit(hello));
        const Parameters answer{{"action", "addMeRequestConfirmed"}, {"nodeFrom", f.profile.id}};
        Parameters sent = Peer::received(security->frame(QHostAddress(kAliceAt), answer));
        QCOMPARE(sent.value("sealedTo").toByteArray(), alice.session.keyId()); // it tells Alice it has her key
        bob = offerIn(sent);
        QCOMPARE(alice.sessions.accept(bob), Vesk::PeerSessions::Outcome::Agreed);
        QCOMPARE(probe.asked, QList<QHostAddress>{}); // her handshake told us she reads our fields
    }
    TestSupport::SubsystemFixture f;
    TestSupport::ScriptedCapabilityProbe probe;
    std::unique_ptr<Vesk::PeerSecurity> security;
    Peer alice{1000};
    Vesk::SessionOffer bob;
};

const Parameters kChat{{"action", "newChatMessage"},
                       {"message", "the key is under the mat"},
                       {"chatId", "{c}"},
                       {"nodeFrom", kAlice},
                       {"timeSent", qint64(5)}};

// The packet of a file of a megabyte a packet, as Alice (or `from`) sends it.
Parameters packetAt(int index, const QString& from = kAlice)
{
    return {{"action", "receiveDataPacket"},
            {"nodeFrom", from},
            {"fileId", "{f}"},
            {"fileSeek", qint64(index) * 1000000},
            {"binaryData", TestSupport::pattern(1000000, index + 1)}};
}

} // namespace

class TestPeerSecurity : public QObject
{
    Q_OBJECT

private slots:
    void admit_data()
    {
        using Arrival = std::function<Parameters(Rig & rig)>;
        QTest::addColumn<Arrival>("arrival"); // what reaches the program after the first handshake
        QTest::addColumn<bool>("admitted");
        QTest::addColumn<Vesk::SecurityState::State>("state"); // of Alice, afterwards
        QTest::newRow("sealed chat") << Arrival([](Rig& r) { return Peer::received(r.alice.sealed(kChat, r.bob)); })
                                     << true << Vesk::SecurityState::Sealed;
        QTest::newRow("the same sealed chat again") << Arrival([](Rig& r) {
            const QByteArray frame = r.alice.sealed(kChat, r.bob);
            Parameters first = Peer::received(frame);
            r.security->admit(first);
            return Peer::received(frame);
        }) << false << Vesk::SecurityState::Sealed;
        QTest::newRow("plain chat under her node id")
            << Arrival([](Rig&) { return Peer::received(Vesk::parametersToFrame(kChat), "10.0.0.66"); }) << false
            << Vesk::SecurityState::Sealed;
        QTest::newRow("plain handshake under her node id") << Arrival([](Rig&) {
            return Peer::received(
                Vesk::parametersToFrame({{"action", "addMeRequest"}, {"nodeFrom", kAlice}, {"alias", "Eve"}}),
                "10.0.0.66");
        }) << false << Vesk::SecurityState::Sealed;
        QTest::newRow("plain confirmation from her address") << Arrival([](Rig&) {
            return Peer::received(Vesk::parametersToFrame({{"action", "confirmChat"}, {"chatId", "{c}"}}));
        }) << false << Vesk::SecurityState::Sealed;
        QTest::newRow("sealed under a stranger's key") << Arrival([](Rig& r) {
            Peer mallory(2000);
            mallory.sessions.accept(r.bob);
            return Peer::received(mallory.sealed(kChat, r.bob), "10.0.0.66");
        }) << false << Vesk::SecurityState::Sealed;
        QTest::newRow("handshake with another identity key") << Arrival([](Rig&) {
            return Peer::received(Vesk::parametersToFrame(Peer(3000).handshake()), "10.0.0.66");
        }) << false << Vesk::SecurityState::KeyChanged;
        QTest::newRow("her later run") << Arrival([](Rig& r) {
            const Vesk::LocalSession later(r.alice.session.identity(), 4000);
            return Peer::received(Vesk::parametersToFrame(TestSupport::handshakeOf(later, kAlice)), "10.0.0.9");
        }) << true << Vesk::SecurityState::Sealed;
        QTest::newRow("a plain peer's chat") << Arrival([](Rig&) {
            Parameters chat = kChat;
            chat.insert("nodeFrom", "{carol}");
            return Peer::received(Vesk::parametersToFrame(chat), "10.0.0.3");
        }) << true << Vesk::SecurityState::Sealed;
    }
    // A peer that once spoke sealed is taken only sealed, under the keys its pinned identity agreed.
    void admit()
    {
        QFETCH(std::function<Parameters(Rig&)>, arrival);
        Rig rig;
        rig.meet();
        QCOMPARE(rig.security->securityState(kAlice), Vesk::SecurityState::Sealed);
        // The peer list's row says what the program knows, once the change is announced.
        const auto listed = [&rig] {
            const QModelIndexList rows = rig.f.store->nodeData->match(rig.f.store->nodeData->index(0, 0),
                                                                      Qt::DisplayRole, kAlice, 1, Qt::MatchExactly);
            const int role = rig.f.store->nodeData->roleNames().key("security", -1);
            return rows.isEmpty() ? QVariant() : rows.first().data(role);
        };
        // No wait for the first pin to be written: a changed key arriving before that must still be kept.
        TestSupport::MessageCatcher catcher;
        Parameters message = arrival(rig);
        QTEST(rig.security->admit(message), "admitted");
        QTEST(rig.security->securityState(kAlice), "state");
        QFETCH(Vesk::SecurityState::State, state);
        QTRY_COMPARE(listed(), QVariant::fromValue(state));
        QFETCH(bool, admitted);
        QCOMPARE(catcher.criticals().size(), admitted ? 0 : 1);
        if (admitted && message.contains("message"))
            QCOMPARE(message.value("message"), kChat.value("message"));
    }

    void frames_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<Parameters>("message");
        QTest::addColumn<QString>("probe");    // "": not asked; "capable" or "plain": asked, and answers that;
                                               // "told": asked, and a plain handshake from there answers first
        QTest::addColumn<QString>("expected"); // "plain": the plain bytes; "offer": plain with our keys;
                                               // "sealed": opens for Alice; "held": not sent
        const Parameters hello{
            {"action", "addMeRequest"}, {"nodeFrom", TestSupport::FixedProfile().id}, {"alias", "Bob"}};
        const Parameters chat{{"action", "newChatMessage"}, {"message", "the key is under the mat"}};
        const auto add = [](const char* tag, const QString& to, const Parameters& message, const char* probe,
                            const char* expected) {
            QTest::newRow(tag) << to << message << QString(probe) << QString(expected);
        };
        add("handshake to someone new who reads our fields", "10.0.0.5", hello, "capable", "offer");
        add("handshake to someone new who does not", "10.0.0.5", hello, "plain", "plain");
        add("handshake to someone new whose own comes first", "10.0.0.5", hello, "told", "plain");
        add("chat to someone new", "10.0.0.5", chat, "", "plain");
        add("handshake to a plain peer", "10.0.0.3", hello, "", "plain");
        add("chat to a plain peer", "10.0.0.3", chat, "", "plain");
        add("chat to Alice", kAliceAt, chat, "", "sealed");
        const Parameters bigOffer{{"action", "newFileToDownload"}, {"fileId", "f"}, {"fileSize", qint64(5) << 30}};
        add("offer past 4 GiB to a plain peer", "10.0.0.3", bigOffer, "", "refused");
        add("offer past 4 GiB to Alice", kAliceAt, bigOffer, "", "sealed");
        const Parameters folder{
            {"action", "newFolderToDownload"}, {"fileId", "d"}, {"folderListing", QByteArray("listing")}};
        add("folder to a plain peer", "10.0.0.3", folder, "", "refused");
        add("folder to Alice", kAliceAt, folder, "", "sealed");
        add("handshake to Alice once she sealed to us", kAliceAt, hello, "", "sealed");
        add("chat to Alice after our restart", kAliceAt, chat, "", "held");
        add("handshake to Alice after our restart", kAliceAt, hello, "", "offer");
    }
    // Each peer gets what it can read: a plain peer exactly the plain bytes, a sealed peer nothing readable. A
    // handshake to an address not known to read our fields waits for the capability probe, and only its latest
    // version goes once the answer is there.
    void frames()
    {
        QFETCH(QString, to);
        QFETCH(Parameters, message);
        QFETCH(QString, probe);
        QFETCH(QString, expected);
        Rig rig;
        rig.meet();
        Parameters plainHello{
            {"action", "addMeRequest"}, {"nodeFrom", "{carol}"}, {"alias", "Carol"}, {"senderIPAddress", "10.0.0.3"}};
        QVERIFY(rig.security->admit(plainHello));
        Parameters sealedHello = Peer::received(rig.alice.sealed(rig.alice.handshake(), rig.bob));
        QVERIFY(rig.security->admit(sealedHello));
        QCoreApplication::processEvents(); // the pins are written once the handshake's own handler has run
        if (QByteArray(QTest::currentDataTag()).endsWith("after our restart"))
            rig.restart();
        rig.f.sink.clear();

        if (!probe.isEmpty()) {
            Parameters earlier = message;
            earlier.insert("alias", "Bob's old name");
            QVERIFY(rig.security->frame(QHostAddress(to), earlier).isNull());
            QVERIFY(rig.security->frame(QHostAddress(to), message).isNull());
            QCOMPARE(rig.f.sink.sent.size(), 0);
            if (probe == "told") {
                Parameters theirs{{"action", "addMeRequest"}, {"nodeFrom", "{dave}"}, {"senderIPAddress", to}};
                QVERIFY(rig.security->admit(theirs));
                TestSupport::runQueuedCalls();
            } else {
                QVERIFY(rig.probe.answer(QHostAddress(to), probe == "capable"));
            }
            QCOMPARE(rig.f.sink.sent.size(), 1); // the latest only, sent through frame() again
            QCOMPARE(rig.f.sink.sent.first().parameters, message);
        }
        const QByteArray frame = rig.security->frame(QHostAddress(to), message);
        QCOMPARE(rig.probe.asked, probe.isEmpty() ? QList<QHostAddress>{} : QList<QHostAddress>{QHostAddress(to)});
        QCOMPARE(frame.isNull(), expected == "refused" || expected == "held");
        const Parameters read = Peer::received(frame, to);
        if (expected == "plain") {
            QCOMPARE(frame, Vesk::parametersToFrame(message));
        } else if (expected == "offer") {
            QCOMPARE(Peer(9000, "{dave}").sessions.accept(offerIn(read)), Vesk::PeerSessions::Outcome::Agreed);
            QCOMPARE(read.value("alias"), message.value("alias"));
        } else if (expected == "sealed") {
            QVERIFY(!frame.contains("mat") && !frame.contains("Bob"));
            QCOMPARE(rig.alice.open(frame, rig.bob.nodeId), message);
        } else { // nothing else goes instead of a refused one; a held one asks Alice for new keys
            QCoreApplication::processEvents();
            QTRY_COMPARE(rig.f.sink.actions(), expected == "held" ? QStringList{"addMeRequest"} : QStringList{});
        }
    }

    void packetsOffThread_data()
    {
        using Twin = std::function<QByteArray(Rig & rig, const QByteArray& frame)>; // a second arrival with one packet
        QTest::addColumn<Twin>("twin");
        QTest::addColumn<bool>("twinTaken");
        QTest::newRow("a copy, at once") << Twin([](Rig&, const QByteArray& frame) { return frame; }) << false;
        QTest::newRow("one bit changed") << Twin([](Rig&, QByteArray frame) {
            frame[frame.size() / 2] = char(frame.at(frame.size() / 2) ^ 0x04);
            return frame;
        }) << false;
        QTest::newRow("the same bytes sealed again")
            << Twin([](Rig& rig, const QByteArray&) { return rig.alice.sealed(packetAt(0), rig.bob); }) << true;
    }
    // File packets are sealed and opened on the cipher thread, more at once than it takes (the rest in the call):
    // every packet each way opens once on the other side, and a copy or an altered one that arrives beside it while
    // it is still being opened is refused.
    void packetsOffThread()
    {
        QFETCH(std::function<QByteArray(Rig&, const QByteArray&)>, twin);
        QFETCH(bool, twinTaken);
        Rig rig;
        rig.meet();
        QList<QByteArray> sent;
        QList<Parameters> admitted;
        rig.security->cipherOffThread([&sent](const QHostAddress&, QByteArray frame) { sent.append(frame); },
                                      [&admitted](Parameters message) { admitted.append(message); });
        constexpr int kPackets = Vesk::PeerSecurity::kMaxOffThread + 4;
        int deferred = 0;
        const auto arrive = [&](const QByteArray& frame) {
            Parameters message = Peer::received(frame);
            if (rig.security->admit(message))
                admitted.append(message);
            else
                ++deferred;
        };
        for (int i = 0; i < kPackets; ++i) {
            const QByteArray frame = rig.alice.sealed(packetAt(i), rig.bob);
            arrive(frame);
            if (i == 0)
                arrive(twin(rig, frame));
        }
        QVERIFY(deferred >= Vesk::PeerSecurity::kMaxOffThread);
        const int taken = kPackets + (twinTaken ? 1 : 0);
        QTRY_COMPARE(admitted.size(), taken);
        arrive(rig.alice.sealed(packetAt(kPackets), rig.bob)); // opened after all before it: nothing else comes
        QTRY_COMPARE(admitted.size(), taken + 1);
        for (Parameters message : admitted) {
            QCOMPARE(message.take("senderIPAddress").toString(), kAliceAt);
            QCOMPARE(message, packetAt(message.value("fileSeek").toInt() / 1000000));
        }

        // And the other way, with a chat between the packets sealed in the call.
        Parameters chat = kChat;
        chat.insert("nodeFrom", rig.f.profile.id);
        for (int i = 0; i < kPackets; ++i) {
            const QByteArray frame = rig.security->frame(QHostAddress(kAliceAt), packetAt(i, rig.f.profile.id));
            if (!frame.isNull())
                sent.append(frame);
            sent.append(rig.security->frame(QHostAddress(kAliceAt), chat));
        }
        QTRY_COMPARE(sent.size(), 2 * kPackets);
        int packets = 0;
        for (const QByteArray& frame : sent) {
            const Parameters opened = rig.alice.open(frame, rig.bob.nodeId);
            packets += opened.contains("binaryData");
            QVERIFY(opened == chat || opened.contains("binaryData"));
        }
        QCOMPARE(packets, kPackets);
    }

    // The code to compare is the one Alice's screen shows. A changed key is shown and refused until the user
    // accepts it; then the new identity is the pinned one, no longer verified.
    void userDecisions()
    {
        Rig rig;
        rig.meet();
        QCOMPARE(rig.security->comparisonCode(kAlice),
                 Vesk::comparisonCode(rig.alice.session.identity().publicKey(), rig.security->identityKey()));
        QCOMPARE(rig.security->comparisonCode("{carol}"), QString());
        QVERIFY(rig.security->markVerified(kAlice));
        QCOMPARE(rig.security->securityState(kAlice), Vesk::SecurityState::Verified);
        Peer reinstalled(5000);
        Parameters hello = Peer::received(Vesk::parametersToFrame(reinstalled.handshake()));
        QVERIFY(!rig.security->admit(hello));
        QCOMPARE(TestSupport::peerField(kAlice, "pendingKey"),
                 QString(reinstalled.session.identity().publicKey().toHex()));
        QVERIFY(rig.security->acceptChangedKey(kAlice));
        hello = Peer::received(Vesk::parametersToFrame(reinstalled.handshake()));
        QVERIFY(rig.security->admit(hello));
        QCOMPARE(rig.security->securityState(kAlice), Vesk::SecurityState::Sealed);
        QTRY_COMPARE(TestSupport::peerField(kAlice, "identityKey"),
                     QString(reinstalled.session.identity().publicKey().toHex()));
    }
};

QTEST_GUILESS_MAIN(TestPeerSecurity)
#include "tst_peersecurity.moc"
