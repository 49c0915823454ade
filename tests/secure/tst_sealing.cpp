#include "common/bufferpool.h"
#include "net/envelope.h"
#include "secure/identitykey.h"
#include "secure/session.h"

#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using Vesk::Parameters;
using Vesk::PeerSessions;

namespace {

const Parameters kRefused{{"refused", true}};

// One installation in a test: an identity, this run's session, and the sessions it agreed with others.
struct Node
{
    Node(const QString& id, qint64 startedAt, quint32 capabilities = Vesk::LocalSession::localCapabilities())
        : id(id), session(Vesk::IdentityKey::generate(), startedAt, capabilities), peers(session)
    {
    }
    Vesk::SessionOffer offer() const { return session.offer(id); }
    // Both sides take the other's offer, as after a handshake.
    void meet(Node& other)
    {
        QCOMPARE(peers.accept(other.offer()), PeerSessions::Outcome::Agreed);
        QCOMPARE(other.peers.accept(offer()), PeerSessions::Outcome::Agreed);
    }
    // The record of a sealed frame to `to`, as its receiver reads it.
    QByteArray sealFor(const Node& to, const Parameters& parameters)
    {
        const QByteArray frame =
            Vesk::sealedFrame(parameters, *peers.channel(to.id), id, session.keyId(), to.session.keyId());
        return frame.mid(Vesk::kFrameHeaderSize);
    }
    // What the receiver makes of a record from `from`: the hash when it opens, else kRefused.
    Parameters open(const QString& from, QByteArray record)
    {
        Vesk::SealedEnvelope envelope;
        if (Vesk::readEnvelope(record, &envelope) != Vesk::EnvelopeKind::Sealed || envelope.nodeFrom != from ||
            envelope.recipientKeyId != session.keyId())
            return kRefused;
        Vesk::SealedChannel* channel = peers.channel(envelope.nodeFrom, envelope.senderKeyId);
        Parameters parameters;
        // File packets are opened into pooled buffers, as the program does; smaller records in place.
        if (!channel || !Vesk::openEnvelope(std::move(record), envelope, *channel, &parameters, &frames))
            return kRefused;
        return parameters;
    }

    QString id;
    Vesk::LocalSession session;
    PeerSessions peers;
    Vesk::BufferPool frames;
};

const Parameters kChat{{"action", "newChatMessage"},
                       {"message", "meet at the lake at noon"},
                       {"chatId", "{c1}"},
                       {"nodeFrom", "{alice}"},
                       {"timeSent", qint64(1700000000000)}};
const Parameters kConfirm{{"action", "confirmChat"}, {"chatId", "{c1}"}};

// 32 bytes counting up from `first`: fixed keys for the known-answer rows.
QByteArray counting(int first)
{
    QByteArray bytes(32, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(first + i);
    return bytes;
}

// An identity from a fixed seed, through the key file as the program stores it.
Vesk::IdentityKey identityFromSeed(const QTemporaryDir& folder, int first, const QByteArray& publicKeyHex)
{
    const QString path = folder.filePath(QString("identity%1.key").arg(first));
    if (!TestSupport::writeFile(path, "vesk-identity-1\n" + counting(first) + QByteArray::fromHex(publicKeyHex)))
        return {};
    Vesk::IdentityKey::Origin origin;
    Vesk::IdentityKey key = Vesk::IdentityKey::loadOrCreate(path, &origin);
    return origin == Vesk::IdentityKey::Origin::Loaded ? key : Vesk::IdentityKey();
}

} // namespace

class TestSealing : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<quint32>("capabilities");
        QTest::addColumn<Parameters>("message");
        const quint32 all = Vesk::LocalSession::localCapabilities();
        const Parameters packet{{"action", "receiveDataPacket"},
                                {"fileId", "f"},
                                {"fileSeek", 2000000},
                                {"binaryData", TestSupport::pattern(1000000)}};
        QTest::newRow("chat, fastest cipher") << all << kChat;
        QTest::newRow("chat, software cipher") << quint32(Vesk::CapabilitySealing) << kChat;
        QTest::newRow("file packet") << all << packet;
        QTest::newRow("file packet, software cipher") << quint32(Vesk::CapabilitySealing) << packet;
        QTest::newRow("nothing but a confirmation") << all << kConfirm;
        QTest::newRow("empty record") << all << Parameters{};
    }
    // What one side seals the other opens, and only the key lookup stays readable: no text, no file bytes. Whichever
    // byte of a record changes, readable fields included, it is refused, and the refusals do not use up its counter.
    void roundTrip()
    {
        QFETCH(quint32, capabilities);
        QFETCH(Parameters, message);
        Node alice("{alice}", 1000, capabilities), bob("{bob}", 2000);
        alice.meet(bob);
        for (int round = 0; round < 3; ++round) {
            const QByteArray record = alice.sealFor(bob, message);
            QVERIFY(!record.contains("at the lake")); // four bytes alone turn up by chance in a sealed megabyte
            if (message.contains("binaryData"))
                QVERIFY(!record.contains(message.value("binaryData").toByteArray().mid(5000, 48)));
            for (qsizetype at = 0; round == 0 && record.size() < 1000 && at < record.size(); ++at) {
                QByteArray altered = record;
                altered[at] = char(altered.at(at) ^ 0x01);
                QVERIFY2(bob.open(alice.id, altered) == kRefused, qPrintable(QString("byte %1").arg(at)));
            }
            QCOMPARE(bob.open(alice.id, record), message);
            Parameters answer = message; // and the other way
            if (answer.contains("nodeFrom"))
                answer.insert("nodeFrom", bob.id);
            QCOMPARE(alice.open(bob.id, bob.sealFor(alice, answer)), answer);
        }
        // A packet is sealed from the sender's own copy, which stays as it was for a resend.
        if (message.contains("binaryData"))
            QCOMPARE(message.value("binaryData").toByteArray(), TestSupport::pattern(1000000));
        QCOMPARE(alice.peers.channel(bob.id)->cipher(), bob.peers.channel(alice.id)->cipher());
    }

    void refused_data()
    {
        using Tamper = std::function<QByteArray(Node & alice, Node & bob, const QByteArray& record)>;
        QTest::addColumn<Tamper>("tamper"); // gives what reaches Bob, who must refuse it
        QTest::newRow("cut short by one") << Tamper([](Node&, Node&, const QByteArray& r) { return r.chopped(1); });
        QTest::newRow("tag cut off") << Tamper([](Node&, Node&, const QByteArray& r) { return r.chopped(16); });
        QTest::newRow("half") << Tamper([](Node&, Node&, const QByteArray& r) { return r.left(r.size() / 2); });
        QTest::newRow("empty") << Tamper([](Node&, Node&, const QByteArray&) { return QByteArray(); });
        QTest::newRow("replayed") << Tamper([](Node&, Node& bob, const QByteArray& r) {
            bob.open("{alice}", r);
            return r;
        });
        QTest::newRow("older than the window") << Tamper([](Node& alice, Node& bob, const QByteArray& r) {
            for (quint64 i = 0; i < Vesk::ReplayWindow::kSize; ++i)
                bob.open(alice.id, alice.sealFor(bob, kChat));
            return r;
        });
        QTest::newRow("under a stranger's key") << Tamper([](Node& alice, Node& bob, const QByteArray&) {
            Node mallory(alice.id, 5000); // claims Alice's id with a key of its own
            mallory.peers.accept(bob.offer());
            return mallory.sealFor(bob, kChat);
        });
        QTest::newRow("a file packet with one bit changed") << Tamper([](Node& alice, Node& bob, const QByteArray&) {
            QByteArray r =
                alice.sealFor(bob, {{"action", "receiveDataPacket"}, {"binaryData", TestSupport::pattern(1000000)}});
            r[r.size() / 2] = char(r.at(r.size() / 2) ^ 0x80);
            return r;
        });
        QTest::newRow("names another sender inside") << Tamper([](Node& alice, Node& bob, const QByteArray&) {
            Parameters forged = kChat;
            forged.insert("nodeFrom", "{carol}");
            return alice.sealFor(bob, forged);
        });
    }
    void refused()
    {
        QFETCH(std::function<QByteArray(Node&, Node&, const QByteArray&)>, tamper);
        Node alice("{alice}", 1000), bob("{bob}", 2000);
        alice.meet(bob);
        const QByteArray record = alice.sealFor(bob, kChat);
        QCOMPARE(bob.open(alice.id, tamper(alice, bob, record)), kRefused);
        // A refusal costs nothing that comes after it.
        QCOMPARE(bob.open(alice.id, alice.sealFor(bob, kChat)), kChat);
    }

    void detached_data()
    {
        QTest::addColumn<quint32>("capabilities");
        QTest::newRow("fastest cipher") << Vesk::LocalSession::localCapabilities();
        QTest::newRow("software cipher") << quint32(Vesk::CapabilitySealing);
    }
    // File packets sealed on another thread, each under a counter its channel gave out in order, open on the other
    // side on another thread too, in any order and even after the sending channel is gone; each counts once, and a
    // second copy opened beside the first is refused when its counter is taken.
    void detached()
    {
        QFETCH(quint32, capabilities);
        Node alice("{alice}", 1000, capabilities), bob("{bob}", 2000);
        alice.meet(bob);
        constexpr int kCount = 6;
        std::vector<std::unique_ptr<Vesk::DetachedCipher>> sealers;
        for (int i = 0; i < kCount; ++i)
            sealers.push_back(alice.peers.channel(bob.id)->sealElsewhere());
        const Vesk::LocalSession later(bob.session.identity(), 3000); // Alice's channel to Bob is replaced
        QCOMPARE(alice.peers.accept(later.offer(bob.id)), PeerSessions::Outcome::Agreed);
        const auto packet = [](int i) {
            return Parameters{{"action", "receiveDataPacket"},
                              {"fileSeek", i * 1000000},
                              {"binaryData", TestSupport::pattern(1000000, i + 1)}};
        };
        QList<QByteArray> records(kCount);
        std::thread([&] {
            for (int i = 0; i < kCount; ++i)
                records[i] = Vesk::sealedFrame(packet(i), *sealers[i], alice.id, alice.session.keyId(),
                                               bob.session.keyId(), &alice.frames)
                                 .mid(Vesk::kFrameHeaderSize);
        }).join();

        records.append(records.at(2)); // a copy, arriving while the first is being opened
        std::vector<Vesk::SealedEnvelope> envelopes(records.size());
        std::vector<std::unique_ptr<Vesk::DetachedCipher>> openers;
        Vesk::SealedChannel* channel = bob.peers.channel(alice.id);
        for (int i = int(records.size()) - 1; i >= 0; --i) {
            QCOMPARE(Vesk::readEnvelope(records.at(i), &envelopes[i]), Vesk::EnvelopeKind::Sealed);
            openers.insert(openers.begin(), channel->openElsewhere(envelopes[i].counter));
            QVERIFY(openers.front());
        }
        QList<Parameters> opened(records.size());
        QList<bool> authentic(records.size());
        std::thread([&] {
            for (int i = int(records.size()) - 1; i >= 0; --i)
                authentic[i] =
                    Vesk::openEnvelope(QByteArray(records.at(i)), envelopes[i], *openers[i], &opened[i], &bob.frames);
        }).join();
        for (int i = 0; i < records.size(); ++i) {
            QVERIFY(authentic.at(i));
            QCOMPARE(channel->markOpened(envelopes[i].counter), i < kCount);
            QCOMPARE(opened.at(i), packet(i < kCount ? i : 2));
        }
        QVERIFY(!channel->openElsewhere(envelopes[0].counter));
        QCOMPARE(bob.open(alice.id, records.at(4)), kRefused);
    }

    void handshake_data()
    {
        using Offer = std::function<Vesk::SessionOffer(const Node& alice, const Node& bob)>;
        QTest::addColumn<Offer>("offer"); // what reaches Bob after he agreed keys with Alice's run of time 1000
        QTest::addColumn<PeerSessions::Outcome>("outcome");
        const auto run = [](const Node& alice, qint64 time) {
            return Vesk::LocalSession(alice.session.identity(), time).offer(alice.id);
        };
        const auto altered = [](std::function<void(Vesk::SessionOffer&)> change) {
            return Offer([change](const Node& alice, const Node&) {
                Vesk::SessionOffer offer = alice.offer();
                change(offer);
                return offer;
            });
        };
        QTest::newRow("the same again") << Offer([](const Node& a, const Node&) { return a.offer(); })
                                        << PeerSessions::Outcome::Same;
        QTest::newRow("a later run") << Offer([run](const Node& a, const Node&) { return run(a, 1500); })
                                     << PeerSessions::Outcome::Agreed;
        QTest::newRow("an earlier run, recorded")
            << Offer([run](const Node& a, const Node&) { return run(a, 500); }) << PeerSessions::Outcome::Stale;
        QTest::newRow("as old, another key")
            << Offer([run](const Node& a, const Node&) { return run(a, 1000); }) << PeerSessions::Outcome::Stale;
        QTest::newRow("signed by another identity") << Offer([](const Node& a, const Node&) {
            Vesk::SessionOffer offer = Node(a.id, 1500).offer();
            offer.identityKey = a.session.identity().publicKey();
            return offer;
        }) << PeerSessions::Outcome::Forged;
        QTest::newRow("node id altered") << altered([](Vesk::SessionOffer& o) { o.nodeId = "{mallory}"; })
                                         << PeerSessions::Outcome::Forged;
        QTest::newRow("session key altered")
            << altered([](Vesk::SessionOffer& o) { o.sessionKey[3] = 'x'; }) << PeerSessions::Outcome::Forged;
        QTest::newRow("capabilities altered")
            << altered([](Vesk::SessionOffer& o) { o.capabilities ^= Vesk::CapabilityAesGcm; })
            << PeerSessions::Outcome::Forged;
        QTest::newRow("time altered") << altered([](Vesk::SessionOffer& o) { o.time += 1000; })
                                      << PeerSessions::Outcome::Forged;
        QTest::newRow("no signature") << altered([](Vesk::SessionOffer& o) { o.signature.clear(); })
                                      << PeerSessions::Outcome::Forged;
        QTest::newRow("a low-order session key, signed") << Offer([](const Node& a, const Node&) {
            Vesk::SessionOffer offer = a.offer();
            offer.sessionKey.fill('\0'); // every secret agreed with it is zero, whoever the other side is
            offer.time = 1500;
            offer.signature = a.session.identity().sign(offer.signedBytes());
            return offer;
        }) << PeerSessions::Outcome::Forged;
        QTest::newRow("Bob's own session reflected") << Offer([](const Node& a, const Node& bob) {
            Vesk::SessionOffer offer = bob.offer();
            offer.nodeId = a.id;
            offer.time = 9000; // newer than anything, still refused
            offer.signature = bob.session.identity().sign(offer.signedBytes());
            return offer;
        }) << PeerSessions::Outcome::Forged;
    }
    // Bob takes only a newer run of Alice, signed by the identity it names; anything else leaves the keys he
    // agreed with her as they were, counters and all.
    void handshake()
    {
        QFETCH(std::function<Vesk::SessionOffer(const Node&, const Node&)>, offer);
        QFETCH(PeerSessions::Outcome, outcome);
        Node alice("{alice}", 1000), bob("{bob}", 2000);
        alice.meet(bob);
        const QByteArray early = alice.sealFor(bob, kChat);
        QCOMPARE(bob.peers.accept(offer(alice, bob)), outcome);
        QCOMPARE(bob.open(alice.id, early) != kRefused, outcome != PeerSessions::Outcome::Agreed);
        if (outcome != PeerSessions::Outcome::Agreed)
            QCOMPARE(bob.open(alice.id, early), kRefused); // taken once, still
    }

    // Keys set aside (a changed identity waiting for the user) and taken back go on where they stopped: a new
    // channel under the same keys would seal with counters already used, and open what was recorded before.
    // A full table refuses a newcomer rather than dropping a peer whose session could come back the same way.
    void setAsideKeysGoOn()
    {
        Node alice("{alice}", 1000), bob("{bob}", 2000);
        alice.meet(bob);
        const QByteArray early = alice.sealFor(bob, kChat);
        QCOMPARE(bob.open(alice.id, early), kChat);
        QCOMPARE(alice.open(bob.id, bob.sealFor(alice, kConfirm)), kConfirm);
        bob.peers.forget(alice.id);
        QCOMPARE(bob.open(alice.id, alice.sealFor(bob, kChat)), kRefused);
        QVERIFY(!bob.peers.channel(alice.id) && !bob.peers.offer(alice.id));
        QCOMPARE(bob.peers.accept(alice.offer()), PeerSessions::Outcome::Agreed);
        QCOMPARE(bob.open(alice.id, early), kRefused);
        QCOMPARE(alice.open(bob.id, bob.sealFor(alice, kConfirm)), kConfirm);
        QCOMPARE(bob.peers.channel(alice.id)->sent(), quint64(2));

        PeerSessions full(bob.session, 1);
        QCOMPARE(full.accept(alice.offer()), PeerSessions::Outcome::Agreed);
        QCOMPARE(full.accept(Node("{carol}", 3000).offer()), PeerSessions::Outcome::Full);
        QCOMPARE(full.accept(alice.offer()), PeerSessions::Outcome::Same);
    }

    void knownBytes_data()
    {
        QTest::addColumn<quint32>("capabilities");
        QTest::addColumn<QByteArray>("aliceToBob"); // hex of the frames, as the first sealing builds made them
        QTest::addColumn<QByteArray>("bobToAlice");
        QTest::newRow("ChaCha20-Poly1305")
            << quint32(Vesk::CapabilitySealing)
            << QByteArray("4800000012077b616c6963657daa010879a631eede1bf9c9b20108675dd574ed778931b80102"
                          "c20123707261480b3138174a3679c933c85d4e8858859b2eed93e68f0e3984c42d8daefbfd33")
            << QByteArray("7300000012057b626f627daa0108675dd574ed778931b2010879a631eede1bf9c9b80101c201"
                          "50540eb5b046b89413967f93728bbd582b3812fef3d8c2d8048d3d23e2d4bc5cfcbfb7a9ec15"
                          "6684a9414bb206a692d88ad927ecf69bb566d1745dabe9ad8983e1a9e4a382c38a8cea685ebf"
                          "223acfcaa3");
        QTest::newRow("AES-256-GCM")
            << quint32(Vesk::CapabilitySealing | Vesk::CapabilityAesGcm)
            << QByteArray("4800000012077b616c6963657daa010879a631eede1bf9c9b20108675dd574ed778931b80102"
                          "c20123ba2618614fec230aa9745d937ad45d1ceb8076570c7b4c4de566296f13491f4a7e0355")
            << QByteArray("7300000012057b626f627daa0108675dd574ed778931b2010879a631eede1bf9c9b80101c201"
                          "506124b5fa3d74a4ad43e358b44aa0e280287f430fe1e93d661648090b200d67a582cc527288"
                          "71909b6dce54a8d411d86eeac7354b31972b0e63830abc21ead08905c4bec88417e41e56e06b"
                          "2d8982b55a");
    }
    // Fixed keys give the same key ids and sealed frames, to the byte, as builds that sealed with
    // another crypto library: otherwise the two could not talk to each other.
    void knownBytes()
    {
        QFETCH(quint32, capabilities);
        QFETCH(QByteArray, aliceToBob);
        QFETCH(QByteArray, bobToAlice);
        if (capabilities & ~Vesk::LocalSession::localCapabilities() & Vesk::CapabilityAesGcm)
            QSKIP("no AES instructions on this processor");
        Vesk::SecretBytes<32> a, b;
        std::memcpy(a.data(), counting(0x40).constData(), 32);
        std::memcpy(b.data(), counting(0x60).constData(), 32);
        const Vesk::LocalSession alice(Vesk::IdentityKey::generate(), 1000, capabilities, a);
        const Vesk::LocalSession bob(Vesk::IdentityKey::generate(), 2000, capabilities, b);
        const auto toBob = alice.channelWith(bob.offer("{bob}"));
        const auto toAlice = bob.channelWith(alice.offer("{alice}"));
        QVERIFY(toBob && toAlice);
        Vesk::sealedFrame(kConfirm, *toBob, "{alice}", alice.keyId(), bob.keyId()); // counter 1 is used up
        const QByteArray second = Vesk::sealedFrame(kConfirm, *toBob, "{alice}", alice.keyId(), bob.keyId());
        const QByteArray answer = Vesk::sealedFrame(kChat, *toAlice, "{bob}", bob.keyId(), alice.keyId());
        QCOMPARE(second.toHex(), aliceToBob);
        QCOMPARE(answer.toHex(), bobToAlice);
    }

    // The identity file of a known seed loads, signs and gives the comparison code as it always did.
    void identityBytes()
    {
        QTemporaryDir folder;
        const Vesk::IdentityKey alice =
            identityFromSeed(folder, 0x00, "03a107bff3ce10be1d70dd18e74bc09967e4d6309ba50d5f1ddc8664125531b8");
        const Vesk::IdentityKey bob =
            identityFromSeed(folder, 0x20, "29acbae141bccaf0b22e1a94d34d0bc7361e526d0bfe12c89794bc9322966dd7");
        QVERIFY(alice.isValid() && bob.isValid());
        const QByteArray signature = alice.sign("vesk session offer");
        QCOMPARE(signature.toHex(), QByteArray("a3d5bbc53024c29e228999268090c9260fc78526ed5c7208d0260389098b92ba"
                                               "f2a06b69dcec697128c909c1e8e805b8465112784944be780deb7829ed7fe306"));
        QVERIFY(Vesk::IdentityKey::verify(alice.publicKey(), "vesk session offer", signature));
        QCOMPARE(Vesk::comparisonCode(alice.publicKey(), bob.publicKey()), QString("5541 3876 1315"));
        QCOMPARE(Vesk::comparisonCode(bob.publicKey(), alice.publicKey()), QString("5541 3876 1315"));
    }

    void identityFile_data()
    {
        QTest::addColumn<QByteArray>("contents"); // empty: no file
        QTest::addColumn<Vesk::IdentityKey::Origin>("origin");
        QTest::newRow("none yet") << QByteArray() << Vesk::IdentityKey::Origin::Created;
        QTest::newRow("cut short") << QByteArray("vesk-identity-1\n0123") << Vesk::IdentityKey::Origin::Replaced;
        QTest::newRow("zero bytes") << QByteArray("", 0) << Vesk::IdentityKey::Origin::Replaced;
        QTest::newRow("halves do not match")
            << QByteArray("vesk-identity-1\n").append(QByteArray(64, 'k')) << Vesk::IdentityKey::Origin::Replaced;
    }
    // The key is made once and found again at the next start, in a file only the user can read; a file that does
    // not hold one is set aside, not overwritten, and a new key takes its place.
    void identityFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(Vesk::IdentityKey::Origin, origin);
        QTemporaryDir folder;
        const QString path = folder.filePath("identity.key");
        if (!contents.isNull())
            QVERIFY(TestSupport::writeFile(path, contents));
        Vesk::IdentityKey::Origin found;
        QString problem;
        const Vesk::IdentityKey key = Vesk::IdentityKey::loadOrCreate(path, &found, &problem);
        QCOMPARE(found, origin);
        QCOMPARE(problem.isEmpty(), origin == Vesk::IdentityKey::Origin::Created);
        QVERIFY(key.isValid());
        const auto mode =
            QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ExeOwner);
        QCOMPARE(mode, QFile::ReadOwner | QFile::WriteOwner); // no one else's
        if (origin == Vesk::IdentityKey::Origin::Replaced)
            QCOMPARE(TestSupport::readFile(path + ".unreadable"), contents);
        QCOMPARE(TestSupport::filesIn(folder.path()).size(), origin == Vesk::IdentityKey::Origin::Created ? 1 : 2);

        const Vesk::IdentityKey again = Vesk::IdentityKey::loadOrCreate(path, &found, &problem);
        QCOMPARE(found, Vesk::IdentityKey::Origin::Loaded);
        QCOMPARE(again.publicKey(), key.publicKey());
        QVERIFY(Vesk::IdentityKey::verify(key.publicKey(), "hello", again.sign("hello"))); // the private half too
    }
};

QTEST_GUILESS_MAIN(TestSealing)
#include "tst_sealing.moc"
