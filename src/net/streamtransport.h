#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <utility>

class QTcpSocket;
struct bio_st;
struct bio_method_st;
struct ssl_st;

namespace Vesk {

class BufferPool;

// The transport the TLS library of a PeerStream reads and writes through, without blocking, on the socket's thread:
//
//     socket buffer (or the connection itself) --read--> TLS library --write--> pending records --> socket buffer
//
// Reads come from the socket's own buffer and, once that is empty, straight from the connection (at most what
// allowDirectRead() allowed this turn), in large pieces kept here until the library has taken them. Written
// records are gathered until flush() hands them to the socket as one buffer, which the socket keeps shared rather
// than copied and writes to the connection in large pieces instead of one system call per record; until then they
// can also be withheld (discard()).
class StreamTransport
{
    Q_DISABLE_COPY(StreamTransport)

public:
    // The most a TLS record carries.
    static constexpr qsizetype kRecordSize = 16 * 1024;

    explicit StreamTransport(QTcpSocket* socket) : m_socket(socket) {}

    // Becomes the transport of both directions of `ssl` (which then holds it); false when it could not.
    bool attach(ssl_st* ssl);
    // Records of a file packet are gathered in buffers of this pool.
    void setFramePool(BufferPool* frames) { m_frames = frames; }
    BufferPool* framePool() const { return m_frames; }

    // Room for the records of `plain` more bytes of plaintext, taken from the pool when that is worth it.
    void reserve(qsizetype plain);
    // Hands the records written so far to the socket.
    void flush();
    // The same, but writes them to the connection at once when nothing waits before them in the socket's buffer,
    // rather than when the event loop next finds the connection writable. What the connection does not take now
    // goes to the socket. Nothing is emitted from here: a failure is for the socket to find on its own write.
    void flushNow();
    // Forgets the records written so far: they never reach the connection.
    void discard() { m_out.clear(); }
    qsizetype pendingBytes() const { return m_out.size(); }

    // The connection closed or failed: nothing more is written to it.
    void setEnded() { m_ended = true; }
    bool isEnded() const { return m_ended; }
    // The most this turn of the event loop reads straight from the connection, once the socket's buffer is empty.
    void allowDirectRead(qint64 bytes) { m_directReadLeft = bytes; }
    // Whether anything was received since the last call.
    bool takeHeard() { return std::exchange(m_heard, false); }
    // How many times anything was received: the same number later means nothing came meanwhile.
    quint64 heardCount() const { return m_heardCount; }
    // The next readyRead may wait until this many bytes are in the connection's buffer: fewer, larger reads of a
    // long frame. Only ever as many as are sure to come without anything from this side, or the stream would wait
    // for bytes the peer never sends. 1 (or less) is any byte at all. Rounded down to whole steps, so that a frame
    // that arrives over a few turns sets it a few times only. Up to a file packet's whole rest: the reader wakes
    // about once a packet, where each wake-up costs a context switch and a turn of the event loop.
    void expectAtLeast(qint64 bytes);
    static constexpr qint64 kExpectStep = 64 * 1024;
    static constexpr qint64 kMostExpected = 16 * kExpectStep;

    // Whether bytes we sent have waited for the peer's acknowledgement through this many retransmission timeouts
    // in a row. TCP doubles its wait after each, up to minutes: a connection that lost its path for half a minute
    // may sit out another half minute after the path is back, while the peer's own bytes already arrive.
    static constexpr int kStuckBackoffs = 3;
    bool sendingStuck() const;
    // Ends the connection at once with a reset, rather than with a FIN behind the bytes it still holds, so that the
    // peer learns of it now and a new connection takes over.
    void reset();

private:
    static bio_method_st* method();
    static int read(bio_st* bio, char* out, int size);
    static int write(bio_st* bio, const char* in, int size);
    static long control(bio_st* bio, int command, long number, void* pointer);
    qint64 readDirect(char* out, int size);
    // Refills the received bytes kept here, which are all taken: false when nothing has arrived.
    bool receive();

    QTcpSocket* m_socket;
    QByteArray m_out; // records not passed to the socket yet
    BufferPool* m_frames = nullptr;
    qint64 m_directReadLeft = 0;
    // Received bytes the library has not taken yet, from m_inStart to m_inEnd. Reading ahead into its own buffer
    // instead, it would move what it holds to the front of that buffer at each record it begins: two to three
    // times every byte of a file packet. From here, each byte is copied once.
    static constexpr qsizetype kReceived = 256 * 1024;
    static constexpr qsizetype kReceivedFirst = 16 * 1024;
    QByteArray m_in;
    qint64 m_inStart = 0;
    qint64 m_inEnd = 0;
    qint64 m_expected = 1; // the connection's low-water mark for reads, as last set
    bool m_heard = false;
    quint64 m_heardCount = 0;
    bool m_ended = false;
};

} // namespace Vesk
