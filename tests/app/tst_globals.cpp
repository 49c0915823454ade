#include "app/globals.h"

#include "app/platform.h"
#include "common/clock.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using Vesk::Globals;

class TestGlobals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void hostIdIsKept();
    void secondsRemainingHysteresis_data();
    void secondsRemainingHysteresis();
    void setterEmissionRules();
    void peerSelectionToggles();
    void wakeFromSleep_data();
    void wakeFromSleep();
    void refreshIntervalInWholeSeconds();
    void avatarImportIsTheCentreSquare();
    void avatarFallsBackToBuiltIn();
    void unloadableAvatarKeepsPrevious();
    void startOnLoginFollowsSetting();
    void emptyDatabaseCountsZero();
    void messagesReachTheirSubsystem_data();
    void messagesReachTheirSubsystem();
    void ownIdFromAnotherComputerGivesAFreshId();

private:
    Globals* g = nullptr;
    Vesk::ManualClock m_clock;
    void markPeerOn(const QString& id);
    QString peerStatus(const QString& id);
};

void TestGlobals::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    {
        // A node id stored by an earlier run must be used as it is.
        QSettings settings(QStringLiteral("Tavimor"), QStringLiteral("Vesk"));
        settings.setValue(QStringLiteral("machineId"), QStringLiteral("{stored-node-id}"));
    }
    g = Globals::instance();
    QVERIFY(g->messageServer().tcpServer.isListening());
    g->setClock(m_clock);
}

void TestGlobals::cleanup() {}

void TestGlobals::hostIdIsKept()
{
    QCOMPARE(g->hostId(), QStringLiteral("{stored-node-id}"));
    QCOMPARE(g->settings->value(QStringLiteral("machineId")).toString(), QStringLiteral("{stored-node-id}"));
}

void TestGlobals::secondsRemainingHysteresis_data()
{
    QTest::addColumn<qint64>("next");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<int>("emissions");
    QTest::newRow("4 less is ignored") << qint64(96) << qint64(100) << 0;
    QTest::newRow("4 more is ignored") << qint64(104) << qint64(100) << 0;
    QTest::newRow("5 less is taken") << qint64(95) << qint64(95) << 1;
    QTest::newRow("5 more is taken") << qint64(105) << qint64(105) << 1;
    QTest::newRow("same is ignored") << qint64(100) << qint64(100) << 0;
}

void TestGlobals::secondsRemainingHysteresis()
{
    QFETCH(qint64, next);
    QFETCH(qint64, expected);
    QFETCH(int, emissions);
    g->setNumberOfSecondsRemainingForCurrentDownload(0);
    g->setNumberOfSecondsRemainingForCurrentDownload(100);
    QCOMPARE(g->numberOfSecondsRemainingForCurrentDownload(), qint64(100));
    QSignalSpy spy(g, &Globals::numberOfSecondsRemainingForCurrentDownloadChanged);
    g->setNumberOfSecondsRemainingForCurrentDownload(next);
    QCOMPARE(g->numberOfSecondsRemainingForCurrentDownload(), expected);
    QCOMPARE(spy.count(), emissions);
}

void TestGlobals::setterEmissionRules()
{
    QSignalSpy appName(g, &Globals::appNameChanged);
    g->setAppName(g->appName());
    QCOMPARE(appName.count(), 0);
    g->setAppName(QStringLiteral("Other"));
    g->setAppName(QStringLiteral("Vesk"));
    QCOMPARE(appName.count(), 2);

    QSignalSpy tab(g, &Globals::currentSelectedTabIndexChanged);
    g->setCurrentSelectedTabIndex(g->currentSelectedTabIndex());
    QCOMPARE(tab.count(), 0);
    g->setCurrentSelectedTabIndex(2);
    QCOMPARE(tab.count(), 1);
    g->setCurrentSelectedTabIndex(0);

    QSignalSpy fileId(g, &Globals::currentDownloadingFileIdChanged);
    g->setCurrentDownloadingFileId(g->currentDownloadingFileId());
    g->setCurrentDownloadingFileId(g->currentDownloadingFileId());
    QCOMPARE(fileId.count(), 2); // always emits

    QSignalSpy temp(g, &Globals::tempAvatarPathChanged);
    g->setTempAvatarPath(QStringLiteral("/x.png"));
    g->setTempAvatarPath(QStringLiteral("/x.png"));
    QCOMPARE(temp.count(), 2);
    QCOMPARE(g->tempAvatarPath(), QStringLiteral("/x.png"));
    g->setTempAvatarPath(QString());

    QSignalSpy alias(g, &Globals::userAliasChanged);
    g->setUserAlias(QStringLiteral("Ann"));
    g->setUserAlias(QStringLiteral("Ann"));
    QCOMPARE(alias.count(), 2);
    QCOMPARE(g->userAlias(), QStringLiteral("Ann"));
}

void TestGlobals::peerSelectionToggles()
{
    QSignalSpy spy(g, &Globals::selectedPeersCountChanged);
    const QString id = QStringLiteral("{peer}");
    QVERIFY(!g->isPeerSelected(id));
    g->togglePeerSelection(id);
    QVERIFY(g->isPeerSelected(id));
    QVERIFY(!g->isPeerSelected(QStringLiteral("{PEER}")));
    QCOMPARE(g->selectedPeersCount(), 1);
    g->togglePeerSelection(id);
    QVERIFY(!g->isPeerSelected(id));
    QCOMPARE(g->selectedPeersCount(), 0);
    QCOMPARE(spy.count(), 2);
}

void TestGlobals::markPeerOn(const QString& id)
{
    QSqlQuery q(QSqlDatabase::database(QStringLiteral("veskdb")));
    QVERIFY_SQL(q, prepare(QStringLiteral("replace into vesk_peers (id, alias, status, unreadMessagesCount) values "
                                          "(?, 'p', 'on', '0')")));
    q.addBindValue(id);
    QVERIFY_SQL(q, exec());
}

QString TestGlobals::peerStatus(const QString& id)
{
    QSqlQuery q(QSqlDatabase::database(QStringLiteral("veskdb")));
    q.prepare(QStringLiteral("select status from vesk_peers where id = ?"));
    q.addBindValue(id);
    q.exec();
    return q.next() ? q.value(0).toString() : QString();
}

void TestGlobals::wakeFromSleep_data()
{
    QTest::addColumn<qint64>("gap");
    QTest::addColumn<bool>("refreshes");
    QTest::newRow("ten seconds") << qint64(10000) << false;
    QTest::newRow("exactly thirty minutes") << qint64(1800000) << false;
    QTest::newRow("thirty minutes and a millisecond") << qint64(1800001) << true;
    QTest::newRow("thirty-one minutes") << qint64(31 * 60000) << true;
    QTest::newRow("clock set back") << qint64(-5 * 3600000) << false;
}

void TestGlobals::wakeFromSleep()
{
    QFETCH(qint64, gap);
    QFETCH(bool, refreshes);
    m_clock.setNowMs(1700000000000);
    g->detectWakeUpFromSleepTimeout(); // takes the reference time
    markPeerOn(QStringLiteral("{sleepy}"));
    m_clock.advance(gap);
    g->detectWakeUpFromSleepTimeout();
    QCOMPARE(peerStatus(QStringLiteral("{sleepy}")), refreshes ? QStringLiteral("off") : QStringLiteral("on"));
}

void TestGlobals::refreshIntervalInWholeSeconds()
{
    for (int i = 0; i < 50; ++i) {
        g->refreshPeersTimeout();
        const int interval = g->refreshPeersTimer.interval();
        QVERIFY2(interval >= 3600000 && interval <= 3699000, qPrintable(QString::number(interval)));
        QCOMPARE(interval % 1000, 0);
    }
}

void TestGlobals::avatarImportIsTheCentreSquare()
{
    const QString source = QDir::homePath() + QStringLiteral("/wide.jpg");
    QImage wide(1024, 512, QImage::Format_RGB32);
    wide.fill(Qt::blue);
    QPainter(&wide).fillRect(256, 0, 512, 512, Qt::red);
    QVERIFY(wide.save(source, "JPG"));
    QSignalSpy spy(g, &Globals::userAvatarChanged);
    g->setUserAvatar(source);
    QCOMPARE(spy.count(), 1);
    const QString stored = dataFolderPath() + QStringLiteral("myavatar.png");
    QImage result;
    QVERIFY(result.load(stored, "PNG"));
    QCOMPARE(result.size(), QSize(256, 256));
    // Cropped to the red middle, not squashed: no blue reaches the edges (JPEG keeps colours only roughly).
    const QColor edge = result.pixel(2, 128);
    QVERIFY2(edge.red() > 200 && edge.blue() < 60, qPrintable(edge.name()));
    QCOMPARE(g->userAvatar(), QFileInfo(stored).absoluteFilePath());
}

void TestGlobals::avatarFallsBackToBuiltIn()
{
    const QString own = dataFolderPath() + QStringLiteral("myavatar.png");
    QFile::remove(own);
    // An account picture appearing later is imported at the next start, never by reading the property.
    QImage face(8, 8, QImage::Format_RGB32);
    face.fill(Qt::red);
    QVERIFY(face.save(QDir::homePath() + QStringLiteral("/.face"), "PNG"));
    TestSupport::MessageCatcher catcher;
    QCOMPARE(g->userAvatar(), QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png"));
    QCOMPARE(g->userAvatar(), QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png"));
    QVERIFY(!QFile::exists(own));
    QVERIFY2(catcher.criticals().isEmpty(), qPrintable(catcher.criticals().join('\n')));
    QFile::remove(QDir::homePath() + QStringLiteral("/.face"));
}

void TestGlobals::unloadableAvatarKeepsPrevious()
{
    const QString stored = dataFolderPath() + QStringLiteral("myavatar.png");
    QImage square(10, 10, QImage::Format_RGB32);
    square.fill(Qt::green);
    QVERIFY(square.save(stored, "PNG"));
    const QString junk = QDir::homePath() + QStringLiteral("/junk.png");
    QFile f(junk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not an image at all");
    f.close();
    TestSupport::MessageCatcher catcher;
    QSignalSpy spy(g, &Globals::userAvatarChanged);
    g->setUserAvatar(junk);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(catcher.criticals(), QStringList{QStringLiteral("Could not load image at ") + junk});
    QCOMPARE(QImage(stored).size(), QSize(10, 10));
}

void TestGlobals::startOnLoginFollowsSetting()
{
    QSignalSpy spy(g, &Globals::startOnLoginChanged);
    g->runOnStartup(true);
    QVERIFY(g->startOnLogin());
    QVERIFY(QFile::exists(Vesk::Platform::autostartEntryPath()));
    g->toggleStartOnLogin();
    QVERIFY(!g->startOnLogin());
    QVERIFY(!QFile::exists(Vesk::Platform::autostartEntryPath()));
    g->runOnStartup(false); // nothing to remove, still tells
    QCOMPARE(spy.count(), 3);
}

void TestGlobals::emptyDatabaseCountsZero()
{
    QSqlQuery q(QSqlDatabase::database(QStringLiteral("veskdb")));
    QVERIFY_SQL(q, exec(QStringLiteral("delete from vesk_peers")));
    QVERIFY_SQL(q, exec(QStringLiteral("delete from vesk_downloads")));
    QCOMPARE(g->totalNumberOfUnReadMessages(), 0);
    QCOMPARE(g->numberOfPendingValidations(), 0);
}

// The controller only forwards: a message handed to it ends up as the row its subsystem writes.
void TestGlobals::messagesReachTheirSubsystem_data()
{
    QTest::addColumn<Vesk::Parameters>("message");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("expected");
    const QString peer = QStringLiteral("{forwarded-peer}");
    const auto from = [peer](const char* action) {
        return Vesk::Parameters{{QStringLiteral("action"), QString::fromLatin1(action)},
                                {QStringLiteral("nodeFrom"), peer},
                                {QStringLiteral("senderIPAddress"), QStringLiteral("10.9.9.9")}};
    };
    Vesk::Parameters chat = from("newChatMessage");
    chat.insert(QStringLiteral("message"), QStringLiteral("hello"));
    chat.insert(QStringLiteral("chatId"), QStringLiteral("{c1}"));
    chat.insert(QStringLiteral("timeSent"), qint64(1));
    QTest::newRow("chat") << chat << QStringLiteral("select message from vesk_chats where id = '{c1}'")
                          << QStringLiteral("hello");
    Vesk::Parameters offer = from("newFileToDownload");
    offer.insert(QStringLiteral("fileId"), QStringLiteral("0123456789abcdef0123456789abcdef"));
    offer.insert(QStringLiteral("fileName"), QStringLiteral("report.pdf"));
    offer.insert(QStringLiteral("fileSize"), qint64(10));
    QTest::newRow("offer") << offer
                           << QStringLiteral("select filename from vesk_downloads where nodefrom = '{forwarded-peer}'")
                           << QStringLiteral("report.pdf");
    Vesk::Parameters request = from("addMeRequest");
    request.insert(QStringLiteral("alias"), QStringLiteral("Bob"));
    QTest::newRow("handshake") << request
                               << QStringLiteral("select alias from vesk_peers where id = '{forwarded-peer}'")
                               << QStringLiteral("Bob");
}

void TestGlobals::messagesReachTheirSubsystem()
{
    QFETCH(Vesk::Parameters, message);
    QFETCH(QString, query);
    QFETCH(QString, expected);
    g->processMessage(message);
    QCOMPARE(TestSupport::column(query), QStringList{expected});
}

void TestGlobals::ownIdFromAnotherComputerGivesAFreshId()
{
    const QString before = g->hostId();
    QSignalSpy changed(g, &Globals::hostIdChanged);
    TestSupport::MessageCatcher catcher;
    // From this computer itself (the loopback) an announcement with our id is our own.
    g->addNodeFromUDP(before, QStringLiteral("127.0.0.1"), QStringLiteral("os"), QStringLiteral("me"));
    QCOMPARE(g->hostId(), before);

    // From anywhere else it is a second computer with our id: this one takes a fresh id and keeps it.
    g->addNodeFromUDP(before, QStringLiteral("10.99.0.2"), QStringLiteral("os"), QStringLiteral("twin"));
    const QString fresh = g->hostId();
    QVERIFY(fresh != before && !fresh.isEmpty());
    QCOMPARE(changed.size(), 1);
    QCOMPARE(g->settings->value(QStringLiteral("machineId")).toString(), fresh);
    QCOMPARE(catcher.criticals().filter(QStringLiteral("uses this computer's node id")).size(), 1);
    QVERIFY(peerStatus(before).isEmpty());

    // The other computer is an ordinary peer from now on.
    g->addNodeFromUDP(before, QStringLiteral("10.99.0.2"), QStringLiteral("os"), QStringLiteral("twin"));
    QCOMPARE(g->hostId(), fresh);
    QCOMPARE(TestSupport::peerField(before, QStringLiteral("ipAddress")), QStringLiteral("10.99.0.2"));
    QCOMPARE(changed.size(), 1);
}

QTEST_MAIN(TestGlobals)
#include "tst_globals.moc"
