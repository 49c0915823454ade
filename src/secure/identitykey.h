#pragma once

#include "secure/crypto.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_pkey_st;

namespace Vesk {

// The installation's long-term signing key (Ed25519). It signs each run's session key, so a peer that pinned the
// public half knows later sessions come from the same installation. The secret half stays in the data folder, in
// a file only the user can read, and never travels.
class IdentityKey
{
public:
    static constexpr int kPublicKeySize = 32;
    static constexpr int kSignatureSize = 64;

    // What loadOrCreate found.
    enum class Origin {
        Loaded,   // the stored key
        Created,  // there was none: a new key, stored
        Replaced, // the stored file did not hold a key: set aside with ".unreadable" added to its name, new key stored
        Unsaved,  // a new key that could not be stored: it serves this run only (the reason is in `problem`)
    };

    IdentityKey() = default;

    // A fresh key pair from the system's random source.
    static IdentityKey generate();

    // The key stored at `path`, or a new one stored there. A file that cannot be read as a key (cut short, altered,
    // from another program) is never overwritten: it is renamed aside, so nothing is lost if it was only
    // unreadable for a moment, and a new key takes its place. `problem` says what went wrong, for the log.
    static IdentityKey loadOrCreate(const QString& path, Origin* origin = nullptr, QString* problem = nullptr);

    // Stores the key at `path`, readable and writable by the user alone, atomically: a crash leaves the old file
    // or the new one, never a part of either.
    bool save(const QString& path, QString* error = nullptr) const;

    bool isValid() const { return m_public.size() == kPublicKeySize; }
    QByteArray publicKey() const { return m_public; }

    // The signing key as OpenSSL holds it, for the TLS library, which signs the handshake with it; null for an
    // invalid key. It lives as long as this key or a copy of it.
    evp_pkey_st* signingKey() const { return m_signer.get(); }

    QByteArray sign(const QByteArray& message) const;
    static bool verify(const QByteArray& publicKey, const QByteArray& message, const QByteArray& signature);

private:
    static IdentityKey fromSeed(const unsigned char* seed);

    QByteArray m_public;
    SecretBytes<32> m_seed;                // what the file stores; the signing key is derived from it
    std::shared_ptr<evp_pkey_st> m_signer; // the signing key made from the seed, once; copies share it
};

} // namespace Vesk
