// The baselines of the transfer benchmark: one plain TCP stream from a file to a file, with the same packet-sized
// reads and writes the program uses, over the same network path; and the same stream through TLS 1.3 with the
// stream's cipher, in blocking calls on one thread per side with nothing else to do. The second is what the
// cipher alone leaves of raw TCP on this machine: the most any program that encrypts in user space could reach.
//
//   transfer_raw receive PORT OUTFILE      prints "ready", takes one connection, writes what arrives to OUTFILE,
//                                          then prints "<bytes> <seconds> <cpu ms>" timed from accept to the
//                                          file's close, with the CPU time the process used (user and system)
//   transfer_raw send ADDRESS PORT INFILE  streams INFILE to ADDRESS:PORT, then prints "<cpu ms>"
//   transfer_raw tls-receive PORT OUTFILE, transfer_raw tls-send ADDRESS PORT INFILE
//                                          the same through TLS 1.3 (TLS_AES_256_GCM_SHA384, X25519), the
//                                          receiver presenting a throwaway Ed25519 certificate; the timing starts
//                                          once the handshake is done
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kBlock = 1000000;

int fail(const char* what)
{
    std::perror(what);
    return 1;
}

double cpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return double(t.tv_sec) * 1000.0 + double(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// A context for one side of the TLS baseline: TLS 1.3 only, the stream's first cipher and group. The receiver gets a
// self-signed certificate of a key made for this run; the sender checks nothing, as the figure is one of bulk cost.
SSL_CTX* tlsContext(bool server)
{
    SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!context || SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_ciphersuites(context, "TLS_AES_256_GCM_SHA384") != 1 ||
        SSL_CTX_set1_groups_list(context, "X25519") != 1)
        return nullptr;
    if (!server)
        return context;
    // No session tickets: the sender never reads, and bytes left unread when it closes would reset the connection.
    SSL_CTX_set_num_tickets(context, 0);
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    X509* certificate = X509_new();
    if (!key || !certificate)
        return nullptr;
    X509_set_version(certificate, 2);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("transfer_raw"), -1, -1, 0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_set_pubkey(certificate, key);
    if (X509_sign(certificate, key, nullptr) <= 0 || SSL_CTX_use_certificate(context, certificate) != 1 ||
        SSL_CTX_use_PrivateKey(context, key) != 1)
        return nullptr;
    X509_free(certificate);
    EVP_PKEY_free(key);
    return context;
}

// Reads and writes of either kind of stream, whole or not at all.
struct Stream
{
    int fd = -1;
    SSL* tls = nullptr;

    // Records pass through a buffer of 256 KB each way, so that a read or a write of the socket carries many of
    // them, as the program's own transport does, instead of a system call per record or two per record received.
    bool buffer()
    {
        BIO* socket = BIO_new_socket(fd, BIO_NOCLOSE);
        BIO* buffered = BIO_new(BIO_f_buffer());
        if (!socket || !buffered || BIO_set_buffer_size(buffered, 256 * 1024) != 1)
            return false;
        BIO_push(buffered, socket);
        BIO_up_ref(buffered);
        SSL_set_bio(tls, buffered, buffered);
        return true;
    }

    ssize_t read(char* data, size_t size)
    {
        if (!tls)
            return ::read(fd, data, size);
        // A record holds at most 16 KB: fill the block, so that the file is written in blocks as in plain mode.
        size_t filled = 0;
        while (filled < size) {
            size_t got = 0;
            const int result = SSL_read_ex(tls, data + filled, size - filled, &got);
            if (result != 1)
                return SSL_get_error(tls, result) == SSL_ERROR_ZERO_RETURN ? ssize_t(filled) : -1;
            filled += got;
        }
        return ssize_t(filled);
    }

    bool writeAll(const char* data, size_t size)
    {
        if (!tls)
            return ::writeAll(fd, data, size);
        size_t written = 0;
        return SSL_write_ex(tls, data, size, &written) == 1 && written == size && BIO_flush(SSL_get_wbio(tls)) == 1;
    }

    void close()
    {
        if (tls) {
            SSL_shutdown(tls);
            SSL_free(tls);
        }
        ::close(fd);
    }
};

int receive(int port, const char* path, bool tls)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0)
        return fail("listen");
    std::printf("ready\n");
    std::fflush(stdout);

    Stream connection;
    connection.fd = ::accept(listener, nullptr, nullptr);
    if (connection.fd < 0)
        return fail("accept");
    if (tls) {
        SSL_CTX* context = tlsContext(true);
        connection.tls = context ? SSL_new(context) : nullptr;
        if (!connection.tls || !connection.buffer() || SSL_accept(connection.tls) != 1)
            return fail("TLS handshake");
    }
    const auto started = std::chrono::steady_clock::now();
    FILE* out = std::fopen(path, "wb");
    if (!out)
        return fail("open output");
    std::vector<char> buffer(kBlock);
    long long total = 0;
    while (true) {
        const ssize_t n = connection.read(buffer.data(), buffer.size());
        if (n < 0)
            return fail("read");
        if (n == 0)
            break;
        if (std::fwrite(buffer.data(), 1, size_t(n), out) != size_t(n))
            return fail("write");
        total += n;
    }
    std::fclose(out);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    connection.close();
    ::close(listener);
    std::printf("%lld %.6f %.1f\n", total, seconds, cpuMs());
    return 0;
}

int send(const char* host, int port, const char* path, bool tls)
{
    Stream connection;
    connection.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    if (::inet_pton(AF_INET, host, &address.sin_addr) != 1)
        return fail("address");
    if (::connect(connection.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail("connect");
    if (tls) {
        SSL_CTX* context = tlsContext(false);
        connection.tls = context ? SSL_new(context) : nullptr;
        if (!connection.tls || !connection.buffer() || SSL_connect(connection.tls) != 1)
            return fail("TLS handshake");
    }
    FILE* in = std::fopen(path, "rb");
    if (!in)
        return fail("open input");
    std::vector<char> buffer(kBlock);
    size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        if (!connection.writeAll(buffer.data(), n))
            return fail("send");
    }
    std::fclose(in);
    connection.close();
    std::printf("%.1f\n", cpuMs());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool tls = argc > 1 && std::strncmp(argv[1], "tls-", 4) == 0;
    const char* verb = tls ? argv[1] + 4 : argc > 1 ? argv[1] : "";
    if (argc == 4 && std::strcmp(verb, "receive") == 0)
        return receive(std::atoi(argv[2]), argv[3], tls);
    if (argc == 5 && std::strcmp(verb, "send") == 0)
        return send(argv[2], std::atoi(argv[3]), argv[4], tls);
    std::fprintf(stderr, "usage: %s [tls-]receive PORT OUTFILE | [tls-]send ADDRESS PORT INFILE\n", argv[0]);
    return 2;
}
