#include "net/peermanager.h"

#include "common/clock.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <sched.h>
#include <unistd.h>

namespace {
// The address this test gives itself inside its private network namespace.
const QHostAddress kOwnAddress(QStringLiteral("10.78.0.1"));
const QHostAddress kOwnBroadcast(QStringLiteral("10.78.0.255"));

bool run(const QString& command)
{
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), command}) == 0;
}

QList<QNetworkDatagram> receiveFor(QUdpSocket& socket, int milliseconds)
{
    QList<QNetworkDatagram> datagrams;
    const QDeadlineTimer deadline(milliseconds);
    do {
        QTest::qWait(20);
        while (socket.hasPendingDatagrams())
            datagrams.append(socket.receiveDatagram());
    } while (!deadline.hasExpired());
    return datagrams;
}
} // namespace

class TestPeerManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parse_data();
    void parse();
    void build_data();
    void build();
    void malformedDatagramsAreDropped_data();
    void malformedDatagramsAreDropped();
    void ownAddressesAreIgnored();
    void repeats_data();
    void repeats();
    void floodIsCoalesced();
    void manyNodesAreAllReported();
    void elevenAnnouncementsThenSilence();
    void announcementsGoOutWithoutDefaultRoute();
    void announcementFromAnotherHost();

private:
    bool m_isolated = false;
};

void TestPeerManager::initTestCase()
{
    // Broadcasts must not leave this machine: the test moves into a network namespace of its own with one
    // virtual link (10.78.0.1/24) and no default route. Without the privilege for that, the tests that send
    // are skipped.
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
        qWarning("cannot create a private network namespace (needs root); sending tests are skipped");
        return;
    }
    m_isolated = run("ip link set lo up && ip link add v0 type veth peer name v1 && "
                     "ip addr add 10.78.0.1/24 brd + dev v0 && ip link set v0 up && ip link set v1 up");
    if (!m_isolated)
        qWarning("cannot set up the private network; sending tests are skipped");
}

void TestPeerManager::parse_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("three fields") << QByteArray("abc|Windows 7|Ann") << QStringList{"abc", "Windows 7", "Ann"};
    QTest::newRow("three empty fields") << QByteArray("||") << QStringList{"", "", ""};
    QTest::newRow("Latin-1 bytes") << QByteArray("{x}|Linux|Ren\xe9") << QStringList{"{x}", "Linux", "Ren\u00e9"};
    QTest::newRow("two fields") << QByteArray("abc|Windows 7") << QStringList{};
    QTest::newRow("four fields") << QByteArray("abc|Windows 7|A|nn") << QStringList{};
    QTest::newRow("no separator") << QByteArray("abc") << QStringList{};
    QTest::newRow("empty datagram") << QByteArray("") << QStringList{};
}

void TestPeerManager::parse()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QStringList, expected);
    const std::optional<PeerManager::Announcement> parsed = PeerManager::parseAnnouncement(datagram);
    if (expected.isEmpty()) {
        QVERIFY(!parsed);
        return;
    }
    QVERIFY(parsed);
    QCOMPARE((QStringList{parsed->nodeId, parsed->nodeOS, parsed->nodeAlias}), expected);
}

void TestPeerManager::build_data()
{
    QTest::addColumn<QString>("alias");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << "Ann" << QByteArray("{id}|Linux|Ann");
    QTest::newRow("Latin-1 letter") << QString::fromUtf8("Ren\xc3\xa9") << QByteArray("{id}|Linux|Ren\xe9");
    QTest::newRow("outside Latin-1") << QString::fromUtf8("\xce\xa9mega \xe6\x97\xa5")
                                     << QByteArray("{id}|Linux|?mega ?");
    QTest::newRow("empty") << "" << QByteArray("{id}|Linux|");
}

void TestPeerManager::build()
{
    QFETCH(QString, alias);
    QFETCH(QByteArray, expected);
    QCOMPARE(PeerManager::buildAnnouncement("{id}", "Linux", alias), expected);
}

void TestPeerManager::malformedDatagramsAreDropped_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("reported");
    QTest::newRow("two fields") << QByteArray("a|b") << false;
    QTest::newRow("four fields") << QByteArray("a|b|c|d") << false;
    QTest::newRow("alias with a separator") << QByteArray("a|Linux|A|B") << false;
    QTest::newRow("three empty fields") << QByteArray("||") << true;
}

void TestPeerManager::malformedDatagramsAreDropped()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, reported);
    PeerManager manager;
    QSignalSpy spy(&manager, &PeerManager::newConnection);
    manager.handleDatagram(datagram, QHostAddress("10.99.0.5"));
    QCOMPARE(spy.size(), reported ? 1 : 0);
    if (reported)
        QCOMPARE(spy.first(), (QVariantList{"", "10.99.0.5", "", ""}));
}

void TestPeerManager::ownAddressesAreIgnored()
{
    PeerManager manager;
    QSignalSpy spy(&manager, &PeerManager::newConnection);
    const QList<QHostAddress> own = manager.ownAddressList();
    QVERIFY(!own.isEmpty());
    for (const QHostAddress& address : own) {
        manager.handleDatagram("abc|Windows 7|Ann", address);
        // The same address as a dual-stack socket would report it.
        manager.handleDatagram("abc|Windows 7|Ann", QHostAddress("::ffff:" + address.toString()));
    }
    QCOMPARE(spy.size(), 0);

    manager.handleDatagram("abc|Windows 7|Ann", QHostAddress("192.168.1.20"));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first(), (QVariantList{"abc", "192.168.1.20", "Windows 7", "Ann"}));
}

void TestPeerManager::repeats_data()
{
    // Each step: the time in ms, node id, source address, whether it is reported, and the alias (Ann if absent).
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("normal cadence") << QStringList{"0 a 10.0.0.2 1", "2000 a 10.0.0.2 1", "4000 a 10.0.0.2 1"};
    QTest::newRow("repeat inside the window")
        << QStringList{"0 a 10.0.0.2 1", "1 a 10.0.0.2 0", "999 a 10.0.0.2 0", "1000 a 10.0.0.2 1"};
    QTest::newRow("dropped repeats do not extend the window")
        << QStringList{"0 a 10.0.0.2 1", "600 a 10.0.0.2 0", "1100 a 10.0.0.2 1"};
    QTest::newRow("same node from another address") << QStringList{"0 a 10.0.0.2 1", "10 a 10.0.0.3 1"};
    QTest::newRow("another node from the same address") << QStringList{"0 a 10.0.0.2 1", "10 b 10.0.0.2 1"};
    QTest::newRow("clock set back") << QStringList{"100000 a 10.0.0.2 1", "5000 a 10.0.0.2 1"};
    QTest::newRow("renamed inside the window")
        << QStringList{"0 a 10.0.0.2 1", "10 a 10.0.0.2 1 Bea", "20 a 10.0.0.2 0 Bea"};
    QTest::newRow("renamed back inside the window")
        << QStringList{"0 a 10.0.0.2 1", "10 a 10.0.0.2 1 Bea", "20 a 10.0.0.2 1 Ann"};
}

void TestPeerManager::repeats()
{
    QFETCH(QStringList, steps);
    Vesk::ManualClock clock(0);
    PeerManager manager;
    manager.setClock(clock);
    QSignalSpy spy(&manager, &PeerManager::newConnection);
    for (const QString& step : steps) {
        const QStringList parts = step.split(' ');
        clock.setNowMs(parts.at(0).toLongLong());
        const qsizetype before = spy.size();
        const QString alias = parts.size() > 4 ? parts.at(4) : QStringLiteral("Ann");
        manager.handleDatagram(PeerManager::buildAnnouncement(parts.at(1), "Linux", alias), QHostAddress(parts.at(2)));
        QVERIFY2(spy.size() - before == parts.at(3).toInt(), qPrintable(step));
    }
}

void TestPeerManager::floodIsCoalesced()
{
    Vesk::ManualClock clock(50000);
    PeerManager manager;
    manager.setClock(clock);
    QSignalSpy spy(&manager, &PeerManager::newConnection);
    for (int i = 0; i < 10000; ++i) {
        clock.advance(i % 100 == 0 ? 1 : 0);
        manager.handleDatagram("flood|Linux|F", QHostAddress("10.0.0.66"));
    }
    QCOMPARE(spy.size(), 1);
}

void TestPeerManager::manyNodesAreAllReported()
{
    Vesk::ManualClock clock(0);
    PeerManager manager;
    manager.setClock(clock);
    QSignalSpy spy(&manager, &PeerManager::newConnection);
    constexpr int kNodes = 10000;
    for (int i = 0; i < kNodes; ++i)
        manager.handleDatagram(QByteArray::number(i) + "|Linux|N", QHostAddress("10.0.0.9"));
    QCOMPARE(spy.size(), kNodes);
    // Past the window every node is heard again.
    clock.advance(PeerManager::kRepeatWindowMs);
    manager.handleDatagram("17|Linux|N", QHostAddress("10.0.0.9"));
    QCOMPARE(spy.size(), kNodes + 1);
}

void TestPeerManager::elevenAnnouncementsThenSilence()
{
    if (!m_isolated)
        QSKIP("needs a private network namespace");
    PeerManager manager;
    int announcements = 0;
    manager.setAnnouncementSource([&announcements] {
        ++announcements;
        return QByteArray("{me}|Linux|Me");
    });
    for (int i = 0; i < 15; ++i)
        manager.broadCastMyself();
    QCOMPARE(announcements, PeerManager::kAnnouncementsPerReset);
    QCOMPARE(manager.broadcastCountValue(), PeerManager::kAnnouncementsPerReset);

    manager.reBroadCastMyself();
    QCOMPARE(announcements, PeerManager::kAnnouncementsPerReset);
    for (int i = 0; i < 15; ++i)
        manager.broadCastMyself();
    QCOMPARE(announcements, 2 * PeerManager::kAnnouncementsPerReset);
}

void TestPeerManager::announcementsGoOutWithoutDefaultRoute()
{
    if (!m_isolated)
        QSKIP("needs a private network namespace");
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress::AnyIPv4, PeerManager::kUdpPort,
                          QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));

    QString alias = QStringLiteral("Ann");
    PeerManager manager;
    manager.setAnnouncementSource([&alias] { return PeerManager::buildAnnouncement("{me}", "Linux", alias); });
    QSignalSpy spy(&manager, &PeerManager::newConnection);
    QCOMPARE(manager.broadcastTargetList(), QList<QHostAddress>{kOwnBroadcast});
    QCOMPARE(manager.ownAddressList(), QList<QHostAddress>{kOwnAddress});

    // The first announcement goes out at once. 255.255.255.255 is unreachable here; the link's broadcast is not.
    QList<QNetworkDatagram> first = receiveFor(listener, 500);
    QCOMPARE(first.size(), 1);
    QCOMPARE(first.first().data(), QByteArray("{me}|Linux|Ann"));
    QCOMPARE(first.first().senderAddress(), kOwnAddress);

    // The timer keeps going, and the content is read again for every announcement.
    alias = QStringLiteral("Bea");
    QList<QNetworkDatagram> second = receiveFor(listener, PeerManager::kBroadcastIntervalMs + 500);
    QCOMPARE(second.size(), 1);
    QCOMPARE(second.first().data(), QByteArray("{me}|Linux|Bea"));

    // With a default route the limited broadcast goes out too.
    QVERIFY(run("ip route add default dev v0"));
    QList<QNetworkDatagram> third = receiveFor(listener, PeerManager::kBroadcastIntervalMs + 500);
    QVERIFY(run("ip route del default dev v0"));
    QCOMPARE(third.size(), 2);
    QSet<QHostAddress> destinations;
    for (const QNetworkDatagram& datagram : third)
        destinations.insert(datagram.destinationAddress());
    QCOMPARE(destinations, (QSet<QHostAddress>{QHostAddress(QHostAddress::Broadcast), kOwnBroadcast}));

    // Our own announcements were all heard by the manager itself, and none was reported.
    QCOMPARE(spy.size(), 0);
}

void TestPeerManager::announcementFromAnotherHost()
{
    if (!m_isolated)
        QSKIP("needs a private network namespace");
    PeerManager manager;
    QSignalSpy spy(&manager, &PeerManager::newConnection);

    QUdpSocket otherHost;
    QVERIFY(otherHost.bind(QHostAddress::LocalHost, 0));
    otherHost.writeDatagram("abc|Windows 7|Ann", QHostAddress::LocalHost, PeerManager::kUdpPort);
    QVERIFY(spy.wait(2000));
    QCOMPARE(spy.first(), (QVariantList{"abc", "127.0.0.1", "Windows 7", "Ann"}));

    QUdpSocket ownAddress;
    QVERIFY(ownAddress.bind(kOwnAddress, 0));
    ownAddress.writeDatagram("abc|Windows 7|Ann", kOwnAddress, PeerManager::kUdpPort);
    QVERIFY(!spy.wait(500));
    QCOMPARE(spy.size(), 1);
}

QTEST_GUILESS_MAIN(TestPeerManager)
#include "tst_peermanager.moc"
