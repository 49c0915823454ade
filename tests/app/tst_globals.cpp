#include "app/globals.h"

#include "app/platform.h"
#include "appsupport.h"
#include "testsupport.h"

#include <QDir>
#include <QImage>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

using TestSupport::column;
using TestSupport::exec;
using TestSupport::peerField;
using Vesk::Globals;

namespace {
const QString kPeer = QStringLiteral("{peer-a}");
}

// The controller as the interface sees it: it forwards to the subsystems and keeps the few rules of its own.
class TestGlobals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void storedIdIsKept();
    void selectingAChatShowsItAndClearsItsCount();
    void conversationOpen_data();
    void conversationOpen();
    void secondsRemainingIgnoresSmallChanges_data();
    void secondsRemainingIgnoresSmallChanges();
    void wakeFromSleepRefreshesPeers_data();
    void wakeFromSleepRefreshesPeers();
    void confirmations_data();
    void confirmations();
    void ownAvatarIsStoredOrKept();
    void messagesReachTheirSubsystem_data();
    void messagesReachTheirSubsystem();
    void ownIdFromAnotherComputerGivesAFreshId();

private:
    Globals* g = nullptr;
    Vesk::ManualClock m_clock;
};

void TestGlobals::initTestCase()
{
    // A node id stored by an earlier run must be used as it is.
    QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk")).setValue("machineId", "{stored-node-id}");
    g = TestSupport::controller();
    g->setClock(m_clock);
}

void TestGlobals::init()
{
    QVERIFY(exec(QStringLiteral("delete from vesk_peers where id <> ?"), {g->hostId()}));
    QVERIFY(exec(QStringLiteral("delete from vesk_downloads")) && exec(QStringLiteral("delete from vesk_uploads")));
    QVERIFY(exec(QStringLiteral("insert into vesk_peers (id, alias, ipAddress, status, unreadMessagesCount, blocked) "
                                "values (?, 'Ann', '10.9.0.1', 'on', '3', 'no')"),
                 {kPeer}));
}

void TestGlobals::storedIdIsKept()
{
    QCOMPARE(g->hostId(), QStringLiteral("{stored-node-id}"));
}

void TestGlobals::selectingAChatShowsItAndClearsItsCount()
{
    g->setCurrentSelectedTabIndex(2);
    QCOMPARE(g->totalNumberOfUnReadMessages(), 3);
    g->setCurrentSelectedChatPeer(kPeer);
    QCOMPARE(g->currentSelectedTabIndex(), 0);
    QCOMPARE(peerField(kPeer, QStringLiteral("unreadMessagesCount")), QStringLiteral("0"));
    QCOMPARE(g->totalNumberOfUnReadMessages(), 0);
}

// Whether a message arriving from that node is shown at once rather than counted as unread.
void TestGlobals::conversationOpen_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("open");
    QTest::newRow("same id") << 0 << kPeer << true;
    QTest::newRow("id in other case") << 0 << kPeer.toUpper() << true;
    QTest::newRow("another peer") << 0 << QStringLiteral("{peer-b}") << false;
    QTest::newRow("chat tab not shown") << 1 << kPeer << false;
}

void TestGlobals::conversationOpen()
{
    QFETCH(int, tab);
    QFETCH(QString, from);
    g->setCurrentSelectedChatPeer(kPeer);
    g->setCurrentSelectedTabIndex(tab);
    QTEST(g->isConversationOpen(from), "open");
}

void TestGlobals::secondsRemainingIgnoresSmallChanges_data()
{
    QTest::addColumn<qint64>("next");
    QTest::addColumn<qint64>("shown");
    QTest::newRow("4 less") << qint64(96) << qint64(100);
    QTest::newRow("4 more") << qint64(104) << qint64(100);
    QTest::newRow("5 less") << qint64(95) << qint64(95);
    QTest::newRow("5 more") << qint64(105) << qint64(105);
}

void TestGlobals::secondsRemainingIgnoresSmallChanges()
{
    g->setNumberOfSecondsRemainingForCurrentDownload(0);
    g->setNumberOfSecondsRemainingForCurrentDownload(100);
    QFETCH(qint64, next);
    g->setNumberOfSecondsRemainingForCurrentDownload(next);
    QTEST(g->numberOfSecondsRemainingForCurrentDownload(), "shown");
}

void TestGlobals::wakeFromSleepRefreshesPeers_data()
{
    QTest::addColumn<qint64>("gap");
    QTest::addColumn<QString>("status");
    QTest::newRow("ten seconds") << qint64(10000) << "on";
    QTest::newRow("exactly thirty minutes") << qint64(1800000) << "on";
    QTest::newRow("thirty minutes and a millisecond") << qint64(1800001) << "off";
    QTest::newRow("clock set back") << qint64(-5 * 3600000) << "on";
}

void TestGlobals::wakeFromSleepRefreshesPeers()
{
    QFETCH(qint64, gap);
    g->detectWakeUpFromSleepTimeout(); // takes the reference time
    m_clock.advance(gap);
    g->detectWakeUpFromSleepTimeout();
    QTEST(peerField(kPeer, QStringLiteral("status")), "status");
    g->refreshPeers(); // what the refresh button does
    QCOMPARE(peerField(kPeer, QStringLiteral("status")), QStringLiteral("off"));
}

// The list-wide operations ask first and do nothing unless the user says OK.
void TestGlobals::confirmations_data()
{
    QTest::addColumn<QByteArray>("call");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::newRow("clear uploads") << QByteArray("clearAllPendingUploads") << "select status from vesk_uploads"
                                   << "sent"
                                   << "tobedeleted";
    QTest::newRow("clear downloads") << QByteArray("clearAllPendingDownloads") << "select status from vesk_downloads"
                                     << "unknown"
                                     << "tobedeleted";
    QTest::newRow("block") << QByteArray("blockUser") << "select blocked from vesk_peers where id = '" + kPeer + "'"
                           << "no"
                           << "yes";
}

void TestGlobals::confirmations()
{
    QFETCH(QByteArray, call);
    QFETCH(QString, query);
    QVERIFY(
        exec(QStringLiteral("replace into vesk_uploads (id, nodeto, filename, status) values ('u', ?, 'a', 'sent')"),
             {kPeer}));
    QVERIFY(exec(QStringLiteral("replace into vesk_downloads (id, nodefrom, filename, filesize, status) "
                                "values ('d', ?, 'b', 1, 'unknown')"),
                 {kPeer}));
    for (const auto answer : {QMessageBox::Cancel, QMessageBox::Ok}) {
        TestSupport::BoxAnswerer box(answer);
        if (call == "blockUser")
            QVERIFY(QMetaObject::invokeMethod(g, call, Q_ARG(QString, kPeer)));
        else
            QVERIFY(QMetaObject::invokeMethod(g, call));
        QVERIFY(box.seen);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QCOMPARE(column(query), QStringList{answer == QMessageBox::Ok ? after : before});
    }
}

void TestGlobals::ownAvatarIsStoredOrKept()
{
    const QString stored = dataFolderPath() + QStringLiteral("myavatar.png");
    const QString wide = QDir::homePath() + QStringLiteral("/wide.png");
    QVERIFY(TestSupport::writeFile(wide, TestSupport::pictureBytes(1024, 512)));
    QSignalSpy changed(g, &Globals::userAvatarChanged);
    g->setUserAvatar(wide);
    QCOMPARE(QImage(stored).size(), QSize(256, 256));
    QCOMPARE(g->userAvatar(), stored);

    const QString junk = QDir::homePath() + QStringLiteral("/junk.png");
    QVERIFY(TestSupport::writeFile(junk, "not an image at all"));
    TestSupport::MessageCatcher catcher;
    g->setUserAvatar(junk);
    QCOMPARE(catcher.criticals(), QStringList{QStringLiteral("Could not load image at ") + junk});
    QCOMPARE(QImage(stored).size(), QSize(256, 256));
    QCOMPARE(changed.size(), 1);
}

// The controller only forwards: a message handed to it ends up as the row its subsystem writes.
void TestGlobals::messagesReachTheirSubsystem_data()
{
    QTest::addColumn<Vesk::Parameters>("message");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("expected");
    const auto from = [](const char* action, const Vesk::Parameters& more) {
        Vesk::Parameters message = more;
        message.insert(QStringLiteral("action"), QString::fromLatin1(action));
        message.insert(QStringLiteral("nodeFrom"), kPeer);
        message.insert(QStringLiteral("senderIPAddress"), QStringLiteral("10.9.0.1"));
        return message;
    };
    QTest::newRow("chat") << from("newChatMessage", {{"message", "hello"}, {"chatId", "{c1}"}, {"timeSent", 1}})
                          << "select message from vesk_chats where id = '{c1}'"
                          << "hello";
    QTest::newRow("offer") << from("newFileToDownload", {{"fileId", "0123456789abcdef0123456789abcdef"},
                                                         {"fileName", "report.pdf"},
                                                         {"fileSize", 10}})
                           << "select filename from vesk_downloads where id = '0123456789abcdef0123456789abcdef'"
                           << "report.pdf";
    QTest::newRow("handshake") << from("addMeRequest", {{"alias", "Bob"}})
                               << "select alias from vesk_peers where id = '" + kPeer + "'"
                               << "Bob";
}

void TestGlobals::messagesReachTheirSubsystem()
{
    QFETCH(Vesk::Parameters, message);
    QFETCH(QString, query);
    g->processMessage(message);
    QTEST(column(query).value(0), "expected");
}

void TestGlobals::ownIdFromAnotherComputerGivesAFreshId()
{
    const QString before = g->hostId();
    TestSupport::MessageCatcher catcher;
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
    QCOMPARE(peerField(before, QStringLiteral("ipAddress")), QStringLiteral("10.99.0.2"));
}

QTEST_MAIN(TestGlobals)
#include "tst_globals.moc"
