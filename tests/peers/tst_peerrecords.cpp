#include "peers/peerrecords.h"

#include "peers/avatarstore.h"
#include "store/vesksqlquerymodel.h"
#include "subsystemfixture.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace TestSupport;
using Vesk::PeerRecords;
using Parameters = Vesk::MessageSink::Parameters;

namespace {

const QString kDefaultAvatar = QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png");

Parameters fromPeer(const QString& action, const QString& nodeId, const QString& address, const Parameters& extra = {})
{
    Parameters message{{QStringLiteral("action"), action},
                       {QStringLiteral("nodeFrom"), nodeId},
                       {QStringLiteral("senderIPAddress"), address}};
    message.insert(extra);
    return message;
}

void setPeerField(const QString& id, const QString& column, const QString& value)
{
    QVERIFY(exec(QStringLiteral("update vesk_peers set ") + column + QStringLiteral(" = ? where id = ?"), {value, id}));
}

} // namespace

class tst_PeerRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void announcementsCreateAndRefreshRows();
    void oversizedIdentityIsBounded_data();
    void oversizedIdentityIsBounded();
    void addMeRequestAnswers_data();
    void addMeRequestAnswers();
    void mutualBlockAnswersAtMostOncePerWindow();
    void confirmationMarksOnAndRequestsAvatar();
    void presenceAgainCostsOnlyTheAnswers_data();
    void presenceAgainCostsOnlyTheAnswers();
    void aRenamedPeerIsAskedForItsPictureAtOnce();
    void aBurstOfArrivalsRefreshesEachListOnce();
    void avatarRequestIsAnsweredWithTheOwnFile();
    void avatarObtainedIsStoredSafely_data();
    void avatarObtainedIsStoredSafely();
    void avatarFromUnknownNodeIsNotStoredAndLoggedSafely();
    void blockingAndUnblocking();
    void unreachablePeersGoOffline();
    void onlinePeersAreProbedInATrickle();
    void confirmationAfterAbsenceSaysThePeerIsBack_data();
    void confirmationAfterAbsenceSaysThePeerIsBack();

private:
    std::unique_ptr<SubsystemFixture> f;
    std::unique_ptr<PeerRecords> peers;
};

void tst_PeerRecords::init()
{
    f = std::make_unique<SubsystemFixture>();
    peers = std::make_unique<PeerRecords>(*f->store, f->sink, f->clock, f->profile, f->dataFolder());
}

void tst_PeerRecords::cleanup()
{
    peers.reset();
    f.reset();
}

void tst_PeerRecords::announcementsCreateAndRefreshRows()
{
    const qint64 created = f->clock.nowMs();
    peers->addNodeFromUDP("n1", "10.77.0.9", "Plan 9", "Ann");
    QCOMPARE(row("vesk_peers", "n1"), (QHash<QString, QString>{{"id", "n1"},
                                                               {"alias", "Ann"},
                                                               {"avatarpath", kDefaultAvatar},
                                                               {"ipaddress", "10.77.0.9"},
                                                               {"status", "off"},
                                                               {"unreadmessagescount", "0"},
                                                               {"sysinfo", "Plan 9"},
                                                               {"timestamp", QString::number(created)},
                                                               {"blocked", "no"}}));
    QCOMPARE(f->sink.sent.size(), 1);
    const RecordingSink::Sent request = f->sink.sent.first();
    QCOMPARE(request.address, QHostAddress("10.77.0.9"));
    QCOMPARE(request.parameters, (Parameters{{"action", "addMeRequest"},
                                             {"nodeFrom", f->profile.id},
                                             {"alias", f->profile.alias},
                                             {"sysinfo", f->profile.os},
                                             {"message", "off"}}));

    // A later announcement takes the new name, address and system, and keeps what this side decided.
    setPeerField("n1", "status", "on");
    setPeerField("n1", "avatarPath", "/somewhere/avatar_n1.png");
    setPeerField("n1", "unreadMessagesCount", "3");
    setPeerField("n1", "blocked", "yes");
    f->clock.advance(5000);
    f->sink.clear();
    peers->addNodeFromUDP("n1", "10.77.0.11", "os2", "New");
    const QHash<QString, QString> later = row("vesk_peers", "n1");
    QCOMPARE(later.value("alias"), QStringLiteral("New"));
    QCOMPARE(later.value("ipaddress"), QStringLiteral("10.77.0.11"));
    QCOMPARE(later.value("sysinfo"), QStringLiteral("os2"));
    QCOMPARE(later.value("status"), QStringLiteral("on"));
    QCOMPARE(later.value("avatarpath"), QStringLiteral("/somewhere/avatar_n1.png"));
    QCOMPARE(later.value("unreadmessagescount"), QStringLiteral("3"));
    QCOMPARE(later.value("blocked"), QStringLiteral("yes"));
    QCOMPARE(later.value("timestamp"), QString::number(created));
    QCOMPARE(f->sink.values("addMeRequest", "message"), QStringList{"on"});
}

void tst_PeerRecords::oversizedIdentityIsBounded_data()
{
    QTest::addColumn<QString>("nodeId");
    QTest::addColumn<bool>("recorded");
    QTest::newRow("empty id") << QString() << false;
    QTest::newRow("longest id") << QString(256, 'i') << true;
    QTest::newRow("too long id") << QString(257, 'i') << false;
}

void tst_PeerRecords::oversizedIdentityIsBounded()
{
    QFETCH(QString, nodeId);
    QFETCH(bool, recorded);
    const QString longAlias(100000, 'a');
    const QString longOs(3000, 'o');
    peers->addNodeFromUDP(nodeId, "10.77.0.70", longOs, longAlias);
    peers->handleAddMeRequest(
        fromPeer("addMeRequest", nodeId, "10.77.0.70", {{"alias", longAlias}, {"sysinfo", longOs}}));
    if (!recorded) {
        QCOMPARE(count("vesk_peers"), 0);
        QVERIFY(f->sink.sent.isEmpty());
        return;
    }
    QCOMPARE(peerField(nodeId, "alias"), longAlias.left(256));
    QCOMPARE(peerField(nodeId, "sysinfo"), longOs.left(256));
    QCOMPARE(f->sink.withAction("addMeRequest").size(), 2);
}

void tst_PeerRecords::addMeRequestAnswers_data()
{
    QTest::addColumn<QString>("blocked");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("confirms");
    QTest::addColumn<bool>("asksBack");
    QTest::newRow("stranger, off") << "no"
                                   << "off" << true << true;
    QTest::newRow("known, on") << "no"
                               << "on" << true << false;
    QTest::newRow("blocked, off") << "yes"
                                  << "off" << false << true;
    QTest::newRow("blocked, on") << "yes"
                                 << "on" << false << false;
}

void tst_PeerRecords::addMeRequestAnswers()
{
    QFETCH(QString, blocked);
    QFETCH(QString, status);
    QFETCH(bool, confirms);
    QFETCH(bool, asksBack);
    f->addPeer("asker", status, "10.77.0.20", blocked);

    // Every answer goes to the address the request came from, which is stored with the new identity.
    for (int i = 0; i < 3; ++i) {
        peers->handleAddMeRequest(fromPeer("addMeRequest", "asker", "10.77.0.21",
                                           {{"alias", "Renamed"}, {"sysinfo", "os9"}, {"message", "x"}}));
    }
    QCOMPARE(peerField("asker", "alias"), QStringLiteral("Renamed"));
    QCOMPARE(peerField("asker", "ipAddress"), QStringLiteral("10.77.0.21"));
    QCOMPARE(peerField("asker", "sysinfo"), QStringLiteral("os9"));
    QCOMPARE(f->sink.withAction("addMeRequestConfirmed").size(), confirms ? 3 : 0);
    // A blocked peer gets one answer per announcement cycle; an unblocked one is answered every time.
    QCOMPARE(f->sink.values("addMeRequest", "message"),
             asksBack ? QStringList(blocked == "yes" ? 1 : 3, status) : QStringList());
    for (const auto& sent : std::as_const(f->sink.sent)) {
        QCOMPARE(sent.address, QHostAddress("10.77.0.21"));
        QCOMPARE(sent.value("nodeFrom").toString(), f->profile.id);
    }
}

void tst_PeerRecords::mutualBlockAnswersAtMostOncePerWindow()
{
    // The other side blocks us too, so it keeps asking and never confirms.
    f->addPeer("mutual", "off", "10.77.0.30", "yes");
    const Parameters request = fromPeer("addMeRequest", "mutual", "10.77.0.30");
    for (int i = 0; i < 20; ++i) {
        peers->handleAddMeRequest(request);
        f->clock.advance(100);
    }
    QCOMPARE(f->sink.withAction("addMeRequest").size(), 1);
    QVERIFY(f->sink.withAction("addMeRequestConfirmed").isEmpty());

    // A new announcement cycle later, one more answer goes out.
    f->clock.advance(PeerRecords::kBlockedAnswerWindowMs);
    peers->handleAddMeRequest(request);
    peers->handleAddMeRequest(request);
    QCOMPARE(f->sink.withAction("addMeRequest").size(), 2);
}

void tst_PeerRecords::confirmationMarksOnAndRequestsAvatar()
{
    f->addPeer("confirmer", "off", "10.77.0.40");
    f->store->nodesProxyData->refresh();
    const int onlineBefore = f->store->nodesProxyData->rowCount();

    peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "confirmer", "10.77.0.40"));

    QCOMPARE(peerField("confirmer", "status"), QStringLiteral("on"));
    QTRY_COMPARE(f->store->nodesProxyData->rowCount(), onlineBefore + 1);
    QCOMPARE(f->sink.sent.size(), 1);
    QCOMPARE(f->sink.sent.first().address, QHostAddress("10.77.0.40"));
    // The built-in default cannot be loaded as a file: its key is 0.
    QCOMPARE(f->sink.sent.first().parameters,
             (Parameters{{"action", "avatarRequested"}, {"nodeFrom", f->profile.id}, {"message", "0"}}));
}

void tst_PeerRecords::presenceAgainCostsOnlyTheAnswers_data()
{
    QTest::addColumn<QString>("action"); // "announcement" for a datagram heard
    QTest::addColumn<qint64>("later");   // ms since the peer last confirmed us
    QTest::addColumn<QByteArray>("picture");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("changes"); // rows written, lists refreshed

    const QByteArray same = pictureBytes(16, 16), other = pictureBytes(17, 16);
    QTest::newRow("announcement") << "announcement" << qint64(1000) << same << QStringList{"addMeRequest"} << false;
    QTest::newRow("addMeRequest") << "addMeRequest" << qint64(1000) << same << QStringList{"addMeRequestConfirmed"}
                                  << false;
    QTest::newRow("confirmation") << "addMeRequestConfirmed" << qint64(1000) << same << QStringList{} << false;
    QTest::newRow("confirmation a cycle later") << "addMeRequestConfirmed" << PeerRecords::kAvatarRequestWindowMs
                                                << same << QStringList{"avatarRequested"} << false;
    QTest::newRow("same picture") << "avatarObtained" << qint64(1000) << same << QStringList{} << false;
    QTest::newRow("new picture") << "avatarObtained" << qint64(1000) << other << QStringList{} << true;
}

void tst_PeerRecords::presenceAgainCostsOnlyTheAnswers()
{
    QFETCH(QString, action);
    QFETCH(qint64, later);
    QFETCH(QByteArray, picture);
    QFETCH(QStringList, answers);
    QFETCH(bool, changes);
    // A peer that is on, whose picture we hold, and that has just confirmed us.
    f->addPeer("steady", "on", "10.77.0.60");
    const Parameters avatar = fromPeer("avatarObtained", "steady", "10.77.0.60",
                                       {{"binaryData", pictureBytes(16, 16)}, {"fileExtension", "png"}});
    peers->handleAvatarObtained(avatar);
    peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "steady", "10.77.0.60"));
    QTRY_VERIFY(!f->store->nodeData->refreshPending() && !f->store->nodesProxyData->refreshPending());
    const QString avatarFile = peerField("steady", "avatarPath");
    const QDateTime old = QDateTime::currentDateTime().addDays(-1);
    {
        QFile file(avatarFile);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(old, QFileDevice::FileModificationTime));
    }
    const QString writesBefore = column("select total_changes()").value(0);
    f->sink.clear();
    QList<std::shared_ptr<QSignalSpy>> spies;
    for (auto* model : {f->store->nodeData, f->store->nodesProxyData}) {
        spies.append(std::make_shared<QSignalSpy>(model, &QAbstractItemModel::modelReset));
        spies.append(std::make_shared<QSignalSpy>(model, &QAbstractItemModel::dataChanged));
    }

    // It says the same again, as it does at every announcement.
    f->clock.advance(later);
    if (action == "announcement")
        peers->addNodeFromUDP("steady", "10.77.0.60", "", "alias of steady");
    else if (action == "avatarObtained")
        peers->handleAvatarObtained(
            fromPeer(action, "steady", "10.77.0.60", {{"binaryData", picture}, {"fileExtension", "png"}}));
    else if (action == "addMeRequest")
        peers->handleAddMeRequest(fromPeer(action, "steady", "10.77.0.60", {{"alias", "alias of steady"}}));
    else
        peers->handleAddMeRequestConfirmed(fromPeer(action, "steady", "10.77.0.60"));
    QTest::qWait(3 * VeskSqlQueryModel::kRefreshCoalesceMs);

    QCOMPARE(f->sink.actions(), answers);
    QCOMPARE(column("select total_changes()").value(0) != writesBefore, changes);
    QCOMPARE(QFileInfo(avatarFile).lastModified() != old, changes);
    QCOMPARE(readFile(avatarFile), picture);
    int signalled = 0;
    for (const auto& spy : std::as_const(spies))
        signalled += int(spy->count());
    QCOMPARE(signalled, changes ? 2 : 0); // with a new picture, each list shows it once
}

void tst_PeerRecords::aRenamedPeerIsAskedForItsPictureAtOnce()
{
    // On, asked for its picture just now; then it announces a new name and confirms us again.
    f->addPeer("renamer", "on", "10.77.0.61");
    peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "renamer", "10.77.0.61"));
    f->clock.advance(1000);
    peers->addNodeFromUDP("renamer", "10.77.0.61", "", "new name");
    peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "renamer", "10.77.0.61"));
    QCOMPARE(f->sink.withAction("avatarRequested").size(), 2);
    QCOMPARE(peerField("renamer", "alias"), QStringLiteral("new name"));
}

void tst_PeerRecords::aBurstOfArrivalsRefreshesEachListOnce()
{
    constexpr int kPeers = 40;
    for (int i = 0; i < kPeers; ++i)
        f->addPeer(QStringLiteral("p%1").arg(i), "off");
    f->store->nodesProxyData->refresh();
    QList<std::shared_ptr<QSignalSpy>> spies;
    for (auto* model : {f->store->nodeData, f->store->nodesProxyData}) {
        spies.append(std::make_shared<QSignalSpy>(model, &QAbstractItemModel::modelReset));
        spies.append(std::make_shared<QSignalSpy>(model, &QAbstractItemModel::dataChanged));
    }
    for (int i = 0; i < kPeers; ++i)
        peers->handleAddMeRequestConfirmed(
            fromPeer("addMeRequestConfirmed", QStringLiteral("p%1").arg(i), QStringLiteral("10.0.0.%1").arg(i + 1)));
    QCOMPARE(count("vesk_peers where status = 'on'"), kPeers);
    QTRY_COMPARE(f->store->nodesProxyData->rowCount(), kPeers);
    QTest::qWait(3 * VeskSqlQueryModel::kRefreshCoalesceMs);
    QCOMPARE(spies.at(0)->count() + spies.at(1)->count(), 1);
    QCOMPARE(spies.at(2)->count() + spies.at(3)->count(), 1);
    QCOMPARE(f->sink.withAction("avatarRequested").size(), kPeers);
}

void tst_PeerRecords::avatarRequestIsAnsweredWithTheOwnFile()
{
    TestSupport::MessageCatcher catcher;
    const auto notFound = [&catcher] {
        return catcher.criticals().filter(QRegularExpression("^local avatar not found")).size();
    };
    // Only the built-in default: a request that already has it is not answered, another one is logged.
    peers->handleAvatarRequested(fromPeer("avatarRequested", "x", "10.0.0.1", {{"message", "0"}}));
    QVERIFY(f->sink.sent.isEmpty());
    QCOMPARE(notFound(), 0);
    peers->handleAvatarRequested(fromPeer("avatarRequested", "x", "10.0.0.1"));
    QVERIFY(f->sink.sent.isEmpty());
    QCOMPARE(notFound(), 1);

    // With a picture of our own, a request without a key or with a key of another picture gets the file.
    const QByteArray bytes = pictureBytes(64, 64);
    f->profile.avatar = f->dataFolder() + "myavatar.png";
    QVERIFY(writeFile(f->profile.avatar, bytes));
    peers->handleAvatarRequested(fromPeer("avatarRequested", "x", "10.0.0.2"));
    peers->handleAvatarRequested(fromPeer("avatarRequested", "x", "10.0.0.2", {{"message", "0"}}));
    // One that names this very picture by its key already has it, however often the file was loaded since.
    peers->handleAvatarRequested(
        fromPeer("avatarRequested", "x", "10.0.0.2", {{"message", Vesk::AvatarStore::avatarKeyOf(bytes)}}));
    QCOMPARE(f->sink.sent.size(), 2);
    for (const auto& reply : std::as_const(f->sink.sent)) {
        QCOMPARE(reply.address, QHostAddress("10.0.0.2"));
        QCOMPARE(reply.parameters, (Parameters{{"action", "avatarObtained"},
                                               {"binaryData", bytes},
                                               {"fileExtension", "png"},
                                               {"nodeFrom", f->profile.id},
                                               {"message", f->profile.alias}}));
    }
}

void tst_PeerRecords::avatarObtainedIsStoredSafely_data()
{
    QTest::addColumn<QString>("nodeId");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expectedName"); // a pattern; empty: refused

    const QByteArray png = pictureBytes(32, 32);
    const QByteArray jpeg = pictureBytes(32, 32, "JPG");
    QTest::newRow("plain id") << "abc"
                              << "png" << png << "avatar_abc\\.png";
    QTest::newRow("braced uuid") << "{0f8fad5b-d9cb-469f-a165-70867728950e}"
                                 << "png" << png << "avatar_\\{0f8fad5b-d9cb-469f-a165-70867728950e\\}\\.png";
    QTest::newRow("upper-case extension") << "upper"
                                          << "PNG" << png << "avatar_upper\\.png";
    QTest::newRow("jpeg named jpg") << "photo"
                                    << "jpg" << jpeg << "avatar_photo\\.jpg";
    QTest::newRow("extension not allowed") << "exe"
                                           << "exe" << png << "avatar_exe\\.png";
    QTest::newRow("extension with a path") << "dots"
                                           << "png/../../x" << jpeg << "avatar_dots\\.jpeg";
    QTest::newRow("id with a path") << "../../escape"
                                    << "png" << png << "avatar_id[0-9a-f]{32}\\.png";
    QTest::newRow("id with a slash") << "a/b"
                                     << "png" << png << "avatar_id[0-9a-f]{32}\\.png";
    QTest::newRow("not a picture") << "garbage"
                                   << "png" << QByteArray("<html>not an image</html>") << "";
    QTest::newRow("empty") << "empty"
                           << "png" << QByteArray() << "";
    QTest::newRow("too wide") << "wide"
                              << "png" << pictureBytes(Vesk::AvatarStore::kMaxAvatarSide + 1, 1) << "";
}

void tst_PeerRecords::avatarObtainedIsStoredSafely()
{
    QFETCH(QString, nodeId);
    QFETCH(QString, extension);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expectedName);
    f->addPeer(nodeId, "on", "10.77.0.50");
    const QString folder = f->dataFolder();
    const QStringList before = filesIn(folder);

    TestSupport::MessageCatcher catcher;
    peers->handleAvatarObtained(
        fromPeer("avatarObtained", nodeId, "10.77.0.50",
                 {{"binaryData", bytes}, {"fileExtension", extension}, {"message", "ignored"}}));

    QCOMPARE(filesIn(f->dir.path()), QStringList()); // nothing lands beside the data folder
    if (expectedName.isEmpty()) {
        QCOMPARE(filesIn(folder), before);
        QCOMPARE(peerField(nodeId, "avatarPath"), kDefaultAvatar);
        QCOMPARE(catcher.criticals().size(), 1);
        return;
    }
    const QString path = peerField(nodeId, "avatarPath");
    QVERIFY2(path.startsWith(folder), qPrintable(path));
    QVERIFY2(
        QRegularExpression(QRegularExpression::anchoredPattern(expectedName)).match(path.mid(folder.size())).hasMatch(),
        qPrintable(path));
    QCOMPARE(readFile(path), bytes);
    QVERIFY(catcher.criticals().isEmpty());
}

void tst_PeerRecords::avatarFromUnknownNodeIsNotStoredAndLoggedSafely()
{
    const QStringList before = filesIn(f->dataFolder());
    TestSupport::MessageCatcher catcher;
    Parameters message = fromPeer("avatarObtained", "nobody", "10.0.0.3",
                                  {{"binaryData", pictureBytes(8, 8)}, {"fileExtension", "png"}});
    peers->handleAvatarObtained(message);
    QCOMPARE(catcher.criticals(), QStringList{"could not obtain node corresponding tonobody"});
    QCOMPARE(filesIn(f->dataFolder()), before);
    QCOMPARE(count("vesk_peers"), 0);

    // A node id chosen to forge log lines, or to fill the log, is logged harmless and short.
    catcher.clear();
    message.insert("nodeFrom", QString("x\n2026.01.01 00:00:00[C] forged" + QString(5000, 'y')));
    peers->handleAvatarObtained(message);
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY(!catcher.criticals().first().contains('\n'));
    QVERIFY(catcher.criticals().first().startsWith("could not obtain node corresponding tox?2026"));
    QVERIFY(catcher.criticals().first().size() < 200);
}

void tst_PeerRecords::blockingAndUnblocking()
{
    f->addPeer("p", "on", "10.77.0.60");
    peers->blockUser("p");
    QCOMPARE(peerField("p", "blocked"), QStringLiteral("yes"));
    QVERIFY(f->sink.sent.isEmpty());

    // Unblocking confirms at once, so the peer need not wait for the next announcement.
    peers->unblockUser("p");
    QCOMPARE(peerField("p", "blocked"), QStringLiteral("no"));
    QCOMPARE(f->sink.sent.size(), 1);
    QCOMPARE(f->sink.sent.first().address, QHostAddress("10.77.0.60"));
    QCOMPARE(f->sink.sent.first().parameters,
             (Parameters{{"action", "addMeRequestConfirmed"}, {"nodeFrom", f->profile.id}}));
}

void tst_PeerRecords::unreachablePeersGoOffline()
{
    f->addPeer("gone", "on", "10.77.0.80");
    f->addPeer("stays", "on", "10.77.0.81");
    f->addPeer(f->profile.id, "on", "10.77.0.80"); // never this node, whatever its stored address
    peers->markUnreachable(QHostAddress("10.77.0.80"));
    QCOMPARE(peerField("gone", "status"), QStringLiteral("off"));
    QCOMPARE(peerField("stays", "status"), QStringLiteral("on"));
    QCOMPARE(peerField(f->profile.id, "status"), QStringLiteral("on"));
    // It is "on" again as soon as it confirms us.
    peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "gone", "10.77.0.80"));
    QCOMPARE(peerField("gone", "status"), QStringLiteral("on"));
}

void tst_PeerRecords::onlinePeersAreProbedInATrickle()
{
    constexpr int kPeers = PeerRecords::kMaxChecksPerRound + 4;
    for (int i = 0; i < kPeers; ++i)
        f->addPeer(QStringLiteral("p%1").arg(i), "on", QStringLiteral("10.77.1.%1").arg(i + 1));
    f->addPeer("off", "off", "10.77.2.1");
    f->addPeer(f->profile.id, "on", "127.0.0.1");

    // Just seen online: the confirmation was the evidence, nobody is probed yet.
    peers->checkPresence();
    QVERIFY(f->sink.probed.isEmpty());
    f->clock.advance(PeerRecords::kPresenceCheckMs - 1);
    peers->checkPresence();
    QVERIFY(f->sink.probed.isEmpty());

    // Once due, at most a round's worth at a time, the rest in the next round; never this node, never an
    // offline peer, and nothing sent to anyone.
    f->clock.advance(1);
    peers->checkPresence();
    QCOMPARE(f->sink.probed.size(), PeerRecords::kMaxChecksPerRound);
    f->clock.advance(1000);
    peers->checkPresence();
    QCOMPARE(f->sink.probed.size(), kPeers);
    QSet<QString> probed;
    for (const QHostAddress& address : std::as_const(f->sink.probed))
        probed.insert(f->nodeAt(address));
    QCOMPARE(probed.size(), kPeers);
    QVERIFY(!probed.contains("off") && !probed.contains(f->profile.id));
    QVERIFY(f->sink.sent.isEmpty());

    // Each peer again a check period later, not before.
    f->clock.advance(PeerRecords::kPresenceCheckMs - 2000);
    peers->checkPresence();
    QCOMPARE(f->sink.probed.size(), kPeers);
    f->clock.advance(1000);
    peers->checkPresence();
    QCOMPARE(f->sink.probed.size(), kPeers + PeerRecords::kMaxChecksPerRound);
}

void tst_PeerRecords::confirmationAfterAbsenceSaysThePeerIsBack_data()
{
    QTest::addColumn<QString>("status"); // empty: no row
    QTest::addColumn<bool>("back");
    QTest::newRow("was offline") << "off" << true;
    QTest::newRow("already online") << "on" << false;
    QTest::newRow("unknown node") << "" << false;
}

void tst_PeerRecords::confirmationAfterAbsenceSaysThePeerIsBack()
{
    QFETCH(QString, status);
    QFETCH(bool, back);
    if (!status.isEmpty())
        f->addPeer("p", status, "10.77.3.1");
    QSignalSpy spy(peers.get(), &PeerRecords::peerCameOnline);
    peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "p", "10.77.3.1"));
    QCOMPARE(spy.size(), back ? 1 : 0);
    if (back)
        QCOMPARE(spy.first().first().toString(), QStringLiteral("p"));
}

QTEST_GUILESS_MAIN(tst_PeerRecords)
#include "tst_peerrecords.moc"
