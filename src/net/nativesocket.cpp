#include "net/nativesocket.h"

#include <climits>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace Vesk::NativeSocket {

#ifdef Q_OS_WIN

bool setNonBlocking(qintptr descriptor)
{
    u_long on = 1;
    return ioctlsocket(SOCKET(descriptor), FIONBIO, &on) == 0;
}

qint64 receive(qintptr descriptor, char* into, qint64 most)
{
    const int got = recv(SOCKET(descriptor), into, int(qMin<qint64>(most, INT_MAX)), 0);
    if (got > 0)
        return got;
    if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
        return 0;
    return -1;
}

void setReadThreshold(qintptr, qint64)
{
    // Winsock accepts SO_RCVLOWAT only as a value it ignores.
}

qint64 send(qintptr descriptor, const char* data, qint64 size)
{
    const int sent = ::send(SOCKET(descriptor), data, int(qMin<qint64>(size, INT_MAX)), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

void close(qintptr descriptor)
{
    closesocket(SOCKET(descriptor));
}

void abort(qintptr descriptor)
{
    const linger reset{1, 0};
    setsockopt(SOCKET(descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
    closesocket(SOCKET(descriptor));
}

QHostAddress peerAddress(qintptr descriptor)
{
    sockaddr_storage address{};
    int size = sizeof address;
    if (getpeername(SOCKET(descriptor), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

#else

bool setNonBlocking(qintptr descriptor)
{
    const int flags = ::fcntl(int(descriptor), F_GETFL);
    return flags >= 0 && ::fcntl(int(descriptor), F_SETFL, flags | O_NONBLOCK) == 0;
}

qint64 receive(qintptr descriptor, char* into, qint64 most)
{
    for (;;) {
        const ssize_t got = ::recv(int(descriptor), into, size_t(most), 0);
        if (got > 0)
            return got;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return -1; // 0: the peer closed; otherwise an error
    }
}

void setReadThreshold(qintptr descriptor, qint64 bytes)
{
    // Where the receive buffer cannot hold about twice the threshold, Linux grows the buffer and clamps the
    // connection's window to the threshold for good. A quarter of the buffer stays clear of that, and the window
    // is left to the kernel's own tuning (which grows the buffer, and with it the threshold, as the connection
    // speeds up).
    int buffer = 0;
    socklen_t size = sizeof buffer;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_RCVBUF, &buffer, &size) != 0)
        return;
    const int threshold = int(qBound(qint64(1), bytes, qint64(buffer / 4)));
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_RCVLOWAT, &threshold, sizeof threshold);
}

qint64 send(qintptr descriptor, const char* data, qint64 size)
{
#ifdef MSG_NOSIGNAL
    constexpr int kFlags = MSG_DONTWAIT | MSG_NOSIGNAL; // a peer that is gone must not end the process
#else
    constexpr int kFlags = MSG_DONTWAIT;
#endif
    for (;;) {
        const ssize_t sent = ::send(int(descriptor), data, size_t(size), kFlags);
        if (sent < 0 && errno == EINTR)
            continue;
        return sent;
    }
}

void close(qintptr descriptor)
{
    ::close(int(descriptor));
}

void abort(qintptr descriptor)
{
    const linger reset{1, 0};
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(int(descriptor));
}

QHostAddress peerAddress(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return {};
    return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

#endif

} // namespace Vesk::NativeSocket
