#include "secure/session.h"

#include "secure/securelogging.h"

#include <QtEndian>

#include <sodium.h>

#include <cstring>

namespace Vesk {

namespace {

// Names what the signature is for, so a signature made by this key for anything else never passes as one here.
const QByteArray kOfferContext = QByteArrayLiteral("vesk session offer 1");
constexpr int kKeyIdSize = 8;

const unsigned char* bytesOf(const QByteArray& bytes)
{
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

void appendSized(QByteArray& out, const QByteArray& field)
{
    char size[4];
    qToLittleEndian<quint32>(quint32(field.size()), size);
    out.append(size, sizeof size).append(field);
}

} // namespace

QByteArray SessionOffer::signedBytes() const
{
    QByteArray bytes;
    appendSized(bytes, kOfferContext);
    appendSized(bytes, nodeId.toUtf8());
    appendSized(bytes, sessionKey);
    char numbers[12];
    qToLittleEndian<quint32>(capabilities, numbers);
    qToLittleEndian<qint64>(time, numbers + 4);
    bytes.append(numbers, sizeof numbers);
    return bytes;
}

bool SessionOffer::isAuthentic() const
{
    return sessionKey.size() == LocalSession::kSessionKeySize &&
           IdentityKey::verify(identityKey, signedBytes(), signature);
}

QString comparisonCode(const QByteArray& identityKey, const QByteArray& otherIdentityKey)
{
    if (!sodiumReady() || identityKey.size() != IdentityKey::kPublicKeySize ||
        otherIdentityKey.size() != IdentityKey::kPublicKeySize)
        return {};
    const bool inOrder =
        std::memcmp(identityKey.constData(), otherIdentityKey.constData(), size_t(identityKey.size())) <= 0;
    const QByteArray both = QByteArrayLiteral("vesk comparison code 1") + (inOrder ? identityKey : otherIdentityKey) +
                            (inOrder ? otherIdentityKey : identityKey);
    unsigned char hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(hash, bytesOf(both), quint64(both.size()));
    // 64 bits reduced to twelve digits: the bias is below one part in a million, far under what a user could notice.
    const quint64 number = qFromLittleEndian<quint64>(hash) % 1000000000000ULL;
    const QString digits = QStringLiteral("%1").arg(number, 12, 10, QLatin1Char('0'));
    return digits.left(4) + QLatin1Char(' ') + digits.mid(4, 4) + QLatin1Char(' ') + digits.right(4);
}

QByteArray sessionKeyId(const QByteArray& sessionKey)
{
    // A public key looks random already; its first bytes name it well enough to find it, and the seal itself
    // shows whether the key was the right one.
    return sessionKey.left(kKeyIdSize);
}

LocalSession::LocalSession(IdentityKey identity, qint64 createdAt, quint32 capabilities)
    : m_identity(std::move(identity)), m_createdAt(createdAt), m_capabilities(capabilities & localCapabilities())
{
    if (!sodiumReady())
        return;
    unsigned char publicKey[crypto_kx_PUBLICKEYBYTES];
    crypto_kx_keypair(publicKey, m_secret.data());
    m_public = QByteArray(reinterpret_cast<const char*>(publicKey), kSessionKeySize);
    m_keyId = sessionKeyId(m_public);
}

LocalSession::LocalSession(IdentityKey identity, qint64 createdAt, quint32 capabilities,
                           const SecretBytes<kSessionKeySize>& secret)
    : m_identity(std::move(identity)), m_secret(secret), m_createdAt(createdAt),
      m_capabilities(capabilities & localCapabilities())
{
    unsigned char publicKey[crypto_kx_PUBLICKEYBYTES];
    if (!sodiumReady() || crypto_scalarmult_base(publicKey, m_secret.data()) != 0)
        return;
    m_public = QByteArray(reinterpret_cast<const char*>(publicKey), kSessionKeySize);
    m_keyId = sessionKeyId(m_public);
}

quint32 LocalSession::localCapabilities()
{
    quint32 capabilities = CapabilitySealing;
    if (sodiumReady() && crypto_aead_aes256gcm_is_available())
        capabilities |= CapabilityAesGcm;
    return capabilities;
}

SessionOffer LocalSession::offer(const QString& nodeId) const
{
    SessionOffer offer;
    offer.nodeId = nodeId;
    offer.identityKey = m_identity.publicKey();
    offer.sessionKey = m_public;
    offer.capabilities = m_capabilities;
    offer.time = m_createdAt;
    offer.signature = m_identity.sign(offer.signedBytes());
    return offer;
}

std::unique_ptr<SealedChannel> LocalSession::channelWith(const SessionOffer& peer) const
{
    if (m_public.size() != kSessionKeySize || peer.sessionKey.size() != kSessionKeySize ||
        constantTimeEqual(peer.sessionKey, m_public))
        return nullptr;
    SecretBytes<SealedChannel::kKeySize> receive, transmit;
    const bool client = std::memcmp(m_public.constData(), peer.sessionKey.constData(), kSessionKeySize) < 0;
    const int result = client ? crypto_kx_client_session_keys(receive.data(), transmit.data(), bytesOf(m_public),
                                                              m_secret.data(), bytesOf(peer.sessionKey))
                              : crypto_kx_server_session_keys(receive.data(), transmit.data(), bytesOf(m_public),
                                                              m_secret.data(), bytesOf(peer.sessionKey));
    if (result != 0) // a peer key of low order, which would make the shared secret predictable
        return nullptr;
    const quint32 both = m_capabilities & peer.capabilities;
    const Cipher cipher = (both & CapabilityAesGcm) ? Cipher::Aes256Gcm : Cipher::ChaCha20Poly1305;
    return std::make_unique<SealedChannel>(cipher, receive.data(), transmit.data());
}

PeerSessions::Outcome PeerSessions::accept(const SessionOffer& offer)
{
    if (!offer.isAuthentic())
        return Outcome::Forged;
    const auto known = m_peers.find(offer.nodeId);
    if (known != m_peers.end()) {
        Peer& peer = known->second;
        if (offer.time == peer.offer.time && constantTimeEqual(offer.sessionKey, peer.offer.sessionKey) &&
            constantTimeEqual(offer.identityKey, peer.offer.identityKey)) {
            if (!peer.setAside)
                return Outcome::Same;
            peer.setAside = false; // the channel as it was: its counters and replay window go on
            return Outcome::Agreed;
        }
        if (offer.time <= peer.offer.time)
            return Outcome::Stale;
    } else if (int(m_peers.size()) >= m_maxPeers) {
        return Outcome::Full;
    }
    std::unique_ptr<SealedChannel> channel = m_local.channelWith(offer);
    if (!channel)
        return Outcome::Forged;

    // A newer session of the node replaces the old one for good: the old one's offer is older, so it is refused
    // as stale from now on and its keys are never used again.
    Peer& peer = m_peers[offer.nodeId];
    peer.offer = offer;
    peer.keyId = sessionKeyId(offer.sessionKey);
    peer.channel = std::move(channel);
    peer.setAside = false;
    return Outcome::Agreed;
}

SealedChannel* PeerSessions::channel(const QString& nodeId)
{
    const auto found = m_peers.find(nodeId);
    if (found == m_peers.end() || found->second.setAside)
        return nullptr;
    return found->second.channel.get();
}

SealedChannel* PeerSessions::channel(const QString& nodeId, const QByteArray& peerKeyId)
{
    const auto found = m_peers.find(nodeId);
    if (found == m_peers.end() || found->second.setAside || found->second.keyId != peerKeyId)
        return nullptr;
    return found->second.channel.get();
}

const SessionOffer* PeerSessions::offer(const QString& nodeId) const
{
    const auto found = m_peers.find(nodeId);
    return found == m_peers.end() || found->second.setAside ? nullptr : &found->second.offer;
}

void PeerSessions::forget(const QString& nodeId)
{
    const auto found = m_peers.find(nodeId);
    if (found != m_peers.end())
        found->second.setAside = true;
}

} // namespace Vesk
