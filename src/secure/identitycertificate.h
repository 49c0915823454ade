#pragma once

#include "secure/identitykey.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct x509_st;
struct evp_pkey_st;

namespace Vesk {

// What a presented certificate says about its holder: the node id it names and its raw Ed25519 public key.
struct CertificateIdentity
{
    QString nodeId;
    QByteArray publicKey; // IdentityKey::kPublicKeySize bytes

    bool isValid() const { return !nodeId.isEmpty() && publicKey.size() == IdentityKey::kPublicKeySize; }
};

// The certificate an installation presents when it opens an authenticated stream to another Vesk computer: signed
// by its own identity key and naming its node id (in the subject's common name). No authority vouches for it; the
// other side checks the key itself against the one it pinned for that id, so the certificate only carries the key
// and the id, bound together by the key's own signature. Made afresh each run, never stored.
class IdentityCertificate
{
public:
    // Node ids are short texts; a certificate naming a longer one is refused.
    static constexpr int kMaxNodeIdBytes = 256;

    IdentityCertificate() = default;

    // An invalid certificate when the key is invalid or the node id empty or too long.
    static IdentityCertificate create(const IdentityKey& key, const QString& nodeId);

    bool isValid() const { return bool(m_certificate); }
    // For the TLS library; both live as long as this object or a copy of it.
    x509_st* certificate() const { return m_certificate.get(); }
    evp_pkey_st* privateKey() const { return m_key.signingKey(); }

    QString nodeId() const { return m_nodeId; }
    QByteArray publicKey() const { return m_key.publicKey(); }
    // The DER encoding, as it travels.
    QByteArray der() const;

    // Reads a presented certificate. Valid only for a certificate made as create() makes them: an Ed25519 key, the
    // certificate's signature made by that key, issuer and subject the same, one common name, a UTF-8 string that
    // names a node id. Anything else gives an invalid identity.
    static CertificateIdentity identityOf(x509_st* certificate);
    static CertificateIdentity identityOf(const QByteArray& der);

private:
    std::shared_ptr<x509_st> m_certificate;
    IdentityKey m_key;
    QString m_nodeId;
};

} // namespace Vesk
