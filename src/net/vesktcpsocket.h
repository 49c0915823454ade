#pragma once

#include "net/wire.h"

#include <QAbstractSocket>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

class QSocketNotifier;
class QTcpSocket;

// One message over one TCP connection, in either direction. The object owns its connection and deletes itself:
// as soon as its one frame has been completely read or written, on a connection error, and at the latest
// kLifetimeMs after it was created. Create it with new and never hold it.
class VeskTcpSocket : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(VeskTcpSocket)

public:
    static constexpr quint16 kTcpPort = 25001;
    static constexpr int kLifetimeMs = 5000;
    // The largest payload a connection accepts. A file packet is 1,000,000 bytes and an avatar a few hundred
    // kilobytes, so this leaves ample room while bounding what a peer can make us buffer per connection.
    static constexpr quint32 kMaxFrameSize = 16 * 1024 * 1024;

    VeskTcpSocket();
    ~VeskTcpSocket() override;

    // Sending side: connects to the address on the message port and writes one frame.
    void sendParameters(const QHostAddress& address, const QHash<QString, QVariant>& parameters);
    // The same with a frame already built (see Vesk::parametersToFrame). An empty frame only probes: the
    // connection is closed as soon as it is established.
    void sendFrame(const QHostAddress& address, const QByteArray& frame);
    // Receiving side: adopts the descriptor of an accepted connection and reads one frame from it.
    void setDescriptor(qintptr descriptor);

Q_SIGNALS:
    void parametersRead(QHash<QString, QVariant> parameters);
    // A sending connection ended without ever being established: refused, no route, or no answer within its
    // lifetime. Evidence that nobody listens at that address now.
    void unreachable(QHostAddress address);

public Q_SLOTS:
    void showError(QAbstractSocket::SocketError socketError);

private Q_SLOTS:
    void processReadDataWithGoogleProtocolBuffers();
    void processWrittenData(qint64 bytes);
    void closeTCPSocket();

private:
    qint32 blockSize = -1;
    char m_header[Vesk::kFrameHeaderSize] = {};
    int m_headerRead = 0;
    QByteArray m_payload;
    qint64 m_payloadRead = 0;
    QTcpSocket* socket = nullptr; // sending
    qintptr m_descriptor = -1;    // receiving
    QSocketNotifier* m_notifier = nullptr;
    QTimer closeTimer;
    bool m_closed = false;
    bool m_connecting = false; // a sending connection not yet established
    QHostAddress m_address; // the other end
};
