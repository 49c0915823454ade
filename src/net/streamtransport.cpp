#include "net/streamtransport.h"

#include "common/bufferpool.h"

#include <QTcpSocket>

#include <cstring>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

namespace Vesk {

namespace {

// What TLS 1.3 adds to each record: its header, the inner content type and the AEAD tag.
constexpr qsizetype kRecordOverhead = 5 + 1 + 16;

// Room for the records of `plain` bytes of plaintext.
qsizetype sealedSize(qsizetype plain)
{
    return plain + (plain / StreamTransport::kRecordSize + 1) * kRecordOverhead;
}

} // namespace

bool StreamTransport::attach(ssl_st* ssl)
{
    BIO* transport = ssl && method() ? BIO_new(method()) : nullptr;
    if (!transport)
        return false;
    BIO_set_data(transport, this);
    SSL_set_bio(ssl, transport, transport); // one reference, for both directions
    return true;
}

void StreamTransport::reserve(qsizetype plain)
{
    // A file packet's records go into a buffer of the pool: fresh memory would cost a page fault per page.
    const qsizetype needed = m_out.size() + sealedSize(plain);
    if (!m_frames || needed < BufferPool::kFramesFrom || needed <= m_out.capacity())
        return;
    QByteArray buffer = m_frames->take(needed);
    buffer.resize(0); // its room stays
    buffer.append(m_out);
    m_out = std::move(buffer);
}

void StreamTransport::flush()
{
    if (m_out.isEmpty())
        return;
    if (!m_ended)
        m_socket->write(m_out); // kept shared by the socket until written, not copied
    if (m_frames && m_out.capacity() >= BufferPool::kFramesFrom)
        m_frames->giveBack(std::move(m_out)); // serves again once the socket has let go of it
    m_out = QByteArray();
}

void StreamTransport::flushNow()
{
#ifdef Q_OS_LINUX
    const qintptr descriptor = m_socket->socketDescriptor();
    if (!m_out.isEmpty() && !m_ended && descriptor >= 0 && m_socket->bytesToWrite() == 0 &&
        m_socket->state() == QAbstractSocket::ConnectedState) {
        const ssize_t sent =
            ::send(int(descriptor), m_out.constData(), size_t(m_out.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0)
            m_out.remove(0, qsizetype(sent));
    }
#endif
    flush();
}

bio_method_st* StreamTransport::method()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vesk peer stream");
        if (made && (BIO_meth_set_read(made, &StreamTransport::read) != 1 ||
                     BIO_meth_set_write(made, &StreamTransport::write) != 1 ||
                     BIO_meth_set_ctrl(made, &StreamTransport::control) != 1 || BIO_meth_set_create(made, [](BIO* bio) {
                                                                                    BIO_set_init(bio, 1);
                                                                                    return 1;
                                                                                }) != 1)) {
            BIO_meth_free(made);
            made = nullptr;
        }
        return made;
    }();
    return method;
}

int StreamTransport::read(bio_st* bio, char* out, int size)
{
    auto* transport = static_cast<StreamTransport*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (transport->m_inStart == transport->m_inEnd && !transport->receive()) {
        // Nothing yet: the library waits for the next readyRead. The end of the connection is the socket's to tell.
        BIO_set_retry_read(bio);
        return -1;
    }
    const qint64 given = qMin<qint64>(size, transport->m_inEnd - transport->m_inStart);
    std::memcpy(out, transport->m_in.constData() + transport->m_inStart, size_t(given));
    transport->m_inStart += given;
    return int(given);
}

bool StreamTransport::receive()
{
    // Before the peer is known, only the socket's small buffer is read: a stranger's connection is not given room
    // for a file packet.
    const qsizetype room = m_directReadLeft > 0 ? kReceived : kReceivedFirst;
    if (m_in.size() < room)
        m_in = QByteArray(room, Qt::Uninitialized);
    m_inStart = m_inEnd = 0;
    // Asking the socket even when its buffer is empty is what has it watch the connection again once its buffer
    // was full.
    qint64 got = m_socket->read(m_in.data(), m_in.size());
    if (got <= 0)
        got = readDirect(m_in.data(), int(m_in.size()));
    if (got <= 0)
        return false;
    m_inEnd = got;
    m_heard = true;
    ++m_heardCount;
    return true;
}

int StreamTransport::write(bio_st* bio, const char* in, int size)
{
    auto* transport = static_cast<StreamTransport*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (transport->m_ended)
        return -1;
    transport->m_out.append(in, size); // to the socket with the rest of this write, in flush()
    return size;
}

qint64 StreamTransport::readDirect(char* out, int size)
{
#ifdef Q_OS_UNIX
    // Only once the socket's buffer is empty, so the bytes stay in order. A closed or failed connection is left
    // for the socket to find on its next read, which then ends the stream as before.
    const qintptr descriptor = m_socket->socketDescriptor();
    if (m_directReadLeft <= 0 || descriptor < 0 || m_socket->state() != QAbstractSocket::ConnectedState)
        return 0;
    const ssize_t got = ::recv(int(descriptor), out, size_t(qMin<qint64>(size, m_directReadLeft)), MSG_DONTWAIT);
    if (got <= 0)
        return 0;
    m_directReadLeft -= got;
    return got;
#else
    Q_UNUSED(out);
    Q_UNUSED(size);
    return 0;
#endif
}

void StreamTransport::expectAtLeast(qint64 bytes)
{
#ifdef Q_OS_LINUX
    const qint64 mark = bytes < kExpectStep ? 1 : qMin(bytes / kExpectStep * kExpectStep, kMostExpected);
    const qintptr descriptor = m_socket->socketDescriptor();
    if (mark == m_expected || descriptor < 0)
        return;
    // The kernel wakes a reader below the mark anyway when its buffer fills, and once the connection ends.
    const int value = int(mark);
    if (setsockopt(int(descriptor), SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value) == 0)
        m_expected = mark;
#else
    Q_UNUSED(bytes);
#endif
}

bool StreamTransport::sendingStuck() const
{
#ifdef Q_OS_LINUX
    const qintptr descriptor = m_socket->socketDescriptor();
    tcp_info info{};
    socklen_t size = sizeof info;
    if (descriptor < 0 || getsockopt(int(descriptor), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    return info.tcpi_unacked > 0 && info.tcpi_backoff >= kStuckBackoffs;
#else
    return false; // the system does not say: the connection's own retransmissions end the wait
#endif
}

void StreamTransport::reset()
{
    m_ended = true;
#ifdef Q_OS_UNIX
    const qintptr descriptor = m_socket->socketDescriptor();
    const linger now{1, 0};
    if (descriptor >= 0)
        setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &now, sizeof now);
#endif
    m_socket->abort();
}

long StreamTransport::control(bio_st*, int command, long, void*)
{
    // Written bytes are in the socket's hands at once: nothing to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

} // namespace Vesk
