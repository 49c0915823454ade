#include "app/globals.h"

#include "appsupport.h"
#include "testsupport.h"

#include <QSettings>
#include <QTest>

using namespace TestSupport;
using Vesk::Parameters;

namespace {
const QString kPeer = QStringLiteral("{peer-a}");
}

// The controller as the interface sees it: it forwards to the subsystems and keeps the few rules of its own.
class TestGlobals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A node id stored by an earlier run is used as it is.
        QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk")).setValue("machineId", "{stored-node-id}");
        g = controller();
        g->setClock(m_clock);
        QCOMPARE(g->hostId(), QStringLiteral("{stored-node-id}"));
    }
    void init()
    {
        QVERIFY(exec("delete from vesk_peers where id <> ?", {g->hostId()}) && exec("delete from vesk_downloads") &&
                exec("delete from vesk_uploads"));
        QVERIFY(exec("insert into vesk_peers (id, alias, ipAddress, status, unreadMessagesCount, blocked) values "
                     "(?, 'Ann', '10.9.0.1', 'on', '3', 'no')",
                     {kPeer}));
        QVERIFY(exec("insert into vesk_uploads (id, filename, status) values ('u', 'a', 'sent')"));
        QVERIFY(exec("insert into vesk_downloads (id, filename, filesize, status) values ('d', 'b', 1, 'unknown')"));
    }
    // Selecting a chat shows it and clears its count; a message from that node is then shown, not counted.
    void conversationOpen_data()
    {
        QTest::addColumn<int>("tab");
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("open");
        QTest::newRow("same id") << 0 << kPeer << true;
        QTest::newRow("id in other case") << 0 << kPeer.toUpper() << true;
        QTest::newRow("another peer") << 0 << QStringLiteral("{peer-b}") << false;
        QTest::newRow("chat tab not shown") << 1 << kPeer << false;
    }
    void conversationOpen()
    {
        QFETCH(int, tab);
        QFETCH(QString, from);
        g->setCurrentSelectedTabIndex(2);
        g->setCurrentSelectedChatPeer(kPeer);
        QCOMPARE(g->currentSelectedTabIndex(), 0);
        QCOMPARE(g->totalNumberOfUnReadMessages(), 0);
        g->setCurrentSelectedTabIndex(tab);
        QTEST(g->isConversationOpen(from), "open");
    }
    void wakeFromSleepRefreshesPeers_data()
    {
        QTest::addColumn<qint64>("gap");
        QTest::addColumn<QString>("status");
        QTest::newRow("exactly thirty minutes") << qint64(1800000) << "on";
        QTest::newRow("thirty minutes and a millisecond") << qint64(1800001) << "off";
        QTest::newRow("clock set back") << qint64(-5 * 3600000) << "on";
    }
    void wakeFromSleepRefreshesPeers()
    {
        QFETCH(qint64, gap);
        g->detectWakeUpFromSleepTimeout(); // takes the reference time
        m_clock.advance(gap);
        g->detectWakeUpFromSleepTimeout();
        QTEST(peerField(kPeer, "status"), "status");
        g->refreshPeers(); // the refresh button
        QCOMPARE(peerField(kPeer, "status"), QStringLiteral("off"));
    }
    // The list-wide operations ask first and do nothing unless the user says OK.
    void confirmations_data()
    {
        QTest::addColumn<QByteArray>("call");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("results"); // after Cancel, then after OK
        QTest::newRow("clear uploads") << QByteArray("clearAllPendingUploads") << "select status from vesk_uploads"
                                       << QStringList{"sent", "tobedeleted"};
        QTest::newRow("clear downloads") << QByteArray("clearAllPendingDownloads")
                                         << "select status from vesk_downloads"
                                         << QStringList{"unknown", "tobedeleted"};
        QTest::newRow("block") << QByteArray("blockUser") << "select blocked from vesk_peers where id = '" + kPeer + "'"
                               << QStringList{"no", "yes"};
    }
    void confirmations()
    {
        QFETCH(QByteArray, call);
        QFETCH(QString, query);
        QFETCH(QStringList, results);
        for (const auto answer : {QMessageBox::Cancel, QMessageBox::Ok}) {
            BoxAnswerer box(answer);
            QVERIFY(call == "blockUser" ? QMetaObject::invokeMethod(g, call, Q_ARG(QString, kPeer))
                                        : QMetaObject::invokeMethod(g, call));
            QVERIFY(box.seen);
            QCOMPARE(column(query), QStringList{results.value(answer == QMessageBox::Ok)});
        }
    }
    // The controller only forwards: a message handed to it ends up as the row its subsystem writes.
    void messagesReachTheirSubsystem_data()
    {
        QTest::addColumn<Parameters>("message");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("expected");
        const auto from = [](const char* action, Parameters message) {
            message.insert({{"action", action}, {"nodeFrom", kPeer}, {"senderIPAddress", "10.9.0.1"}});
            return message;
        };
        const char* fileId = "0123456789abcdef0123456789abcdef";
        QTest::newRow("chat") << from("newChatMessage", {{"message", "hello"}, {"chatId", "{c1}"}, {"timeSent", 1}})
                              << "select message from vesk_chats where id = '{c1}'"
                              << "hello";
        QTest::newRow("offer") << from("newFileToDownload",
                                       {{"fileId", fileId}, {"fileName", "a.pdf"}, {"fileSize", 9}})
                               << QString("select filename from vesk_downloads where id = '%1'").arg(fileId) << "a.pdf";
        QTest::newRow("handshake") << from("addMeRequest", {{"alias", "Bob"}})
                                   << "select alias from vesk_peers where id = '" + kPeer + "'"
                                   << "Bob";
    }
    void messagesReachTheirSubsystem()
    {
        QFETCH(Parameters, message);
        QFETCH(QString, query);
        g->processMessage(message);
        QTEST(column(query).value(0), "expected");
    }
    void ownIdFromAnotherComputerGivesAFreshId()
    {
        const QString before = g->hostId();
        MessageCatcher catcher;
        // From this computer itself (the loopback) an announcement with our id is our own.
        g->addNodeFromUDP(before, QStringLiteral("127.0.0.1"), QStringLiteral("os"), QStringLiteral("me"));
        QCOMPARE(g->hostId(), before);
        // From anywhere else it is a second computer with our id: this one takes a fresh id and keeps it.
        g->addNodeFromUDP(before, QStringLiteral("10.99.0.2"), QStringLiteral("os"), QStringLiteral("twin"));
        const QString fresh = g->hostId();
        QVERIFY(fresh != before && !fresh.isEmpty());
        QCOMPARE(g->settings->value(QStringLiteral("machineId")).toString(), fresh);
        QCOMPARE(catcher.criticals().filter(QStringLiteral("uses this computer's node id")).size(), 1);
        // The other computer is an ordinary peer from now on.
        g->addNodeFromUDP(before, QStringLiteral("10.99.0.2"), QStringLiteral("os"), QStringLiteral("twin"));
        QCOMPARE(g->hostId(), fresh);
        QCOMPARE(peerField(before, "ipAddress"), QStringLiteral("10.99.0.2"));
    }

private:
    Vesk::Globals* g = nullptr;
    Vesk::ManualClock m_clock;
};

QTEST_MAIN(TestGlobals)
#include "tst_globals.moc"
