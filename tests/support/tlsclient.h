#pragma once

#include "net/wire.h"
#include "secure/identitycertificate.h"

#include <QString>
#include <QtEndian>

#include <memory>

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A peer of a stream table written against OpenSSL directly, with blocking calls, for what a PeerStream never sends.
namespace TestSupport {

// A blocking connection to the port on loopback whose reads give up after `seconds`; -1 when it failed.
inline int connectHere(quint16 port, int seconds)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A TLS client over a blocking socket, with this certificate when given; everything is freed with it.
struct TlsClient
{
    TlsClient(int fd, const Vesk::IdentityCertificate* certificate, int maxVersion = TLS1_3_VERSION) : fd(fd)
    {
        SSL_CTX_set_max_proto_version(context, maxVersion);
        if (certificate) {
            SSL_CTX_use_certificate(context, certificate->certificate());
            SSL_CTX_use_PrivateKey(context, certificate->privateKey());
        }
        ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
    }
    ~TlsClient()
    {
        SSL_free(ssl);
        SSL_CTX_free(context);
        ::close(fd);
    }
    // The handshake, and the accepting side's first frame (empty), which says it took us.
    bool accepted()
    {
        char header[Vesk::kFrameHeaderSize];
        return SSL_connect(ssl) == 1 && SSL_read(ssl, header, sizeof header) == sizeof header;
    }
    // Reads frame headers until one that is not a keep-alive (those are empty): "answered", else "no answer".
    QString awaitAnswer()
    {
        char header[Vesk::kFrameHeaderSize];
        for (quint32 length = 0; length == 0; length = qFromLittleEndian<quint32>(header))
            if (SSL_read(ssl, header, sizeof header) != sizeof header)
                return QStringLiteral("no answer");
        return QStringLiteral("answered");
    }
    int fd;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = nullptr;
};

// A client connected to the port on loopback and accepted there, with this certificate; null when either failed,
// with the failure in `why` ("no connection", "not accepted").
inline std::unique_ptr<TlsClient> acceptedClient(quint16 port, const Vesk::IdentityCertificate& certificate,
                                                 QString* why)
{
    const int fd = connectHere(port, 20);
    if (fd < 0) {
        *why = QStringLiteral("no connection");
        return nullptr;
    }
    auto client = std::make_unique<TlsClient>(fd, &certificate);
    if (!client->accepted()) {
        *why = QStringLiteral("not accepted");
        return nullptr;
    }
    return client;
}

} // namespace TestSupport
