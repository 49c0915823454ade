// The baseline of the transfer benchmark: one plain TCP stream from a file to a file, with the same packet-sized
// reads and writes the program uses, over the same network path.
//
//   transfer_raw receive PORT OUTFILE      prints "ready", takes one connection, writes what arrives to OUTFILE,
//                                          then prints "<bytes> <seconds> <cpu ms>" timed from accept to the
//                                          file's close, with the CPU time the process used (user and system)
//   transfer_raw send ADDRESS PORT INFILE  streams INFILE to ADDRESS:PORT, then prints "<cpu ms>"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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

int receive(int port, const char* path)
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

    const int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0)
        return fail("accept");
    const auto started = std::chrono::steady_clock::now();
    FILE* out = std::fopen(path, "wb");
    if (!out)
        return fail("open output");
    std::vector<char> buffer(kBlock);
    long long total = 0;
    while (true) {
        const ssize_t n = ::read(connection, buffer.data(), buffer.size());
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
    ::close(connection);
    ::close(listener);
    std::printf("%lld %.6f %.1f\n", total, seconds, cpuMs());
    return 0;
}

int send(const char* host, int port, const char* path)
{
    const int connection = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    if (::inet_pton(AF_INET, host, &address.sin_addr) != 1)
        return fail("address");
    if (::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail("connect");
    FILE* in = std::fopen(path, "rb");
    if (!in)
        return fail("open input");
    std::vector<char> buffer(kBlock);
    size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        if (!writeAll(connection, buffer.data(), n))
            return fail("send");
    }
    std::fclose(in);
    ::close(connection);
    std::printf("%.1f\n", cpuMs());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "receive") == 0)
        return receive(std::atoi(argv[2]), argv[3]);
    if (argc == 5 && std::strcmp(argv[1], "send") == 0)
        return send(argv[2], std::atoi(argv[3]), argv[4]);
    std::fprintf(stderr, "usage: %s receive PORT OUTFILE | send ADDRESS PORT INFILE\n", argv[0]);
    return 2;
}
