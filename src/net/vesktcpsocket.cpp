#include "net/vesktcpsocket.h"

#include "net/netaddress.h"
#include "net/netlogging.h"
#include "net/wire.h"

#include <QNetworkProxy>
#include <QTcpSocket>

// A connection carries exactly one frame from the side that opened it to the side that accepted it (the framing is
// told in framereader.cpp). Nothing ever travels back: an answer, if any, comes on a connection the peer opens to
// us. So the sender is done once the kernel holds the whole frame, and ends the connection at that point, which
// keeps descriptors and ports free when file packets leave hundreds of times a second.

namespace Vesk {

VeskTcpSocket::VeskTcpSocket()
{
    closeTimer.setInterval(kConnectionLifetimeMs);
    closeTimer.setSingleShot(true);
    connect(&closeTimer, &QTimer::timeout, this, &VeskTcpSocket::closeTCPSocket);
    closeTimer.start();
}

VeskTcpSocket::~VeskTcpSocket() = default;

void VeskTcpSocket::sendParameters(const QHostAddress& address, const Parameters& parameters)
{
    sendFrame(address, parametersToFrame(parameters));
}

void VeskTcpSocket::sendFrame(const QHostAddress& address, const QByteArray& frame)
{
    // An unknown node has no address: there is nobody to connect to.
    if (address.isNull()) {
        closeTCPSocket();
        return;
    }
    if (!frame.isEmpty() && quint32(frame.size() - kFrameHeaderSize) > kMaxFrameSize) {
        qCritical().noquote() << QStringLiteral("Not sending a message of %1 bytes to %2: peers accept at most %3")
                                     .arg(frame.size() - kFrameHeaderSize)
                                     .arg(addressText(address))
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

void VeskTcpSocket::showError(QAbstractSocket::SocketError socketError)
{
    // Failed sends are retried by the features' own timers; nothing is reported here.
    qCDebug(lcNet) << "connection error" << socketError;
    closeTCPSocket();
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
    deleteLater();
    if (m_connecting)
        Q_EMIT unreachable(m_address);
}

} // namespace Vesk
