#include "peersecurityrig.h"

#include <QSqlDriver>
#include <QTcpServer>

#include <sqlite3.h>

using namespace TestSupport;
using namespace Vesk;

namespace {

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

// Plain peers: a node is marked plain where no stream answers it, and only then sent the plain protocol; a node
// that completed a stream with us never is, and a plain peer's node id is not taken by a stream from elsewhere.
class TestPeerSecurityPlain : public QObject
{
    Q_OBJECT

private Q_SLOTS:

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
        PeerSecurityRig alice; // the plain program has nothing listening on her dial port
        const QString formerly = QStringLiteral("127.0.0.5");
        alice.pinPeer(kBob, formerly);
        PeerStreams other(IdentityKey::generate(), kPlain, kAccept);
        QVERIFY(plainProgram || other.listen(QHostAddress(formerly), alice.port));
        QSignalSpy failed(&alice.security->streams(), &PeerStreams::dialFailed);
        QCOMPARE(alice.send(formerly, alice.chat("for Bob")), QByteArray());
        if (!plainProgram) {
            QTRY_VERIFY(!failed.isEmpty());
            QCOMPARE(failed.first().at(2).value<PeerStream::Ending>(), PeerStream::Ending::WrongNode);
            QCOMPARE(alice.fixture.store->peerField(kBob, "ipAddress"), QString());
            QCOMPARE(alice.plain.size(), 0);
            return;
        }
        alice.fixture.addPeer(kPlain, "off", "127.0.0.6");
        Parameters hello = plainFrom(kPlain, formerly, "addMeRequest");
        QVERIFY(alice.security->admit(hello));
        QCOMPARE(alice.fixture.store->peerField(kBob, "ipAddress"), QString());
        const Parameters answer{{"action", "addMeRequestConfirmed"}, {"nodeFrom", alice.id()}};
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
        PeerSecurityRig alice;
        PeerStreams claimant(IdentityKey::generate(), kPlain, kAccept);
        QVERIFY(claimant.listen(QHostAddress("127.0.0.3"), alice.port));
        alice.fixture.addPeer(kPlain, "on", rowAt);
        if (!heardAt.isEmpty()) {
            Parameters message = plainFrom(kPlain, heardAt);
            QVERIFY(alice.security->admit(message));
            alice.fixture.clock.advance(heardAgo);
            exec("update vesk_peers set ipAddress = ? where id = ?", {rowAt, kPlain});
        }
        QSignalSpy failed(&alice.security->streams(), &PeerStreams::dialFailed);
        MessageCatcher catcher;
        QVERIFY(alice.security->announced(kPlain, "127.0.0.3"));
        QCOMPARE(alice.send("127.0.0.3", alice.handshake("on")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kPlain) || !failed.isEmpty());
        QCOMPARE(alice.security->hasStream(kPlain), pinned);
        QCOMPARE(alice.security->securityState(kPlain), pinned ? SecurityState::Sealed : SecurityState::Plain);
        QCOMPARE(catcher.criticals().filter("Refused a stream under the node id of a plain peer").size(),
                 pinned ? 0 : 1);
        QCOMPARE(alice.plain.size(), 0);
        if (!pinned) {
            // The plain peer still gets through from where it is.
            Parameters message = plainFrom(kPlain, heardAt.isEmpty() ? rowAt : heardAt);
            QVERIFY(alice.security->admit(message));
        }
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
        PeerSecurityRig alice;
        alice.fixture.addPeer(kBob, "off", "127.0.0.2");
        QSignalSpy failed(&alice.security->streams(), &PeerStreams::dialFailed);
        QVERIFY(alice.security->announced(kBob, "127.0.0.2"));
        if (plainFirst) {
            QCOMPARE(alice.send("127.0.0.2", alice.handshake("off")), QByteArray());
            QTRY_COMPARE(alice.plain.size(), 1);
            alice.plain.clear();
        }
        auto bob = std::make_unique<PeerStreams>(IdentityKey::generate(), kBob, kAccept);
        QVERIFY(bob->listen(QHostAddress("127.0.0.2"), alice.port));
        if (plainFirst) {
            // Upgraded, it dials us; on the loopback its stream comes from 127.0.0.1, where it is announced first.
            exec("update vesk_peers set ipAddress = ? where id = ?", {"127.0.0.1", kBob});
            bob->dial(QHostAddress("127.0.0.1"), alice.port, alice.id());
        } else
            QCOMPARE(alice.send("127.0.0.2", alice.handshake("off")), QByteArray());
        QTRY_VERIFY(alice.security->hasStream(kBob));
        bob.reset(); // gone, and its port answers nothing
        QTRY_VERIFY(!alice.security->hasStream(kBob));
        exec("update vesk_peers set ipAddress = ? where id = ?", {lookedFor, kBob});
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
        PeerSecurityRig alice;
        alice.fixture.addPeer(kPlain, "on", "127.0.0.2");
        PeerStreams::Limits full;
        full.maxHandshakes = 0;
        auto bob = std::make_unique<PeerStreams>(IdentityKey::generate(), kPlain, kAccept, full);
        QTcpServer garbage;
        connect(&garbage, &QTcpServer::newConnection, &garbage,
                [&garbage] { garbage.nextPendingConnection()->write("HTTP/1.0 400 Bad Request\r\n\r\n"); });
        QVERIFY(there != "busy" || bob->listen(QHostAddress("127.0.0.2"), alice.port));
        QVERIFY(there != "garbage" || garbage.listen(QHostAddress("127.0.0.2"), alice.port));
        QSignalSpy failed(&alice.security->streams(), &PeerStreams::dialFailed);
        QVERIFY(alice.security->announced(kPlain, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.handshake("on")), QByteArray());
        QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), 15000);
        QTest::qWait(50);
        QCOMPARE(alice.plain.size(), plain ? 1 : 0);
        if (plain)
            return;
        bob = std::make_unique<PeerStreams>(IdentityKey::generate(), kPlain, kAccept);
        QVERIFY(bob->listen(QHostAddress("127.0.0.2"), alice.port));
        QTRY_VERIFY_WITH_TIMEOUT(alice.security->hasStream(kPlain), 5000); // nothing sent meanwhile
        QCOMPARE(alice.plain.size(), 0);
    }

    // A plain program is learnt where it was dialled: it is sent plain at once there from then on, however late,
    // until another node answers there. Heard elsewhere, it is dialled there first: anyone can announce its node
    // id from an address where no stream answers, and a Vesk computer must not be sent plain for that.
    void plainMarkBelongsToTheNode_data()
    {
        QTest::addColumn<QString>("other");   // a node heard in plain where it was learnt, afterwards
        QTest::addColumn<QString>("movedTo"); // where the plain node is heard afterwards
        QTest::addColumn<QString>("to");      // where the next message goes
        QTest::addColumn<qint64>("laterMs");
        QTest::addColumn<bool>("plainAtOnce");
        QTest::newRow("an hour later") << QString() << QString() << "127.0.0.2" << qint64(3600 * 1000) << true;
        QTest::newRow("moved") << QString() << "127.0.0.6"
                               << "127.0.0.6" << qint64(0) << false;
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
        PeerSecurityRig alice; // nothing answers TLS on her dial port
        alice.fixture.addPeer(kPlain, "on", "127.0.0.2");
        QVERIFY(alice.security->announced(kPlain, "127.0.0.2"));
        QCOMPARE(alice.send("127.0.0.2", alice.handshake("on")), QByteArray());
        QTRY_COMPARE(alice.plain.size(), 1);
        alice.fixture.clock.advance(laterMs);
        if (!other.isEmpty())
            alice.hear(other, "127.0.0.2");
        if (!movedTo.isEmpty())
            alice.hear(kPlain, movedTo);
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
        PeerSecurityRig alice;
        alice.fixture.addPeer(kPlain, "on", stored);
        StatementCounter lookups(alice.fixture.store->database(), "where ipAddress = ");
        QVERIFY(lookups.isValid());
        for (int i = 0; i < 10; ++i) {
            alice.security->frame(QHostAddress(stored), QString(), alice.chat("hello"));
            alice.security->frame(QHostAddress("10.66.0.9"), QString(), alice.chat("hello")); // nobody's
        }
        QCOMPARE(lookups.count, 2);
        // Heard at another address: its old one is asked again; the new one is known without asking.
        alice.hear(kPlain, moved);
        alice.security->frame(QHostAddress(stored), QString(), alice.chat("hello"));
        alice.security->frame(QHostAddress(moved), QString(), alice.chat("hello"));
        QCOMPARE(lookups.count, 3);
    }
};

QTEST_MAIN(TestPeerSecurityPlain)
#include "tst_peersecurityplain.moc"
