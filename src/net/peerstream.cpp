#include "net/peerstream.h"

#include "common/bufferpool.h"
#include "net/netaddress.h"
#include "net/netlogging.h"

#include <QTcpSocket>
#include <QtEndian>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <utility>

// The TLS library reads from the socket and writes into a buffer of ours, through a transport of ours:
//
//     socket buffer --SSL_read--> frames --> frameReceived
//     send() --SSL_write--> transport's records --> socket buffer
//
// Each time the socket has something, the library takes all it can (many records per read, see StreamTransport) and
// every frame that completes is handed on. The records of one write (a whole file packet: some sixty records) are
// gathered by the transport and handed to the socket as one buffer (see StreamTransport). Until the handshake is
// done, they are passed on after each step only, so that the dialler's last handshake message can be withheld
// when it refuses the peer.

namespace Vesk {

namespace {

// The socket's own buffer holds at most this much that was received and not read yet: what arrives after it is
// read by the TLS library straight from the connection (see StreamTransport), one copy of every byte fewer, and a
// fast sender is held back by TCP. The socket fills it anew on each turn of the event loop that finds the
// connection readable, so it is kept small: a file packet arrives over a few such turns.
constexpr qint64 kSocketReadBuffer = 4 * 1024;
// The most read straight from the connection in one turn of the event loop: a sender faster than this side's
// decryption must not keep the loop from everything else. The rest waits for the socket's next readyRead.
constexpr qint64 kDirectReadPerTurn = 4 * 1024 * 1024;
constexpr qsizetype kRecordSize = StreamTransport::kRecordSize;
// What a record may carry beyond its plaintext: padding, the AEAD tag, its header.
constexpr qsizetype kRecordSlack = 256 + 5;
// How often at most a stream that receives looks whether its own sending is stuck (see handleReadyRead).
constexpr qint64 kStuckCheckMs = 1000;
// A frame this small goes into a record together with its header, and others.
constexpr qsizetype kJoinedFrame = kRecordSize - kFrameHeaderSize;
} // namespace

PeerStream::PeerStream(const StreamTls& tls, QTcpSocket* socket, Role role, const QString& expectedNodeId,
                       CertificateCheck check, const Limits& limits, QObject* parent)
    : QObject(parent), m_socket(socket), m_transport(socket), m_role(role), m_expectedNodeId(expectedNodeId),
      m_check(std::move(check)), m_limits(limits)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(kSocketReadBuffer);
    // Small frames are gathered into one write per turn of the event loop already: a request must not wait for
    // the acknowledgement of the one before it.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_socket->state() == QAbstractSocket::ConnectedState) { // accepted: the owner counts streams by address
        m_peerAddress = normalisedAddress(m_socket->peerAddress());
        m_peerPort = m_socket->peerPort();
        m_localAddress = normalisedAddress(m_socket->localAddress());
        m_localPort = m_socket->localPort();
    }
    m_tlsCheck = [this](x509_st* certificate, int chainLength) {
        return checkCertificate(certificate, chainLength);
    };
    m_ssl = tls.newConnection(role == Role::Dialler, &m_tlsCheck);
    m_transport.attach(m_ssl);

    connect(m_socket, &QTcpSocket::connected, this, &PeerStream::handleReadyRead);
    connect(m_socket, &QTcpSocket::readyRead, this, &PeerStream::handleReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &PeerStream::handleBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &PeerStream::handleSocketEnd);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &PeerStream::handleSocketEnd);

    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setInterval(m_limits.handshakeMs);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &PeerStream::handshakeTimeout);
    m_handshakeTimer.start();
    m_tickTimer.setInterval(m_limits.keepAliveMs);
    connect(&m_tickTimer, &QTimer::timeout, this, &PeerStream::tickTimeout);

    QMetaObject::invokeMethod(this, &PeerStream::start, Qt::QueuedConnection);
}

PeerStream::~PeerStream()
{
    m_socket->disconnect(this);
    SSL_free(m_ssl); // and the transport it holds
}

void PeerStream::start()
{
    if (m_finished)
        return;
    if (!m_ssl || !SSL_get_rbio(m_ssl)) { // no transport attached
        m_problem = StreamTls::takeErrors();
        finish(Ending::HandshakeFailed);
        return;
    }
    m_started = true;
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        handleReadyRead();
    else if (m_socket->state() == QAbstractSocket::UnconnectedState)
        finish(Ending::NetworkError);
}

void PeerStream::handleReadyRead()
{
    if (m_finished || !m_started || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_peerPort == 0) {
        m_peerAddress = normalisedAddress(m_socket->peerAddress());
        m_peerPort = m_socket->peerPort();
        m_localAddress = normalisedAddress(m_socket->localAddress());
        m_localPort = m_socket->localPort();
    }
    // The dialler speaks first: with nothing received yet, this writes the ClientHello.
    if (!drive() || !m_established)
        return;
    // The peer's bytes arrive, so the path is there; ours waiting out a long retransmission timeout (after a
    // cable was out) would keep chats and answers from the peer for as long again. A new connection goes at once.
    if (m_stuckCheck.isValid() && !m_stuckCheck.hasExpired(kStuckCheckMs))
        return;
    m_stuckCheck.start();
    if (m_transport.sendingStuck()) {
        qCDebug(lcNet) << "the connection to" << m_peer.nodeId << "waits out its retransmissions: made anew";
        m_reset = true;
        finish(Ending::NetworkError);
    }
}

bool PeerStream::drive()
{
    if (!m_handshakeDone) {
        ERR_clear_error();
        const int result = SSL_do_handshake(m_ssl);
        const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, result);
        const QString reasons = StreamTls::takeErrors();
        if (error == SSL_ERROR_NONE && !judgePeer()) {
            if (m_role == Role::Dialler) {
                // The dialler's last handshake message is still here, unsent: the peer never completes it.
                m_transport.discard();
            } else if (!m_busy) {
                // The accepting side refuses in words the dialler can trust: a close_notify under the keys just
                // agreed, before any frame. A connection merely cut (by a relay on the way) says nothing.
                SSL_shutdown(m_ssl);
                StreamTls::takeErrors();
                m_transport.flush();
            }
            finish(m_refusal);
            return false;
        }
        m_transport.flush(); // the next handshake message, or the alert that breaks it off
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return true;
        if (error != SSL_ERROR_NONE) {
            m_problem = reasons;
            finish(m_refusal);
            return false;
        }
        m_handshakeDone = true;
        qCDebug(lcNet) << "TLS handshake done with" << m_peer.nodeId << SSL_get_cipher_name(m_ssl);
        if (m_role == Role::Acceptor)
            becomeEstablished();
        if (m_finished)
            return false;
    }
    readFrames();
    return !m_finished;
}

void PeerStream::readFrames()
{
    m_transport.allowDirectRead(m_handshakeDone ? kDirectReadPerTurn : 0);
    // Reads that succeed leave no error behind, and a failed one ends the loop: one clearing serves them all.
    ERR_clear_error();
    int frames = 0;
    while (!m_finished) {
        if (frames == kFramesPerTurn) {
            // What is left may be in our buffers and the library's already, where no readyRead announces it.
            if (!std::exchange(m_readScheduled, true)) {
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        m_readScheduled = false;
                        handleReadyRead();
                    },
                    Qt::QueuedConnection);
            }
            return;
        }
        char* target = nullptr;
        size_t wanted = 0;
        if (m_headerRead < kFrameHeaderSize) {
            target = m_header + m_headerRead;
            wanted = size_t(kFrameHeaderSize - m_headerRead);
        } else {
            target = m_payload.data() + m_payloadRead;
            wanted = size_t(m_payload.size() - m_payloadRead);
        }
        size_t got = 0;
        const int result = SSL_read_ex(m_ssl, target, wanted, &got);
        if (result != 1) {
            const int error = SSL_get_error(m_ssl, result);
            const unsigned long last = ERR_peek_last_error();
            const bool receivedAlert = ERR_GET_LIB(last) == ERR_LIB_SSL && ERR_GET_REASON(last) >= SSL_AD_REASON_OFFSET;
            m_problem = StreamTls::takeErrors();
            m_transport.flush(); // an answer to the peer's key update, or an alert
            if (error == SSL_ERROR_WANT_READ) {
                expectRestOfFrame();
                return;
            }
            if (m_established)
                finish(error == SSL_ERROR_ZERO_RETURN ? Ending::PeerClosed : Ending::BrokenRecord);
            else // the accepting side's close before its first frame, or its alert: it refused us
                finish(error == SSL_ERROR_ZERO_RETURN || receivedAlert ? Ending::RefusedByPeer : Ending::BrokenRecord);
            return;
        }
        if (m_headerRead < kFrameHeaderSize) {
            m_headerRead += int(got);
            if (m_headerRead < kFrameHeaderSize)
                continue;
            const quint32 size = qFromLittleEndian<quint32>(m_header);
            if (size > m_limits.maxFrameSize) {
                m_problem = QStringLiteral("a frame of %1 bytes; the limit is %2").arg(size).arg(m_limits.maxFrameSize);
                finish(Ending::FrameTooLarge);
                return;
            }
            if (size == 0) {
                frameComplete({});
                ++frames;
                continue;
            }
            // Not touched before its bytes arrive, whatever the header claims.
            m_payload = frameBuffer(qsizetype(size), m_transport.framePool());
            m_payloadRead = 0;
            continue;
        }
        m_payloadRead += qsizetype(got);
        if (m_payloadRead == m_payload.size()) {
            frameComplete(std::move(m_payload));
            ++frames;
        }
    }
}

void PeerStream::expectRestOfFrame()
{
    // The rest of a frame the peer has begun comes without anything from us. Of it, the TLS library may already
    // hold part of a record (it has handed on every whole one when it asks for more), and the bytes on the way are
    // more than the plaintext they carry: so the rest less a record is sure to come.
    qint64 rest = 0;
    if (m_established && m_headerRead == kFrameHeaderSize)
        rest = m_payload.size() - m_payloadRead - kRecordSize - kRecordSlack;
    m_transport.expectAtLeast(rest);
}

void PeerStream::frameComplete(QByteArray payload)
{
    m_headerRead = 0;
    m_payload = QByteArray();
    m_payloadRead = 0;
    if (!m_established)
        becomeEstablished(); // the dialler: the accepting side's first frame says it accepted us
    if (!payload.isEmpty() && !m_finished)
        Q_EMIT frameReceived(payload);
}

void PeerStream::becomeEstablished()
{
    m_established = true;
    m_handshakeTimer.stop();
    m_tickTimer.start();
    if (m_role == Role::Acceptor && !writeFrame({}))
        return;
    Q_EMIT established();
}

bool PeerStream::send(const QByteArray& payload)
{
    return send(FramePayload{payload, {}, {}});
}

bool PeerStream::send(const FramePayload& payload)
{
    if (!m_established || m_finished || quint64(payload.size()) > m_limits.maxFrameSize)
        return false;
    if (queuedBytes() >= m_limits.maxQueuedBytes) {
        m_full = true;
        return false;
    }
    return writeFrame(payload);
}

bool PeerStream::canSend()
{
    if (!m_established || m_finished)
        return false;
    if (queuedBytes() >= m_limits.maxQueuedBytes) {
        m_full = true;
        return false;
    }
    return true;
}

qint64 PeerStream::queuedBytes() const
{
    return m_socket->bytesToWrite() + m_plainOut.size() + m_transport.pendingBytes();
}

qint64 PeerStream::bufferedBytes() const
{
    return queuedBytes() + m_payloadRead + m_socket->bytesAvailable();
}

bool PeerStream::writeFrame(const FramePayload& payload)
{
    const qsizetype size = payload.size();
    char header[kFrameHeaderSize];
    qToLittleEndian<quint32>(quint32(size), header);
    m_sentSinceTick = true;
    m_plainOut.append(header, kFrameHeaderSize);
    if (size <= kJoinedFrame) {
        // Small frames wait for the end of this turn of the event loop, or until they fill a record, and go out
        // together: one record and one write for many chat-sized messages instead of one each.
        m_plainOut.append(payload.head).append(payload.body).append(payload.tail);
        if (m_plainOut.size() >= kRecordSize)
            return encryptPending();
        if (!m_encryptScheduled) {
            m_encryptScheduled = true;
            QMetaObject::invokeMethod(
                this, [this] { encryptPending(); }, Qt::QueuedConnection);
        }
        return true;
    }
    // Whole records are encrypted straight from the parts' own bytes (a file packet's, where it was read); only
    // the bits between them are gathered into records of their own: the header with the head and the start of
    // the body, the end of the body with the tail.
    m_transport.reserve(m_plainOut.size() + size);
    for (const QByteArray* part : {&payload.head, &payload.body, &payload.tail}) {
        if (!writeStraight(part->constData(), part->size()))
            return false;
    }
    if (!encryptPending(false))
        return false;
    m_transport.flush();
    return true;
}

bool PeerStream::writeStraight(const char* data, qsizetype size)
{
    if (!m_plainOut.isEmpty()) {
        const qsizetype joined = qMin(size, kRecordSize - m_plainOut.size());
        m_plainOut.append(data, joined);
        data += joined;
        size -= joined;
        if (m_plainOut.size() < kRecordSize)
            return true;
        if (!encryptPending(false))
            return false;
    }
    const qsizetype whole = size - size % kRecordSize;
    if (whole > 0) {
        size_t written = 0;
        ERR_clear_error();
        if (SSL_write_ex(m_ssl, data, size_t(whole), &written) != 1) {
            m_problem = StreamTls::takeErrors();
            finish(Ending::BrokenRecord);
            return false;
        }
    }
    m_plainOut.append(data + whole, size - whole);
    return true;
}

bool PeerStream::encryptPending(bool flush)
{
    m_encryptScheduled = false;
    if (m_plainOut.isEmpty() || m_finished)
        return !m_finished;
    m_transport.reserve(m_plainOut.size());
    size_t written = 0;
    ERR_clear_error();
    const bool done = SSL_write_ex(m_ssl, m_plainOut.constData(), size_t(m_plainOut.size()), &written) == 1;
    m_plainOut.resize(0); // keeps its room for the next frames
    if (!done) {
        m_problem = StreamTls::takeErrors();
        finish(Ending::BrokenRecord);
        return false;
    }
    // Small frames go to the connection now, not when the event loop next looks at the socket: a side that answers
    // many requests in one turn (the small files of a folder) keeps the other side busy meanwhile.
    if (flush)
        m_transport.flushNow();
    return true;
}

void PeerStream::handleBytesWritten()
{
    if (m_full && !m_finished && queuedBytes() <= m_limits.maxQueuedBytes / 2) {
        m_full = false;
        Q_EMIT sendReady();
    }
}

void PeerStream::handleSocketEnd()
{
    if (m_finished)
        return;
    m_transport.setEnded();
    // What arrived before the end is still read: it may be the alert that says why.
    if (m_socket->bytesAvailable() > 0 && m_started && (!drive() || m_finished))
        return;
    if (m_socket->error() != QAbstractSocket::RemoteHostClosedError &&
        m_socket->error() != QAbstractSocket::UnknownSocketError)
        m_problem = m_socket->errorString();
    // Ended by the other side during the handshake: no peer of ours refuses that way, a busy one does (or a cut).
    if (!m_handshakeDone)
        finish(m_socket->error() == QAbstractSocket::RemoteHostClosedError ? Ending::Cut : Ending::NetworkError);
    else // after the handshake, a refusal comes as a close_notify (see drive()); a bare end is only an end
        finish(Ending::PeerClosed);
}

void PeerStream::handshakeTimeout()
{
    if (m_established || m_finished)
        return;
    // A dial that found nobody answering within the bound is the network's doing, not the peer's.
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        m_problem = QStringLiteral("no answer");
        finish(Ending::NetworkError);
        return;
    }
    finish(Ending::HandshakeTimeout);
}

void PeerStream::tickTimeout()
{
    if (m_finished)
        return;
    // Bytes below the read mark are in, though not read yet: they count as heard at the next tick.
    m_transport.expectAtLeast(1);
    m_quietTicks = m_transport.takeHeard() ? 0 : m_quietTicks + 1;
    if (m_quietTicks * qint64(m_limits.keepAliveMs) >= m_limits.silenceMs) {
        finish(Ending::Silent);
        return;
    }
    if (!m_sentSinceTick && queuedBytes() == 0)
        writeFrame({});
    m_sentSinceTick = false;
}

bool PeerStream::checkCertificate(x509_st* certificate, int chainLength)
{
    // A peer sends its own certificate and nothing else: no chain to an authority.
    if (chainLength != 1) {
        m_refusal = Ending::HandshakeFailed;
        return false;
    }
    m_peer = IdentityCertificate::identityOf(certificate);
    const int size = i2d_X509(certificate, nullptr);
    if (size > 0) {
        m_peerCertificate.resize(size);
        auto* out = reinterpret_cast<unsigned char*>(m_peerCertificate.data());
        i2d_X509(certificate, &out);
    }
    if (!m_peer.isValid()) {
        m_refusal = Ending::HandshakeFailed;
        return false;
    }
    if (!m_expectedNodeId.isEmpty() && m_peer.nodeId != m_expectedNodeId) {
        m_refusal = Ending::WrongNode;
        return false;
    }
    return true;
}

bool PeerStream::judgePeer()
{
    // The certificate checked above, now with the handshake's signature over it verified: the key is the peer's.
    // Pins and our own key are judged only now, so a replayed certificate pins nothing and raises no alarm.
    switch (m_check ? m_check(*this, m_peer) : Verdict::Accept) {
    case Verdict::Accept:
        return true;
    case Verdict::Refuse:
        m_refusal = Ending::Refused;
        break;
    case Verdict::KeyChanged:
        m_refusal = Ending::KeyChanged;
        break;
    case Verdict::OwnKey:
        m_refusal = Ending::OwnKey;
        break;
    case Verdict::Busy:
        m_refusal = Ending::Refused;
        m_busy = true;
        break;
    }
    return false;
}

QByteArray PeerStream::clientRandom() const
{
    QByteArray random(SSL3_RANDOM_SIZE, Qt::Uninitialized);
    if (!m_ssl ||
        SSL_get_client_random(m_ssl, reinterpret_cast<unsigned char*>(random.data()), size_t(random.size())) !=
            size_t(random.size()) ||
        random.count('\0') == random.size())
        return {};
    return random;
}

void PeerStream::close()
{
    finish(Ending::Closed);
}

void PeerStream::finish(Ending ending)
{
    if (m_finished)
        return;
    m_finished = true;
    m_ending = ending;
    m_established = false;
    m_handshakeTimer.stop();
    m_tickTimer.stop();
    const bool orderly = ending == Ending::Closed || ending == Ending::Silent || ending == Ending::FrameTooLarge ||
                         ending == Ending::PeerClosed;
    const bool writable = !m_transport.isEnded() && m_socket->state() == QAbstractSocket::ConnectedState;
    if (m_handshakeDone && orderly && writable) {
        ERR_clear_error();
        size_t written = 0;
        if (!m_plainOut.isEmpty()) // frames sent before the end still go
            SSL_write_ex(m_ssl, m_plainOut.constData(), size_t(m_plainOut.size()), &written);
        SSL_shutdown(m_ssl); // close_notify; the peer's answer is not awaited
        StreamTls::takeErrors();
        m_transport.flush();
    }
    if (m_reset) {
        m_transport.reset();
    } else if (writable) {
        m_socket->flush();
        m_socket->disconnectFromHost();
    } else {
        m_socket->abort();
    }
    qCDebug(lcNet) << "stream with" << (m_peer.nodeId.isEmpty() ? m_expectedNodeId : m_peer.nodeId)
                   << "ended:" << ending << m_problem;
    Q_EMIT finished(ending);
}

} // namespace Vesk
