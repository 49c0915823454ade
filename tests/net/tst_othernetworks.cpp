#include "net/addressprobe.h"
#include "net/othernetworks.h"
#include "net/peermanager.h"

#include "testsupport.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QUdpSocket>

#include <memory>
#include <vector>

using Vesk::AddressProbe;
using Vesk::AnnouncementSweep;
using Vesk::OtherNetworks;
using Vesk::PeerManager;

namespace {

// What the list announces to: each entry as "kind target..." with a range's directed broadcast and the first
// and last of its hosts.
QStringList described(const OtherNetworks& networks)
{
    QStringList result;
    for (const Vesk::OtherNetworkEntry& entry : networks.entries) {
        const QList<QHostAddress> hosts = entry.hosts();
        const QHostAddress broadcast = entry.directedBroadcast();
        if (entry.kind == Vesk::OtherNetworkEntry::Kind::Name)
            result.append("name " + entry.text);
        else if (entry.kind == Vesk::OtherNetworkEntry::Kind::Address)
            result.append("address " + entry.address.toString());
        else
            result.append(QStringLiteral("range %1 %2..%3 (%4) bcast %5")
                              .arg(entry.address.toString(), hosts.first().toString(), hosts.last().toString())
                              .arg(hosts.size())
                              .arg(broadcast.isNull() ? "-" : broadcast.toString()));
    }
    return result;
}

} // namespace

class TestOtherNetworks : public QObject
{
    Q_OBJECT

private slots:
    // A namespace of our own, as for the other discovery tests: one link 10.79.0.1/24, and 10.79.1.0/24 made
    // local by a route (no address of ours there) so that announcements to "another subnet" arrive here.
    void initTestCase()
    {
        const int setUp = TestSupport::enterPrivateNetwork(QStringLiteral("ip route add local 10.79.1.0/24 dev lo"));
        if (setUp < 0)
            QSKIP("needs root for a private network namespace");
        QCOMPARE(setUp, 0);
    }

    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("problems"); // a word or two each problem must hold, in order

        QTest::newRow("empty") << " , ,\n" << QStringList() << QStringList();
        QTest::newRow("address, range, name") << " 192.168.2.15 ,192.168.3.0/24,\npc-anna.office.lan"
                                              << QStringList{"address 192.168.2.15",
                                                             "range 192.168.3.0 192.168.3.1..192.168.3.254 (254) bcast "
                                                             "192.168.3.255",
                                                             "name pc-anna.office.lan"}
                                              << QStringList();
        // The host bits of a range are cleared; /22 is the largest; a /31 and a /32 have no broadcast.
        QTest::newRow("ranges") << "10.4.5.6/22; 10.0.0.4/31; 10.0.0.9/32"
                                << QStringList{"range 10.4.4.0 10.4.4.1..10.4.7.254 (1022) bcast 10.4.7.255",
                                               "range 10.0.0.4 10.0.0.4..10.0.0.5 (2) bcast -",
                                               "range 10.0.0.9 10.0.0.9..10.0.0.9 (1) bcast -"}
                                << QStringList();
        QTest::newRow("duplicates count once")
            << "10.0.0.1, 10.0.0.1, Server, server" << QStringList{"address 10.0.0.1", "name Server"} << QStringList();
        QTest::newRow("bad rows are named, good ones kept")
            << "10.0.0.0/16, 300.1.1.1, 10.1.1.1/33, hello world, fe80::1, 127.0.0.1, 224.0.0.1, 10.2.2.2"
            << QStringList{"address 10.2.2.2"}
            << QStringList{"\u201c10.0.0.0/16\u201d is too large",   "\u201c300.1.1.1\u201d is not a valid address",
                           "\u201c10.1.1.1/33\u201d is not a range", "\u201chello world\u201d is not an address",
                           "\u201cfe80::1\u201d: only IPv4",         "\u201c127.0.0.1\u201d cannot be used",
                           "\u201c224.0.0.1\u201d cannot be used"};
        QTest::newRow("names: labels of letters, digits and inner hyphens")
            << "-bad.lan, good-1.lan., a..b, 10.1.2" << QStringList{"name good-1.lan."}
            << QStringList{"-bad.lan", "a..b", "10.1.2"};
        QTest::newRow("four /22 at most in all")
            << "10.0.0.0/22, 10.0.4.0/22, 10.0.8.0/22, 10.0.12.0/22, 10.0.16.0/22, 10.9.9.9"
            << QStringList{"range 10.0.0.0 10.0.0.1..10.0.3.254 (1022) bcast 10.0.3.255",
                           "range 10.0.4.0 10.0.4.1..10.0.7.254 (1022) bcast 10.0.7.255",
                           "range 10.0.8.0 10.0.8.1..10.0.11.254 (1022) bcast 10.0.11.255",
                           "range 10.0.12.0 10.0.12.1..10.0.15.254 (1022) bcast 10.0.15.255", "address 10.9.9.9"}
            << QStringList{"\u201c10.0.16.0/22\u201d is left out"};
        QStringList many, kept;
        for (int i = 1; i <= OtherNetworks::kMaxEntries + 5; ++i)
            many.append(QStringLiteral("10.0.%1.1").arg(i));
        for (const QString& address : many.mid(0, OtherNetworks::kMaxEntries))
            kept.append("address " + address);
        QTest::newRow("the first entries only")
            << many.join(',') << kept << QStringList{"\u201c10.0.65.1\u201d and the rest are left out"};
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, problems);
        const OtherNetworks parsed = OtherNetworks::parse(text);
        QTEST(described(parsed), "entries");
        QCOMPARE(parsed.problems.size(), problems.size());
        for (int i = 0; i < problems.size(); ++i)
            QVERIFY2(parsed.problems.at(i).contains(problems.at(i)), qPrintable(parsed.problems.at(i)));
    }

    // Over one round (eleven ticks of twenty steps) every address gets its announcements evenly: a long list
    // once, a short one as often as the broadcasts go out; no step carries more than its share.
    void sweep_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("perAddress"); // announcements each address gets per round
        QTest::addColumn<int>("maxPerStep"); // datagrams in the busiest 100 ms step
        QTest::addColumn<int>("maxPerTick"); // datagrams in the busiest 2 s tick

        QTest::newRow("one address") << 1 << 11 << 1 << 1;
        QTest::newRow("a /24") << 254 << 4 << 5 << 93;
        QTest::newRow("a /22") << 1022 << 1 << 5 << 93;
        QTest::newRow("four /22") << 4088 << 1 << 19 << 372;
    }

    void sweep()
    {
        QFETCH(int, count);
        QFETCH(int, perAddress);
        const int ticks = PeerManager::kAnnouncementsPerReset, stepsPerTick = PeerManager::kSweepStepsPerTick;
        AnnouncementSweep sweep(ticks * stepsPerTick, ticks);
        QList<QHostAddress> targets;
        for (int i = 0; i < count; ++i)
            targets.append(QHostAddress(quint32(0x0a000001 + i)));
        sweep.setTargets(targets + targets.mid(0, 3)); // repeats are announced to once
        QHash<QString, int> heard;
        int busiestStep = 0, busiestTick = 0;
        for (int tick = 0; tick < ticks; ++tick) {
            int inTick = 0;
            for (int step = tick * stepsPerTick; step < (tick + 1) * stepsPerTick; ++step) {
                const QList<QHostAddress> sent = sweep.targetsForStep(step);
                if (step == 0)
                    QVERIFY2(!sent.isEmpty(), "the round starts without its first announcement");
                for (const QHostAddress& a : sent)
                    ++heard[a.toString()];
                busiestStep = std::max(busiestStep, int(sent.size()));
                inTick += int(sent.size());
            }
            busiestTick = std::max(busiestTick, inTick);
        }
        QCOMPARE(heard.size(), count);
        for (auto it = heard.cbegin(); it != heard.cend(); ++it)
            QVERIFY2(it.value() == perAddress, qPrintable(it.key() + " " + QString::number(it.value())));
        QTEST(busiestStep, "maxPerStep");
        QTEST(busiestTick, "maxPerTick");
        QVERIFY(sweep.targetsForStep(ticks * stepsPerTick).isEmpty());
    }

    // Peers recorded beyond the local subnets are announced to again at each round; those on a local subnet hear
    // the broadcast anyway, and nothing goes to loopback or to text that is no address.
    void rememberedPeersBeyondTheSubnet()
    {
        PeerManager manager;
        manager.setRememberedSource(
            [] { return QStringList{"10.79.0.20", "10.79.1.20", "127.0.0.1", "", "nonsense", "10.79.1.20"}; });
        QCOMPARE(manager.sweep().targets(), QList<QHostAddress>{QHostAddress("10.79.1.20")});
        manager.setRememberedSource([] { return QStringList{"10.79.0.20"}; });
        QVERIFY(manager.sweep().isEmpty());
    }

    void addressProbe_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("answersAfterMs"); // when a peer at the address confirms us; -1: never
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("announcements"); // at least

        QTest::newRow("found") << " 192.0.2.10 " << 600 << true << "Found Bob" << 1;
        QTest::newRow("nobody answers") << "192.0.2.10" << -1 << false << "Nobody running Vesk answers at 192.0.2.10"
                                        << 3;
        QTest::newRow("not an address") << "192.0.2.0/24" << -1 << false << "is not an address or a computer name" << 0;
        QTest::newRow("nothing typed") << "  " << -1 << false << "Type the address" << 0;
        QTest::newRow("own address") << "10.79.0.1" << -1 << false << "10.79.0.1 is this computer" << 0;
        QTest::newRow("a name for this computer") << "localhost" << -1 << false << "127.0.0.1 is this computer" << 0;
        QTest::newRow("a name nobody knows") << "no-such-host.invalid" << -1 << false
                                             << "No computer named \u201cno-such-host.invalid\u201d was found" << 0;
    }

    void addressProbe()
    {
        QFETCH(QString, typed);
        QFETCH(int, answersAfterMs);
        QFETCH(bool, found);
        QFETCH(QString, message);
        QFETCH(int, announcements);
        int sent = 0;
        QElapsedTimer since;
        since.start();
        AddressProbe probe([&sent](const QHostAddress& a) { return a == QHostAddress("192.0.2.10") && ++sent; },
                           [&](const QString& at) {
                               return at == "192.0.2.10" && answersAfterMs >= 0 && since.elapsed() >= answersAfterMs
                                          ? QStringLiteral("Bob")
                                          : QString();
                           },
                           [](const QHostAddress& a) { return a == QHostAddress("10.79.0.1"); });
        probe.setTimeoutMs(3000);
        QSignalSpy answered(&probe, &AddressProbe::answered);
        probe.start(typed);
        QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 1, 6000);
        QCOMPARE(answered.at(0).at(0).toString(), typed.trimmed());
        QCOMPARE(answered.at(0).at(1).toBool(), found);
        QVERIFY2(answered.at(0).at(2).toString().contains(message), qPrintable(answered.at(0).at(2).toString()));
        QVERIFY2(sent >= announcements, qPrintable(QString::number(sent)));
        QVERIFY(!probe.isRunning());
        if (found)
            QVERIFY(since.elapsed() < 2000);
    }

    // Our announcement goes out on a link without a default route, to the link's broadcast address, read afresh each
    // time, eleven times after each reset; with a default route to 255.255.255.255 as well. The other networks hear
    // it too: the directed broadcast with every announcement, each single address within the tick; nothing goes to
    // a network's own address. An empty list sends only the local broadcast. Last, as it adds the default route.
    void announcementsGoOut()
    {
        // Unicast reaches one socket per port, the most specific: a listener for each address of the other
        // network, and one for the broadcasts.
        std::vector<std::unique_ptr<QUdpSocket>> listeners;
        for (int i = -1; i < 16; ++i) {
            const QHostAddress at = i < 0 ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(0x0a4f0100 + i);
            listeners.push_back(std::make_unique<QUdpSocket>());
            QVERIFY(listeners.back()->bind(at, PeerManager::kUdpPort,
                                           QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
        }
        // Each datagram as its destination, and its text unless it is the first announcement's.
        const auto heard = [&listeners](int waitMs, bool counted = false) {
            QStringList datagrams;
            QTest::qWait(waitMs);
            for (const auto& listener : listeners) {
                for (QNetworkDatagram d; (d = listener->receiveDatagram()).isValid();)
                    datagrams.append(d.destinationAddress().toString() +
                                     (d.data() == "{me}|Linux|Ann" ? QString() : " " + QString::fromLatin1(d.data())));
            }
            datagrams.sort();
            if (!counted)
                datagrams.removeDuplicates();
            return datagrams;
        };
        QString alias = QStringLiteral("Ann");
        PeerManager manager;
        manager.setAnnouncementSource([&alias] { return PeerManager::buildAnnouncement("{me}", "Linux", alias); });
        QCOMPARE(heard(300, true), QStringList{"10.79.0.255"});
        alias = QStringLiteral("\u00c9ve \u65e5");
        for (int i = 1; i < PeerManager::kAnnouncementsPerReset + 3; ++i)
            manager.broadCastMyself();
        QCOMPARE(heard(300, true),
                 QStringList(PeerManager::kAnnouncementsPerReset - 1, "10.79.0.255 {me}|Linux|\u00c9ve ?"));
        QVERIFY(manager.sweep().isEmpty());

        alias = QStringLiteral("Ann");
        manager.setOtherNetworks(OtherNetworks::parse("10.79.1.0/30, 10.79.1.9"));
        QCOMPARE(manager.directedBroadcastList(), QList<QHostAddress>{QHostAddress("10.79.1.3")});
        manager.reBroadCastMyself();
        manager.broadCastMyself();
        QCOMPARE(heard(PeerManager::kBroadcastIntervalMs),
                 (QStringList{"10.79.0.255", "10.79.1.1", "10.79.1.2", "10.79.1.3", "10.79.1.9"}));

        manager.setOtherNetworks(OtherNetworks::parse(""));
        manager.reBroadCastMyself();
        manager.broadCastMyself();
        QCOMPARE(heard(PeerManager::kBroadcastIntervalMs), QStringList{"10.79.0.255"});
        QVERIFY(QProcess::execute("ip", {"route", "add", "default", "dev", "v0"}) == 0);
        manager.reBroadCastMyself();
        manager.broadCastMyself();
        QCOMPARE(heard(300), (QStringList{"10.79.0.255", "255.255.255.255"}));
    }
};

QTEST_GUILESS_MAIN(TestOtherNetworks)
#include "tst_othernetworks.moc"
