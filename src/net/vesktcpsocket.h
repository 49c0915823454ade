#pragma once

#include "net/parameters.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;

namespace Vesk {

// The sending side of one message: connects to a peer's message port, writes one frame and ends. The object owns
// its connection and deletes itself: as soon as the whole frame is with the kernel, on a connection error, and at
// the latest kConnectionLifetimeMs after it was created. Create it with new and never hold it. The receiving side
// is FrameReader.
class VeskTcpSocket : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(VeskTcpSocket)

public:
    VeskTcpSocket();
    ~VeskTcpSocket() override;

    // Connects to the address on the message port and writes one frame.
    void sendParameters(const QHostAddress& address, const Parameters& parameters);
    // The same with a frame already built (see parametersToFrame). An empty frame only probes: the connection is
    // closed as soon as it is established.
    void sendFrame(const QHostAddress& address, const QByteArray& frame);

Q_SIGNALS:
    // The connection ended without ever being established: refused, no route, or no answer within its lifetime.
    // Evidence that nobody listens at that address now.
    void unreachable(QHostAddress address);

public Q_SLOTS:
    void showError(QAbstractSocket::SocketError socketError);

private Q_SLOTS:
    void processWrittenData(qint64 bytes);
    void closeTCPSocket();

private:
    QTcpSocket* socket = nullptr;
    QTimer closeTimer;
    bool m_closed = false;
    bool m_connecting = false; // not yet established
    QHostAddress m_address;
};

} // namespace Vesk
