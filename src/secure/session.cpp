#include "secure/session.h"

#include "secure/securelogging.h"

#include <QtEndian>

#include <openssl/evp.h>

#include <cstring>

#if defined(__aarch64__) && defined(Q_OS_LINUX)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

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

// The X25519 public key of a secret key; empty when the library refuses it.
QByteArray publicKeyOf(const unsigned char* secret)
{
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret, LocalSession::kSessionKeySize);
    unsigned char publicKey[LocalSession::kSessionKeySize];
    size_t size = sizeof publicKey;
    const bool made = key && EVP_PKEY_get_raw_public_key(key, publicKey, &size) == 1 && size == sizeof publicKey;
    EVP_PKEY_free(key);
    return made ? QByteArray(reinterpret_cast<const char*>(publicKey), int(size)) : QByteArray();
}

// The X25519 secret shared with `peerPublic`. False for a peer key of low order, with which the shared secret would
// be zero whatever our key is (predictable), or when the library fails.
bool sharedSecret(const unsigned char* secret, const QByteArray& peerPublic,
                  SecretBytes<LocalSession::kSessionKeySize>* shared)
{
    EVP_PKEY* own = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret, LocalSession::kSessionKeySize);
    EVP_PKEY* peer =
        EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, bytesOf(peerPublic), size_t(peerPublic.size()));
    EVP_PKEY_CTX* context = own && peer ? EVP_PKEY_CTX_new(own, nullptr) : nullptr;
    size_t size = shared->size();
    // The library refuses an all-zero result itself; the check below is for the size only.
    const bool derived = context && EVP_PKEY_derive_init(context) == 1 &&
                         EVP_PKEY_derive_set_peer(context, peer) == 1 &&
                         EVP_PKEY_derive(context, shared->data(), &size) == 1 && size == shared->size();
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(own);
    return derived;
}

// The two direction keys from a shared secret: BLAKE2b-512 over the secret and both public keys, the key-exchange
// side's (the "client", whose public key sorts first) before the other's. The client receives with the first half
// and sends with the second, the other side the other way round; this is libsodium's crypto_kx construction, so
// the keys are the same as with builds that used it.
bool sessionKeys(const SecretBytes<LocalSession::kSessionKeySize>& shared, const QByteArray& clientPublic,
                 const QByteArray& serverPublic, bool client, unsigned char* receive, unsigned char* transmit)
{
    SecretBytes<64> keys;
    unsigned int size = 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool hashed = context && EVP_DigestInit_ex(context, EVP_blake2b512(), nullptr) == 1 &&
                        EVP_DigestUpdate(context, shared.data(), shared.size()) == 1 &&
                        EVP_DigestUpdate(context, clientPublic.constData(), size_t(clientPublic.size())) == 1 &&
                        EVP_DigestUpdate(context, serverPublic.constData(), size_t(serverPublic.size())) == 1 &&
                        EVP_DigestFinal_ex(context, keys.data(), &size) == 1 && size == keys.size();
    EVP_MD_CTX_free(context);
    if (!hashed)
        return false;
    std::memcpy(client ? receive : transmit, keys.data(), 32);
    std::memcpy(client ? transmit : receive, keys.data() + 32, 32);
    return true;
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
    if (!cryptoReady() || identityKey.size() != IdentityKey::kPublicKeySize ||
        otherIdentityKey.size() != IdentityKey::kPublicKeySize)
        return {};
    const bool inOrder =
        std::memcmp(identityKey.constData(), otherIdentityKey.constData(), size_t(identityKey.size())) <= 0;
    const QByteArray both = QByteArrayLiteral("vesk comparison code 1") + (inOrder ? identityKey : otherIdentityKey) +
                            (inOrder ? otherIdentityKey : identityKey);
    unsigned char hash[64];
    unsigned int hashSize = 0;
    if (EVP_Digest(both.constData(), size_t(both.size()), hash, &hashSize, EVP_sha512(), nullptr) != 1 ||
        hashSize != sizeof hash)
        return {};
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
    if (!randomBytes(m_secret.data(), m_secret.size()))
        return;
    m_public = publicKeyOf(m_secret.data());
    m_keyId = sessionKeyId(m_public);
}

LocalSession::LocalSession(IdentityKey identity, qint64 createdAt, quint32 capabilities,
                           const SecretBytes<kSessionKeySize>& secret)
    : m_identity(std::move(identity)), m_secret(secret), m_createdAt(createdAt),
      m_capabilities(capabilities & localCapabilities())
{
    if (!cryptoReady())
        return;
    m_public = publicKeyOf(m_secret.data());
    m_keyId = sessionKeyId(m_public);
}

quint32 LocalSession::localCapabilities()
{
    // AES-GCM is the faster cipher only where the processor does AES and carry-less multiplication in hardware;
    // elsewhere ChaCha20-Poly1305 in software beats it.
#if defined(__x86_64__) || defined(__i386__)
    static const bool hardwareAes = __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul");
#elif defined(__aarch64__) && defined(Q_OS_LINUX)
    static const bool hardwareAes = (getauxval(AT_HWCAP) & HWCAP_AES) && (getauxval(AT_HWCAP) & HWCAP_PMULL);
#else
    static const bool hardwareAes = false;
#endif
    quint32 capabilities = CapabilitySealing | CapabilityLargeFiles | CapabilityFolders;
    if (hardwareAes)
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
    SecretBytes<kSessionKeySize> shared;
    const bool client = std::memcmp(m_public.constData(), peer.sessionKey.constData(), kSessionKeySize) < 0;
    if (!sharedSecret(m_secret.data(), peer.sessionKey, &shared) ||
        !sessionKeys(shared, client ? m_public : peer.sessionKey, client ? peer.sessionKey : m_public, client,
                     receive.data(), transmit.data()))
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
