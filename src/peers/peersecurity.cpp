#include "peers/peersecurity.h"

#include "common/clock.h"
#include "common/taskthread.h"
#include "net/capabilityprobe.h"
#include "net/envelope.h"
#include "net/netaddress.h"
#include "net/wire.h"
#include "peers/localprofile.h"
#include "peers/peerslogging.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"

#include <QMetaObject>
#include <QPointer>
#include <QSqlQuery>
#include <QTimer>

namespace Vesk {

namespace {

const QString kAction = QStringLiteral("action");
const QString kNodeFrom = QStringLiteral("nodeFrom");
const QString kSender = QStringLiteral("senderIPAddress");
const QString kCapabilities = QStringLiteral("capabilities");
const QString kIdentityKey = QStringLiteral("identityKey");
const QString kSessionKey = QStringLiteral("sessionKey");
const QString kSessionSignature = QStringLiteral("sessionSignature");
const QString kSessionTime = QStringLiteral("sessionTime");
const QString kSealedTo = QStringLiteral("sealedTo");

bool isHandshake(const QString& action)
{
    return action.compare(QLatin1String("addMeRequest"), Qt::CaseInsensitive) == 0 ||
           action.compare(QLatin1String("addMeRequestConfirmed"), Qt::CaseInsensitive) == 0;
}

bool carriesOffer(const Parameters& message)
{
    for (const QString& key : {kCapabilities, kIdentityKey, kSessionKey, kSessionSignature, kSessionTime})
        if (message.contains(key))
            return true;
    return false;
}

SessionOffer offerOf(const Parameters& message)
{
    SessionOffer offer;
    offer.nodeId = message.value(kNodeFrom).toString();
    offer.identityKey = message.value(kIdentityKey).toByteArray();
    offer.sessionKey = message.value(kSessionKey).toByteArray();
    offer.capabilities = message.value(kCapabilities).toUInt();
    offer.time = message.value(kSessionTime).toLongLong();
    offer.signature = message.value(kSessionSignature).toByteArray();
    return offer;
}

} // namespace

QString PeerSecurity::shortId(const QString& nodeId)
{
    return nodeId.left(40);
}

PeerSecurity::PeerSecurity(Store& store, MessageSink& sink, CapabilityProbe& probe, const Clock& clock,
                           const LocalProfile& profile, const QString& keyFile, QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_probe(probe), m_clock(clock), m_profile(profile),
      m_keyFile(keyFile)
{
    startSession();
    loadPins();
}

void PeerSecurity::startSession()
{
    IdentityKey::Origin origin;
    QString problem;
    IdentityKey identity = IdentityKey::loadOrCreate(m_keyFile, &origin, &problem);
    if (!problem.isEmpty())
        qCritical().noquote() << problem;
    m_sessions.reset();
    m_session = std::make_unique<LocalSession>(std::move(identity), m_clock.nowMs());
    m_sessions = std::make_unique<PeerSessions>(*m_session);
    m_confirmed.clear();
}

void PeerSecurity::renewIdentity()
{
    QString error;
    if (!IdentityKey::generate().save(m_keyFile, &error))
        qCritical().noquote() << QStringLiteral("A new identity key could not be stored: ") + error;
    startSession();
}

QByteArray PeerSecurity::identityKey() const
{
    return m_session->identity().publicKey();
}

void PeerSecurity::loadPins()
{
    QSqlQuery q(m_store.database());
    if (!q.exec(QStringLiteral("select id, identityKey, pendingKey, ipAddress, capabilities from vesk_peers "
                               "where identityKey is not null and identityKey != ''")))
        return;
    while (q.next()) {
        const QString nodeId = q.value(0).toString();
        m_pins.insert(nodeId, Pin{QByteArray::fromHex(q.value(1).toByteArray()),
                                  QByteArray::fromHex(q.value(2).toByteArray()), q.value(4).toUInt()});
        if (!q.value(3).toString().isEmpty())
            m_nodeAt.insert(q.value(3).toString(), nodeId);
    }
}

void PeerSecurity::remember(const QString& nodeId, const QString& address)
{
    m_nodeAt.insert(address, nodeId);
    m_plainAt.remove(address);
}

bool PeerSecurity::knownCapable(const QString& address, const QString& nodeId) const
{
    return !nodeId.isEmpty() || m_capableAt.contains(address);
}

bool PeerSecurity::knownPlain(const QString& address) const
{
    if (m_plainAt.contains(address))
        return true;
    const auto probed = m_probedPlainUntil.constFind(address);
    return probed != m_probedPlainUntil.cend() && probed.value() > m_clock.nowMs();
}

void PeerSecurity::markCapable(const QString& address)
{
    if (m_capableAt.size() >= kMaxKnownAddresses && !m_capableAt.contains(address))
        m_capableAt.clear(); // forgotten addresses are only asked again
    m_capableAt.insert(address);
    m_probedPlainUntil.remove(address);
    m_plainAt.remove(address);
}

void PeerSecurity::markPlain(const QString& address)
{
    if (m_plainAt.size() >= kMaxKnownAddresses && !m_plainAt.contains(address))
        m_plainAt.clear();
    m_plainAt.insert(address);
    m_capableAt.remove(address);
}

void PeerSecurity::learned(const QString& address, bool capable)
{
    if (capable)
        markCapable(address);
    else
        markPlain(address);
    if (m_held.contains(address)) // sent once the message that told us is handled
        QMetaObject::invokeMethod(
            this, [this, address] { release(address); }, Qt::QueuedConnection);
}

void PeerSecurity::hold(const QString& address, const Parameters& handshake)
{
    if (!m_held.contains(address) && m_held.size() >= kMaxHeldHandshakes) {
        refuse(QStringLiteral("to hold another handshake for the capability check"),
               QStringLiteral("to %1, with %2 waiting already; a later announcement sends it")
                   .arg(address)
                   .arg(m_held.size()));
        return;
    }
    m_held.insert(address, handshake);
    if (m_probing.contains(address))
        return;
    m_probing.insert(address);
    m_probe.probe(QHostAddress(address), [self = QPointer<PeerSecurity>(this), address](const QString&, bool capable) {
        if (self)
            self->probeAnswered(address, capable);
    });
}

void PeerSecurity::probeAnswered(const QString& address, bool capable)
{
    m_probing.remove(address);
    if (capable) {
        markCapable(address);
    } else {
        if (m_probedPlainUntil.size() >= kMaxKnownAddresses) {
            const qint64 now = m_clock.nowMs();
            m_probedPlainUntil.removeIf([now](const auto& entry) { return entry.value() <= now; });
            if (m_probedPlainUntil.size() >= kMaxKnownAddresses)
                m_probedPlainUntil.clear();
        }
        m_probedPlainUntil.insert(address, m_clock.nowMs() + kPlainProbeKeptMs);
    }
    release(address);
}

void PeerSecurity::release(const QString& address)
{
    const auto held = m_held.constFind(address);
    if (held == m_held.cend())
        return;
    const Parameters handshake = held.value();
    m_held.erase(held);
    m_sink.send(QHostAddress(address), handshake); // back through frame(), which now knows what to send
}

Parameters PeerSecurity::withHandshakeFields(const Parameters& parameters, const QString& nodeId) const
{
    Parameters extended = parameters;
    const SessionOffer offer = m_session->offer(m_profile.hostId());
    extended.insert(kCapabilities, offer.capabilities);
    extended.insert(kIdentityKey, offer.identityKey);
    extended.insert(kSessionKey, offer.sessionKey);
    extended.insert(kSessionSignature, offer.signature);
    extended.insert(kSessionTime, offer.time);
    if (const SessionOffer* theirs = nodeId.isEmpty() ? nullptr : m_sessions->offer(nodeId))
        extended.insert(kSealedTo, sessionKeyId(theirs->sessionKey));
    return extended;
}

QByteArray PeerSecurity::frame(const QHostAddress& address, const Parameters& parameters, BufferPool* frames)
{
    if (address.isLoopback()) // this node talking to itself
        return parametersToFrame(parameters, frames);
    const QString where = addressText(address);
    const QString nodeId = m_nodeAt.value(where);
    const bool handshake = isHandshake(parameters.value(kAction).toString());
    SealedChannel* channel = nodeId.isEmpty() ? nullptr : m_sessions->channel(nodeId);
    if (channel && (!handshake || m_confirmed.contains(nodeId))) {
        const QByteArray theirKey = sessionKeyId(m_sessions->offer(nodeId)->sessionKey);
        const auto packet = parameters.constFind(QStringLiteral("binaryData"));
        if (packet != parameters.cend() && offThread(packet.value().toByteArray().size()) &&
            sealOffThread(address, parameters, *channel, theirKey, frames))
            return {}; // sent once sealed
        QByteArray sealed = sealedFrame(parameters, *channel, m_profile.hostId(), m_session->keyId(), theirKey, frames);
        if (sealed.isNull())
            qCritical().noquote() << QStringLiteral("A message to %1 could not be sealed; it was not sent").arg(where);
        return sealed;
    }
    // What a plain program is sent: never a field it does not know, nor a size its fields cannot hold.
    const auto plainFrame = [&] {
        if (!carriesExtensionFields(parameters))
            return parametersToFrame(parameters, frames);
        qCritical().noquote() << QStringLiteral("A \"%1\" to %2 was not sent: it carries what a plain peer cannot read")
                                     .arg(parameters.value(kAction).toString(), where);
        return QByteArray();
    };
    if (handshake) {
        if (m_plainAt.contains(where))
            return plainFrame();
        if (knownCapable(where, nodeId))
            return parametersToFrame(withHandshakeFields(parameters, nodeId), frames);
        if (knownPlain(where))
            return plainFrame();
        hold(where, parameters);
        return {};
    }
    if (!nodeId.isEmpty()) {
        // A pinned peer only reads sealed messages, and there are no keys with it yet: ask for them. What is
        // dropped here is sent again by its feature's resend timer.
        QMetaObject::invokeMethod(
            this, [this, where] { rekey(where); }, Qt::QueuedConnection);
        return {};
    }
    return plainFrame();
}

void PeerSecurity::rekey(const QString& address)
{
    if (!m_rekeys.allow(address, m_clock.nowMs()))
        return;
    const QString nodeId = m_nodeAt.value(address);
    m_confirmed.remove(nodeId); // it cannot open what we seal: the handshake goes plain, with our keys
    const QString status = nodeId.isEmpty() ? QString() : m_store.peerField(nodeId, QStringLiteral("status"));
    m_sink.send(QHostAddress(address), m_profile.addMeRequest(status.isEmpty() ? QStringLiteral("off") : status));
}

bool PeerSecurity::refuse(const QString& kind, const QString& detail)
{
    Refusals& refusals = m_refusals[kind];
    const qint64 now = m_clock.nowMs();
    if (refusals.loggedAt != 0 && now - refusals.loggedAt < kLogWindowMs) {
        ++refusals.unlogged;
        return false;
    }
    QString line = QStringLiteral("Refused %1: %2").arg(kind, detail);
    if (refusals.unlogged > 0)
        line += QStringLiteral(" (and %1 more like it)").arg(refusals.unlogged);
    qCritical().noquote() << line;
    refusals = Refusals{now, 0};
    return false;
}

PeerSessions::Outcome PeerSecurity::acceptSession(const SessionOffer& offer)
{
    PeerSessions::Outcome outcome = m_sessions->accept(offer);
    if (outcome == PeerSessions::Outcome::Full) {
        // Every peer's keys are made anew with a new session of ours; the peers ask for them as their sealed
        // messages stop opening, as after a restart.
        qCWarning(lcPeers) << "sessions of" << PeerSessions::kMaxPeers << "peers held: starting a new session";
        startSession();
        outcome = m_sessions->accept(offer);
    }
    return outcome;
}

bool PeerSecurity::admit(Parameters& message)
{
    if (message.contains(QLatin1String(kSealedRecordKey)))
        return admitSealed(message);
    return admitPlain(message);
}

bool PeerSecurity::admitSealed(Parameters& message)
{
    const QString address = message.value(kSender).toString();
    QByteArray record = message.take(QLatin1String(kSealedRecordKey)).toByteArray();
    SealedEnvelope envelope;
    if (readEnvelope(record, &envelope) != EnvelopeKind::Sealed)
        return refuse(QStringLiteral("a malformed sealed message"), QStringLiteral("from ") + address);
    if (!m_capableAt.contains(address))
        learned(address, true);
    if (envelope.recipientKeyId != m_session->keyId() || !m_sessions->channel(envelope.nodeFrom)) {
        // Sealed for an earlier run of ours, or by a run of theirs we have not heard: both sides need new keys.
        rekey(address);
        return refuse(QStringLiteral("a sealed message under keys of an earlier session"),
                      QStringLiteral("from %1 at %2; new keys asked for").arg(shortId(envelope.nodeFrom), address));
    }
    SealedChannel* channel = m_sessions->channel(envelope.nodeFrom, envelope.senderKeyId);
    if (!channel) {
        rekey(address);
        return refuse(QStringLiteral("a sealed message under keys of an earlier session"),
                      QStringLiteral("from %1 at %2; new keys asked for").arg(shortId(envelope.nodeFrom), address));
    }
    if (offThread(envelope.sealedEnd - envelope.sealedStart))
        return openOffThread(std::move(record), envelope, *channel, address); // admitted once opened
    Parameters opened;
    if (!openEnvelope(std::move(record), envelope, *channel, &opened, m_frames))
        return refuse(QStringLiteral("a sealed message that does not open (altered, cut short or replayed)"),
                      QStringLiteral("from %1 at %2").arg(shortId(envelope.nodeFrom), address));
    taken(envelope.nodeFrom, address, opened);
    message = std::move(opened);
    return true;
}

void PeerSecurity::taken(const QString& nodeFrom, const QString& address, Parameters& message)
{
    m_confirmed.insert(nodeFrom);
    remember(nodeFrom, address);
    message.insert(kSender, address);
}

bool PeerSecurity::admitPlain(Parameters& message)
{
    const QString address = message.value(kSender).toString();
    const QString nodeId = message.value(kNodeFrom).toString();
    if (QHostAddress(address).isLoopback() && (nodeId.isEmpty() || nodeId == m_profile.hostId()))
        return true; // this node talking to itself
    const bool handshake = isHandshake(message.value(kAction).toString());
    const bool offered = carriesOffer(message);
    // Its own handshake tells what the program there reads (a plain one under a pinned node id tells nothing: it
    // is refused below); a handshake of ours waiting to learn that can go.
    if (handshake && (offered || (!nodeId.isEmpty() && !m_pins.contains(nodeId))))
        learned(address, offered);

    if (nodeId.isEmpty()) {
        if (m_nodeAt.contains(address))
            return refuse(QStringLiteral("a plain message from the address of a sealed peer"),
                          QStringLiteral("%1 (%2)").arg(address, shortId(m_nodeAt.value(address))));
        return true;
    }
    const auto pinned = m_pins.constFind(nodeId);
    if (pinned == m_pins.cend()) {
        if (!offered) {
            // A plain peer (when this was its handshake): it gets exactly the plain protocol from now on.
            if (m_nodeAt.value(address) == nodeId)
                return refuse(QStringLiteral("a plain message from the address of a sealed peer"), address);
            return true;
        }
        const SessionOffer offer = offerOf(message);
        if (!handshake || !offer.isAuthentic())
            return refuse(QStringLiteral("a handshake whose signature does not check"),
                          QStringLiteral("from %1 at %2").arg(shortId(nodeId), address));
        const PeerSessions::Outcome outcome = acceptSession(offer);
        if (outcome == PeerSessions::Outcome::Forged || outcome == PeerSessions::Outcome::Stale)
            return refuse(QStringLiteral("a handshake with an unusable session"),
                          QStringLiteral("from %1 at %2").arg(shortId(nodeId), address));
        pin(nodeId, offer.identityKey, offer.capabilities);
    } else {
        const Pin& pin = pinned.value();
        if (!pin.pending.isEmpty())
            return refuse(
                QStringLiteral("a message from a peer whose security key changed"),
                QStringLiteral("%1 at %2: waiting for the user to accept the new key").arg(shortId(nodeId), address));
        if (!handshake || !offered)
            return refuse(QStringLiteral("a plain message under the node id of a sealed peer"),
                          QStringLiteral("%1 from %2").arg(shortId(nodeId), address));
        const SessionOffer offer = offerOf(message);
        if (!offer.isAuthentic())
            return refuse(QStringLiteral("a handshake whose signature does not check"),
                          QStringLiteral("from %1 at %2").arg(shortId(nodeId), address));
        if (offer.identityKey != pin.key) {
            m_pins[nodeId].pending = offer.identityKey;
            m_sessions->forget(nodeId);
            m_confirmed.remove(nodeId);
            QSqlQuery q(m_store.database());
            q.prepare(QStringLiteral("update vesk_peers set pendingKey = ? where id = ?"));
            q.bindValue(0, QString::fromLatin1(offer.identityKey.toHex()));
            q.bindValue(1, nodeId);
            q.exec();
            m_store.nodeData->scheduleRefresh();
            Q_EMIT securityChanged(nodeId);
            return refuse(
                QStringLiteral("a handshake with another security key"),
                QStringLiteral("%1 at %2: marked as changed until the user accepts it").arg(shortId(nodeId), address));
        }
        const PeerSessions::Outcome outcome = acceptSession(offer);
        if (outcome == PeerSessions::Outcome::Forged || outcome == PeerSessions::Outcome::Stale)
            return refuse(QStringLiteral("a handshake with an older or unusable session"),
                          QStringLiteral("from %1 at %2").arg(shortId(nodeId), address));
        if (outcome == PeerSessions::Outcome::Same) {
            // Anyone could have recorded this handshake and sent it again from elsewhere: it may be answered, but
            // it moves and renames nothing. A peer that really moved seals to us from its new address.
            const TableRecord row = m_store.peerRecord(nodeId);
            const QString stored = row.value(QStringLiteral("ipAddress"));
            if (!stored.isEmpty())
                message.insert(kSender, stored);
            if (!row.value(QStringLiteral("alias")).isEmpty()) {
                message.insert(QStringLiteral("alias"), row.value(QStringLiteral("alias")));
                message.insert(QStringLiteral("sysinfo"), row.value(QStringLiteral("sysinfo")));
            }
        } else {
            m_confirmed.remove(nodeId); // a new run of the peer: it holds our key once it says so
            if (pin.capabilities != offer.capabilities && offer.identityKey == pin.key) {
                // Kept with the peer, so what it can take is known while it is away (a file offered to it then).
                m_pins[nodeId].capabilities = offer.capabilities;
                QSqlQuery q(m_store.database());
                q.prepare(QStringLiteral("update vesk_peers set capabilities = ? where id = ?"));
                q.bindValue(0, offer.capabilities);
                q.bindValue(1, nodeId);
                q.exec();
            }
        }
    }
    if (message.value(kSealedTo).toByteArray() == m_session->keyId())
        m_confirmed.insert(nodeId);
    remember(nodeId, message.value(kSender).toString());
    return true;
}

void PeerSecurity::pin(const QString& nodeId, const QByteArray& key, quint32 capabilities)
{
    m_pins.insert(nodeId, Pin{key, {}, capabilities});
    // The handshake's own handler writes the peer's row after this; the key joins it then, as it stands by then
    // (a handshake with another key may have come in between and left a pending key that must not be lost).
    QTimer::singleShot(0, this, [this, nodeId] {
        const auto pinned = m_pins.constFind(nodeId);
        if (pinned == m_pins.cend())
            return;
        QSqlQuery q(m_store.database());
        q.prepare(
            QStringLiteral("update vesk_peers set identityKey = ?, pendingKey = ?, capabilities = ? where id = ?"));
        q.bindValue(0, QString::fromLatin1(pinned->key.toHex()));
        q.bindValue(1, pinned->pending.isEmpty() ? QVariant() : QVariant(QString::fromLatin1(pinned->pending.toHex())));
        q.bindValue(2, pinned->capabilities);
        q.bindValue(3, nodeId);
        q.exec();
        m_store.nodeData->scheduleRefresh();
        Q_EMIT securityChanged(nodeId);
    });
}

quint32 PeerSecurity::capabilitiesOf(const QString& nodeId) const
{
    const auto pinned = m_pins.constFind(nodeId);
    if (pinned == m_pins.cend() || !pinned->pending.isEmpty())
        return 0;
    const SessionOffer* offer = m_sessions->offer(nodeId);
    return offer && offer->identityKey == pinned->key ? offer->capabilities : pinned->capabilities;
}

SecurityState::State PeerSecurity::securityState(const QString& nodeId) const
{
    const auto pinned = m_pins.constFind(nodeId);
    if (pinned == m_pins.cend())
        return SecurityState::Plain;
    if (!pinned->pending.isEmpty())
        return SecurityState::KeyChanged;
    if (m_store.peerField(nodeId, QStringLiteral("verified")) == QLatin1String("yes"))
        return SecurityState::Verified;
    return SecurityState::Sealed;
}

QString PeerSecurity::comparisonCode(const QString& nodeId) const
{
    const auto pinned = m_pins.constFind(nodeId);
    if (pinned == m_pins.cend())
        return {};
    return Vesk::comparisonCode(identityKey(), pinned->pending.isEmpty() ? pinned->key : pinned->pending);
}

bool PeerSecurity::markVerified(const QString& nodeId)
{
    const auto pinned = m_pins.constFind(nodeId);
    if (pinned == m_pins.cend() || !pinned->pending.isEmpty())
        return false;
    m_store.nodeData->setFieldAndRefresh(kPeersTable, nodeId, QStringLiteral("verified"), QStringLiteral("yes"));
    Q_EMIT securityChanged(nodeId);
    return true;
}

bool PeerSecurity::acceptChangedKey(const QString& nodeId)
{
    auto pinned = m_pins.find(nodeId);
    if (pinned == m_pins.end() || pinned->pending.isEmpty())
        return false;
    pinned->key = pinned->pending;
    pinned->pending.clear();
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("update vesk_peers set identityKey = ?, pendingKey = null, verified = null where id = ?"));
    q.bindValue(0, QString::fromLatin1(pinned->key.toHex()));
    q.bindValue(1, nodeId);
    q.exec();
    m_store.nodeData->refresh();
    Q_EMIT securityChanged(nodeId);
    // Agree keys with the new identity at once rather than at its next announcement.
    const QHostAddress address = m_store.nodeAddress(nodeId);
    if (!address.isNull()) {
        m_rekeys.forget(addressText(address));
        rekey(addressText(address));
    }
    return true;
}

} // namespace Vesk
