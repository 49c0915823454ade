#include "peers/peersecurity.h"

#include "common/bufferpool.h"
#include "common/clock.h"
#include "net/messageorigin.h"
#include "net/netaddress.h"
#include "net/wire.h"
#include "peers/localprofile.h"
#include "peers/peerrecords.h"
#include "peers/peerslogging.h"
#include "secure/comparisoncode.h"
#include "secure/crypto.h"
#include "store/store.h"

#include <QNetworkInterface>

namespace Vesk {

namespace {

const QString kAction = QStringLiteral("action");
const QString kNodeFrom = QStringLiteral("nodeFrom");
const QString kIpAddress = QStringLiteral("ipAddress");

// What a node that speaks streams can take beyond the plain protocol.
constexpr quint32 kStreamCapabilities = CapabilityLargeFiles | CapabilityFolders;

bool isHandshake(const QString& action)
{
    return action.compare(QLatin1String("addMeRequest"), Qt::CaseInsensitive) == 0 ||
           action.compare(QLatin1String("addMeRequestConfirmed"), Qt::CaseInsensitive) == 0;
}

// Endings of a dial that show nothing speaks streams at the address: nothing listens on the stream port (or
// nothing answers there at all), or what answers speaks no TLS of ours. A Vesk computer with no room for us ends
// the connection during the handshake, or lets it wait: that is no plain peer, and the dial is repeated later.
bool showsPlain(PeerStream::Ending ending)
{
    return ending == PeerStream::Ending::NetworkError || ending == PeerStream::Ending::HandshakeFailed;
}

} // namespace

PeerSecurity::PeerSecurity(Store& store, const Clock& clock, const LocalProfile& profile, const QString& keyFile,
                           QObject* parent)
    : QObject(parent), m_store(store), m_rows(store), m_clock(clock), m_profile(profile), m_keyFile(keyFile)
{
    IdentityKey::Origin origin;
    QString problem;
    m_identity = IdentityKey::loadOrCreate(m_keyFile, &origin, &problem);
    if (!problem.isEmpty())
        qCritical().noquote() << problem;
    loadPins();
    makeStreams();
}

PeerSecurity::~PeerSecurity()
{
    // The streams end as they go and say so; nothing of this object may hear it by then.
    if (m_streams)
        m_streams->disconnect(this);
    m_streams.reset();
}

void PeerSecurity::makeStreams()
{
    if (m_streams)
        m_streams->disconnect(this);
    m_streams.reset();
    m_waiting.clearQueued();
    m_streams = std::make_unique<PeerStreams>(
        m_identity, m_profile.hostId(),
        PeerStreams::PinCheckAt([this](const QString& nodeId, const QByteArray& key, const QHostAddress& address) {
            return checkPin(nodeId, key, addressText(address));
        }),
        this);
    m_streams->setPinnedKey([this](const QString& nodeId) {
        const NodeBook::Pin* pinned = m_book.pin(nodeId);
        return pinned && pinned->saved ? pinned->key : QByteArray(); // a peer of the user's
    });
    m_streams->setBacklogged([this](const QString& nodeId) { return m_waiting.queuedBytes(nodeId); });
    // Answered at once by a peer whose stream is alive; a moved one's dead stream stays silent.
    m_streams->setProbe([this](const QString& nodeId) { sendHandshake(nodeId); });
    m_streams->setKnownAddress([this](const QString& nodeId) {
        return m_book.isPinned(nodeId) ? QHostAddress(m_store.peerField(nodeId, kIpAddress)) : QHostAddress();
    });
    connect(m_streams.get(), &PeerStreams::streamUp, this, &PeerSecurity::streamUp);
    connect(m_streams.get(), &PeerStreams::streamDown, this, &PeerSecurity::streamDown);
    connect(m_streams.get(), &PeerStreams::frameReceived, this, &PeerSecurity::frameReceived);
    connect(m_streams.get(), &PeerStreams::sendReady, this, &PeerSecurity::flushBacklog);
    connect(m_streams.get(), &PeerStreams::dialFailed, this,
            [this](const QString& nodeId, const QHostAddress& address, PeerStream::Ending ending) {
                dialFailed(nodeId, addressText(address), ending);
            });
    connect(m_streams.get(), &PeerStreams::nodeAnswered, this,
            [this](const QHostAddress& address, const QString& nodeId) { nodeSeenAt(addressText(address), nodeId); });
    connect(
        m_streams.get(), &PeerStreams::sameIdentityElsewhere, this,
        [this](const QString&, const QHostAddress& address) { Q_EMIT copyOfThisInstallation(addressText(address)); });
    m_streams->setFramePool(m_frames);
    if (m_listenPort != 0)
        listen(m_listenAddress, m_listenPort);
}

void PeerSecurity::setFramePool(BufferPool* frames)
{
    m_frames = frames;
    m_streams->setFramePool(frames);
}

bool PeerSecurity::listen(const QHostAddress& address, quint16 port)
{
    m_listenAddress = address;
    m_listenPort = port;
    return m_streams->listen(address, port);
}

QString PeerSecurity::listenError() const
{
    return m_streams->isValid() ? QStringLiteral("port %1 is taken").arg(m_listenPort)
                                : QStringLiteral("no certificate for the identity key");
}

quint16 PeerSecurity::streamPort() const
{
    return m_streams->serverPort();
}

void PeerSecurity::loadPins()
{
    for (const SecurityRows::Row& row : m_rows.load()) {
        m_book.loadPin(row.nodeId, row.key, row.pending);
        if (!row.address.isEmpty())
            m_pinnedAt.insert(row.address, row.nodeId);
    }
}

void PeerSecurity::renewIdentity()
{
    m_identity = IdentityKey::generate();
    // The old node id's row is gone: what the database told of addresses is asked again.
    m_book.forgetAddresses();
    QString error;
    if (!m_identity.save(m_keyFile, &error))
        qCritical().noquote() << QStringLiteral("A new identity key could not be stored: ") + error;
    makeStreams();
}

QByteArray PeerSecurity::identityKey() const
{
    return m_identity.publicKey();
}

PeerStreams::PinVerdict PeerSecurity::checkPin(const QString& nodeId, const QByteArray& key, const QString& address)
{
    if (nodeId.size() > PeerRecords::kMaxNodeIdLength)
        return PeerStreams::PinVerdict::Refuse;
    NodeBook::Pin* pinned = m_book.pin(nodeId);
    if (!pinned) {
        if (!m_firstPins.take(nodeId, key, address))
            return PeerStreams::PinVerdict::Refuse;
        savePin(nodeId);
        return PeerStreams::PinVerdict::Accept;
    }
    if (constantTimeEqual(pinned->key, key))
        return PeerStreams::PinVerdict::Accept;
    if (m_streams->hasStream(nodeId)) {
        // The pinned key is proving itself on its stream right now: the other key is another computer claiming
        // this node id, not this node reinstalled. Nothing is offered to the user to accept.
        m_refusals.refuse(
            QStringLiteral("a stream under the node id of a connected peer, with another key"),
            QStringLiteral("%1 from %2; its own key is connected").arg(PeerRecords::loggableId(nodeId), address));
        return PeerStreams::PinVerdict::Refuse;
    }
    // Another installation under this node id: refused until the user takes its key; the pinned key's stream
    // goes on meanwhile.
    if (!constantTimeEqual(pinned->pending, key)) {
        pinned->pending = key;
        m_rows.setPending(nodeId, key);
        Q_EMIT securityChanged(nodeId);
    }
    m_refusals.refuse(
        QStringLiteral("a stream with another security key"),
        QStringLiteral("%1: marked as changed until the user accepts it").arg(PeerRecords::loggableId(nodeId)));
    return PeerStreams::PinVerdict::KeyChanged;
}

void PeerSecurity::savePin(const QString& nodeId)
{
    if (m_firstPins.save(nodeId, kStreamCapabilities))
        Q_EMIT securityChanged(nodeId);
}

void PeerSecurity::streamUp(const QString& nodeId, const QHostAddress& address)
{
    const QString where = addressText(address);
    m_pinnedAt.removeIf([&nodeId](const auto& entry) { return entry.value() == nodeId; });
    nodeSeenAt(where, nodeId);
    // The address is a hint for messages sent to an address only; a node with its stream up there keeps it.
    if (streamAt(where).isEmpty())
        m_pinnedAt.insert(where, nodeId);
    m_book.unmarkPlain(nodeId); // it speaks streams after all
    m_unreachableAt.remove(nodeId);
    bool changed = m_refusesOurKey.remove(nodeId);
    // The pinned key came back: whatever other key came meanwhile was not this node reinstalled.
    NodeBook::Pin* pinned = m_book.pin(nodeId);
    if (pinned && !pinned->pending.isEmpty()) {
        pinned->pending.clear();
        m_rows.setPending(nodeId, {});
        changed = true;
    }
    if (changed)
        Q_EMIT securityChanged(nodeId);
    qCDebug(lcPeers) << "stream up with" << PeerRecords::loggableId(nodeId) << "at" << where;
    // What waits for this node goes on its stream; what waits at its address for another node does not.
    releaseHeld(nodeId, true);
    // The handshake that makes both sides "on" to each other now travels on the stream.
    sendHandshake(nodeId);
}

void PeerSecurity::sendHandshake(const QString& nodeId)
{
    const QHostAddress address = m_streams->address(nodeId);
    if (!m_sendHandshake || address.isNull())
        return;
    const QString status = m_store.peerField(nodeId, QStringLiteral("status"));
    m_sendHandshake(nodeId, address, m_profile.addMeRequest(status.isEmpty() ? QStringLiteral("off") : status));
}

void PeerSecurity::linksChanged()
{
    m_streams->addressesChanged(QNetworkInterface::allAddresses());
}

void PeerSecurity::handshakeOnStreams()
{
    for (const QString& nodeId : m_streams->nodes())
        sendHandshake(nodeId);
}

void PeerSecurity::streamDown(const QString& nodeId)
{
    m_waiting.dropQueued(nodeId);
    Q_EMIT streamEnded(nodeId);
}

void PeerSecurity::frameReceived(const QString& nodeId, const QByteArray& payload)
{
    // A file packet's bytes are taken out of the frame whole rather than parsed into copies of their own.
    QByteArray frame = payload;
    Parameters message = byteArrayToParameters(std::move(frame));
    const QString nodeFrom = message.value(kNodeFrom).toString();
    if (message.contains(kNodeFrom) && nodeFrom != nodeId) {
        m_refusals.refuse(QStringLiteral("a message on a stream under another node id"),
                          QStringLiteral("%1 on the stream of %2")
                              .arg(PeerRecords::loggableId(nodeFrom), PeerRecords::loggableId(nodeId)));
        return;
    }
    if (m_frames)
        m_frames->giveBack(payload); // serves again once the parsed message lets go of it
    message.insert(MessageOrigin::kSenderAddress, addressText(m_streams->address(nodeId)));
    message.insert(MessageOrigin::kStreamNode, nodeId); // what a transfer's messages are told by, not their ids
    if (m_deliver)
        m_deliver(std::move(message));
    savePin(nodeId); // once its first handshake made its row
}

bool PeerSecurity::sendOnStream(const QString& nodeId, const Parameters& parameters)
{
    // A file packet's bytes go to the stream from where they were read, not copied into a record first.
    return sendOnStream(nodeId, RecordEncoder(parameters).payload());
}

bool PeerSecurity::sendOnStream(const QString& nodeId, FramePayload payload)
{
    if (m_waiting.sendOrQueue(nodeId, std::move(payload), streamOf(nodeId)))
        return true;
    return m_refusals.refuse(QStringLiteral("to keep another message for a busy stream"),
                             QStringLiteral("to %1; the features send it again").arg(PeerRecords::loggableId(nodeId)));
}

void PeerSecurity::flushBacklog(const QString& nodeId)
{
    m_waiting.flush(nodeId, streamOf(nodeId));
    if (m_waiting.queuedBytes(nodeId) == 0)
        Q_EMIT roomFor(nodeId);
}

bool PeerSecurity::hasRoomFor(const QString& nodeId)
{
    if (!m_streams->hasStream(nodeId))
        return true;
    return m_waiting.queuedBytes(nodeId) == 0 && m_streams->canSend(nodeId);
}

WaitingMessages::Send PeerSecurity::streamOf(const QString& nodeId)
{
    return [this, nodeId](const FramePayload& payload) {
        return m_streams->send(nodeId, payload);
    };
}

QByteArray PeerSecurity::frame(const QHostAddress& address, const QString& nodeId, const Parameters& parameters,
                               BufferPool* frames)
{
    if (nodeId.isEmpty() || nodeId == m_profile.hostId())
        return frameForAddress(address, parameters, frames);
    // For one node: only a stream whose certificate names it takes the message. Another program at the same
    // address (a second user of that computer, a host behind the same router, a forged source) has a stream of its
    // own, under its own node id, and gets nothing of this node's.
    if (m_streams->hasStream(nodeId)) {
        sendOnStream(nodeId, parameters);
        return {};
    }
    if (address.isNull())
        return {};
    const QString where = addressText(address);
    if (m_book.isPinned(nodeId)) {
        dial(nodeId, where); // it waits for its stream (the features send it again)
        return {};
    }
    if (!m_book.isMarkedPlainAt(nodeId, where)) {
        // Whether it speaks streams there is learnt by dialling it; if it does, the message goes on that stream.
        hold(where, nodeId, parameters);
        return {};
    }
    return plainFrame(where, parameters, frames);
}

QByteArray PeerSecurity::frameForAddress(const QHostAddress& address, const Parameters& parameters, BufferPool* frames)
{
    if (address.isNull())
        return {};
    const QString where = addressText(address);
    const QString streamNode = streamAt(where);
    if (!streamNode.isEmpty()) {
        sendOnStream(streamNode, parameters);
        return {};
    }
    const QString pinned = m_pinnedAt.value(where);
    if (!pinned.isEmpty()) {
        // Never in plain to a pinned node: it waits for its stream (the features send it again).
        dial(pinned, where);
        return {};
    }
    const QString nodeId = nodeAt(where);
    if (m_streams->hasStream(nodeId)) { // the node has moved, and its stream with it
        sendOnStream(nodeId, parameters);
        return {};
    }
    if (!nodeId.isEmpty() && nodeId != m_profile.hostId() && !m_book.isMarkedPlainAt(nodeId, where)) {
        // A node that ever completed a stream with us is never sent plain, whatever the port does now; one not
        // known either way is dialled to learn it.
        hold(where, nodeId, parameters);
        return {};
    }
    return plainFrame(where, parameters, frames);
}

QByteArray PeerSecurity::plainFrame(const QString& where, const Parameters& parameters, BufferPool* frames)
{
    // What a plain program is sent: never a field it does not know, nor a size its fields cannot hold.
    if (!carriesExtensionFields(parameters))
        return parametersToFrame(parameters, frames);
    qCritical().noquote() << QStringLiteral("A \"%1\" to %2 was not sent: it carries what a plain peer cannot read")
                                 .arg(parameters.value(kAction).toString(), where);
    return {};
}

QString PeerSecurity::nodeAt(const QString& address)
{
    if (const std::optional<QString> known = m_book.nodeAt(address))
        return *known;
    if (QHostAddress(address).isLoopback()) // on the loopback: this node itself
        return {};
    // Rows move to another address only with a message or announcement heard here first (see nodeSeenAt and
    // noteNodeAt), so what the database says is kept until then.
    const QString nodeId = m_rows.nodeStoredAt(address, m_profile.hostId());
    if (nodeId.isEmpty() || !m_book.placed(nodeId))
        m_book.noteNodeAt(address, nodeId);
    // else: a row not yet moved to where the node was heard last; asked again next time
    return nodeId;
}

QString PeerSecurity::streamAt(const QString& address) const
{
    // The node whose stream took the address first: the pinned node last authenticated there, while its stream
    // is up there.
    const QString nodeId = m_pinnedAt.value(address);
    return !nodeId.isEmpty() && addressText(m_streams->address(nodeId)) == address ? nodeId : QString();
}

bool PeerSecurity::knownCapable(const QString& nodeId) const
{
    return m_book.isPinned(nodeId) || m_streams->isCapable(nodeId);
}

void PeerSecurity::dial(const QString& nodeId, const QString& address)
{
    m_streams->dial(QHostAddress(address), m_dialPort, nodeId);
}

void PeerSecurity::hold(const QString& address, const QString& nodeId, const Parameters& parameters)
{
    if (!m_waiting.hold(nodeId, address, parameters)) {
        m_refusals.refuse(
            QStringLiteral("to hold another message for a stream being dialled"),
            QStringLiteral("to %1, with %2 nodes waiting already").arg(address).arg(m_waiting.heldNodes()));
        return;
    }
    dial(nodeId, address);
}

void PeerSecurity::releaseHeld(const QString& nodeId, bool onStream)
{
    const auto [address, messages] = m_waiting.takeHeld(nodeId);
    for (const Parameters& message : messages) {
        if (onStream) {
            sendOnStream(nodeId, message);
        } else if (m_sendPlain) {
            const QByteArray plain = frame(QHostAddress(address), nodeId, message);
            if (!plain.isNull())
                m_sendPlain(QHostAddress(address), plain);
        }
    }
}

void PeerSecurity::dialFailed(const QString& nodeId, const QString& dialledAt, PeerStream::Ending ending)
{
    if (m_book.isPinned(nodeId) && dialledAt == m_store.peerField(nodeId, kIpAddress))
        m_unreachableAt.insert(nodeId, dialledAt);
    // Only a pinned peer's refusal says something: it knew another key of ours.
    if (ending == PeerStream::Ending::RefusedByPeer && m_book.isPinned(nodeId) && !m_refusesOurKey.contains(nodeId)) {
        m_refusesOurKey.insert(nodeId);
        Q_EMIT securityChanged(nodeId);
    }
    // Learnt once per node: nothing speaks streams where it is. Never of a node that completed a stream with us
    // (pinned, or capable this run), whose port may be blocked on the way by someone who wants its messages in
    // plain. This is the one place that keeps such a node from plain: it is never marked, and loses its mark once it
    // completes a stream (streamUp) or is pinned, so every route asks only for the mark.
    if (showsPlain(ending) && !m_pinnedAt.contains(dialledAt) && !knownCapable(nodeId)) {
        m_book.markPlain(nodeId, dialledAt);
        releaseHeld(nodeId, false);
        return;
    }
    // A Vesk computer is there that is not the node dialled, or refused us: nothing of it goes in plain.
    m_waiting.dropHeld(nodeId);
}

void PeerSecurity::nodeSeenAt(const QString& address, const QString& nodeId)
{
    const QString pinned = m_pinnedAt.value(address);
    if (!pinned.isEmpty() && pinned != nodeId && !m_streams->hasStream(pinned))
        forgetPinnedAt(address);
    const QString plain = m_book.plainAt(address);
    if (!plain.isEmpty() && plain != nodeId)
        m_book.unmarkPlain(plain);
    m_book.noteNodeAt(address, nodeId); // and a capable node last known here is no longer taken to be here
}

void PeerSecurity::forgetPinnedAt(const QString& address)
{
    const QString pinned = m_pinnedAt.take(address);
    // Its stored address now leads to another program: what the features send the pinned node must not go there.
    m_rows.forgetAddress(pinned, address);
    qCDebug(lcPeers) << "another node answers at" << address << "where" << PeerRecords::loggableId(pinned) << "was";
}

bool PeerSecurity::admit(Parameters& message)
{
    const QString address = message.value(MessageOrigin::kSenderAddress).toString();
    const QString nodeId = message.value(kNodeFrom).toString();
    if (QHostAddress(address).isLoopback() && (nodeId.isEmpty() || nodeId == m_profile.hostId()))
        return true; // this node talking to itself
    if (!nodeId.isEmpty() && nodeId == m_profile.hostId())
        return m_refusals.refuse(
            QStringLiteral("a plain message under this computer's own node id"),
            QStringLiteral("from %1; a copy of this installation shows itself by its key only").arg(address));
    if (m_book.isPinned(nodeId))
        return m_refusals.refuse(QStringLiteral("a plain message under the node id of a peer with a stream"),
                                 QStringLiteral("%1 from %2").arg(PeerRecords::loggableId(nodeId), address));
    // Kept on purpose, also under a node id of its own: a plain program cannot share an address with a Vesk
    // computer and still be reached. The message port and the stream port of an address lead to one program (two
    // on one computer cannot both take the message port; behind one router only one of them is forwarded), so
    // whatever we send such a program, by its address or by its node id (a dial there finds the Vesk computer and
    // another node), goes to the Vesk computer or nowhere. Taken in, its messages would only plant a peer that
    // nothing reaches, and let anyone at a peer's address (a forged source, a shared router) have messages taken
    // as coming from where that peer is.
    if (!streamAt(address).isEmpty() || (nodeId.isEmpty() && m_pinnedAt.contains(address)))
        return m_refusals.refuse(
            QStringLiteral("a plain message from the address of a peer with a stream"),
            QStringLiteral("%1 (%2)").arg(address, PeerRecords::loggableId(m_pinnedAt.value(address))));
    if (!nodeId.isEmpty() && nodeId.size() <= PeerRecords::kMaxNodeIdLength) {
        nodeSeenAt(address, nodeId);
        m_plainHearings.heard(nodeId, address);
        // A plain handshake from a node not known plain there: whether it speaks streams is learnt by dialling it.
        if (isHandshake(message.value(kAction).toString()) && !m_book.isMarkedPlainAt(nodeId, address))
            dial(nodeId, address);
    }
    return true;
}

bool PeerSecurity::announced(const QString& nodeId, const QString& address)
{
    if (nodeId == m_profile.hostId()) {
        if (QHostAddress(address) == QHostAddress(QHostAddress::LocalHost))
            return true; // this node recording itself
        m_refusals.refuse(
            QStringLiteral("an announcement under this computer's own node id"),
            QStringLiteral("from %1; a copy of this installation shows itself by its key only").arg(address));
        // A copied disk announces our id with our key: a stream there shows whether it is one.
        if (m_copyChecks.allow(address, m_clock.nowMs()))
            m_streams->lookForCopy(QHostAddress(address), m_dialPort);
        return false;
    }
    if (m_book.isPinned(nodeId)) {
        // Anyone can announce any node id: at most a hint where the node may be, taken only with its key. With its
        // stream up, the handshake an announcement calls for goes on the stream (its answer brings a new picture).
        // Without it, the node is looked for where its stream last came from; the announced address only once that
        // fails, so that an announcement cannot move the node (and its redials) to a relay while it is still there.
        if (m_streams->hasStream(nodeId)) {
            sendHandshake(nodeId);
            return false;
        }
        const QString stored = m_store.peerField(nodeId, kIpAddress);
        dial(nodeId, stored.isEmpty() || m_unreachableAt.value(nodeId) == stored ? address : stored);
        return false;
    }
    // A datagram proves nothing of its sender's address: it updates where the node is looked for, as its row,
    // but clears nothing learnt of the node that answered there.
    if (nodeId.size() <= PeerRecords::kMaxNodeIdLength)
        m_book.noteNodeAt(address, nodeId);
    return true;
}

quint32 PeerSecurity::capabilitiesOf(const QString& nodeId) const
{
    // A changed key waiting for the user leaves the pinned key's stream, and what it carries, as they were.
    return m_book.isPinned(nodeId) ? kStreamCapabilities : 0;
}

bool PeerSecurity::hasStream(const QString& nodeId) const
{
    return m_streams->hasStream(nodeId);
}

SecurityState::State PeerSecurity::securityState(const QString& nodeId) const
{
    const NodeBook::Pin* pinned = m_book.pin(nodeId);
    if (!pinned)
        return SecurityState::Plain;
    if (!pinned->pending.isEmpty())
        return SecurityState::KeyChanged;
    if (m_rows.isVerified(nodeId))
        return SecurityState::Verified;
    return SecurityState::Sealed;
}

QString PeerSecurity::comparisonCode(const QString& nodeId) const
{
    const NodeBook::Pin* pinned = m_book.pin(nodeId);
    return pinned ? ComparisonCode::inLines(identityKey(), m_profile.hostId(),
                                            pinned->pending.isEmpty() ? pinned->key : pinned->pending, nodeId)
                  : QString();
}

bool PeerSecurity::markVerified(const QString& nodeId)
{
    const NodeBook::Pin* pinned = m_book.pin(nodeId);
    if (!pinned || !pinned->pending.isEmpty())
        return false;
    if (!m_rows.markVerified(nodeId)) {
        qCWarning(lcPeers) << "could not mark" << nodeId << "as verified: its row was not written";
        return false;
    }
    Q_EMIT securityChanged(nodeId);
    return true;
}

bool PeerSecurity::acceptChangedKey(const QString& nodeId)
{
    NodeBook::Pin* pinned = m_book.pin(nodeId);
    if (!pinned || pinned->pending.isEmpty())
        return false;
    // Only a key the row holds is taken: a key accepted for this run alone would come back as changed at the next.
    if (!m_rows.acceptPending(nodeId, pinned->pending)) {
        qCWarning(lcPeers) << "the new key of" << nodeId << "was not accepted: its row was not written";
        return false;
    }
    pinned->key = pinned->pending;
    pinned->pending.clear();
    Q_EMIT securityChanged(nodeId);
    // The stream of the key set aside ends; the new key's computer is taken at its next dial or announcement.
    m_streams->drop(nodeId);
    return true;
}

} // namespace Vesk
