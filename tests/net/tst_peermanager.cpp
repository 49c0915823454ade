#include "net/peermanager.h"

#include "testsupport.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QSignalSpy>

#include <sched.h>
#include <unistd.h>

class TestPeerManager : public QObject
{
    Q_OBJECT
    bool m_isolated = false;

private slots:
    void initTestCase()
    {
        // Broadcasts must not leave this machine: a network namespace of our own with one link, 10.78.0.1/24, and
        // no default route. Without the privilege for that, the test that sends is skipped.
        if (geteuid() == 0 && unshare(CLONE_NEWNET) == 0)
            m_isolated =
                QProcess::execute("sh", {"-c", "ip link add v0 type veth peer name v1 && ip addr add 10.78.0.1/24 "
                                               "brd + dev v0 && for l in lo v0 v1; do ip link set $l up; done"}) == 0;
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

    // On a link without a default route the announcement still goes out, to the link's broadcast address, read
    // afresh each time, eleven times after each reset; with a default route to 255.255.255.255 as well.
    void announcementsGoOut()
    {
        if (!m_isolated)
            QSKIP("needs a private network namespace");
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress::AnyIPv4, PeerManager::kUdpPort,
                              QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
        const auto heard = [&listener] {
            QStringList datagrams;
            QTest::qWait(300);
            for (QNetworkDatagram d; (d = listener.receiveDatagram()).isValid();)
                datagrams.append(d.destinationAddress().toString() + " " + QString::fromLatin1(d.data()));
            datagrams.sort();
            return datagrams;
        };
        QString alias = QStringLiteral("Ann");
        PeerManager manager;
        manager.setAnnouncementSource([&alias] { return PeerManager::buildAnnouncement("{me}", "Linux", alias); });
        QCOMPARE(heard(), QStringList{"10.78.0.255 {me}|Linux|Ann"});
        alias = QStringLiteral("\u00c9ve \u65e5");
        for (int i = 1; i < PeerManager::kAnnouncementsPerReset + 3; ++i)
            manager.broadCastMyself();
        QCOMPARE(heard(), QStringList(PeerManager::kAnnouncementsPerReset - 1, "10.78.0.255 {me}|Linux|\u00c9ve ?"));

        QVERIFY(QProcess::execute("ip", {"route", "add", "default", "dev", "v0"}) == 0);
        manager.reBroadCastMyself();
        manager.broadCastMyself();
        QCOMPARE(heard(), (QStringList{"10.78.0.255 {me}|Linux|\u00c9ve ?", "255.255.255.255 {me}|Linux|\u00c9ve ?"}));
    }
};

QTEST_GUILESS_MAIN(TestPeerManager)
#include "tst_peermanager.moc"
