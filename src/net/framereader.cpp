#include "net/framereader.h"

#include "net/messageorigin.h"
#include "net/nativesocket.h"
#include "net/netaddress.h"
#include "net/netlogging.h"

#include "common/bufferpool.h"

#include <QSocketNotifier>
#include <QtEndian>

#include <utility>

// A connection carries exactly one frame from the side that opened it to the side that accepted it:
//
//     frame  := header* length payload
//     header := 4 bytes FF FF FF FF, never a length: read as "no header yet", and the next 4 bytes are read instead
//     length := 4 bytes, unsigned, little-endian
//     payload:= one serialised MessageParameters record of exactly `length` bytes
//
// Nothing ever travels back. So the receiver is done once it has read the frame and ends the connection at that
// point, which keeps descriptors free when file packets arrive hundreds of times a second. What follows the frame
// is not read.

namespace Vesk {

namespace {
constexpr qint32 kNoHeader = -1;
constexpr qint64 kReadThreshold = 128 * 1024;
} // namespace

bool FrameBudget::claim(qint64 bytes, const QHostAddress& from)
{
    qint64& there = m_heldFrom[from];
    if (bytes > m_limit - m_held || bytes > m_limit / kShareDivisor - there) {
        if (there == 0)
            m_heldFrom.remove(from);
        return false;
    }
    m_held += bytes;
    there += bytes;
    return true;
}

void FrameBudget::giveBack(qint64 bytes, const QHostAddress& from)
{
    if (bytes == 0)
        return;
    m_held -= bytes;
    const auto there = m_heldFrom.find(from);
    if (there != m_heldFrom.end() && (*there -= bytes) <= 0)
        m_heldFrom.erase(there);
}

FrameReader::FrameReader(BufferPool& frames, FrameBudget& budget, QObject* parent)
    : QObject(parent), m_frames(frames), m_budget(budget)
{
    closeTimer.setInterval(kConnectionLifetimeMs);
    closeTimer.setSingleShot(true);
    connect(&closeTimer, &QTimer::timeout, this, &FrameReader::closeTCPSocket);
    closeTimer.start();
}

FrameReader::~FrameReader()
{
    releaseClaim();
    releaseDescriptor();
}

void FrameReader::setDescriptor(qintptr descriptor, const QHostAddress& peer)
{
    blockSize = kNoHeader;
    m_descriptor = descriptor;
    m_address = peer.isNull() ? NativeSocket::peerAddress(descriptor) : peer;
    if (!NativeSocket::setNonBlocking(descriptor)) {
        closeTCPSocket();
        return;
    }
    m_notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &FrameReader::processReadDataWithGoogleProtocolBuffers);
    // Bytes that arrived before we took the connection raise no notification of their own.
    processReadDataWithGoogleProtocolBuffers();
}

void FrameReader::processReadDataWithGoogleProtocolBuffers()
{
    if (m_closed || m_descriptor == -1)
        return;

    // What has arrived is read at once, straight into the frame's own buffer. A peer that closes the connection
    // before its frame is complete has sent nothing.
    while (blockSize == kNoHeader) {
        const qint64 got =
            NativeSocket::receive(m_descriptor, m_header + m_headerRead, kFrameHeaderSize - m_headerRead);
        if (got < 0) {
            closeTCPSocket();
            return;
        }
        if (got == 0)
            return;
        m_headerRead += int(got);
        if (m_headerRead < kFrameHeaderSize)
            continue;
        m_headerRead = 0;
        blockSize = qFromLittleEndian<qint32>(m_header);
        if (blockSize == kNoHeader)
            continue;
        if (quint32(blockSize) > kMaxFrameSize) {
            qCritical().noquote() << QStringLiteral("Refused a message of %1 bytes from %2: the limit is %3 bytes")
                                         .arg(quint32(blockSize))
                                         .arg(addressText(m_address))
                                         .arg(kMaxFrameSize);
            closeTCPSocket();
            return;
        }
        // Each of the port's connections may announce the largest frame and trickle it in: what they hold
        // together is bounded, not only what each holds.
        if (!m_budget.claim(blockSize, m_address)) {
            qCritical().noquote()
                << QStringLiteral("Refused a message of %1 bytes from %2: messages still arriving hold %3 of %4 bytes, "
                                  "%5 of them from there")
                       .arg(blockSize)
                       .arg(addressText(m_address))
                       .arg(m_budget.held())
                       .arg(m_budget.limit())
                       .arg(m_budget.heldFrom(m_address));
            closeTCPSocket();
            return;
        }
        m_claimed = blockSize;
        // A buffer used before, or fresh and not initialised: new memory is only touched as bytes arrive,
        // whatever size the header claims.
        m_payload = m_frames.take(blockSize);
        m_payloadRead = 0;
    }

    while (m_payloadRead < blockSize) {
        const qint64 got =
            NativeSocket::receive(m_descriptor, m_payload.data() + m_payloadRead, blockSize - m_payloadRead);
        if (got < 0) {
            closeTCPSocket();
            return;
        }
        if (got == 0) {
            // A file packet arrives a few kilobytes at a time: woken for each, the event loop would turn hundreds
            // of times per megabyte. Never more than the rest of the frame, which would wait for the close.
            NativeSocket::setReadThreshold(m_descriptor, qMin<qint64>(kReadThreshold, blockSize - m_payloadRead));
            return;
        }
        m_payloadRead += got;
    }

    Parameters parameters = byteArrayToParameters(std::move(m_payload));
    releaseClaim(); // the message is the dispatcher's from here on
    parameters.insert(MessageOrigin::kSenderAddress, addressText(m_address));
    closeTCPSocket();
    Q_EMIT parametersRead(parameters);
}

void FrameReader::closeTCPSocket()
{
    if (m_closed)
        return;
    m_closed = true;
    closeTimer.stop();
    releaseClaim();
    releaseDescriptor();
    deleteLater();
}

void FrameReader::releaseDescriptor()
{
    if (m_descriptor == -1)
        return;
    delete m_notifier; // before the descriptor it watches goes
    m_notifier = nullptr;
    NativeSocket::close(m_descriptor);
    m_descriptor = -1;
}

void FrameReader::releaseClaim()
{
    m_budget.giveBack(std::exchange(m_claimed, 0), m_address);
    m_payload = QByteArray(); // an unfinished frame's bytes go with its claim
}

} // namespace Vesk
