#include "secure/identitycertificate.h"

#include "secure/securelogging.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace Vesk {

namespace {

// The certificate never expires: trust comes from the pinned key, and a date check would only lock out a peer
// whose clock is wrong. This is the value that says "no expiry" in a certificate.
constexpr const char* kNoExpiry = "99991231235959Z";
constexpr int kSerialBits = 63;

struct NameDeleter
{
    void operator()(X509_NAME* name) const { X509_NAME_free(name); }
};
struct NameEntryDeleter
{
    void operator()(X509_NAME_ENTRY* entry) const { X509_NAME_ENTRY_free(entry); }
};
struct BignumDeleter
{
    void operator()(BIGNUM* number) const { BN_free(number); }
};

// A name holding one common name: the node id as a UTF-8 string. Set with its type given, not through OpenSSL's
// string table, which would refuse a node id longer than a common name usually is.
std::unique_ptr<X509_NAME, NameDeleter> nodeName(const QByteArray& nodeId)
{
    std::unique_ptr<X509_NAME, NameDeleter> name(X509_NAME_new());
    std::unique_ptr<X509_NAME_ENTRY, NameEntryDeleter> entry(
        X509_NAME_ENTRY_create_by_NID(nullptr, NID_commonName, V_ASN1_UTF8STRING,
                                      reinterpret_cast<const unsigned char*>(nodeId.constData()), int(nodeId.size())));
    if (!name || !entry || X509_NAME_add_entry(name.get(), entry.get(), -1, 0) != 1)
        return {};
    return name;
}

bool setRandomSerial(X509* certificate)
{
    std::unique_ptr<BIGNUM, BignumDeleter> serial(BN_new());
    return serial && BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
           BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
}

} // namespace

IdentityCertificate IdentityCertificate::create(const IdentityKey& key, const QString& nodeId)
{
    const QByteArray id = nodeId.toUtf8();
    if (!cryptoReady() || !key.isValid() || !key.signingKey() || id.isEmpty() || id.size() > kMaxNodeIdBytes ||
        id.contains('\0'))
        return {};
    std::shared_ptr<X509> certificate(X509_new(), X509_free);
    const auto name = nodeName(id);
    const bool made = certificate && name && X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
                      setRandomSerial(certificate.get()) &&
                      X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) != nullptr &&
                      ASN1_TIME_set_string_X509(X509_getm_notAfter(certificate.get()), kNoExpiry) == 1 &&
                      X509_set_subject_name(certificate.get(), name.get()) == 1 &&
                      X509_set_issuer_name(certificate.get(), name.get()) == 1 &&
                      X509_set_pubkey(certificate.get(), key.signingKey()) == 1 &&
                      // Ed25519 hashes what it signs itself: no digest is named.
                      X509_sign(certificate.get(), key.signingKey(), nullptr) > 0;
    if (!made) {
        qCDebug(lcSecure) << "could not make the identity certificate";
        return {};
    }
    IdentityCertificate result;
    result.m_certificate = std::move(certificate);
    result.m_key = key;
    result.m_nodeId = nodeId;
    return result;
}

QByteArray IdentityCertificate::der() const
{
    if (!m_certificate)
        return {};
    const int size = i2d_X509(m_certificate.get(), nullptr);
    if (size <= 0)
        return {};
    QByteArray bytes(size, Qt::Uninitialized);
    unsigned char* out = reinterpret_cast<unsigned char*>(bytes.data());
    return i2d_X509(m_certificate.get(), &out) == size ? bytes : QByteArray();
}

CertificateIdentity IdentityCertificate::identityOf(x509_st* certificate)
{
    if (!certificate || !cryptoReady())
        return {};
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    unsigned char publicKey[IdentityKey::kPublicKeySize];
    size_t publicSize = sizeof publicKey;
    if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519 ||
        EVP_PKEY_get_raw_public_key(key, publicKey, &publicSize) != 1 || publicSize != sizeof publicKey)
        return {};
    // Signed by its own key: whoever named this node id in it held the key.
    if (X509_verify(certificate, key) != 1)
        return {};

    const X509_NAME* subject = X509_get_subject_name(certificate);
    const X509_NAME* issuer = X509_get_issuer_name(certificate);
    if (!subject || !issuer || X509_NAME_cmp(subject, issuer) != 0 || X509_NAME_entry_count(subject) != 1)
        return {};
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    const ASN1_STRING* value = index < 0 ? nullptr : X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    if (!value || ASN1_STRING_type(value) != V_ASN1_UTF8STRING || ASN1_STRING_length(value) <= 0 ||
        ASN1_STRING_length(value) > kMaxNodeIdBytes)
        return {};
    const QByteArray idBytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)), ASN1_STRING_length(value));
    const QString nodeId = QString::fromUtf8(idBytes);
    // Bytes that are not UTF-8 or that hold a NUL would name an id other than the one shown and compared.
    if (idBytes.contains('\0') || nodeId.toUtf8() != idBytes)
        return {};

    CertificateIdentity identity;
    identity.nodeId = nodeId;
    identity.publicKey = QByteArray(reinterpret_cast<const char*>(publicKey), IdentityKey::kPublicKeySize);
    return identity;
}

CertificateIdentity IdentityCertificate::identityOf(const QByteArray& der)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &in, long(der.size())), X509_free);
    // Bytes after the certificate mean these are not one certificate.
    if (!certificate || in != reinterpret_cast<const unsigned char*>(der.constData()) + der.size())
        return {};
    return identityOf(certificate.get());
}

} // namespace Vesk
