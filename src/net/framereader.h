#pragma once

#include "net/parameters.h"
#include "net/wire.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace Vesk {

class BufferPool;

// The receiving side of one message: reads one frame from an accepted connection, straight from its descriptor,
// and reports the message. The object owns the descriptor and deletes itself: as soon as the frame has been read,
// when the peer ends the connection or it fails, and at the latest kConnectionLifetimeMs after it was created.
// Create it with new and never hold it. The sending side is VeskTcpSocket.
class FrameReader : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FrameReader)

public:
    // Payloads are read into buffers of `frames`.
    explicit FrameReader(BufferPool& frames);
    ~FrameReader() override;

    // Adopts the descriptor of an accepted connection and reads one frame from it.
    void setDescriptor(qintptr descriptor);

Q_SIGNALS:
    void parametersRead(Vesk::Parameters parameters);

private Q_SLOTS:
    void processReadDataWithGoogleProtocolBuffers();
    void closeTCPSocket();

private:
    BufferPool& m_frames;
    qint32 blockSize = -1; // the payload length, -1 while no header has been read
    char m_header[kFrameHeaderSize] = {};
    int m_headerRead = 0;
    QByteArray m_payload;
    qint64 m_payloadRead = 0;
    qintptr m_descriptor = -1;
    QSocketNotifier* m_notifier = nullptr;
    QTimer closeTimer;
    bool m_closed = false;
    QHostAddress m_address;
};

} // namespace Vesk
