#include "peers/peerrecords.h"
#include "peers/peersearch.h"

#include "store/vesksqlquerymodel.h"
#include "peerrecordsfixture.h"
#include "testsupport.h"

#include <QRegularExpression>

using namespace TestSupport;
using Vesk::PeerRecords;
using Vesk::PeerSearch;

// Peers that went away are looked for again in short rounds, and those shown online are asked to confirm without
// being shown offline meanwhile. Every ask is an "addMeRequest"; the handshake's own confirmation brings a peer back.
class tst_PeerSearch : public PeerRecordsFixture
{
    Q_OBJECT

    PeerSearch& search() { return peers->search(); }
    // The addMeRequests sent so far, as "address status".
    QStringList asks() const
    {
        QStringList result;
        for (const auto& sent : f->sink.withAction("addMeRequest"))
            result.append(sent.address.toString() + " " + sent.value("message").toString());
        return result;
    }
    // Runs a round at every second for `seconds` seconds; the seconds at which each round asked anything, with
    // how many it asked.
    QList<QPair<qint64, int>> runRounds(int seconds)
    {
        QList<QPair<qint64, int>> asked;
        for (int s = 1; s <= seconds; ++s) {
            f->clock.advance(1000);
            const qsizetype before = f->sink.sent.size();
            search().round();
            if (f->sink.sent.size() > before)
                asked.append({s, int(f->sink.sent.size() - before)});
        }
        return asked;
    }

private slots:
    // A lost peer is asked 2 s after it went, then after waits doubling up to a minute, for an hour; many at most a
    // round's worth at a time, each once before any again. Only peers at the address are marked, never this node.
    void lostPeersAreAskedOnASchedule_data()
    {
        QTest::addColumn<int>("lost");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QList<QPair<qint64, int>>>("rounds"); // second, asks
        constexpr int kRound = PeerSearch::kMaxAsksPerRound;
        QList<QPair<qint64, int>> hour{{2, 1}, {6, 1}, {14, 1}, {30, 1}, {62, 1}};
        for (qint64 s = 122; s < 3600; s += 60)
            hour.append({s, 1});
        QTest::newRow("one peer for an hour") << 1 << 3700 << hour;
        QTest::newRow("more than a round")
            << kRound + 5 << 8 << QList<QPair<qint64, int>>{{2, kRound}, {3, 5}, {6, kRound}, {7, 5}};
    }
    void lostPeersAreAskedOnASchedule()
    {
        QFETCH(int, lost);
        QFETCH(int, seconds);
        for (int i = 0; i < lost; ++i)
            f->addPeer(QStringLiteral("p%1").arg(i), "on", QStringLiteral("10.77.0.%1").arg(i + 10));
        f->addPeer("elsewhere", "on", "10.77.1.1");
        f->addPeer(f->profile.id, "on", "10.77.0.10");
        for (int i = 0; i < lost; ++i)
            peers->markUnreachable(QHostAddress(QStringLiteral("10.77.0.%1").arg(i + 10)));
        QCOMPARE(search().searched(), lost);
        QCOMPARE(column("select status from vesk_peers where id = 'elsewhere' or id = ?", {f->profile.id}),
                 (QStringList{"on", "on"}));

        QTEST(runRounds(seconds), "rounds");
        const QStringList asked = asks();
        QCOMPARE(asked.filter(QRegularExpression("^10\\.77\\.0\\.\\d+ off$")).size(), asked.size());
        QCOMPARE(QSet<QString>(asked.cbegin(), asked.cbegin() + lost).size(), lost);
        QCOMPARE(search().searched(), seconds > 3600 ? 0 : lost);
    }

    // A message from a peer shown offline (by its id or the address it was lost at) has it asked at once, at most
    // once per window; the handshake's own messages are answered by the handshake.
    void whatBringsAPeerBack_data()
    {
        QTest::addColumn<QString>("status"); // "lost": marked offline as unreachable
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("named"); // the message carries nodeFrom
        QTest::addColumn<int>("asked");
        const QString chat("newChatMessage"), confirmed("confirmChat"), packet("receiveDataPacket");
        QTest::newRow("chat from a lost peer") << "lost" << chat << true << 1;
        QTest::newRow("data packet, by the lost peer's address") << "lost" << packet << false << 1;
        QTest::newRow("offer from a peer offline since start") << "off" << QString("newFileToDownload") << true << 1;
        QTest::newRow("unnamed message from a peer offline since start") << "off" << confirmed << false << 0;
        QTest::newRow("request from a lost peer: the handshake answers")
            << "lost" << QString("addMeRequest") << true << 0;
        QTest::newRow("chat from a peer shown online") << "on" << chat << true << 0;
        QTest::newRow("chat from a stranger") << "" << chat << true << 0;
    }
    void whatBringsAPeerBack()
    {
        QFETCH(QString, status);
        QFETCH(QString, action);
        QFETCH(bool, named);
        const QString ip = QStringLiteral("10.77.0.30");
        if (!status.isEmpty())
            f->addPeer("p", status == "off" ? "off" : "on", ip);
        if (status == "lost")
            peers->markUnreachable(QHostAddress(ip));
        for (int i = 0; i < 3; ++i) {
            search().heardFrom(named ? "p" : "", ip, action);
            f->clock.advance(PeerSearch::kHeardAskWindowMs / 3);
        }
        QTEST(int(asks().size()), "asked");
        if (asks().isEmpty())
            return;
        QCOMPARE(asks().first(), ip + " off");
        f->clock.advance(PeerSearch::kHeardAskWindowMs);
        search().heardFrom(named ? "p" : "", ip, action);
        QCOMPARE(asks().size(), 2); // a new window

        // Its confirmation brings it back: online, and whatever waited for it goes out.
        QSignalSpy back(peers.get(), &PeerRecords::peerCameOnline);
        peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "p", ip));
        QCOMPARE(back.size(), 1);
        QCOMPARE(peerField("p", "status"), QStringLiteral("on"));
        QVERIFY(!search().isLost("p"));
        f->sink.clear();
        search().heardFrom(named ? "p" : "", ip, action);
        QVERIFY(asks().isEmpty());
    }

    // Who is there: peers shown online stay shown online while they are asked to confirm; one that confirms is
    // told about as after a return, one that does not goes offline after the wait and is then looked for. Lost
    // peers are asked at once.
    void lookingAgainShowsNoOneOfflineMeanwhile()
    {
        f->addPeer("answers", "on", "10.77.0.41");
        f->addPeer("silent", "on", "10.77.0.42");
        f->addPeer("lost", "on", "10.77.0.43");
        f->addPeer("never seen", "off", "10.77.0.44");
        f->addPeer(f->profile.id, "on", "127.0.0.1");
        peers->markUnreachable(QHostAddress("10.77.0.43"));
        f->store->nodesProxyData->refresh();
        QTRY_VERIFY(!f->store->nodesProxyData->refreshPending());
        f->clock.advance(PeerSearch::kFirstLookMs + 1);
        search().round(); // the lost peer's first look
        f->sink.clear();
        ModelChanges online(f->store->nodesProxyData);
        QSignalSpy back(peers.get(), &PeerRecords::peerCameOnline);

        search().lookAgain();
        QStringList asked = asks();
        asked.sort();
        QCOMPARE(asked, (QStringList{"10.77.0.41 on", "10.77.0.42 on", "10.77.0.43 off"}));
        QVERIFY(search().isAwaitingConfirmation("silent"));
        peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "answers", "10.77.0.41"));
        QCOMPARE(back.size(), 1);
        f->clock.advance(PeerSearch::kConfirmWaitMs - 1);
        search().round();
        QCOMPARE(column("select status from vesk_peers where id <> ? order by id", {f->profile.id}),
                 (QStringList{"on", "off", "off", "on"}));
        QTest::qWait(50);
        QCOMPARE(online.count(), 0);

        f->clock.advance(1);
        search().round();
        QCOMPARE(peerField("silent", "status"), QStringLiteral("off"));
        QVERIFY(search().isLost("silent") && !search().isAwaitingConfirmation("answers"));
        QTRY_COMPARE(online.count(), 1);
        f->sink.clear();
        f->clock.advance(PeerSearch::kFirstLookMs);
        search().round();
        QCOMPARE(asks(), QStringList{"10.77.0.42 off"});
        QCOMPARE(back.size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_PeerSearch)
#include "tst_peersearch.moc"
