#include "net/streamtls.h"

#include "net/netlogging.h"

#include <QStringList>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace Vesk {

namespace {

constexpr const char* kCipherSuites = "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256";
constexpr const char* kGroups = "X25519";
// Certificates and handshakes are signed with the identity key, which is Ed25519.
constexpr const char* kSignatureAlgorithms = "ed25519";
constexpr int kMaxErrorsReported = 4;

// Where a connection keeps the check of its stream, so the verification below can reach it.
int checkIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Replaces OpenSSL's chain building and its checks against an authority, dates and purposes: none of them applies
// to a certificate that its own holder signed. The stream decides.
int verifyPresented(X509_STORE_CTX* store, void*)
{
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* check =
        ssl ? static_cast<const StreamTls::CertificateCheck*>(SSL_get_ex_data(ssl, checkIndex())) : nullptr;
    X509* certificate = X509_STORE_CTX_get0_cert(store);
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_untrusted(store);
    const int chainLength = chain ? sk_X509_num(chain) : 0;
    if (check && *check && certificate && (*check)(certificate, chainLength))
        return 1;
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

} // namespace

StreamTls::StreamTls(const IdentityCertificate& certificate) : m_certificate(certificate)
{
    if (!certificate.isValid() || checkIndex() < 0)
        return;
    SSL_CTX* context = SSL_CTX_new(TLS_method());
    const bool ready = context && SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) == 1 &&
                       SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) == 1 &&
                       SSL_CTX_set_ciphersuites(context, kCipherSuites) == 1 &&
                       SSL_CTX_set1_groups_list(context, kGroups) == 1 &&
                       SSL_CTX_set1_sigalgs_list(context, kSignatureAlgorithms) == 1 &&
                       SSL_CTX_use_certificate(context, certificate.certificate()) == 1 &&
                       SSL_CTX_use_PrivateKey(context, certificate.privateKey()) == 1 &&
                       SSL_CTX_check_private_key(context) == 1 && SSL_CTX_set_num_tickets(context, 0) == 1 &&
                       SSL_CTX_set_max_early_data(context, 0) == 1 && SSL_CTX_set_recv_max_early_data(context, 0) == 1;
    if (!ready) {
        qCWarning(lcNet).noquote() << "TLS settings refused:" << takeErrors();
        SSL_CTX_free(context);
        return;
    }
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    // No read-ahead: the library asks its transport for a record's header and then for its body, which the
    // transport has already read from the connection in large pieces (see StreamTransport).
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_cert_verify_callback(context, verifyPresented, nullptr);
    m_context = context;
}

StreamTls::~StreamTls()
{
    SSL_CTX_free(m_context);
}

ssl_st* StreamTls::newConnection(bool dialling, const CertificateCheck* check) const
{
    if (!m_context)
        return nullptr;
    SSL* ssl = SSL_new(m_context);
    if (!ssl)
        return nullptr;
    if (SSL_set_ex_data(ssl, checkIndex(), const_cast<CertificateCheck*>(check)) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    if (dialling)
        SSL_set_connect_state(ssl);
    else
        SSL_set_accept_state(ssl);
    return ssl;
}

QString StreamTls::takeErrors()
{
    QStringList reasons;
    while (const unsigned long error = ERR_get_error()) {
        if (reasons.size() >= kMaxErrorsReported)
            continue;
        const char* reason = ERR_reason_error_string(error);
        reasons.append(reason ? QString::fromLatin1(reason) : QStringLiteral("error %1").arg(error, 0, 16));
    }
    return reasons.join(QStringLiteral("; "));
}

} // namespace Vesk
