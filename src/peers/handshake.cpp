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
#include "app/globals.h"

#include "app/platform.h"
#include "common/clock.h"
#include "peers/avatarstore.h"
#include "peers/peeroutbox.h"
#include "peers/peerslogging.h"
#include "peers/replylimiter.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QUrl>

namespace Vesk {

namespace {

const QString kPeers = QStringLiteral("vesk_peers");
const QString kOn = QStringLiteral("on");
const QString kYes = QStringLiteral("yes");

// Two nodes that block each other never confirm each other, and each answers the other's request with one of
// its own. A node we block gets at most one such answer per announcement cycle (eleven announcements two
// seconds apart); an exchange with a single block, or none, never reaches the limit.
constexpr qint64 kBlockedAnswerWindowMs = 22000;

ReplyLimiter& blockedAnswers()
{
    static ReplyLimiter limiter(kBlockedAnswerWindowMs);
    return limiter;
}

// A node id as it may appear in the log: peers choose it, so control characters (which could forge log lines)
// become "?" and a long one is cut.
QString loggableId(const QString& nodeId)
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

// Real node ids are braced UUIDs and aliases a name; what a peer sends beyond these lengths is not kept.
constexpr int kMaxNodeIdLength = 256;
constexpr int kMaxAliasLength = 256;

// Records a node, or refreshes its alias, address and system name while keeping everything else the row holds.
// Returns false, recording nothing, for a node id that no instance of this program sends.
bool upsertPeer(const QString& nodeId, const QString& alias, const QString& address, const QString& os)
{
    if (nodeId.isEmpty() || nodeId.size() > kMaxNodeIdLength) {
        qCWarning(lcPeers) << "ignoring a node id of" << nodeId.size() << "characters from" << address;
        return false;
    }
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral(
        "replace into vesk_peers (id, alias, ipAddress, status, avatarPath, unreadMessagesCount, sysinfo, timestamp, "
        "blocked) values (?, ?, ?, coalesce((select status from vesk_peers where id = ?), 'off'), "
        "coalesce((select avatarPath from vesk_peers where id = ?), "
        "'qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png'), coalesce((select unreadMessagesCount from vesk_peers "
        "where id =?), '0'),?,coalesce((select timestamp from vesk_peers where id = ?), ?), coalesce((select blocked "
        "from vesk_peers where id = ?), 'no'))"));
    const QVariantList values{nodeId, alias.left(kMaxAliasLength), address, nodeId,  nodeId,
                              nodeId, os.left(kMaxAliasLength),    nodeId,  nowMs(), nodeId};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        qCDebug(lcPeers) << "peer upsert failed for" << loggableId(nodeId);
    return true;
}

// The interface may hand over a URL ("file:///...", "qrc:/...") where a path is expected.
QString localImagePath(const QString& pathOrUrl)
{
    if (pathOrUrl.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        return QUrl(pathOrUrl).toLocalFile();
    if (pathOrUrl.startsWith(QLatin1String("qrc:"), Qt::CaseInsensitive))
        return QLatin1Char(':') + QUrl(pathOrUrl).path();
    return pathOrUrl;
}

} // namespace

void Globals::addNodeFromUDP(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias)
{
    if (!upsertPeer(nodeId, nodeAlias, ipAddress, nodeOS))
        return;
    const QString status = nodeData->getField(kPeers, nodeId, QStringLiteral("status"));
    PeerOutbox::send(*this, QHostAddress(ipAddress),
                     {{QStringLiteral("action"), QStringLiteral("addMeRequest")},
                      {QStringLiteral("nodeFrom"), m_hostId},
                      {QStringLiteral("alias"), userAlias()},
                      {QStringLiteral("sysinfo"), osName()},
                      {QStringLiteral("message"), status}});
}

void Globals::handleAddMeRequest(const Parameters& message)
{
    qCDebug(lcPeers) << "addMeRequest from" << loggableId(message.value(QStringLiteral("nodeFrom")).toString()) << "at"
                     << message.value(QStringLiteral("senderIPAddress")).toString();
    addNodeFromAddMeRequest(message.value(QStringLiteral("nodeFrom")).toString(),
                            message.value(QStringLiteral("senderIPAddress")).toString(),
                            message.value(QStringLiteral("sysinfo")).toString(),
                            message.value(QStringLiteral("alias")).toString());
}

void Globals::addNodeFromAddMeRequest(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias)
{
    if (!upsertPeer(nodeId, nodeAlias, ipAddress, nodeOS))
        return;
    const QHostAddress address(ipAddress);

    const bool blocked = nodeData->getField(kPeers, nodeId, QStringLiteral("blocked")) == kYes;
    if (!blocked) {
        PeerOutbox::send(*this, address,
                         {{QStringLiteral("action"), QStringLiteral("addMeRequestConfirmed")},
                          {QStringLiteral("nodeFrom"), m_hostId}});
    }

    const QString status = nodeData->getField(kPeers, nodeId, QStringLiteral("status"));
    if (status == kOn)
        return;
    if (blocked && !blockedAnswers().allow(nodeId, nowMs())) {
        qCDebug(lcPeers) << "not answering blocked node" << loggableId(nodeId) << "again within"
                         << kBlockedAnswerWindowMs << "ms";
        return;
    }
    PeerOutbox::send(*this, address,
                     {{QStringLiteral("action"), QStringLiteral("addMeRequest")},
                      {QStringLiteral("nodeFrom"), m_hostId},
                      {QStringLiteral("alias"), userAlias()},
                      {QStringLiteral("sysinfo"), osName()},
                      {QStringLiteral("message"), status}});
}

void Globals::handleAddMeRequestConfirmed(const Parameters& message)
{
    const QString nodeFrom = message.value(QStringLiteral("nodeFrom")).toString();
    nodeData->setFieldAndRefresh(kPeers, nodeFrom, QStringLiteral("status"), kOn);
    nodesProxyData->refresh();
    requestAvatar(nodeFrom);
}

void Globals::requestAvatar(const QString& nodeId)
{
    const QHostAddress address = getNodeAddress(nodeId);
    const QString avatarPath = nodeData->getField(kPeers, nodeId, QStringLiteral("avatarPath"));
    PeerOutbox::send(*this, address,
                     {{QStringLiteral("action"), QStringLiteral("avatarRequested")},
                      {QStringLiteral("nodeFrom"), m_hostId},
                      {QStringLiteral("message"), AvatarStore::avatarKey(avatarPath)}});
}

void Globals::handleAvatarRequested(const Parameters& message)
{
    const QString ownAvatar = userAvatar();
    const auto key = message.constFind(QStringLiteral("message"));
    if (key != message.cend() && key.value().toString() == AvatarStore::avatarKey(ownAvatar))
        return;

    const QHostAddress replyAddress(message.value(QStringLiteral("senderIPAddress")).toString());
    QFile file(ownAvatar);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << "local avatar not found" << ownAvatar;
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    PeerOutbox::send(*this, replyAddress,
                     {{QStringLiteral("action"), QStringLiteral("avatarObtained")},
                      {QStringLiteral("binaryData"), bytes},
                      {QStringLiteral("fileExtension"), QFileInfo(ownAvatar).suffix()},
                      {QStringLiteral("nodeFrom"), m_hostId},
                      {QStringLiteral("message"), userAlias()}});
}

void Globals::handleAvatarObtained(const Parameters& message)
{
    const QString nodeFrom = message.value(QStringLiteral("nodeFrom")).toString();
    const QByteArray bytes = message.value(QStringLiteral("binaryData")).toByteArray();
    const QString peerExtension = message.value(QStringLiteral("fileExtension")).toString();

    // Everything here comes from the peer. Only a readable picture of bounded size is written, under a name made
    // of safe characters, inside the data folder; the row then links exactly that file.
    const QString extension = AvatarStore::extensionFor(bytes, peerExtension);
    const QString fileName = AvatarStore::fileNameFor(nodeFrom, extension);
    if (fileName.isEmpty()) {
        qCritical().noquote() << "Refused the avatar of" << loggableId(nodeFrom)
                              << "(" + QString::number(bytes.size()) + " bytes): not a picture that can be shown";
        return;
    }
    // An avatar for a node we have no row for could never be shown; storing it would only let anyone litter
    // the data folder under invented node ids.
    if (getPeerRecord(nodeFrom).isEmpty()) {
        qCritical().noquote() << "could not obtain node corresponding to" + loggableId(nodeFrom);
        return;
    }

    const QString filePath = dataFolderPath() + fileName;
    switch (AvatarStore::write(filePath, bytes)) {
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

    nodesProxyData->setFieldAndRefresh(kPeers, nodeFrom, QStringLiteral("avatarPath"), filePath);
    nodeData->refresh();
}

void Globals::changeUserInfo(QString newUserAlias, QString newUserAvatar)
{
    setUserAlias(newUserAlias);
    setUserAvatar(localImagePath(newUserAvatar));
    refreshOwnPeerRow();
}

void Globals::refreshOwnPeerRow()
{
    // The own row is stored under the loopback address: this instance answers itself and links its new picture.
    requestAvatar(m_hostId);
    nodesProxyData->setFieldAndRefresh(kPeers, m_hostId, QStringLiteral("alias"), userAlias());
}

void Globals::unblockUser(QString peerId)
{
    nodeData->setFieldAndRefresh(kPeers, peerId, QStringLiteral("blocked"), QStringLiteral("no"));
    nodesProxyData->refresh();
    PeerOutbox::send(
        *this, QHostAddress(getIpAddressForNode(peerId)),
        {{QStringLiteral("action"), QStringLiteral("addMeRequestConfirmed")}, {QStringLiteral("nodeFrom"), m_hostId}});
}

} // namespace Vesk
