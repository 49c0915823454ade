#pragma once

#include "secure/identitycertificate.h"

#include <functional>
#include <memory>

struct ssl_st;
struct ssl_ctx_st;
struct x509_st;

namespace Vesk {

// The TLS settings every stream between two Vesk computers shares, and the installation's certificate:
//
//   - TLS 1.3 and nothing older or newer, AEAD suites only (AES-256-GCM, ChaCha20-Poly1305, AES-128-GCM),
//     X25519 key exchange, so every stream has keys of its own that nothing stored can recover;
//   - both sides present a certificate and sign the handshake with their Ed25519 identity key; a side that
//     presents none is refused;
//   - no authority: a presented certificate is accepted when it is one self-signed Ed25519 certificate naming a
//     node id, and then the stream's own check decides on the key (see PeerStream);
//   - no session tickets or resumption, no early data, no renegotiation: each stream runs the full handshake.
class StreamTls
{
public:
    // What a stream decides about the certificate its peer presented, during the handshake: true to go on.
    using CertificateCheck = std::function<bool(x509_st* certificate, int chainLength)>;

    explicit StreamTls(const IdentityCertificate& certificate);
    ~StreamTls();
    StreamTls(const StreamTls&) = delete;
    StreamTls& operator=(const StreamTls&) = delete;

    // False when OpenSSL refused a setting or the certificate: no stream can be made then.
    bool isValid() const { return m_context != nullptr; }
    const IdentityCertificate& certificate() const { return m_certificate; }

    // The TLS state of one new connection, in the dialling or the accepting role, whose peer certificate goes to
    // `check` (which must outlive it); null when OpenSSL fails. The caller frees it with SSL_free. It keeps what
    // it needs of these settings, so it may outlive this object.
    ssl_st* newConnection(bool dialling, const CertificateCheck* check) const;

    // The TLS library's reasons for the last failure on this thread, and none left behind for the next.
    static QString takeErrors();

private:
    IdentityCertificate m_certificate;
    ssl_ctx_st* m_context = nullptr;
};

} // namespace Vesk
