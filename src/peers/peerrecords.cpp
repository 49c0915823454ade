// How two instances get to know each other, and how avatars travel.
//
//   B hears A's announcement        B records A ("off")            B -> A  addMeRequest
//   A records B                     unless B is blocked at A       A -> B  addMeRequestConfirmed
//                                   while B is not "on" at A       A -> B  addMeRequest
//   B handles the confirmation      marks A "on"                   B -> A  avatarRequested
//   B handles A's addMeRequest      records A, confirms, no new request once A is "on"
//   A handles B's confirmation      marks B "on"                   A -> B  avatarRequested
//   each side answers               avatarObtained (bytes of its own avatar file), stored and linked to the row
//
// Every message goes out on its own connection and the answers may arrive in any order. The local node takes
// part too: it is recorded under the loopback address and asks itself for its avatar, so its own row carries the
// current alias and picture.
#include "peers/peerrecords.h"

#include "common/clock.h"
#include "net/messagedispatcher.h"
#include "net/messageorigin.h"
#include "peers/avatarstore.h"
#include "peers/localprofile.h"
#include "peers/peerslogging.h"
#include "peers/peersend.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlQuery>

#include <algorithm>

namespace Vesk {

namespace {
const QString kStatus = QStringLiteral("status");
} // namespace

PeerRecords::PeerRecords(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile,
                         const QString& dataFolder, QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_clock(clock), m_profile(profile), m_dataFolder(dataFolder),
      m_search(store, sink, clock, profile)
{
    m_presenceTimer.setInterval(kPresenceRoundMs);
    connect(&m_presenceTimer, &QTimer::timeout, this, &PeerRecords::checkPresence);
}

void PeerRecords::start()
{
    m_presenceTimer.start();
    m_search.start();
}

void PeerRecords::stop()
{
    m_presenceTimer.stop();
    m_search.stop();
}

QString PeerRecords::loggableId(const QString& nodeId)
{
    constexpr int kMaxLoggedLength = 128;
    QString text = nodeId.left(kMaxLoggedLength);
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
            c.category() == QChar::Separator_Paragraph)
            c = QLatin1Char('?');
    }
    return nodeId.size() > kMaxLoggedLength ? text + QStringLiteral("...") : text;
}

// Records a node, or refreshes its alias, address and system name while keeping everything else the row holds.
// A node heard again just as it was costs one read: every peer of an office announces eleven times after each
// start, refresh and wake, and each announcement of each peer reaches us. Returns what the row says of the node;
// not valid, recording nothing, for a node id that no instance of this program sends.
PeerRecords::Known PeerRecords::upsertPeer(const QString& nodeId, const QString& alias, const QString& address,
                                           const QString& os)
{
    if (nodeId.isEmpty() || nodeId.size() > kMaxNodeIdLength) {
        qCWarning(lcPeers) << "ignoring a node id of" << nodeId.size() << "characters from" << address;
        return {};
    }
    const QString keptAlias = alias.left(kMaxAliasLength);
    const QString keptOs = os.left(kMaxAliasLength);
    Known known{true, kPeerOff, false};
    bool exists = false;
    {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select alias, ipAddress, sysinfo, status, blocked from vesk_peers where id = ?"));
        q.bindValue(0, nodeId);
        if (q.exec() && q.next()) {
            exists = true;
            known.status = q.value(3).toString();
            known.blocked = q.value(4).toString() == QLatin1String("yes");
            if (q.value(0).toString() == keptAlias && q.value(1).toString() == address &&
                q.value(2).toString() == keptOs)
                return known;
            if (q.value(0).toString() != keptAlias) {
                scheduleListsShowingPeers();
                // A new name usually comes with a new picture: the confirmation that follows asks for it.
                m_avatarRequests.forget(nodeId);
            }
        }
    }
    if (!exists)
        known.crowded = makeRoomFor(nodeId, address);
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral(
        "replace into vesk_peers (id, alias, ipAddress, status, avatarPath, unreadMessagesCount, sysinfo, timestamp, "
        "blocked, identityKey, pendingKey, verified) values (?, ?, ?, coalesce((select status from vesk_peers where "
        "id = ?), 'off'), coalesce((select avatarPath from vesk_peers where id = ?), "
        "'qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png'), coalesce((select unreadMessagesCount from vesk_peers "
        "where id =?), '0'),?,coalesce((select timestamp from vesk_peers where id = ?), ?), coalesce((select blocked "
        "from vesk_peers where id = ?), 'no'), (select identityKey from vesk_peers where id = ?), "
        "(select pendingKey from vesk_peers where id = ?), (select verified from vesk_peers where id = ?))"));
    // The keys a peer was pinned with stay with its row: only the security code changes them.
    const QVariantList values{nodeId, keptAlias,       address, nodeId, nodeId, nodeId, keptOs,
                              nodeId, m_clock.nowMs(), nodeId,  nodeId, nodeId, nodeId};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        qCDebug(lcPeers) << "peer upsert failed for" << loggableId(nodeId);
    if (!exists)
        known.status = m_store.peerField(nodeId, kStatus);
    return known;
}

bool PeerRecords::makeRoomFor(const QString& nodeId, const QString& address)
{
    const StrangerRows::Forgotten forgotten = m_strangers.makeRoom(address, m_profile.hostId());
    if (forgotten.count() == 0)
        return false;
    for (const QString& path : forgotten.avatarPaths) {
        if (path.startsWith(m_dataFolder))
            QFile::remove(path);
    }
    // Strangers share nothing with the transfer lists: only the peers' lists show them.
    m_store.nodeData->scheduleRefresh();
    m_store.nodesProxyData->scheduleRefresh();
    // One arg() for all, so that nothing the peer chose is read as a place for the next value.
    m_refusals.log(QStringLiteral("strangers forgotten"),
                   QStringLiteral("Forgot %1 peers nothing here depends on (%2 at %3), to record %4: at most %5 "
                                  "such peers are kept per address, %6 in all")
                       .arg(QString::number(forgotten.count()), QString::number(forgotten.atAddress), address,
                            loggableId(nodeId), QString::number(StrangerRows::kMaxPerAddress),
                            QString::number(StrangerRows::kMaxInAll)));
    return forgotten.atAddress > 0;
}

bool PeerRecords::mayAnswer(const Known& known, const QString& nodeId, const QString& address)
{
    if (!known.crowded || m_crowdedAnswers.allow(address, m_clock.nowMs()))
        return true;
    qCDebug(lcPeers) << "not answering" << loggableId(nodeId) << "at" << address << "another new node there within"
                     << kCrowdedAnswerWindowMs << "ms";
    return false;
}

void PeerRecords::scheduleListsShowingPeers()
{
    m_store.nodeData->scheduleRefresh();
    m_store.nodesProxyData->scheduleRefresh();
    m_store.uploadsData->scheduleRefresh();
    m_store.pausedDownloads->scheduleRefresh();
    m_store.queuedDownloads->scheduleRefresh();
    m_store.completedDownloads->scheduleRefresh();
}

void PeerRecords::registerHandlers(MessageDispatcher& dispatcher)
{
    dispatcher.setAddressRefresh([this](const QString& nodeId, const QString& senderAddress) {
        if (refreshAddress(nodeId, senderAddress))
            Q_EMIT addressChanged(nodeId);
    });
    // Any message from a peer shown offline brings it back (the search asks it to confirm at once).
    dispatcher.setSenderHeard([this](const QString& nodeId, const QString& address, const QString& action) {
        m_search.heardFrom(nodeId, address, action);
    });
    dispatcher.registerHandler(QStringLiteral("addMeRequest"), this, &PeerRecords::handleAddMeRequest);
    dispatcher.registerHandler(QStringLiteral("addMeRequestConfirmed"), this,
                               &PeerRecords::handleAddMeRequestConfirmed);
    dispatcher.registerHandler(QStringLiteral("avatarRequested"), this, &PeerRecords::handleAvatarRequested);
    dispatcher.registerHandler(QStringLiteral("avatarObtained"), this, &PeerRecords::handleAvatarObtained);
    // Sent by no Vesk program, but accepted: the sender's picture is asked for.
    dispatcher.registerHandler(QStringLiteral("requestMyInfo"), [this](const Parameters& message) {
        requestAvatar(message.value(QStringLiteral("nodeFrom")).toString());
    });
}

void PeerRecords::addNodeFromUDP(const QString& nodeId, const QString& ipAddress, const QString& nodeOS,
                                 const QString& nodeAlias)
{
    if (m_announcementGate && !m_announcementGate(nodeId, ipAddress))
        return;
    const Known known = upsertPeer(nodeId, nodeAlias, ipAddress, nodeOS);
    if (known.valid && mayAnswer(known, nodeId, ipAddress))
        m_sink.sendTo(nodeId, QHostAddress(ipAddress), m_profile.addMeRequest(known.status));
}

void PeerRecords::handleAddMeRequest(const Parameters& message)
{
    qCDebug(lcPeers) << "addMeRequest from" << loggableId(message.value(QStringLiteral("nodeFrom")).toString()) << "at"
                     << message.value(MessageOrigin::kSenderAddress).toString();
    addNodeFromAddMeRequest(
        message.value(QStringLiteral("nodeFrom")).toString(), message.value(MessageOrigin::kSenderAddress).toString(),
        message.value(QStringLiteral("sysinfo")).toString(), message.value(QStringLiteral("alias")).toString());
}

void PeerRecords::addNodeFromAddMeRequest(const QString& nodeId, const QString& ipAddress, const QString& nodeOS,
                                          const QString& nodeAlias)
{
    const Known known = upsertPeer(nodeId, nodeAlias, ipAddress, nodeOS);
    if (!known.valid || !mayAnswer(known, nodeId, ipAddress))
        return;
    const QHostAddress address(ipAddress);

    const bool blocked = known.blocked;
    if (!blocked) {
        m_sink.sendTo(nodeId, address,
                      {{QStringLiteral("action"), QStringLiteral("addMeRequestConfirmed")},
                       {QStringLiteral("nodeFrom"), m_profile.hostId()}});
    }

    const QString& status = known.status;
    if (status == kPeerOn)
        return;
    if (blocked && !m_blockedAnswers.allow(nodeId, m_clock.nowMs())) {
        qCDebug(lcPeers) << "not answering blocked node" << loggableId(nodeId) << "again within"
                         << kBlockedAnswerWindowMs << "ms";
        return;
    }
    m_sink.sendTo(nodeId, address, m_profile.addMeRequest(status));
}

void PeerRecords::handleAddMeRequestConfirmed(const Parameters& message)
{
    const QString nodeFrom = message.value(QStringLiteral("nodeFrom")).toString();
    const bool cameOnline = m_store.peerField(nodeFrom, kStatus) != kPeerOn;
    const bool askedAgain = m_search.confirmed(nodeFrom);
    // A peer already "on" confirms us again at every announcement of its: nothing to show, nothing to write.
    if (cameOnline) {
        m_store.setField(kPeersTable, nodeFrom, kStatus, kPeerOn);
        m_store.nodeData->scheduleRefresh();
        m_store.nodesProxyData->scheduleRefresh();
    }
    const bool avatarDue = m_avatarRequests.allow(nodeFrom, m_clock.nowMs());
    if (cameOnline || avatarDue)
        requestAvatar(nodeFrom);
    if ((cameOnline || askedAgain) && nodeFrom != m_profile.hostId() && m_store.peerField(nodeFrom, kStatus) == kPeerOn)
        Q_EMIT peerCameOnline(nodeFrom);
}

void PeerRecords::requestAvatar(const QString& nodeId)
{
    const QString avatarPath = m_store.peerField(nodeId, QStringLiteral("avatarPath"));
    // What it sent, when it was kept smaller: the same picture need not come again.
    const QString held = m_fittedFrom.value(nodeId);
    sendToNode(m_sink, m_store, nodeId,
               {{QStringLiteral("action"), QStringLiteral("avatarRequested")},
                {QStringLiteral("nodeFrom"), m_profile.hostId()},
                {QStringLiteral("message"), held.isEmpty() ? AvatarStore::avatarKey(avatarPath) : held}});
}

void PeerRecords::handleAvatarRequested(const Parameters& message)
{
    const QString ownAvatar = m_profile.userAvatar();
    const auto key = message.constFind(QStringLiteral("message"));
    if (key != message.cend() && key.value().toString() == AvatarStore::avatarKey(ownAvatar))
        return;

    const QString replyTo = message.value(MessageOrigin::kSenderAddress).toString();
    if (!m_avatarAnswers.allow(replyTo, m_clock.nowMs())) {
        qCDebug(lcPeers) << "avatar asked for again too soon from" << replyTo;
        return;
    }
    const QHostAddress replyAddress(replyTo);
    QFile file(ownAvatar);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << "local avatar not found" << ownAvatar;
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    m_sink.sendTo(message.value(QStringLiteral("nodeFrom")).toString(), replyAddress,
                  {{QStringLiteral("action"), QStringLiteral("avatarObtained")},
                   {QStringLiteral("binaryData"), bytes},
                   {QStringLiteral("fileExtension"), QFileInfo(ownAvatar).suffix()},
                   {QStringLiteral("nodeFrom"), m_profile.hostId()},
                   {QStringLiteral("message"), m_profile.userAlias()}});
}

void PeerRecords::handleAvatarObtained(const Parameters& message)
{
    const QString nodeFrom = message.value(QStringLiteral("nodeFrom")).toString();
    const QByteArray bytes = message.value(QStringLiteral("binaryData")).toByteArray();
    const QString peerExtension = message.value(QStringLiteral("fileExtension")).toString();

    // The picture we already hold and show for this node: nothing to decode, write or show again. One kept smaller
    // than sent is known by what was sent.
    const QString current = m_store.peerField(nodeFrom, QStringLiteral("avatarPath"));
    const QString sentKey = AvatarStore::avatarKeyOf(bytes);
    if (current.startsWith(m_dataFolder) &&
        (AvatarStore::holds(current, bytes) ||
         (m_fittedFrom.value(nodeFrom) == sentKey && QFileInfo(current).size() > 0))) {
        qCDebug(lcPeers) << "avatar of" << loggableId(nodeFrom) << "unchanged";
        return;
    }

    // Everything here comes from the peer. Only a readable picture of bounded size is written, under a name made
    // of safe characters, inside the data folder; the row then links exactly that file.
    QString extension;
    const QByteArray kept = AvatarStore::kept(bytes, peerExtension, &extension);
    const QString fileName = AvatarStore::fileNameFor(nodeFrom, extension);
    if (fileName.isEmpty() || kept.isEmpty()) {
        qCritical().noquote() << "Refused the avatar of" << loggableId(nodeFrom)
                              << "(" + QString::number(bytes.size()) + " bytes): not a picture that can be shown";
        return;
    }
    // An avatar for a node we have no row for could never be shown; storing it would only let anyone litter
    // the data folder under invented node ids.
    if (m_store.peerRecord(nodeFrom).isEmpty()) {
        qCritical().noquote() << "could not obtain node corresponding to" + loggableId(nodeFrom);
        return;
    }

    if (!m_room.hasRoomFor(kept.size())) {
        m_refusals.refuse(QStringLiteral("a picture"),
                          QStringLiteral("of %1 (%2 bytes): %3")
                              .arg(loggableId(nodeFrom), QString::number(kept.size()), m_room.why()));
        return;
    }
    const QString filePath = m_dataFolder + fileName;
    m_room.wrote(kept.size());
    switch (AvatarStore::write(filePath, kept)) {
    case AvatarStore::Result::OpenFailed:
        qCritical() << "Error opening new avatar file for writing";
        return;
    case AvatarStore::Result::WriteFailed:
        qCritical() << "There was an error writing the avatar to a file";
        return;
    case AvatarStore::Result::Stored:
        break;
    }
    if (!QFileInfo::exists(filePath))
        return;
    if (kept.size() == bytes.size() && kept == bytes) {
        m_fittedFrom.remove(nodeFrom);
    } else {
        if (m_fittedFrom.size() >= kMaxFittedRemembered)
            m_fittedFrom.clear(); // each is only read again once more
        m_fittedFrom.insert(nodeFrom, sentKey);
    }

    // The same name with new bytes is a new picture too: the lists show it again even though no text changed.
    m_store.setField(kPeersTable, nodeFrom, QStringLiteral("avatarPath"), filePath);
    m_store.nodesProxyData->scheduleRefreshAll();
    m_store.nodeData->scheduleRefreshAll();
}

void PeerRecords::refreshOwnPeerRow()
{
    // The own row is stored under the loopback address: this instance answers itself and links its new picture.
    requestAvatar(m_profile.hostId());
    m_store.setField(kPeersTable, m_profile.hostId(), QStringLiteral("alias"), m_profile.userAlias());
    m_store.nodesProxyData->refresh();
    Q_EMIT ownProfileChanged();
}

bool PeerRecords::refreshAddress(const QString& nodeId, const QString& senderAddress)
{
    const QString column = QStringLiteral("ipAddress");
    if (m_store.peerField(nodeId, column) == senderAddress)
        return false;
    m_store.setField(kPeersTable, nodeId, column, senderAddress);
    return true;
}

void PeerRecords::blockUser(const QString& peerId)
{
    m_store.setField(kPeersTable, peerId, QStringLiteral("blocked"), QStringLiteral("yes"));
    m_store.nodeData->refresh();
    m_store.nodesProxyData->refresh();
}

void PeerRecords::unblockUser(const QString& peerId)
{
    m_store.setField(kPeersTable, peerId, QStringLiteral("blocked"), QStringLiteral("no"));
    m_store.nodeData->refresh();
    m_store.nodesProxyData->refresh();
    m_sink.sendTo(peerId, QHostAddress(m_store.peerField(peerId, QStringLiteral("ipAddress"))),
                  {{QStringLiteral("action"), QStringLiteral("addMeRequestConfirmed")},
                   {QStringLiteral("nodeFrom"), m_profile.hostId()}});
}

void PeerRecords::markUnreachable(const QHostAddress& address)
{
    QStringList ids;
    {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select id from vesk_peers where ipAddress = ? and status = 'on' and not(id = ?)"));
        q.bindValue(0, address.toString());
        q.bindValue(1, m_profile.hostId());
        if (!q.exec())
            return;
        while (q.next())
            ids.append(q.value(0).toString());
    }
    if (ids.isEmpty())
        return;
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("update vesk_peers set status = 'off' where ipAddress = ? and status = 'on' and "
                             "not(id = ?)"));
    q.bindValue(0, address.toString());
    q.bindValue(1, m_profile.hostId());
    q.exec();
    q.finish();
    qCDebug(lcPeers) << "nobody answers at" << address.toString() << "- marked offline";
    m_search.lost(ids);
    m_store.nodesProxyData->scheduleRefresh();
    m_store.nodeData->scheduleRefresh();
}

QStringList PeerRecords::storedAddresses() const
{
    QStringList addresses;
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("select ipAddress from vesk_peers where not(id = ?) and ipAddress is not null "
                             "group by ipAddress order by max(timestamp) desc"));
    q.bindValue(0, m_profile.hostId());
    if (q.exec()) {
        while (q.next())
            addresses.append(q.value(0).toString());
    }
    return addresses;
}

QString PeerRecords::onlineAliasAt(const QString& address) const
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("select alias from vesk_peers where ipAddress = ? and status = 'on' and not(id = ?)"));
    q.bindValue(0, address);
    q.bindValue(1, m_profile.hostId());
    if (q.exec() && q.next()) {
        const QString alias = q.value(0).toString();
        return alias.isEmpty() ? address : alias;
    }
    return {};
}

void PeerRecords::checkPresence()
{
    const qint64 now = m_clock.nowMs();
    QList<QPair<QString, QHostAddress>> due;
    QSet<QString> online;
    {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select id, ipAddress from vesk_peers where status = 'on' and not(id = ?)"));
        q.bindValue(0, m_profile.hostId());
        if (!q.exec())
            return;
        while (q.next()) {
            const QString id = q.value(0).toString();
            online.insert(id);
            const auto last = m_lastChecked.constFind(id);
            // A peer just seen online is not checked at once: its confirmation was the evidence.
            if (last == m_lastChecked.cend())
                m_lastChecked.insert(id, now);
            else if (now - last.value() >= kPresenceCheckMs || now < last.value())
                due.append({id, QHostAddress(q.value(1).toString())});
        }
    }
    // Forget peers that went offline, so that when they return they again count from their confirmation.
    for (auto it = m_lastChecked.begin(); it != m_lastChecked.end();)
        it = online.contains(it.key()) ? std::next(it) : m_lastChecked.erase(it);
    std::sort(due.begin(), due.end(), [this](const auto& a, const auto& b) {
        return m_lastChecked.value(a.first) < m_lastChecked.value(b.first);
    });
    for (int i = 0; i < due.size() && i < kMaxChecksPerRound; ++i) {
        m_lastChecked.insert(due.at(i).first, now);
        if (!due.at(i).second.isNull())
            m_sink.probe(due.at(i).second);
    }
}

} // namespace Vesk
