#include "peers/peerrecords.h"

#include "peers/avatarstore.h"
#include "peers/replylimiter.h"
#include "peers/strangerrows.h"
#include "store/vesksqlquerymodel.h"
#include "peerrecordsfixture.h"
#include "testsupport.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QRegularExpression>

#include <algorithm>

#include <sys/stat.h>

using namespace TestSupport;
using Vesk::AvatarStore;
using Vesk::PeerRecords;
using Vesk::ReplyLimiter;
using Vesk::StrangerRows;
using Parameters = Vesk::Parameters;

namespace {

const QString kDefaultAvatar = QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png");

Parameters picture(const QByteArray& bytes, const QString& extension = QStringLiteral("png"))
{
    return {{"binaryData", bytes}, {"fileExtension", extension}};
}

} // namespace

class tst_PeerRecords : public PeerRecordsFixture
{
    Q_OBJECT

private slots:
    // An announcement creates the row and asks to be added; a later one takes the new name, address and system
    // and keeps what this side decided. Identities beyond the bounds are cut or refused.
    void announcements_data()
    {
        QTest::addColumn<QString>("nodeId");
        QTest::addColumn<bool>("recorded");
        QTest::newRow("braced uuid") << "{0f8fad5b-d9cb-469f-a165-70867728950e}" << true;
        QTest::newRow("longest id") << QString(256, 'i') << true;
        QTest::newRow("too long id") << QString(257, 'i') << false;
        QTest::newRow("empty id") << QString() << false;
    }
    void announcements()
    {
        QFETCH(QString, nodeId);
        QFETCH(bool, recorded);
        const QString longAlias(100000, 'a'), longOs(3000, 'o');
        peers->addNodeFromUDP(nodeId, "10.77.0.9", "Plan 9", "Ann");
        if (!recorded) {
            peers->handleAddMeRequest(fromPeer("addMeRequest", nodeId, "10.77.0.9", {{"alias", longAlias}}));
            QCOMPARE(count("vesk_peers"), 0);
            QVERIFY(f->sink.sent.isEmpty());
            return;
        }
        QCOMPARE(
            column("select printf('%s|%s|%s|%s|%s|%s|%s|%s|%s|%s%s%s%s', id, alias, avatarPath, ipAddress, status, "
                   "sysinfo, timestamp, blocked, unreadMessagesCount, identityKey, pendingKey, verified, "
                   "capabilities) from vesk_peers"),
            QStringList{nodeId + "|Ann|" + kDefaultAvatar + "|10.77.0.9|off|Plan 9|" +
                        QString::number(f->clock.nowMs()) + "|no|0|"}); // no key, nor anything decided here
        QCOMPARE(f->sink.sent.size(), 1);
        QCOMPARE(f->sink.sent.first().address, QHostAddress("10.77.0.9"));
        QCOMPARE(f->sink.sent.first().parameters, (Parameters{{"action", "addMeRequest"},
                                                              {"nodeFrom", f->profile.id},
                                                              {"alias", f->profile.alias},
                                                              {"sysinfo", f->profile.os},
                                                              {"message", "off"}}));
        QVERIFY(exec("update vesk_peers set status = 'on', avatarPath = '/a.png', unreadMessagesCount = '3', "
                     "blocked = 'yes'"));
        const QHash<QString, QString> before = row("vesk_peers", nodeId);
        f->clock.advance(5000);
        peers->addNodeFromUDP(nodeId, "10.77.0.11", longOs, longAlias);
        QHash<QString, QString> expected = before;
        expected.insert({{"alias", longAlias.left(256)}, {"ipaddress", "10.77.0.11"}, {"sysinfo", longOs.left(256)}});
        QCOMPARE(row("vesk_peers", nodeId), expected);
        QCOMPARE(f->sink.values("addMeRequest", "message"), (QStringList{"off", "on"}));
    }

    // Each request is answered at the address it came from, stored with the new identity. A blocked peer is never
    // confirmed until unblocked, and gets one request back per announcement cycle, however often it asks.
    void addMeRequestAnswers_data()
    {
        QTest::addColumn<QString>("blocked");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("confirmations");
        QTest::addColumn<int>("asksBack");
        QTest::newRow("stranger, off") << "no" << QString("off") << 4 << 4;
        QTest::newRow("known, on") << "no" << QString("on") << 4 << 0;
        QTest::newRow("blocked, off") << "yes" << QString("off") << 0 << 2;
        QTest::newRow("blocked, on") << "yes" << QString("on") << 0 << 0;
    }
    void addMeRequestAnswers()
    {
        QFETCH(QString, blocked);
        QFETCH(QString, status);
        f->addPeer("asker", status, "10.77.0.20", blocked);
        const Parameters request =
            fromPeer("addMeRequest", "asker", "10.77.0.21", {{"alias", "Renamed"}, {"sysinfo", "os9"}});
        for (int i = 0; i < 4; ++i) {
            f->clock.advance(i == 3 ? PeerRecords::kBlockedAnswerWindowMs : 100);
            peers->handleAddMeRequest(request);
        }
        QCOMPARE(column("select alias || ipAddress || sysinfo from vesk_peers"), QStringList{"Renamed10.77.0.21os9"});
        QTEST(int(f->sink.withAction("addMeRequestConfirmed").size()), "confirmations");
        QCOMPARE(f->sink.values("addMeRequest", "message"),
                 QStringList(f->sink.withAction("addMeRequest").size(), status));
        QTEST(int(f->sink.withAction("addMeRequest").size()), "asksBack");
        if (blocked == "yes") { // unblocking confirms at once: no need to wait for the next announcement
            peers->unblockUser("asker");
            QCOMPARE(f->sink.withAction("addMeRequestConfirmed").size(), 1);
        }
        for (const auto& sent : std::as_const(f->sink.sent))
            QVERIFY(sent.address == QHostAddress("10.77.0.21") && sent.value("nodeFrom") == f->profile.id);
    }

    // A confirmation marks the peer on, says it is back and asks for its picture by the key of the one we hold;
    // a peer already on is not asked again within the window.
    void confirmations_data()
    {
        QTest::addColumn<QString>("status"); // empty: no row
        QTest::addColumn<int>("back");
        QTest::newRow("was offline") << "off" << 1;
        QTest::newRow("already online") << "on" << 0;
        QTest::newRow("unknown node") << "" << 0;
    }
    void confirmations()
    {
        QFETCH(QString, status);
        if (!status.isEmpty())
            f->addPeer("p", status, "10.77.3.1");
        f->addPeer("stays", "on", "10.77.3.2");
        f->addPeer(f->profile.id, "on", "10.77.3.1"); // never this node, whatever its stored address
        f->store->nodesProxyData->refresh();
        const int online = f->store->nodesProxyData->rowCount();
        QSignalSpy back(peers.get(), &PeerRecords::peerCameOnline);
        const Parameters confirmation = fromPeer("addMeRequestConfirmed", "p", "10.77.3.1");
        peers->handleAddMeRequestConfirmed(confirmation);
        f->clock.advance(PeerRecords::kAvatarRequestWindowMs - 1);
        peers->handleAddMeRequestConfirmed(confirmation);
        QTEST(int(back.size()), "back");
        QCOMPARE(peerField("p", "status"), QString(status.isEmpty() ? "<no row>" : "on"));
        if (!status.isEmpty()) { // the built-in default cannot be loaded as a file: its key is 0
            QCOMPARE(f->sink.sent.size(), 1);
            QCOMPARE(f->sink.sent.first().parameters,
                     (Parameters{{"action", "avatarRequested"}, {"nodeFrom", f->profile.id}, {"message", "0"}}));
        }
        QTRY_COMPARE(f->store->nodesProxyData->rowCount(), online + int(back.size()));
    }

    // A peer that says the same again, as it does at every announcement, costs only the answers: no row written,
    // no list changed. A new name, or a new picture under the same file name, is written and shown in each list.
    void presenceAgainCostsOnlyTheAnswers_data()
    {
        QTest::addColumn<QString>("action");   // "announcement" for a datagram heard, "renamed" for one with a new name
        QTest::addColumn<qint64>("later");     // ms since the peer last confirmed us
        QTest::addColumn<QByteArray>("bytes"); // the picture held afterwards
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<bool>("changes");
        const QByteArray same = pictureBytes(64, 64), other = pictureBytes(16, 16); // the new one is shorter
        QTest::newRow("announcement") << "announcement" << 1000LL << same << QStringList{"addMeRequest"} << false;
        QTest::newRow("confirmation a cycle later") << "addMeRequestConfirmed" << PeerRecords::kAvatarRequestWindowMs
                                                    << same << QStringList{"avatarRequested"} << false;
        QTest::newRow("renamed: asked for its picture at once")
            << "renamed" << 1000LL << same << QStringList{"addMeRequest", "avatarRequested"} << true;
        QTest::newRow("same picture") << "avatarObtained" << 1000LL << same << QStringList{} << false;
        QTest::newRow("new picture") << "avatarObtained" << 1000LL << other << QStringList{} << true;
    }
    void presenceAgainCostsOnlyTheAnswers()
    {
        QFETCH(QString, action);
        QFETCH(qint64, later);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, changes);
        const QString ip = QStringLiteral("10.77.0.60");
        f->addPeer("steady", "on", ip);
        peers->handleAvatarObtained(fromPeer("avatarObtained", "steady", ip, picture(pictureBytes(64, 64))));
        peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "steady", ip));
        QTRY_VERIFY(!f->store->nodeData->refreshPending() && !f->store->nodesProxyData->refreshPending());
        const QString writesBefore = column("select total_changes()").value(0);
        f->sink.clear();
        ModelChanges peerList(f->store->nodeData), onlineList(f->store->nodesProxyData);

        f->clock.advance(later);
        if (action == "announcement" || action == "renamed")
            peers->addNodeFromUDP("steady", ip, "", action == "renamed" ? "new name" : "alias of steady");
        if (action == "avatarObtained")
            peers->handleAvatarObtained(fromPeer(action, "steady", ip, picture(bytes)));
        else if (action != "announcement")
            peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "steady", ip));
        QTRY_VERIFY(!f->store->nodeData->refreshPending() && !f->store->nodesProxyData->refreshPending());

        QTEST(f->sink.actions(), "answers");
        QCOMPARE(column("select total_changes()").value(0) != writesBefore, changes);
        QCOMPARE(readFile(peerField("steady", "avatarPath")), bytes);
        QCOMPARE(peerList.count(), changes ? 1 : 0);
        QCOMPARE(onlineList.count(), changes ? 1 : 0);
    }

    // Strangers' rows are bounded per address and in all, the oldest forgotten first, whether they come by
    // announcement or by handshake; a peer the user has anything with (here at the flooded address) stays. Newcomers
    // at a full address are answered once a window, elsewhere each one. A stranger forgotten leaves the peer list and
    // its picture's file, is logged once a window, and comes back with its next announcement.
    void strangersAreBounded_data()
    {
        QTest::addColumn<QString>("answer"); // what a newcomer is answered: an announcement, or a handshake
        QTest::addColumn<int>("addresses");  // after a burst of 30 new ids from 10.78.0.1, 8 more from each of these
        QTest::addColumn<QString>("held");   // what ties the peer "held" at 10.78.0.1 to the user
        QTest::addColumn<int>("kept");
        const int perAddress = StrangerRows::kMaxPerAddress, inAll = StrangerRows::kMaxInAll;
        QTest::newRow("one address") << "addMeRequest" << 0 << "" << perAddress;
        QTest::newRow("one address, by handshakes") << "addMeRequestConfirmed" << 0 << "" << perAddress;
        QTest::newRow("many addresses") << "addMeRequest" << 70 << "" << inAll;
        for (const char* held : {"chat from it", "chat to it", "download", "upload", "folder", "pinned", "key waiting",
                                 "blocked", "unread", "this node"})
            QTest::newRow(held) << "addMeRequest" << 70 << held << inAll;
        // A stranger too, so the flood keeps one fewer of its own.
        QTest::newRow("online elsewhere") << "addMeRequest" << 70 << "online elsewhere" << inAll - 1;
    }
    void strangersAreBounded()
    {
        QFETCH(QString, answer);
        QFETCH(int, addresses);
        QFETCH(QString, held);
        QFETCH(int, kept);
        const QString heldId = held == "this node" ? f->profile.id : QStringLiteral("held");
        const bool online = held == "online elsewhere";
        if (!held.isEmpty())
            f->addPeer(heldId, online ? "on" : "off", online ? "10.78.1.1" : "10.78.0.1",
                       held == "blocked" ? "yes" : "no");
        const QHash<QString, QString> ties{
            {"chat from it", "insert into vesk_chats (id, peerfrom, peerto) values ('c', ?, 'x')"},
            {"chat to it", "insert into vesk_chats (id, peerfrom, peerto) values ('c', 'x', ?)"},
            {"download", "insert into vesk_downloads (id, nodefrom) values ('d', ?)"},
            {"upload", "insert into vesk_uploads (id, nodeto) values ('u', ?)"},
            {"folder", "insert into vesk_folders (id, nodeid) values ('f', ?)"},
            {"pinned", "update vesk_peers set identityKey = 'ab' where id = ?"},
            {"key waiting", "update vesk_peers set pendingKey = 'ab' where id = ?"},
            {"unread", "update vesk_peers set unreadMessagesCount = '2' where id = ?"}};
        if (ties.contains(held))
            QVERIFY(exec(ties.value(held), {heldId}));
        const QHash<QString, QString> heldRow = row("vesk_peers", heldId);
        QStringList announced;
        const auto announce = [&](const QString& id, const QString& address) {
            announced.append(id);
            f->clock.advance(1);
            if (answer == "addMeRequest")
                peers->addNodeFromUDP(id, address, "os", "x");
            else
                peers->handleAddMeRequest(fromPeer("addMeRequest", id, address, {{"alias", "x"}}));
        };
        announce("first", "10.78.0.1");
        peers->handleAddMeRequestConfirmed(fromPeer("addMeRequestConfirmed", "first", "10.78.0.1"));
        peers->handleAvatarObtained(fromPeer("avatarObtained", "first", "10.78.0.1", picture(pictureBytes(8, 8))));
        const QString avatar = peerField("first", "avatarPath");
        QTRY_COMPARE(f->store->nodesProxyData->rowCount(), online ? 2 : 1);
        MessageCatcher catcher;
        for (int i = 1; i < 30; ++i)
            announce(QStringLiteral("stranger%1").arg(i), "10.78.0.1");
        for (int round = 0; round < 8; ++round)
            for (int a = 2; a < addresses + 2; ++a)
                announce(QStringLiteral("stranger%1-%2").arg(a).arg(round), QStringLiteral("10.78.0.%1").arg(a));

        QStringList strangers = column("select id from vesk_peers where not(id = ?)", {heldId});
        QStringList newest = announced.mid(announced.size() - kept);
        std::sort(strangers.begin(), strangers.end());
        std::sort(newest.begin(), newest.end());
        QCOMPARE(strangers, newest);
        QCOMPARE(row("vesk_peers", heldId), heldRow);
        QVERIFY(!QFile::exists(avatar));
        QTRY_COMPARE(f->store->nodesProxyData->rowCount(), online ? 1 : 0);
        QCOMPARE(catcher.criticals().size(), 1);
        int burstAnswers = 0, otherAnswers = 0;
        for (const auto& sent : f->sink.withAction(answer))
            ++(sent.address == QHostAddress("10.78.0.1") ? burstAnswers : otherAnswers);
        QCOMPARE(burstAnswers, StrangerRows::kMaxPerAddress + 1); // until full, then the first of the crowd
        QCOMPARE(otherAnswers, 8 * addresses);

        f->sink.clear();
        f->clock.advance(PeerRecords::kCrowdedAnswerWindowMs);
        announce("first", "10.78.0.1");
        QCOMPARE(peerField("first", "ipAddress"), QString("10.78.0.1"));
        QCOMPARE(f->sink.withAction(answer).size(), 1);
        QCOMPARE(f->sink.withAction(answer).first().nodeId, QString("first"));
    }

    // Our picture goes to whoever asks without naming it by its key, once a window to each address: a peer asking
    // again and again without reading gets no pile of pictures.
    void avatarRequestIsAnsweredWithTheOwnFile_data()
    {
        QTest::addColumn<qint64>("between");
        QTest::addColumn<int>("answers");
        QTest::newRow("asked again within the window") << PeerRecords::kAvatarAnswerWindowMs - 1 << 1;
        QTest::newRow("asked again after the window") << PeerRecords::kAvatarAnswerWindowMs << 2;
    }
    void avatarRequestIsAnsweredWithTheOwnFile()
    {
        QFETCH(qint64, between);
        QFETCH(int, answers);
        const QByteArray bytes = pictureBytes(64, 64);
        f->profile.avatar = f->dataFolder() + "myavatar.png";
        QVERIFY(writeFile(f->profile.avatar, bytes));
        peers->handleAvatarRequested(fromPeer("avatarRequested", "x", "10.0.0.2"));
        f->clock.advance(between);
        peers->handleAvatarRequested(fromPeer("avatarRequested", "x", "10.0.0.2", {{"message", "0"}}));
        f->clock.advance(PeerRecords::kAvatarAnswerWindowMs);
        const QString key = Vesk::AvatarStore::avatarKeyOf(bytes); // the one it holds already
        peers->handleAvatarRequested(fromPeer("avatarRequested", "x", "10.0.0.2", {{"message", key}}));
        Parameters expected = picture(bytes);
        expected.insert({{"action", "avatarObtained"}, {"nodeFrom", f->profile.id}, {"message", f->profile.alias}});
        QCOMPARE(f->sink.sent.size(), answers);
        for (const auto& reply : std::as_const(f->sink.sent))
            QVERIFY(reply.address == QHostAddress("10.0.0.2") && reply.parameters == expected);
    }

    // A received picture lands in the data folder under a safe name, or is refused with one short logged line. One
    // larger than any view draws is kept at that size, and not made again when it comes again.
    void avatarObtainedIsStoredSafely_data()
    {
        QTest::addColumn<QString>("nodeId");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expectedName"); // a pattern; empty: refused
        QTest::addColumn<QSize>("keptSize");       // invalid: kept as sent
        const QByteArray png = pictureBytes(32, 32), jpeg = pictureBytes(32, 32, "JPG");
        QTest::newRow("plain id") << "abc" << QString("png") << png << "avatar_abc\\.png" << QSize();
        QTest::newRow("id and extension with a path")
            << "../../escape" << QString("png/../../x") << jpeg << "avatar_id[0-9a-f]{32}\\.jpeg" << QSize();
        QTest::newRow("not a picture") << "garbage" << QString("png") << QByteArray("<html>no</html>") << "" << QSize();
        QTest::newRow("unknown node forging log lines")
            << "~x\n2026.01.01 00:00:00[C] forged" + QString(5000, 'y') << QString("png") << png << "" << QSize();
        const int side = Vesk::AvatarStore::kMaxStoredSide;
        QTest::newRow("larger than drawn") << "big" << QString("jpg") << pictureBytes(4 * side, side + 1, "JPG")
                                           << "avatar_big\\.png" << QSize(side, side / 4);
        QImage indexed(8 * side, 8 * side, QImage::Format_Mono); // a palette of two colours, one of them used
        indexed.setColorTable({QColor(Qt::darkCyan).rgb(), QColor(Qt::white).rgb()});
        indexed.fill(0);
        QByteArray indexedBytes;
        QBuffer buffer(&indexedBytes);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && indexed.save(&buffer, "PNG"));
        QTest::newRow("larger than drawn, indexed colours")
            << "mono" << QString("png") << indexedBytes << "avatar_mono\\.png" << QSize(side, side);
        QTest::newRow("as large as drawn")
            << "edge" << QString("png") << pictureBytes(side, 20) << "avatar_edge\\.png" << QSize();
    }
    void avatarObtainedIsStoredSafely()
    {
        QFETCH(QString, nodeId);
        QFETCH(QString, extension);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expectedName);
        if (!nodeId.startsWith('~'))
            f->addPeer(nodeId, "on", "10.77.0.50");
        const QString folder = f->dataFolder();
        const QStringList before = filesIn(folder);
        MessageCatcher catcher;
        peers->handleAvatarObtained(fromPeer("avatarObtained", nodeId, "10.77.0.50", picture(bytes, extension)));

        QCOMPARE(filesIn(f->dir.path()), QStringList()); // nothing lands beside the data folder
        const QString path = peerField(nodeId, "avatarPath");
        if (expectedName.isEmpty()) {
            QCOMPARE(filesIn(folder), before);
            QCOMPARE(path, nodeId.startsWith('~') ? QStringLiteral("<no row>") : kDefaultAvatar);
            QCOMPARE(catcher.criticals().size(), 1);
            QVERIFY(!catcher.criticals().first().contains('\n') && catcher.criticals().first().size() < 200);
            return;
        }
        const QRegularExpression expected(
            QRegularExpression::anchoredPattern(QRegularExpression::escape(folder) + expectedName));
        QVERIFY2(expected.match(path).hasMatch(), qPrintable(path));
        QFETCH(QSize, keptSize);
        if (keptSize.isValid()) {
            const QImage kept(path);
            QCOMPARE(kept.size(), keptSize);
            const QImage sent = QImage::fromData(bytes); // of one colour: so is what is kept
            QCOMPARE(QColor(kept.pixel(kept.width() / 2, kept.height() / 2)),
                     QColor(sent.pixel(sent.width() / 2, sent.height() / 2)));
        } else
            QCOMPARE(readFile(path), bytes);
        QVERIFY(catcher.criticals().isEmpty());
        // Sent again: the file stays the one written (a rewrite replaces it by a new file).
        const auto inode = [&path] {
            struct stat status
            {
            };
            return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : ino_t(0);
        };
        const ino_t first = inode();
        peers->handleAvatarObtained(fromPeer("avatarObtained", nodeId, "10.77.0.50", picture(bytes, extension)));
        QCOMPARE(inode(), first);
    }

    // A picture is not written while the disk holding it has little room: any computer can send one per node id.
    void avatarNotStoredWithoutRoom()
    {
        qint64 free = Vesk::DiskRoom::kMinFreeBytes + 10;
        peers->setFreeSpaceProbe([&free] { return free; });
        f->addPeer("abc", "on", "10.77.0.50");
        const Parameters message = fromPeer("avatarObtained", "abc", "10.77.0.50", picture(pictureBytes(64, 64)));
        MessageCatcher catcher;
        peers->handleAvatarObtained(message);
        QCOMPARE(peerField("abc", "avatarPath"), kDefaultAvatar);
        QVERIFY(!filesIn(f->dataFolder()).join(' ').contains("avatar_abc"));
        QCOMPARE(catcher.criticals().filter("less than 100 MB free").size(), 1);
        free = Vesk::DiskRoom::kMinFreeBytes + 1000000;
        f->clock.advance(Vesk::DiskRoom::kLookMs);
        peers->handleAvatarObtained(message);
        QCOMPARE(peerField("abc", "avatarPath"), f->dataFolder() + "avatar_abc.png");
    }

    // Online peers are probed a check period after they were last seen or probed, at most a round's worth at a
    // time; never this node, never an offline peer, and nothing is sent.
    void onlinePeersAreProbedInATrickle()
    {
        constexpr int kPeers = PeerRecords::kMaxChecksPerRound + 4, kRound = PeerRecords::kMaxChecksPerRound;
        constexpr qint64 kPeriod = PeerRecords::kPresenceCheckMs;
        for (int i = 0; i < kPeers; ++i)
            f->addPeer(QStringLiteral("p%1").arg(i));
        f->addPeer("off", "off");
        f->addPeer(f->profile.id);
        const QList<QPair<qint64, int>> rounds{{0, 0},         {kPeriod - 1, 0},         {1, kRound},
                                               {1000, kPeers}, {kPeriod - 2000, kPeers}, {1000, kPeers + kRound}};
        for (const auto& [step, probed] : rounds) {
            f->clock.advance(step);
            peers->checkPresence();
            QCOMPARE(f->sink.probed.size(), probed);
        }
        QVERIFY(f->sink.sent.isEmpty());
    }

    // The file a peer's picture is kept in: its id when that is a safe plain name, else a hash of it; an
    // extension only from the allowed image types.
    void fileNameFor_data()
    {
        QTest::addColumn<QString>("nodeId");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("expected"); // "#hash": hashed id, png; empty: refused
        const auto add = [](const char* tag, const QString& id, const char* extension, const QString& expected) {
            QTest::newRow(tag) << id << QString(extension) << expected;
        };
        add("braced uuid", "{0f8f-d9cb}", "jpg", "avatar_{0f8f-d9cb}.jpg");
        add("extension lowered", "abc", "JPEG", "avatar_abc.jpeg");
        add("extension with separator", "abc", "png/x", "");
        add("empty id", "", "png", "");
        for (const QString& id :
             QStringList{"../../etc/x", "..", "a\\b", "a b", "a.b", QString(QChar(0)) + "x", "Ünïcödé"})
            add(qPrintable("hashed " + id), id, "png", "#hash");
        add("just long enough", QString(64, 'a'), "png", "avatar_" + QString(64, 'a') + ".png");
        add("too long", QString(65, 'a'), "png", "#hash");
    }
    void fileNameFor()
    {
        QFETCH(QString, nodeId);
        QFETCH(QString, extension);
        QFETCH(QString, expected);
        const QString name = AvatarStore::fileNameFor(nodeId, extension);
        if (expected != QLatin1String("#hash")) {
            QCOMPARE(name, expected);
            return;
        }
        QVERIFY2(QRegularExpression("^avatar_id[0-9a-f]{32}\\.png$").match(name).hasMatch(), qPrintable(name));
        QCOMPARE(AvatarStore::fileNameFor(nodeId, extension), name);        // the same each time
        QVERIFY(AvatarStore::fileNameFor(nodeId + "z", extension) != name); // another per id
    }

    // The extension a received picture is stored with follows its bytes; what is no picture, or too big, none.
    void keptAs_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("peerExtension");
        QTest::addColumn<QString>("expected");
        const QByteArray png = pictureBytes(16, 16), jpeg = pictureBytes(16, 16, "JPG");
        const int side = AvatarStore::kMaxAvatarSide;
        QTest::newRow("png as PNG") << png << "PNG" << QString("png");
        QTest::newRow("jpeg as jpg") << jpeg << "jpg" << QString("jpg");
        QTest::newRow("ppm as png") << pictureBytes(16, 16, "PPM") << "png" << QString();
        QTest::newRow("truncated png") << png.left(png.size() / 2) << "png" << QString();
        QTest::newRow("largest side") << pictureBytes(side, 2) << "png" << QString("png");
        QTest::newRow("too many pixels") << pictureBytes(side + 1, 2) << "png" << QString();
        QTest::newRow("too many bytes") << png + QByteArray(AvatarStore::kMaxAvatarBytes, '\0') << "png" << QString();
    }
    void keptAs()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, peerExtension);
        QString extension;
        const QByteArray kept = AvatarStore::kept(bytes, peerExtension, &extension);
        QCOMPARE(kept.isEmpty(), extension.isEmpty());
        QTEST(extension, "expected");
    }

    // One answer per key per window, a clock set back silences no key for good, other keys are independent, and
    // the keys remembered are bounded.
    void limiter()
    {
        ReplyLimiter limiter(1000);
        const QList<qint64> times{0, 999, 1000, 1999, 2000, 100, 200};
        const QList<bool> allowed{true, false, true, false, true, true, false};
        for (int i = 0; i < times.size(); ++i) {
            QCOMPARE(limiter.allow("k", times.at(i)), allowed.at(i));
            QVERIFY(limiter.allow("other" + QString::number(i), times.at(i)));
        }
        for (int i = 0; i < ReplyLimiter::kMaxKeys * 3; ++i)
            QVERIFY(limiter.allow(QString::number(i), 10));
        QVERIFY(limiter.trackedKeys() <= ReplyLimiter::kMaxKeys);
    }
};

QTEST_GUILESS_MAIN(tst_PeerRecords)
#include "tst_peerrecords.moc"
