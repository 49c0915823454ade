#pragma once

#include "net/streamlimits.h"
#include "net/streamtls.h"
#include "net/streamtransport.h"
#include "net/wire.h"

#include "secure/identitycertificate.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QTcpSocket;
struct ssl_st;
struct x509_st;

namespace Vesk {

class BufferPool;

// One authenticated, encrypted stream to another Vesk computer: TLS 1.3 (see StreamTls) over one TCP connection,
// carrying frames both ways, any number of them, in the framing of every message (kFrameHeaderSize bytes of
// little-endian length, then the payload). A frame of length 0 carries no message: it is the keep-alive.
//
// Everything runs on the thread of the socket's event loop, without blocking: the TLS library reads the socket's
// received bytes and writes into its send buffer through a transport of ours (see StreamTransport).
//
// Life of a stream:
//   1. handshake: both sides present their certificates. The form of the other's certificate and the node id it
//      names are checked as it arrives; the key, once the handshake has proven that the other side holds it (see
//      CertificateCheck). A refusal ends the connection there: the dialler refuses before it sends its last
//      handshake message, so the accepting side never completes a handshake with a node the dialler refused;
//   2. the accepting side, once it accepted the dialler, sends a keep-alive at once: TLS 1.3 completes the
//      dialler's handshake before the accepting side has seen the dialler's certificate, so this first frame is
//      how the dialler learns that it was accepted. Each side is established from then on (established());
//   3. frames both ways; a keep-alive after keepAliveMs without sending, and the end after silenceMs without
//      hearing anything (counted in keep-alive intervals this thread ran through, so a thread held up for a while
//      does not take its own delay for the peer's silence);
//   4. finished(ending), once, for whatever reason. The owner deletes the stream later (deleteLater), never in a
//      slot of its signals.
class PeerStream : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerStream)

public:
    using Limits = StreamLimits; // a stream heeds the bounds of each stream in it
    // The most frames handed on in one turn of the event loop; the rest follow in the next turns. Each may store a
    // message and show it, and a peer sending thousands of small ones at once held the loop for minutes.
    static constexpr int kFramesPerTurn = 32;

    enum class Role { Dialler, Acceptor };

    // The owner's decision on the peer's certificate, once the handshake proved that the peer holds its key.
    enum class Verdict {
        Accept,
        Refuse,     // refused for the owner's own reasons
        KeyChanged, // another key than the one pinned for the node id
        OwnKey,     // our own identity key, presented by another installation
        Busy,       // no room here now: the connection ends without a word, so that the other side tries again
                    // later rather than take it for a refusal of its key
    };
    // Told which stream asks (its role, addresses, handshake so far), so the owner needs no hold of it beforehand.
    using CertificateCheck = std::function<Verdict(const PeerStream& stream, const CertificateIdentity& peer)>;

    enum class Ending {
        Closed,          // close() on this side
        PeerClosed,      // the peer closed the stream or the connection, or the connection broke
        NetworkError,    // no connection (refused, unreachable) or it failed
        HandshakeFailed, // no TLS 1.3 handshake with one acceptable certificate: protocol, certificate, garbage
        HandshakeTimeout,
        Cut,           // the connection ended during the handshake without a word: a peer with no room, or a cut
        WrongNode,     // the certificate names another node than the one dialled
        Refused,       // Verdict::Refuse or Verdict::Busy
        KeyChanged,    // Verdict::KeyChanged
        OwnKey,        // Verdict::OwnKey
        RefusedByPeer, // the peer did not accept our certificate
        FrameTooLarge, // a frame header announced more than Limits::maxFrameSize
        BrokenRecord,  // TLS failed after the handshake (a forged or damaged record)
        Silent,        // nothing heard for Limits::silenceMs
    };
    Q_ENUM(Ending)

    // Takes `socket` over (connected already when accepted, connecting when dialling). `expectedNodeId` is the node
    // the dialler means to reach; empty to take any. Nothing happens before the event loop runs again, so the
    // owner connects the signals first.
    PeerStream(const StreamTls& tls, QTcpSocket* socket, Role role, const QString& expectedNodeId,
               CertificateCheck check, const Limits& limits, QObject* parent = nullptr);
    ~PeerStream() override;

    // Queues one frame with this payload. False, and nothing sent, before the stream is established, after it
    // ended, for a payload over the frame limit, or while the queue is full (then sendReady() follows).
    bool send(const QByteArray& payload);
    // The same for a payload in parts (see FramePayload): the peer gets the bytes of the parts joined.
    bool send(const FramePayload& payload);
    // True when send() would take a frame now. False while the queue is full: sendReady() follows once it has room
    // again, as after a refused send(), so a sender may hold its frames back rather than offer them to be refused.
    bool canSend();
    qint64 queuedBytes() const;
    // What this stream holds in memory: queued to send, and received but not yet handed on as a frame.
    qint64 bufferedBytes() const;

    Role role() const { return m_role; }
    QString expectedNodeId() const { return m_expectedNodeId; }
    // Where the owner's dial for the expected node went, as the owner set it when dialling; null for a stream
    // accepted. A failed dial is told by this address, not by one the node was given meanwhile.
    QHostAddress dialledAt() const { return m_dialledAt; }
    void setDialledAt(const QHostAddress& address) { m_dialledAt = address; }
    bool isEstablished() const { return m_established; }
    bool isFinished() const { return m_finished; }
    Ending ending() const { return m_ending; }
    // The peer's certificate, valid once it was presented and well formed (also when refused).
    const CertificateIdentity& peer() const { return m_peer; }
    // The peer's certificate as presented (DER), once presented.
    QByteArray peerCertificate() const { return m_peerCertificate; }
    // The random of the handshake's ClientHello (ours when dialling, the dialler's when accepting); empty before
    // it was written or read. Two of our own streams with the same one are our own connection to ourselves.
    QByteArray clientRandom() const;
    // The TLS library's reason when the handshake or a record failed, for the log.
    QString problem() const { return m_problem; }
    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }
    QHostAddress localAddress() const { return m_localAddress; }
    quint16 localPort() const { return m_localPort; }

    // Received frames of a file packet's size are read into buffers of this pool (see BufferPool), and a packet's
    // records are gathered in them.
    void setFramePool(BufferPool* frames) { m_transport.setFramePool(frames); }

    // How many times bytes came in: the same number later means nothing came meanwhile. listenClosely() has the
    // next byte read as soon as it is there, not held back for the rest of a long frame.
    quint64 heardCount() const { return m_transport.heardCount(); }
    void listenClosely() { m_transport.expectAtLeast(1); }

    // Ends the stream (TLS close_notify, then the connection closes). finished(Ending::Closed) follows at once.
    void close();

Q_SIGNALS:
    void established();
    void frameReceived(const QByteArray& payload);
    void sendReady();
    void finished(Vesk::PeerStream::Ending ending);

private:
    void start();
    void handleReadyRead();
    void handleBytesWritten();
    void handleSocketEnd();
    void handshakeTimeout();
    void tickTimeout();
    bool drive();
    void readFrames();
    void expectRestOfFrame();
    void frameComplete(QByteArray payload);
    void becomeEstablished();
    bool writeFrame(const FramePayload& payload);
    bool writeStraight(const char* data, qsizetype size);
    bool encryptPending(bool flush = true);
    bool checkCertificate(x509_st* certificate, int chainLength);
    bool judgePeer();
    void finish(Ending ending);

    QTcpSocket* m_socket;
    StreamTransport m_transport;
    // Kept from the connection, for after it closed.
    QHostAddress m_peerAddress;
    QHostAddress m_localAddress;
    quint16 m_peerPort = 0;
    quint16 m_localPort = 0;
    Role m_role;
    QString m_expectedNodeId;
    QHostAddress m_dialledAt;
    CertificateCheck m_check;
    StreamTls::CertificateCheck m_tlsCheck;
    Limits m_limits;
    ssl_st* m_ssl = nullptr;

    CertificateIdentity m_peer;
    QByteArray m_peerCertificate;
    Ending m_refusal = Ending::HandshakeFailed; // why our certificate check failed a handshake
    bool m_busy = false;                        // and it failed for want of room only
    QString m_problem;
    bool m_started = false;
    bool m_handshakeDone = false;
    bool m_established = false;
    bool m_finished = false;
    bool m_full = false;
    Ending m_ending = Ending::Closed;

    QByteArray m_plainOut; // frames not encrypted yet
    bool m_encryptScheduled = false;
    bool m_readScheduled = false; // the frames beyond one turn's are read on in the next turn

    char m_header[kFrameHeaderSize] = {};
    int m_headerRead = 0;
    QByteArray m_payload;
    qsizetype m_payloadRead = 0;

    QTimer m_handshakeTimer;
    QTimer m_tickTimer;
    bool m_sentSinceTick = false;
    int m_quietTicks = 0;
    QElapsedTimer m_stuckCheck; // since the last look whether our sending is stuck
    bool m_reset = false;       // the connection is reset when the stream ends, not closed after what it holds
};

} // namespace Vesk
