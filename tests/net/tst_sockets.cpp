#include "common/bufferpool.h"
#include "net/addressprobe.h"
#include "net/linkwatcher.h"
#include "net/othernetworks.h"
#include "net/othernetworkssettings.h"
#include "net/peermanager.h"
#include "net/sendqueue.h"
#include "net/wire.h"

#include "messagereceiver.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <memory>
#include <vector>

using TestSupport::MessageReceiver;
using Vesk::AddressProbe;
using Vesk::AnnouncementSweep;
using Vesk::OtherNetworks;
using Vesk::OtherNetworksSettings;
using Vesk::Parameters;
using Vesk::PeerManager;
using Vesk::SendQueue;
using Pieces = QList<QByteArray>;

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

class TestSockets : public QObject
{
    Q_OBJECT

private slots:
    // A network namespace of our own: free ports, broadcasts kept here, one link 10.79.0.1/24 with nobody at its other
    // end and no route beyond it, and 10.79.1.0/24 made local by a route (no address of ours there) so that
    // announcements to "another subnet" arrive here. The last two tests add a default route and take the link away.
    void initTestCase()
    {
        const int setUp = TestSupport::enterPrivateNetwork(QStringLiteral("ip route add local 10.79.1.0/24 dev lo"));
        if (setUp < 0)
            QSKIP("needs root for a private network namespace");
        QCOMPARE(setUp, 0);
    }

    // What one connection delivers, written in pieces with a pause after each; and when the connection ends.
    void receive_data()
    {
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QList<Parameters>>("expected"); // what is delivered, from 127.0.0.1
        QTest::addColumn<QString>("logged");
        QTest::addColumn<bool>("endsWithLifetime");
        const QByteArray frame = Vesk::parametersToFrame({{"action", "confirmChat"}, {"chatId", "{42}"}});
        const QList<Parameters> chat{{{"action", "confirmChat"}, {"chatId", "{42}"}}}, nothing{{}}, none;
        QTest::newRow("whole") << Pieces{frame + QByteArray(4, 0)} << chat << "" << false; // what follows is no message
        for (int cut = 1; cut < 4; ++cut)                                                  // the header in two parts
            QTest::addRow("header %d+%d", cut, 4 - cut)
                << Pieces{frame.left(cut), frame.mid(cut, 4 - cut), frame.mid(4)} << chat << "" << false;
        // Four FF bytes are never a length but "no header yet", as often as they come.
        QTest::newRow("no header yet twice, in pieces")
            << Pieces{QByteArray(6, '\xff'), QByteArray(2, '\xff') + frame.left(2), frame.mid(2)} << chat << ""
            << false;
        QTest::newRow("empty record") << Pieces{QByteArray(4, 0)} << nothing << "" << false;
        QTest::newRow("unparsable record")
            << Pieces{QByteArray::fromHex("030000000a0561")} << nothing << "error parsing" << false;
        const QByteArray largest(int(Vesk::kMaxFrameSize) - 5, 'd'); // behind a tag and a 4-byte length
        QTest::newRow("largest allowed") << Pieces{Vesk::parametersToFrame({{"binaryData", largest}})}
                                         << QList<Parameters>{{{"binaryData", largest}}} << "" << false;
        QTest::newRow("over-long")
            << Pieces{Vesk::parametersToFrame({{"binaryData", QByteArray(largest).append('d')}}).left(1000)} << none
            << QString::number(Vesk::kMaxFrameSize + 1) << false;
        QTest::newRow("incomplete") << Pieces{frame.chopped(1)} << none << "" << true;
    }
    void receive()
    {
        QFETCH(Pieces, pieces);
        QFETCH(QString, logged);
        MessageReceiver receiver;
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, receiver.server.tcpServer.serverPort());
        QVERIFY(peer.waitForConnected(3000));
        TestSupport::MessageCatcher catcher;
        QElapsedTimer clock;
        clock.start();
        for (const QByteArray& piece : pieces) {
            QVERIFY(receiver.received.isEmpty());
            peer.write(piece);
            peer.waitForBytesWritten(1000);
            QTest::qWait(30);
        }
        QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 2 * Vesk::kConnectionLifetimeMs);
        QTEST(clock.elapsed() >= Vesk::kConnectionLifetimeMs - 500, "endsWithLifetime");
        QTRY_COMPARE(receiver.server.liveConnections(), 0);
        for (Parameters& message : receiver.received)
            QCOMPARE(message.take("senderIPAddress").toString(), QStringLiteral("127.0.0.1"));
        QTEST(receiver.received, "expected");
        QCOMPARE(catcher.criticals().size(), logged.isEmpty() ? 0 : 1);
        QVERIFY(catcher.criticals().join("").contains(logged));
    }

    // Peers that connect and write before the program gets to run: each connection is taken and read, up to the
    // bound on live connections; beyond it they are refused.
    void waitingConnections()
    {
        MessageReceiver receiver(0, 25, 25); // all from 127.0.0.1
        QObject peers;
        for (int i = 0; i < 40; ++i) {
            auto* peer = new QTcpSocket(&peers);
            peer->connectToHost(QHostAddress::LocalHost, receiver.server.tcpServer.serverPort());
            QVERIFY(peer->waitForConnected(3000));
            peer->write(Vesk::parametersToFrame({{"chatId", i}}));
            QVERIFY(peer->waitForBytesWritten(3000));
        }
        for (const QTcpSocket* peer : peers.findChildren<QTcpSocket*>())
            QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(receiver.server.liveConnections(), 0);
        QCOMPARE(receiver.received.size(), 25);
    }

    // One message or probe on its own connection: what reaches the peer, and whether the address is reported as
    // having nobody there. Either way the connection ends at once, and nothing is logged.
    void reach_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("probe");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("unreachable");
        QTest::newRow("message") << true << false << "127.0.0.1" << 0;
        QTest::newRow("probe") << true << true << "127.0.0.1" << 0;
        QTest::newRow("message, nobody there") << false << false << "127.0.0.1" << 1;
        QTest::newRow("probe, nobody there") << false << true << "127.0.0.1" << 1;
        QTest::newRow("no route") << false << false << "10.200.0.1" << 1;
        QTest::newRow("no address") << false << false << "" << 0;
    }
    void reach()
    {
        QFETCH(bool, listening);
        QFETCH(bool, probe);
        QFETCH(QString, address);
        MessageReceiver receiver(listening ? Vesk::kTcpPort : 0); // else the message port stays free
        Vesk::BufferPool frames;
        SendQueue queue(frames);
        QSignalSpy unreachable(&queue, &SendQueue::unreachable);
        TestSupport::MessageCatcher catcher;
        const Parameters packet{{"action", "receiveDataPacket"}, {"binaryData", TestSupport::pattern(1000000)}};
        probe ? queue.probe(QHostAddress(address)) : queue.send(QHostAddress(address), packet);
        QTRY_COMPARE_WITH_TIMEOUT(queue.openConnections(), 0, Vesk::kConnectionLifetimeMs / 2);
        QTEST(int(unreachable.size()), "unreachable");
        if (!unreachable.isEmpty())
            QCOMPARE(unreachable.first().first().value<QHostAddress>(), QHostAddress(address));
        QVERIFY2(catcher.all().isEmpty(), qPrintable(catcher.all().join('\n')));
        QTRY_COMPARE(receiver.received.size(), listening && !probe ? 1 : 0); // a probe carries nothing
    }

    // Each step: time in ms, source, whether it is reported, the datagram. An announcement is exactly three Latin-1
    // fields; an unchanged one from the same node and address is reported once per window, a changed one (a rename)
    // at once; ours, from any of our addresses, never.
    void announcements_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("three fields")
            << "0 10.0.0.5 1 abc|Windows 7|Ann; 0 10.0.0.6 1 ||; 0 10.0.0.7 1 {x}|Linux|Ren\u00e9";
        QTest::newRow("not three") << "0 10.0.0.5 0 abc|Linux; 0 10.0.0.5 0 abc|Linux|A|B; 0 10.0.0.5 0 abc";
        QTest::newRow("once per window") << "0 10.0.0.2 1 a|L|Ann; 1 10.0.0.2 0 a|L|Ann; 600 10.0.0.2 0 a|L|Ann; "
                                            "1000 10.0.0.2 1 a|L|Ann";
        QTest::newRow("other address, other node")
            << "0 10.0.0.2 1 a|L|Ann; 10 10.0.0.3 1 a|L|Ann; 20 10.0.0.2 1 b|L|Ann";
        QTest::newRow("clock set back") << "100000 10.0.0.2 1 a|L|Ann; 5000 10.0.0.2 1 a|L|Ann";
        QTest::newRow("renamed and back") << "0 10.0.0.2 1 a|L|Ann; 10 10.0.0.2 1 a|L|Bea; 20 10.0.0.2 0 a|L|Bea; "
                                             "30 10.0.0.2 1 a|L|Ann";
    }
    void announcements()
    {
        QFETCH(QString, steps);
        Vesk::ManualClock clock(0);
        PeerManager manager;
        manager.setClock(clock);
        QSignalSpy spy(&manager, &PeerManager::newConnection);
        for (const QString& step : steps.split("; ")) {
            clock.setNowMs(step.section(' ', 0, 0).toLongLong());
            const QString source = step.section(' ', 1, 1), text = step.section(' ', 3);
            for (const QHostAddress& own : manager.ownAddressList()) { // as a plain or a dual-stack socket gives it
                manager.handleDatagram(text.toLatin1(), own);
                manager.handleDatagram(text.toLatin1(), QHostAddress("::ffff:" + own.toString()));
            }
            QVERIFY2(spy.isEmpty(), "our own announcement was reported");
            manager.handleDatagram(text.toLatin1(), QHostAddress(source));
            QVERIFY2(spy.size() == step.section(' ', 2, 2).toInt(), qPrintable(step));
            QStringList fields = text.split('|'); // reported as id, address, system, alias
            fields.insert(1, source);
            if (!spy.isEmpty())
                QCOMPARE(QVariant(spy.takeFirst()).toStringList(), fields);
        }
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
    // The other networks are stored only when every row can be used; otherwise the rows are named and the stored
    // list stays.
    void otherNetworksStored_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("stored");
        QTest::newRow("address, range and name")
            << " 10.9.0.7,10.9.1.0/24 , pc-anna.lan" << true << "10.9.0.7, 10.9.1.0/24, pc-anna.lan";
        QTest::newRow("a range too large") << "10.9.0.7, 10.0.0.0/16" << false << "10.9.0.5";
        QTest::newRow("emptied") << " " << true << "";
    }
    void otherNetworksStored()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        QTemporaryDir dir;
        QSettings settings(dir.filePath("vesk.conf"), QSettings::IniFormat);
        OtherNetworksSettings networks(settings, {}, {});
        QVERIFY(networks.setOtherNetworks("10.9.0.5"));
        QSignalSpy problems(&networks, &OtherNetworksSettings::otherNetworksProblemsChanged);
        QCOMPARE(networks.setOtherNetworks(typed), accepted);
        QTEST(settings.value(OtherNetworksSettings::kSettingsKey).toString(), "stored");
        QCOMPARE(networks.otherNetworks(), settings.value(OtherNetworksSettings::kSettingsKey).toString());
        QVERIFY(!problems.isEmpty());
        QCOMPARE(networks.otherNetworksProblems().size(), accepted ? 0 : 1);
    }
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

    // What the kernel says of this namespace's links: a change of a link's state or of an IPv4 address is told once
    // it settled; other changes are not. Each row starts from v0 and v1 up and leaves them so.
    void linkChanges_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("told");
        const auto add = [](const char* tag, const char* before, const char* change, const char* after, int told) {
            QTest::newRow(tag) << QString(before) << QString(change) << QString(after) << told;
        };
        add("the other end goes down: carrier lost", "", "ip link set v1 down", "ip link set v1 up", 1);
        add("carrier back", "ip link set v1 down", "ip link set v1 up", "", 1);
        add("a burst: down and up again", "", "ip link set v1 down && ip link set v1 up", "", 1);
        add("an address added", "", "ip addr add 10.79.7.1/24 dev v0", "ip addr del 10.79.7.1/24 dev v0", 1);
        add("an IPv6 address added", "", "ip -6 addr add fd00:79::1/64 dev v0 nodad",
            "ip -6 addr del fd00:79::1/64 dev v0", 0);
        add("the MTU changed", "", "ip link set v0 mtu 1400", "ip link set v0 mtu 1500", 0);
    }
    void linkChanges()
    {
        QFETCH(QString, before);
        QFETCH(QString, change);
        QFETCH(QString, after);
        QFETCH(int, told);
        const auto run = [](const QString& command) {
            return command.isEmpty() || QProcess::execute("sh", {"-c", command}) == 0;
        };
        QVERIFY(run(before));
        QTest::qWait(100);
        Vesk::LinkWatcher watcher;
        QVERIFY(watcher.isWatching());
        QTest::qWait(100); // it reads the links' states as they are
        QSignalSpy changed(&watcher, &Vesk::LinkWatcher::linkChanged);
        QVERIFY(run(change));
        QTest::qWait(Vesk::LinkWatcher::kSettleMs + 500);
        QCOMPARE(changed.size(), told);
        QVERIFY(run(after));
    }

    // Our announcement goes out on a link without a default route, to the link's broadcast address, read afresh each
    // time, eleven times after each reset; with a default route to 255.255.255.255 as well. The other networks hear
    // it too: the directed broadcast with every announcement, each single address within the tick; nothing goes to
    // a network's own address. An empty list sends only the local broadcast. Run late: it adds a default route.
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
        // The same, gathered until it is `expected` or 10 s have passed: on a loaded machine the round's last steps
        // come late.
        const auto heardAll = [&heard](const QStringList& expected) {
            QStringList datagrams;
            QElapsedTimer waited;
            waited.start();
            while (datagrams != expected && waited.elapsed() < 10000) {
                datagrams += heard(50);
                datagrams.sort();
                datagrams.removeDuplicates();
            }
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
        QCOMPARE(heardAll({"10.79.0.255", "10.79.1.1", "10.79.1.2", "10.79.1.3", "10.79.1.9"}),
                 (QStringList{"10.79.0.255", "10.79.1.1", "10.79.1.2", "10.79.1.3", "10.79.1.9"}));

        manager.setOtherNetworks(OtherNetworks::parse(""));
        heard(0); // what was sent before
        manager.reBroadCastMyself();
        manager.broadCastMyself();
        QCOMPARE(heard(PeerManager::kBroadcastIntervalMs), QStringList{"10.79.0.255"});
        QVERIFY(QProcess::execute("ip", {"route", "add", "default", "dev", "v0"}) == 0);
        manager.reBroadCastMyself();
        manager.broadCastMyself();
        QCOMPARE(heard(300), (QStringList{"10.79.0.255", "255.255.255.255"}));
    }

    // Peers that do not answer hold each attempt for seconds: the attempts open at once are bounded in all and per
    // peer, so messages to others still go through, and beyond a bound on waiting messages new ones are dropped.
    // An office of silent peers being greeted holds only presence's share, so chats meanwhile go out at once.
    void silentPeersAreBounded()
    {
        MessageReceiver receiver(Vesk::kTcpPort);
        Vesk::BufferPool frames;
        SendQueue queue(frames, 3, 2, 5), other(frames, 20, 2);
        for (int i = 0; i < 24; ++i) // more than every slot
            other.send(QHostAddress(QStringLiteral("10.79.0.%1").arg(100 + i)), {{"action", "addMeRequest"}});
        QCOMPARE(other.openConnections(), 20 - SendQueue::kReservedConnections);
        TestSupport::MessageCatcher catcher;
        for (int i = 0; i < 5; ++i) {
            for (const char* silent : {"10.79.0.2", "10.79.0.3"})
                queue.send(QHostAddress(silent), {{"chatId", i}});
            other.send(QHostAddress("10.79.0.4"), {{"chatId", i}});
            other.send(QHostAddress::LocalHost, {{"chatId", i}});
        }
        QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 5, Vesk::kConnectionLifetimeMs / 2);
        QCOMPARE(queue.openConnections(), 3);
        QTRY_COMPARE(other.openConnections(), 20 - SendQueue::kReservedConnections + 2); // two to 10.79.0.4
        QCOMPARE(catcher.criticals().filter("Too many messages waiting to be sent").size(), 1);
        // Without the link every attempt fails, at the latest when its lifetime ends, and the queues drain.
        QVERIFY(QProcess::execute("ip", {"link", "del", "v0"}) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(queue.openConnections() + other.openConnections(), 0,
                                  3 * Vesk::kConnectionLifetimeMs);
        QCOMPARE(queue.queuedMessages() + other.queuedMessages(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSockets)
#include "tst_sockets.moc"
