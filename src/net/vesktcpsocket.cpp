#include "net/vesktcpsocket.h"

#include "net/nativesocket.h"
#include "net/netaddress.h"
#include "net/netlogging.h"

#include "common/bufferpool.h"

#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QtEndian>

// A connection carries exactly one frame from the side that opened it to the side that accepted it:
//
//     frame  := length payload
//     length := 4 bytes, unsigned, little-endian (0xFFFFFFFF is never a length: skipped as "no header yet")
//     payload:= one serialised MessageParameters record of exactly `length` bytes
//
// Nothing ever travels back. An answer, if any, comes on a connection the peer opens to us. So the sender is done
// once the kernel holds the whole frame, and the receiver once it has read the frame; both end the connection at
// that point, which keeps descriptors and ports free when file packets arrive hundreds of times a second.

namespace {
constexpr qint32 kNoHeader = -1;
constexpr qint64 kReadThreshold = 128 * 1024;
} // namespace

VeskTcpSocket::VeskTcpSocket()
{
    closeTimer.setInterval(kLifetimeMs);
    closeTimer.setSingleShot(true);
    connect(&closeTimer, &QTimer::timeout, this, &VeskTcpSocket::closeTCPSocket);
    closeTimer.start();
}

VeskTcpSocket::~VeskTcpSocket() = default;

void VeskTcpSocket::sendParameters(const QHostAddress& address, const QHash<QString, QVariant>& parameters)
{
    sendFrame(address, Vesk::parametersToFrame(parameters));
}

void VeskTcpSocket::sendFrame(const QHostAddress& address, const QByteArray& frame)
{
    // An unknown node has no address: there is nobody to connect to.
    if (address.isNull()) {
        closeTCPSocket();
        return;
    }
    if (!frame.isEmpty() && quint32(frame.size() - Vesk::kFrameHeaderSize) > kMaxFrameSize) {
        qCritical().noquote() << QStringLiteral("Not sending a message of %1 bytes to %2: peers accept at most %3")
                                     .arg(frame.size() - Vesk::kFrameHeaderSize)
                                     .arg(Vesk::addressText(address))
                                     .arg(kMaxFrameSize);
        closeTCPSocket();
        return;
    }

    socket = new QTcpSocket(this);
    // Peers are on the local network: never route them through a proxy, and skip the per-connection lookup.
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QAbstractSocket::errorOccurred, this, &VeskTcpSocket::showError);
    connect(socket, &QAbstractSocket::bytesWritten, this, &VeskTcpSocket::processWrittenData);
    connect(socket, &QAbstractSocket::connected, this, [this, probe = frame.isEmpty()] {
        m_connecting = false;
        if (probe)
            closeTCPSocket();
    });
    m_connecting = true;
    m_address = address;
    socket->connectToHost(address, kTcpPort, QIODevice::WriteOnly);
    // Without a route the connection fails inside connectToHost, and the error handler has already ended us.
    if (m_closed || !socket || frame.isEmpty())
        return;
    // Buffered by the socket until the connection is established.
    socket->write(frame);
}

void VeskTcpSocket::setDescriptor(qintptr descriptor)
{
    blockSize = kNoHeader;
    m_descriptor = descriptor;
    m_address = Vesk::NativeSocket::peerAddress(descriptor);
    if (!Vesk::NativeSocket::setNonBlocking(descriptor)) {
        closeTCPSocket();
        return;
    }
    m_notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &VeskTcpSocket::processReadDataWithGoogleProtocolBuffers);
    // Bytes that arrived before we took the connection raise no notification of their own.
    processReadDataWithGoogleProtocolBuffers();
}

void VeskTcpSocket::showError(QAbstractSocket::SocketError socketError)
{
    // Failed sends are retried by the features' own timers; nothing is reported here.
    qCDebug(lcNet) << "connection error" << socketError;
    closeTCPSocket();
}

void VeskTcpSocket::processReadDataWithGoogleProtocolBuffers()
{
    if (m_closed || m_descriptor == -1)
        return;

    // What has arrived is read at once, straight into the frame's own buffer. A peer that closes the connection
    // before its frame is complete has sent nothing.
    while (blockSize == kNoHeader) {
        const qint64 got =
            Vesk::NativeSocket::receive(m_descriptor, m_header + m_headerRead, Vesk::kFrameHeaderSize - m_headerRead);
        if (got < 0) {
            closeTCPSocket();
            return;
        }
        if (got == 0)
            return;
        m_headerRead += int(got);
        if (m_headerRead < Vesk::kFrameHeaderSize)
            continue;
        m_headerRead = 0;
        blockSize = qFromLittleEndian<qint32>(m_header);
        if (quint32(blockSize) > kMaxFrameSize) {
            qCritical().noquote() << QStringLiteral("Refused a message of %1 bytes from %2: the limit is %3 bytes")
                                         .arg(quint32(blockSize))
                                         .arg(Vesk::addressText(m_address))
                                         .arg(kMaxFrameSize);
            closeTCPSocket();
            return;
        }
        // A buffer used before, or fresh and not initialised: new memory is only touched as bytes arrive,
        // whatever size the header claims.
        m_payload = Vesk::BufferPool::incomingFrames().take(blockSize);
        m_payloadRead = 0;
    }

    while (m_payloadRead < blockSize) {
        const qint64 got =
            Vesk::NativeSocket::receive(m_descriptor, m_payload.data() + m_payloadRead, blockSize - m_payloadRead);
        if (got < 0) {
            closeTCPSocket();
            return;
        }
        if (got == 0) {
            // A file packet arrives a few kilobytes at a time: woken for each, the event loop would turn hundreds
            // of times per megabyte. Never more than the rest of the frame, which would wait for the close.
            Vesk::NativeSocket::setReadThreshold(m_descriptor, qMin<qint64>(kReadThreshold, blockSize - m_payloadRead));
            return;
        }
        m_payloadRead += got;
    }

    Vesk::Parameters parameters = Vesk::byteArrayToParameters(std::move(m_payload));
    parameters.insert(QStringLiteral("senderIPAddress"), Vesk::addressText(m_address));
    closeTCPSocket();
    Q_EMIT parametersRead(parameters);
}

void VeskTcpSocket::processWrittenData(qint64 bytes)
{
    Q_UNUSED(bytes)
    if (m_closed || !socket || socket->bytesToWrite() > 0)
        return;
    // The whole frame is with the kernel, which delivers it after the close as well.
    socket->flush();
    closeTCPSocket();
}

void VeskTcpSocket::closeTCPSocket()
{
    if (m_closed)
        return;
    m_closed = true;
    closeTimer.stop();
    if (socket) {
        socket->disconnect(this);
        socket->close();
        socket->deleteLater();
        socket = nullptr;
    }
    if (m_descriptor != -1) {
        delete m_notifier; // before the descriptor it watches goes
        m_notifier = nullptr;
        Vesk::NativeSocket::close(m_descriptor);
        m_descriptor = -1;
    }
    deleteLater();
    if (m_connecting)
        Q_EMIT unreachable(m_address);
}
