#pragma once

#include "secure/identitykey.h"
#include "secure/sealedchannel.h"
#include "secure/crypto.h"

#include <QByteArray>
#include <QHashFunctions>
#include <QString>

#include <memory>
#include <unordered_map>

namespace Vesk {

// What this program can do beyond the plain protocol, as bits a peer announces in its handshake.
enum Capability : quint32 {
    CapabilitySealing = 1u << 0, // speaks sealed messages
    CapabilityAesGcm = 1u << 1,  // has hardware AES, so AES-256-GCM is the fast cipher for it
    // Reads sizes and offsets of 4 GiB and more (fileSizeLarge, fileSeekLarge): may be offered files of any size.
    CapabilityLargeFiles = 1u << 2,
    // Takes a whole folder as one offer listing its files, and recreates its tree.
    CapabilityFolders = 1u << 3,
};

// A session key as a peer announces it: signed by its identity, so the session belongs to that installation, and
// stamped with its creation time, so a recorded older announcement cannot bring back an earlier session.
struct SessionOffer
{
    QString nodeId;
    QByteArray identityKey; // Ed25519 public key
    QByteArray sessionKey;  // X25519 public key of this run
    quint32 capabilities = 0;
    qint64 time = 0; // ms since the epoch at the session's creation
    QByteArray signature;

    // The bytes the signature covers.
    QByteArray signedBytes() const;
    // Well formed and signed by `identityKey`.
    bool isAuthentic() const;
};

// The code two users compare to know they hold each other's identity keys: twelve digits in three groups of four,
// the same whichever key is whose.
QString comparisonCode(const QByteArray& identityKey, const QByteArray& otherIdentityKey);

// A short name of a session key, carried readable on sealed messages so the receiver finds the right keys.
QByteArray sessionKeyId(const QByteArray& sessionKey);

// This run's session: a key-exchange key pair that lives in memory only, so traffic recorded today cannot be
// opened later with anything found on the disk (forward secrecy), and the identity that vouches for it.
class LocalSession
{
public:
    static constexpr int kSessionKeySize = 32;

    // `capabilities` are those announced; fewer than this program has only to act as an older program would.
    LocalSession(IdentityKey identity, qint64 createdAt, quint32 capabilities = localCapabilities());
    // The same with a given key-exchange secret instead of a fresh one: for checking the agreement against known
    // values, so programs built on other crypto libraries keep agreeing the same keys.
    LocalSession(IdentityKey identity, qint64 createdAt, quint32 capabilities,
                 const SecretBytes<kSessionKeySize>& secret);

    // The capabilities of this program on this processor.
    static quint32 localCapabilities();

    const IdentityKey& identity() const { return m_identity; }
    QByteArray publicKey() const { return m_public; }
    QByteArray keyId() const { return m_keyId; }
    qint64 createdAt() const { return m_createdAt; }
    quint32 capabilities() const { return m_capabilities; }

    // This session announced under `nodeId`, signed.
    SessionOffer offer(const QString& nodeId) const;

    // The keys shared with a peer's session, or null when its key is unusable (malformed, or our own key
    // reflected back). Both ends come to the same pair whichever of them handled the other's offer first: the
    // roles of the key exchange go by the order of the two public keys, not by who spoke first.
    std::unique_ptr<SealedChannel> channelWith(const SessionOffer& peer) const;

private:
    IdentityKey m_identity;
    QByteArray m_public;
    QByteArray m_keyId;
    SecretBytes<kSessionKeySize> m_secret;
    qint64 m_createdAt;
    quint32 m_capabilities;
};

// The sessions of the peers, one current one per node id, with the channel agreed with each.
class PeerSessions
{
public:
    // At most this many peers are held. Dropping one to make room would let its session come back later with a
    // fresh channel, whose counters start again under the same keys (a nonce used twice) and whose replay window
    // is empty: so a full table is answered with Full, and the caller starts a new session of its own, with which
    // every key is new.
    static constexpr int kMaxPeers = 4096;

    enum class Outcome {
        Agreed, // a newer session of that peer: new keys
        Same,   // the session already agreed; the keys stay (a new pair would restart the counters)
        Stale,  // older than, or as old as but different from, the session already agreed: refused
        Forged, // signature missing or wrong, or a key that cannot be used: refused
        Full,   // a new peer while kMaxPeers are held: nothing changed, see kMaxPeers
    };

    explicit PeerSessions(const LocalSession& local, int maxPeers = kMaxPeers) : m_local(local), m_maxPeers(maxPeers) {}

    // Checks a peer's offer and keeps the channel for its node id. The caller decides beforehand whether that
    // identity key is the one it trusts for the node id.
    Outcome accept(const SessionOffer& offer);

    // The channel agreed with a node, or null.
    SealedChannel* channel(const QString& nodeId);
    // The same, only when the node's session is the one with that key id (a message sealed for an older session
    // of the node does not open with the new keys anyway).
    SealedChannel* channel(const QString& nodeId, const QByteArray& peerKeyId);
    // The session a node announced last, or null.
    const SessionOffer* offer(const QString& nodeId) const;
    // Sets a node's keys aside, for instance when it comes with another identity the user has not accepted yet:
    // nothing opens or seals under them until the same session is accepted again, and then its channel goes on
    // where it stopped (counters and replay window), never from the start.
    void forget(const QString& nodeId);
    int count() const { return int(m_peers.size()); }

private:
    struct Peer
    {
        SessionOffer offer;
        QByteArray keyId;
        std::unique_ptr<SealedChannel> channel;
        bool setAside = false;
    };
    const LocalSession& m_local;
    const int m_maxPeers;
    std::unordered_map<QString, Peer> m_peers;
};

} // namespace Vesk
